// parcelvane --import, as a user on a headless machine runs it, with and
// without a running instance.

#include "blackbox.h"

#include <memory>

using namespace bb;

namespace {

Result import(const Home &home, const QStringList &args)
{
    QProcess p;
    QProcessEnvironment env = home.env();
    env.insert("HOME", home.path());
    p.setProcessEnvironment(env);
    // A relative file is this shell's, not the running instance's.
    p.setWorkingDirectory(home.path());
    p.start(exe(), QStringList{"--import"} + args);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

const QByteArray kSites = R"(<?xml version="1.0" encoding="UTF-8"?>
<FileZilla3><Servers>
  <Folder>Clients
    <Server><Host>sftp.example.com</Host><Port>2222</Port><Protocol>1</Protocol>
      <User>ann</User><Pass encoding="base64">c2VjcmV0</Pass><Name>Acme</Name>
      <RemoteDir>1 0 3 www</RemoteDir></Server>
    <Server><Host>s3.example.com</Host><Protocol>7</Protocol><Name>Cloud</Name></Server>
  </Folder>
</Servers></FileZilla3>)";

} // namespace

class TestImportCli : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void importsAndRefuses_data()
    {
        QTest::addColumn<bool>("running");
        QTest::newRow("stopped") << false;
        QTest::newRow("running") << true;
    }
    void importsAndRefuses()
    {
        QFETCH(bool, running);
        Home home;
        QVERIFY(writeFile(home.path() + "/sites/sitemanager.xml", kSites));
        QVERIFY(writeFile(home.path() + "/sites/broken.xml", "<FileZilla3><Servers>"));
        std::unique_ptr<Instance> inst;
        if (running) {
            home.writeDest(local("Placeholder", home.path() + "/unused"));
            inst = std::make_unique<Instance>(home);
            QVERIFY2(inst->waitForLog("Parcelvane "), inst->tail());
        }
        const QString skipped = "Skipped Clients-Cloud: protocol 7 is not supported\n";
        Result r = import(home, {"filezilla", "sites/sitemanager.xml"});
        QCOMPARE(r.err, QString());
        QCOMPARE(r.out, skipped + "Imported Clients-Acme (SFTP Server sftp.example.com)\n"
                                  "1 destinations have been imported\n");
        QCOMPARE(r.code, 0);
        r = import(home, {"filezilla", "sites/sitemanager.xml"});
        QCOMPARE(r.out, skipped + "Imported Clients-Acme 1 (SFTP Server sftp.example.com)\n"
                                  "1 destinations have been imported\n");
        // The second one was numbered, so a running instance's list had the
        // first; it has the second too, so it can deliver there.
        if (running)
            QVERIFY(run(exe(), {"--destinations", "list"}, home.env())
                        .out.contains("Clients-Acme 1\tSFTP Server"));

        const QStringList before = entries(home.app() + "/Destinations");
        r = import(home, {"filezilla", "sites/broken.xml"});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.startsWith(home.path() + "/sites/broken.xml: not XML ("), qPrintable(r.err));
        QCOMPARE(r.out, QString());
        r = import(home, {"cyberduck", "sites/missing.plist"});
        QCOMPARE(r.err, home.path() + "/sites/missing.plist: no such file\n");
        QCOMPARE(r.code, 1);
        QCOMPARE(entries(home.app() + "/Destinations"), before);
        if (running)
            QCOMPARE(inst->terminate(), 0);
    }

    // Without a file the client's own places under HOME are read; wrong use is refused
    // with the usage.
    void defaultPlacesAndUsage()
    {
        Home home;
        QVERIFY(writeFile(
            home.path() + "/.duck/bookmarks/a.duck",
            pv::plist::toXml(QVariantMap{{"Protocol", "davs"}, {"Hostname", "dav.example.com"}})));
        const Result r = import(home, {"cyberduck"});
        QCOMPARE(r.out, "Imported Secure WebDAV Server (Secure WebDAV Server dav.example.com)\n"
                        "1 destinations have been imported\n");
        for (const QStringList &args : {QStringList{}, {"transmit"}, {"filezilla", "a", "b"}}) {
            const Result u = import(home, args);
            QCOMPARE(u.code, 2);
            QVERIFY2(u.err.startsWith("Usage: parcelvane --import"), qPrintable(u.err));
        }
    }
};

QTEST_GUILESS_MAIN(TestImportCli)
#include "test_import_cli.moc"
