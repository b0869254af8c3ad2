// Deliveries to S3 and Google Storage buckets through hot folders (ctest
// fixture "s3"), read back from the test server's own store on this machine.

#include "blackbox.h"

#include "prefs/prefs.h"

using namespace bb;

class TestDeliveryS3 : public QObject {
    Q_OBJECT

    QMap<QString, QString> m_env;

    QVariantMap bucket(const QString &name, const QString &type, const QString &hostKey,
                       const QString &bucketName, const QString &secret = {}) const
    {
        return {{"name", name},
                {"QFDestType", type},
                {"type", 0},
                {"hostField", m_env.value(hostKey)},
                {"pathField", bucketName},
                {"userField", m_env.value("S3_ACCESS_KEY")},
                {"sitePasswordField",
                 pv::Prefs::encryptPassword(secret.isNull() ? m_env.value("S3_SECRET") : secret)},
                {"sendFTPBtn", 1},
                {"sendEmailBtn", 0},
                {"overwriteBtn", 0}};
    }
    // What the server stored under key, read from its folder.
    QByteArray stored(const QString &bucketName, const QString &key) const
    {
        return readFile(m_env.value("S3_DATA_DIR") + "/" + bucketName + "/" + key +
                        "._S3rver_object");
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = pvtest::serverEnv("s3");
        QVERIFY2(m_env.contains("S3_SERVICE_HOST"),
                 "no test server: run through ctest, which starts tests/servers/s3.sh");
    }

    // Names with spaces and non-ASCII letters, a name taken before (numbered,
    // not replaced), both providers, a refused secret and a missing bucket.
    void deliveriesToBuckets()
    {
        Home home;
        const QString hot = home.path() + "/hot";
        const QString s3 = m_env.value("S3_PIPELINE_BUCKET");
        const QString gs = m_env.value("GS_BUCKET");
        home.writeSettings({{"watchInterval", 1},
                            {"S3ServiceHost", m_env.value("S3_SERVICE_HOST")},
                            {"GoogleStorageServiceHost", m_env.value("GS_SERVICE_HOST")}});
        QVariantMap dated = bucket("S3", "Amazon S3", "S3_SERVICE_HOST", s3);
        // Buckets have no folders: date folders are not made even when asked for.
        dated.insert("yearFolderBtn", 1);
        for (const QVariantMap &dest :
             {dated, bucket("GS", "Google Storage", "GS_SERVICE_HOST", gs),
              bucket("Wrong", "Amazon S3", "S3_SERVICE_HOST", s3, "not/the+secret"),
              bucket("Gone", "Amazon S3", "S3_SERVICE_HOST", m_env.value("S3_MISSING_BUCKET"))})
            home.writeDest(withHotFolder(dest, hot));

        // The server outlives one run of the test: names of this run only.
        const QString pid = QString::number(QCoreApplication::applicationPid());
        const QString name = "Bericht Jänner " + pid;
        Instance inst(home);
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());
        // One after the other, so the second finds the first one's name taken.
        QVERIFY(writeFiles(hot, {{"S3/" + name + ".pdf", content(70000, 'p')}}));
        QStringList missing = inst.waitForPaths(hot, {"S3/Done/" + name + ".pdf"});
        QVERIFY2(missing.isEmpty(), qPrintable(inst.log().right(6000)));
        QVERIFY(writeFiles(hot, {{"S3/" + name + ".pdf", content(900, 'q')},
                                 {"GS/año " + pid + ".txt", "to google"},
                                 {"Wrong/refused.txt", "never"},
                                 {"Gone/lost.txt", "never"}}));
        // (The second source replaces the first in "Done".)
        missing = inst.waitForPaths(hot, {"GS/Done/año " + pid + ".txt", "Wrong/Errors/refused.txt",
                                          "Gone/Errors/lost.txt"});
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ") + "\n" + inst.log().right(6000)));
        QList<QVariantMap> history;
        QVERIFY(inst.waitFor([&] { return (history = home.records("History.xml")).size() == 5; },
                             10000));

        QCOMPARE(stored(s3, name + ".pdf"), content(70000, 'p'));
        QCOMPARE(stored(s3, name + "_1.pdf"), content(900, 'q'));
        QCOMPARE(fieldOf(history, name + ".pdf", "finalName"),
                 QStringList({name + ".pdf", name + "_1.pdf"}));
        QVERIFY(readFile(m_env.value("S3_DATA_DIR") + "/" + s3 + "/" + name +
                         ".pdf._S3rver_metadata.json")
                    .contains("application/pdf"));
        QCOMPARE(stored(gs, "año " + pid + ".txt"), QByteArray("to google"));
        QCOMPARE(fieldOf(history, "año " + pid + ".txt", "success"), QStringList{"ok"});

        const QString refused = fieldOf(history, "refused.txt", "error").value(0);
        QVERIFY2(refused.contains("Amazon S3 Error: The request signature we calculated"),
                 qPrintable(refused));
        const QString lost = fieldOf(history, "lost.txt", "error").value(0);
        QVERIFY2(lost.contains("Amazon S3 Error: The specified bucket does not exist"),
                 qPrintable(lost));
        QVERIFY(!inst.log().contains(m_env.value("S3_SECRET")));
        QVERIFY(!inst.log().contains(QUrl::toPercentEncoding(m_env.value("S3_SECRET"))));
        QCOMPARE(inst.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDeliveryS3)
#include "test_delivery_s3.moc"
