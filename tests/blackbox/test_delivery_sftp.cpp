// Deliveries to the test SSH server through hot folders (ctest fixture "sftp"),
// read back from the server's folder on this machine.

#include "blackbox.h"

#include "prefs/prefs.h"

#include <unistd.h>

using namespace bb;

class TestDeliverySftp : public QObject {
    Q_OBJECT

    QMap<QString, QString> m_env;

    QVariantMap sftp(const QString &name, const QString &folder, const QString &password) const
    {
        // The path as users type it: without the leading "/".
        return {{"name", name},
                {"QFDestType", "SFTP Server"},
                {"type", 0},
                {"hostField", m_env.value("SFTP_HOST")},
                {"QFPort", m_env.value("SFTP_PORT")},
                {"pathField", (m_env.value("SFTP_ROOT") + "/" + folder).mid(1)},
                {"userField", m_env.value("SFTP_USER")},
                {"sitePasswordField", pv::Prefs::encryptPassword(password)},
                {"sendFTPBtn", 1},
                {"sendEmailBtn", 0},
                {"overwriteBtn", 0}};
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = pvtest::serverEnv("sftp");
        QVERIFY2(m_env.contains("SFTP_PORT"),
                 "no test server: run through ctest, which starts tests/servers/sftp.sh");
    }

    // Dated folders and numbering, a folder tree, odd names, a wrong password;
    // the host key is recorded where the user can see it; no password in the log.
    void deliveriesToTheServer()
    {
        Home home;
        const QString hot = home.path() + "/hot";
        const QString root = m_env.value("SFTP_ROOT");
        const QString base = QString("bb-%1").arg(QCoreApplication::applicationPid());
        home.writeSettings({{"watchInterval", 1}});

        QVariantMap dated = sftp("Server", base + "/dated", m_env.value("SFTP_PASSWORD"));
        for (const char *key : {"yearFolderBtn", "monthFolderBtn", "dateFolderBtn"})
            dated.insert(key, 1);
        home.writeDest(withHotFolder(dated, hot));
        home.writeDest(withHotFolder(sftp("Wrong", base, "not the password"), hot));

        const QString dateDir = root + "/" + base + "/dated/" + datePath("YYYY-MM-DD");
        QVERIFY(QDir().mkpath(dateDir));
        QCOMPARE(run("chown", {"-R", m_env.value("SFTP_USER"), root + "/" + base}).code, 0);
        QVERIFY(writeFile(dateDir + "/note.txt", "earlier"));

        Instance inst(home);
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());
        QVERIFY(writeFiles(hot, {{"Server/note.txt", content(5000, 'n')},
                                 {"Server/Tree/a b.txt", content(300, 'a')},
                                 {"Server/Tree/sub \u00e4/b.bin", content(300000, 'b')},
                                 {"Server/Q3 50% \u00e4 #2.txt", "odd name"},
                                 {"Wrong/lost.txt", "never arrives"}}));
        const QStringList missing =
            inst.waitForPaths(hot, {"Server/Done/note.txt", "Server/Done/Tree",
                                    "Server/Done/Q3 50% \u00e4 #2.txt", "Wrong/Errors/lost.txt"});
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ") + "\n" + inst.log().right(6000)));
        QList<QVariantMap> history;
        QVERIFY(inst.waitFor([&] { return (history = home.records("History.xml")).size() == 4; },
                             10000));

        QCOMPARE(readFile(dateDir + "/note_1.txt"), content(5000, 'n'));
        QCOMPARE(readFile(dateDir + "/note.txt"), QByteArray("earlier"));
        QCOMPARE(fieldOf(history, "note.txt", "finalName"), QStringList{"note_1.txt"});
        QCOMPARE(readFile(dateDir + "/Tree/a b.txt"), content(300, 'a'));
        QCOMPARE(readFile(dateDir + "/Tree/sub \u00e4/b.bin"), content(300000, 'b'));
        QCOMPARE(readFile(dateDir + "/Q3 50% \u00e4 #2.txt"), QByteArray("odd name"));
        // The link in the record opens the item with an SFTP client.
        const QString link = fieldOf(history, "note.txt", "downloadURLForUser").value(0);
        QVERIFY2(link.startsWith("sftp://"), qPrintable(link));

        QCOMPARE(fieldOf(history, "lost.txt", "success"), QStringList{"missing"});
        const QString error = fieldOf(history, "lost.txt", "error").value(0);
        QVERIFY2(error.contains("wrong user name or password"), qPrintable(error));
        QCOMPARE(entries(root + "/" + base).filter("lost"), QStringList());

        const QByteArray known = readFile(home.app() + "/known_hosts");
        QVERIFY2(known.startsWith("[127.0.0.1]:" + m_env.value("SFTP_PORT").toUtf8() + " "),
                 known.constData());
        QVERIFY(!inst.log().contains(m_env.value("SFTP_PASSWORD")));
        QVERIFY(!inst.log().contains(QUrl::toPercentEncoding(m_env.value("SFTP_PASSWORD"))));

        QCOMPARE(inst.terminate(), 0);
        QDir(root + "/" + base).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestDeliverySftp)
#include "test_delivery_sftp.moc"
