// Deliveries to the test WebDAV servers through hot folders (ctest fixture
// "webdav"): nginx over HTTP, Apache over HTTPS, read back from their document
// roots on this machine.

#include "blackbox.h"

#include "prefs/prefs.h"

using namespace bb;

class TestDeliveryWebDAV : public QObject {
    Q_OBJECT

    QMap<QString, QString> m_env;

    QVariantMap dav(const QString &name, const QString &server, bool tls, const QString &folder,
                    const QString &password = {}) const
    {
        const QString key = "WEBDAV_" + server + (tls ? "_TLS_PORT" : "_PORT");
        return {{"name", name},
                {"QFDestType", tls ? "Secure WebDAV Server" : "WebDAV Server"},
                {"type", 0},
                {"hostField", tls ? "localhost" : "127.0.0.1"},
                {"QFPort", m_env.value(key)},
                {"pathField", "dav/" + folder},
                {"userField", m_env.value("WEBDAV_USER")},
                {"sitePasswordField",
                 pv::Prefs::encryptPassword(password.isEmpty() ? m_env.value("WEBDAV_PASSWORD")
                                                               : password)},
                {"sendFTPBtn", 1},
                {"sendEmailBtn", 0},
                {"overwriteBtn", 0}};
    }
    // A folder below a server's WebDAV collection that its workers may write into.
    bool makeFolders(const QString &server, const QString &relative) const
    {
        QString path = m_env.value("WEBDAV_" + server + "_ROOT") + "/dav";
        for (const QString &part : relative.split('/', Qt::SkipEmptyParts)) {
            path += "/" + part;
            if (!QDir().mkpath(path) || !QFile::setPermissions(path, QFile::Permissions(0x7777)))
                return false;
        }
        return true;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = pvtest::serverEnv("webdav");
        QVERIFY2(m_env.contains("WEBDAV_NGINX_PORT"),
                 "no test server: run through ctest, which starts tests/servers/webdav.sh");
    }

    // Dated folders and numbering on nginx, a folder tree and an odd name on
    // Apache over HTTPS, and a wrong password.
    void deliveries()
    {
        Home home;
        const QString hot = home.path() + "/hot";
        const QString base = QString("bb-%1").arg(QCoreApplication::applicationPid());
        const QString nginx = m_env.value("WEBDAV_NGINX_ROOT") + "/dav/" + base;
        const QString apache = m_env.value("WEBDAV_APACHE_ROOT") + "/dav/" + base;
        home.writeSettings({{"watchInterval", 1}});

        QVariantMap dated = dav("Dated", "NGINX", false, base + "/dated");
        for (const char *key : {"yearFolderBtn", "monthFolderBtn", "dateFolderBtn"})
            dated.insert(key, 1);
        for (const QVariantMap &dest : {dated, dav("Secure", "APACHE", true, base + "/secure"),
                                        dav("Refused", "APACHE", true, base + "/secure", "wrong")})
            home.writeDest(withHotFolder(dest, hot));

        // An earlier delivery of the same name is already there.
        const QString dateDir = base + "/dated/" + datePath("YYYY-MM-DD");
        QVERIFY(makeFolders("NGINX", dateDir));
        QVERIFY(writeFile(nginx + "/dated/" + datePath("YYYY-MM-DD") + "/note.txt", "earlier"));
        QVERIFY(makeFolders("APACHE", base + "/secure"));

        Instance inst(home);
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());
        QVERIFY(writeFiles(hot, {{"Dated/note.txt", content(5000, 'n')},
                                 {"Secure/Tree/a b.txt", content(300, 'a')},
                                 {"Secure/Tree/sub/b.bin", content(700000, 'b')},
                                 {"Secure/Q3 50% \u00e4 #2.txt", "odd name"},
                                 {"Refused/lost.txt", "never arrives"}}));
        const QStringList missing =
            inst.waitForPaths(hot, {"Dated/Done/note.txt", "Secure/Done/Tree",
                                    "Secure/Done/Q3 50% \u00e4 #2.txt", "Refused/Errors/lost.txt"});
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ") + "\n" + inst.log().right(6000)));
        QList<QVariantMap> history;
        QVERIFY(inst.waitFor([&] { return (history = home.records("History.xml")).size() == 4; },
                             10000));

        const QString dayDir = nginx + "/dated/" + datePath("YYYY-MM-DD");
        QCOMPARE(readFile(dayDir + "/note_1.txt"), content(5000, 'n'));
        QCOMPARE(readFile(dayDir + "/note.txt"), QByteArray("earlier"));
        QCOMPARE(fieldOf(history, "note.txt", "finalName"), QStringList{"note_1.txt"});
        QCOMPARE(readFile(apache + "/secure/Tree/a b.txt"), content(300, 'a'));
        QCOMPARE(readFile(apache + "/secure/Tree/sub/b.bin"), content(700000, 'b'));
        QCOMPARE(readFile(apache + "/secure/Q3 50% \u00e4 #2.txt"), QByteArray("odd name"));
        // Nothing is left under a temporary name.
        QCOMPARE(entries(apache + "/secure"), QStringList({"Q3 50% \u00e4 #2.txt", "Tree"}));
        QCOMPARE(entries(dayDir), QStringList({"note.txt", "note_1.txt"}));

        QCOMPARE(fieldOf(history, "lost.txt", "success"), QStringList{"missing"});
        const QString error = fieldOf(history, "lost.txt", "error").value(0);
        QVERIFY2(error.contains("password was refused"), qPrintable(error));
        QVERIFY(!inst.log().contains(m_env.value("WEBDAV_PASSWORD")));

        QCOMPARE(inst.terminate(), 0);
        QDir(nginx).removeRecursively();
        QDir(apache).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestDeliveryWebDAV)
#include "test_delivery_webdav.moc"
