// Deliveries to the test FTP servers through hot folders (ctest fixture "ftp"),
// read back from the servers' folders on this machine.

#include "blackbox.h"

#include "core/plist.h"
#include "prefs/prefs.h"

using namespace bb;

class TestDeliveryFtp : public QObject {
    Q_OBJECT

    QMap<QString, QString> m_env;

    QVariantMap ftp(const QString &name, const QString &type, const QString &folder,
                    const QString &port) const
    {
        return {{"name", name},
                {"QFDestType", type},
                {"type", 0},
                {"hostField", m_env.value("FTP_HOST")},
                {"QFPort", port},
                {"pathField", "/" + folder},
                {"userField", m_env.value("FTP_USER")},
                {"sitePasswordField", pv::Prefs::encryptPassword(m_env.value("FTP_PASSWORD"))},
                {"sendFTPBtn", 1},
                {"sendEmailBtn", 0},
                {"overwriteBtn", 0}};
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = pvtest::serverEnv("ftp");
        QVERIFY2(m_env.contains("FTP_PORT"),
                 "no test server: run through ctest, which starts tests/servers/ftp.sh");
    }

    // Dated folders and numbering over FTP, a folder tree and an odd name over
    // explicit FTPS, and web links.
    void deliveriesToTheServer()
    {
        Home home;
        const QString hot = home.path() + "/hot";
        const QString server = m_env.value("FTP_ROOT");
        const QString base = QString("bb-%1").arg(QCoreApplication::applicationPid());
        home.writeSettings({{"watchInterval", 1}});
        for (const QString &dir : {base + "/dated/" + datePath("YYYY-MM-DD"), base + "/tls"}) {
            QVERIFY(QDir().mkpath(server + "/" + dir));
            QVERIFY(QProcess::execute("chown",
                                      {"-R", m_env.value("FTP_USER"), server + "/" + base}) == 0);
        }
        QVERIFY(writeFile(server + "/" + base + "/dated/" + datePath("YYYY-MM-DD") + "/note.txt",
                          "earlier"));

        const QString port = m_env.value("FTP_PORT");
        QVariantMap dated = ftp("Ftp", "FTP Server", base + "/dated", port);
        for (const char *key : {"yearFolderBtn", "monthFolderBtn", "dateFolderBtn"})
            dated.insert(key, 1);
        QVariantMap web = ftp("Web", "FTP Server", base + "/tls", port);
        web.insert("QFUseHTTP", 1);
        web.insert("QFHttpUrl", "https://files.example/pub");
        for (const QVariantMap &dest :
             {dated, ftp("Tls", "FTPS (FTP-SSL)", base + "/tls", port), web})
            home.writeDest(withHotFolder(dest, hot));

        Instance inst(home);
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());
        const QString odd = "Q3 50% \u00e4 #2.txt";
        QVERIFY(writeFiles(hot, {{"Ftp/note.txt", content(5000, 'n')},
                                 {"Tls/Tree/a.txt", content(300, 'a')},
                                 {"Tls/Tree/sub/b.bin", content(300000, 'b')},
                                 {"Tls/" + odd, "odd name"},
                                 {"Web/web page.txt", "w"}}));

        const QStringList missing =
            inst.waitForPaths(hot, {"Ftp/Done/note.txt", "Tls/Done/Tree", "Tls/Done/" + odd,
                                    "Web/Done/web page.txt"});
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ") + "\n" + inst.log().right(6000)));
        QList<QVariantMap> history;
        QVERIFY(inst.waitFor([&] { return (history = home.records("History.xml")).size() == 4; },
                             10000));

        const QString dateDir = server + "/" + base + "/dated/" + datePath("YYYY-MM-DD");
        QCOMPARE(readFile(dateDir + "/note_1.txt"), content(5000, 'n'));
        QCOMPARE(readFile(dateDir + "/note.txt"), QByteArray("earlier"));
        QCOMPARE(fieldOf(history, "note.txt", "finalName"), QStringList{"note_1.txt"});
        QCOMPARE(readFile(server + "/" + base + "/tls/Tree/sub/b.bin"), content(300000, 'b'));
        QCOMPARE(readFile(server + "/" + base + "/tls/" + odd), QByteArray("odd name"));
        QCOMPARE(entries(server + "/" + base + "/tls"), QStringList({odd, "Tree", "web page.txt"}));

        // Links: the server's own, or the web address standing for it.
        const QString link = fieldOf(history, "note.txt", "downloadURLForUser").value(0);
        QVERIFY2(link.startsWith("ftp://") && link.endsWith(datePath("YYYY-MM-DD") + "/note_1.txt"),
                 qPrintable(link));
        QCOMPARE(fieldOf(history, "web page.txt", "downloadURLForUser"),
                 QStringList{"https://files.example/pub/web%20page.txt"});

        const QString password = m_env.value("FTP_PASSWORD");
        QVERIFY(!inst.log().contains(password));
        QVERIFY(!inst.log().contains(QUrl::toPercentEncoding(password)));
        QCOMPARE(inst.terminate(), 0);
        QDir(server + "/" + base).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestDeliveryFtp)
#include "test_delivery_ftp.moc"
