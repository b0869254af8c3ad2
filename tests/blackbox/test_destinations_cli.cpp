// The --destinations and --import command lines, as a script on a headless
// machine uses them, with and without a running instance.

#include "blackbox.h"
#include "prefs/prefs.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace bb;

namespace {

// Relative folders are the shell's, not the running instance's; HOME holds
// the clients' own bookmark places.
Result dest(const Home &home, const QStringList &args, const QByteArray &input = {},
            const QString &mode = "--destinations")
{
    QProcessEnvironment env = home.env();
    env.insert("HOME", home.path());
    return run(exe(), QStringList{mode} + args, env, home.path(), input);
}

const QByteArray kSites = R"(<FileZilla3><Servers><Folder>Clients
  <Server><Host>sftp.example.com</Host><Protocol>1</Protocol><Name>Acme</Name></Server>
  <Server><Host>s3.example.com</Host><Protocol>7</Protocol><Name>Cloud</Name></Server>
</Folder></Servers></FileZilla3>)";

QJsonObject shown(const Home &home, const QString &name)
{
    return QJsonDocument::fromJson(dest(home, {"show", name, "--json"}).out.toUtf8()).object();
}

QVariantMap stored(const Home &home, const QString &name)
{
    return pv::plist::readFile(home.app() + "/Destinations/" + name + ".dest").toMap();
}

} // namespace

class TestDestinationsCli : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Without an instance. Refused names and codes (the rules themselves are
    // the store's test): the window's alert texts on standard error, a
    // non-zero exit, and nothing written.
    void commandsWithoutAnInstance()
    {
        Home home;
        QCOMPARE(dest(home, {"add", "Proofs", "--type", "FTP Server", "--code", "PR1"}).code, 0);
        QCOMPARE(dest(home, {"add", "Print", "--type", "FTP Server"}).code, 0);
        const QStringList before = entries(home.app() + "/Destinations");
        const QList<QPair<QStringList, QString>> refused{
            {{"add", "a/b", "--type", "FTP Server"},
             "Error\nDestination names cannot contain the following characters: : / [ ]\n"},
            {{"add", "New", "--type", "FTP Server", "--code", "a-b"},
             "Destination codes can only contain letters and numbers\n"},
            {{"set", "Print", "code", "PR1"},
             "This code already assigned to another destination\nPlease choose a different "
             "code.\n"},
            {{"show", "Nobody"},
             "Destination not found:\nThe destination \"Nobody\" does not exist.\n"}};
        for (const auto &[args, err] : refused) {
            const Result r = dest(home, args);
            QCOMPARE(r.err, err);
            QCOMPARE(r.code, 1);
        }
        QCOMPARE(entries(home.app() + "/Destinations"), before);
        QCOMPARE(stored(home, "Print").value("QFDestCode").toString(), QString());
        // Two destinations may both go without a code, and renaming to the
        // same name changes nothing.
        QCOMPARE(dest(home, {"rename", "Print", "Print"}).code, 0);
        QCOMPARE(dest(home, {"set", "Print", "code", ""}).code, 0);

        // The password comes from standard input, is stored scrambled and is
        // never printed; option switches follow the window's dependencies.
        QCOMPARE(
            dest(home, {"add", "S", "--type", "SFTP Server", "--password-stdin"}, "s3cr3t\n").code,
            0);
        const QString scrambled = stored(home, "S").value("sitePasswordField").toString();
        QCOMPARE(pv::Prefs::decryptPassword(scrambled), "s3cr3t");
        for (const QStringList &args :
             {QStringList{"show", "S"}, QStringList{"show", "S", "--json"},
              QStringList{"list", "--json"}}) {
            const Result r = dest(home, args);
            QCOMPARE(r.code, 0);
            QVERIFY(!r.out.contains("s3cr3t") && !r.out.contains(scrambled.left(12)));
        }
        QCOMPARE(shown(home, "S").value("passwordSet").toBool(), true);
        QVERIFY(dest(home, {"set", "S", "password", "inline"}).code != 0);
        QCOMPARE(dest(home, {"set", "S", "password", "--password-stdin"}, "").code, 0);
        QCOMPARE(stored(home, "S").value("sitePasswordField").toString(), QString());

        // One dependency proves the rules are applied (the window's test has them all).
        QVERIFY(dest(home, {"set", "S", "monthFolderBtn", "1"}).code != 0);
        QCOMPARE(dest(home, {"set", "S", "yearFolderBtn", "1"}).code, 0);
        QCOMPARE(dest(home, {"set", "S", "monthFolderBtn", "1"}).code, 0);
        QCOMPARE(stored(home, "S").value("monthFolderBtn").toInt(), 1);
        QCOMPARE(dest(home, {"set", "S", "bogusKey", "1"}).code, 1);
        QCOMPARE(dest(home, {"frobnicate"}).code, 2);

        // Without a file the importer reads the client's own places under
        // HOME; a missing file and wrong use are refused.
        QVERIFY(writeFile(
            home.path() + "/.duck/bookmarks/a.duck",
            pv::plist::toXml(QVariantMap{{"Protocol", "davs"}, {"Hostname", "dav.example.com"}})));
        const Result r = dest(home, {"cyberduck"}, {}, "--import");
        QCOMPARE(r.out, "Imported Secure WebDAV Server (Secure WebDAV Server dav.example.com)\n"
                        "1 destinations have been imported\n");
        const Result missing = dest(home, {"cyberduck", "missing.plist"}, {}, "--import");
        QCOMPARE(missing.err, home.path() + "/missing.plist: no such file\n");
        QCOMPARE(missing.code, 1);
        for (const QStringList &args : {QStringList{}, {"transmit"}, {"filezilla", "a", "b"}}) {
            const Result u = dest(home, args, {}, "--import");
            QCOMPARE(u.code, 2);
            QVERIFY2(u.err.startsWith("Usage: parcelvane --import"), qPrintable(u.err));
        }
    }

    // Picking a type sets its port (an explicit port wins), cloud types fix
    // their host, a host keeps no scheme and an empty port is "21".
    void typesPortsAndFields()
    {
        Home home;
        // Each type's default port (and the bucket services' host).
        const QList<QStringList> rows{{"FTP Server", "21", "h"},
                                      {"FTPS (FTP-SSL)", "21", "h"},
                                      {"SFTP Server", "22", "h"},
                                      {"WebDAV Server", "80", "h"},
                                      {"Secure WebDAV Server", "443", "h"},
                                      {"AFP Server", "548", "h"},
                                      {"SMB Server", "445", "h"},
                                      {"Amazon S3", "443", "s3.amazonaws.com"},
                                      {"Google Storage", "443", "storage.googleapis.com"}};
        for (const QStringList &r : rows) {
            const QString &type = r[0], &name = r[0];
            const bool fixedHost = r[2] != "h";
            QCOMPARE(dest(home, QStringList{"add", name, "--type", type} +
                                    (fixedHost ? QStringList() : QStringList{"--host", "ftp://h"}))
                         .err,
                     QString());
            const QJsonObject d = shown(home, name);
            QCOMPARE(d.value("QFPort").toString(), r[1]);
            QCOMPARE(d.value("hostField").toString(), r[2]);
            QCOMPARE(stored(home, name).value("QFDestType").toString(), type);
            QCOMPARE(dest(home, {"set", name, "host", "elsewhere"}).code != 0, fixedHost);
            if (fixedHost)
                continue;
            QCOMPARE(dest(home, {"set", name, "port", ""}).code, 0);
            QCOMPARE(shown(home, name).value("QFPort").toString(), "21");
            QCOMPARE(dest(home, {"add", name + " 2", "--type", type, "--port", "2121"}).code, 0);
            QCOMPARE(shown(home, name + " 2").value("QFPort").toString(), "2121");
        }
    }

    // With an instance running the commands go to it (it holds the lock),
    // folders given relative to the shell arrive absolute, and its watcher
    // takes the new hot folder. Rename, remove, group upkeep and import
    // numbering are the store's and the importer's tests; here each command
    // only has to reach the instance's store.
    void runningInstanceTakesTheCommands()
    {
        Home home;
        const QString hot = home.path() + "/hot";
        QVERIFY(QDir().mkpath(hot) && QDir().mkpath(home.path() + "/out"));
        home.writeDest(local("Placeholder", home.path() + "/unused"));
        Instance inst(home);
        QVERIFY2(inst.waitForLog("Parcelvane "), inst.tail());
        QCOMPARE(dest(home, {"add", "Out", "--type", "Local Disk", "--path", "out", "--hot-folder",
                             "hot"})
                     .err,
                 QString());
        QCOMPARE(entries(hot + "/Out"), QStringList({"Done", "Errors", "Priority"}));
        QCOMPARE(dest(home, {"add", "Both", "--type", "group", "--member", "Out"}).code, 0);
        QVERIFY(dest(home, {"add", "Nested", "--type", "group", "--member", "Both"}).code != 0);
        QVERIFY(writeFile(hot + "/Out/drop.txt", "x"));
        QVERIFY2(inst.waitForPaths(home.path() + "/out", {"drop.txt"}).isEmpty(), inst.tail());

        QCOMPARE(dest(home, {"rename", "Out", "Final"}).err, QString());
        QCOMPARE(dest(home, {"set", "Both", "members", "Placeholder", "Final"}).code, 0);
        QCOMPARE(shown(home, "Both").value("members").toArray(),
                 QJsonArray({"Placeholder", "Final"}));
        QCOMPARE(dest(home, {"remove", "Final"}).err, QString());

        QVERIFY(writeFile(home.path() + "/sites/sitemanager.xml", kSites));
        const Result r = dest(home, {"filezilla", "sites/sitemanager.xml"}, {}, "--import");
        QCOMPARE(r.out, "Skipped Clients-Cloud: protocol 7 is not supported\n"
                        "Imported Clients-Acme (SFTP Server sftp.example.com)\n"
                        "1 destinations have been imported\n");
        QCOMPARE(r.code, 0);
        QVERIFY(dest(home, {"list"}).out.contains("Clients-Acme\tSFTP Server\t"));
        QCOMPARE(dest(home, {"show", "Final"}).code, 1);
        QCOMPARE(inst.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDestinationsCli)
#include "test_destinations_cli.moc"
