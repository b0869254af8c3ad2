// Runs the parcelvane executable as a user or a script would.

#include "blackbox.h"
#include "common/mailbox.h"
#include "common/notifyfixtures.h"

#include <QScopeGuard>

using namespace bb;

class TestCli : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Wrong use and no instance are refused. The --queue client hands a path
    // only to an instance of its own user, through a folder nobody else can
    // write to; one instance per data folder.
    void argumentsAndACommandChannelTrustingOnlyItsUser()
    {
        Home home;
        const QString runtime = home.path() + "/run";
        QVERIFY(QDir().mkpath(runtime));
        QVERIFY(QFile::setPermissions(runtime, QFile::Permissions(0x7000)));
        const QByteArray oldRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
        const auto restore = qScopeGuard([&] { qputenv("XDG_RUNTIME_DIR", oldRuntime); });
        home.writeDest(local("Out", home.path() + "/out"));
        QVERIFY(writeFile(home.path() + "/a.txt", "a"));
        const QString socket = runtime + "/parcelvane-" + home.instanceId() + ".sock";
        QVERIFY(runCli(home, {"--help"}).out.contains("--queue"));
        QCOMPARE(runCli(home, {"--bogus"}).code, 2);
        QCOMPARE(runCli(home, {"--destination", "X"}).code, 2);
        const Result missing = runCli(home, {"--queue", home.path() + "/nope"});
        QCOMPARE(missing.code, 2);
        QVERIFY(missing.err.contains("No such file or folder"));
        const Result none = runCli(home, {"--queue", home.path() + "/a.txt", "--destination", "X"});
        QCOMPARE(none.code, 1);
        QVERIFY(none.err.contains("not running"));
        // A name that is not UTF-8 exists, but cannot be delivered or announced.
        const Result bad = run("bash",
                               {"-c",
                                "f=\"$1/$(printf 'bad\\377name.txt')\"; : > \"$f\"; "
                                "\"$0\" --queue \"$f\"; rc=$?; rm -f \"$f\"; exit $rc",
                                exe(), home.path()},
                               home.env());
        QCOMPARE(bad.code, 2);
        QVERIFY2(bad.err.contains("must be UTF-8"), qPrintable(bad.err));
        {
            Instance inst(home);
            QVERIFY2(inst.waitForLog("Parcelvane "), inst.tail());
            QVERIFY(QFileInfo(socket).exists());
            const Result queued =
                runCli(home, {"--queue", home.path() + "/a.txt", "--destination", "Out"});
            QCOMPARE(queued.code, 0);
            QVERIFY(queued.out.contains("Queued"));
            // One instance per data folder; another data folder runs beside it.
            const Result second = runCli(home, {"--headless"});
            QVERIFY(second.code != 0 && second.err.contains("already running"));
            Home other;
            Instance beside(other);
            QVERIFY2(beside.waitForLog("Parcelvane "), beside.tail());
            QCOMPARE(beside.terminate(), 0);
            QCOMPARE(inst.terminate(), 0);
        }
        if (::getuid() != 0)
            QSKIP("another user's socket needs root to set up");
        QVERIFY(QFile::setPermissions(runtime, QFile::Permissions(0x7777)));
        Result r = runCli(home, {"--queue", home.path() + "/a.txt"});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("writable by other users"), qPrintable(r.err));
        QVERIFY(QFile::setPermissions(runtime, QFile::Permissions(0x7000)));

        // Another user listens at the socket's name first.
        QProcess squatter;
        squatter.start("python3", {"-c", R"(
import os, socket, sys
s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); os.chmod(sys.argv[1], 0o777)
os.setgid(65534); os.setuid(65534); s.listen(1); print("ready", flush=True)
c, _ = s.accept(); c.settimeout(10); got = b""
try:
    while d := c.recv(4096): got += d
except OSError: pass
print("received", len(got), flush=True)
)",
                                   socket});
        QVERIFY(squatter.waitForReadyRead(10000));
        QVERIFY(squatter.readLine().startsWith("ready"));
        r = runCli(home, {"--queue", home.path() + "/a.txt", "--destination", "Out"});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("another user"), qPrintable(r.err));
        QVERIFY(squatter.waitForFinished(20000));
        QCOMPARE(squatter.readAllStandardOutput().trimmed(), QByteArray("received 0"));
    }

    // The footer of a notification names the running version.
    void notificationFooterNamesTheVersion()
    {
        const QMap<QString, QString> smtp = pvtest::serverEnv("smtp");
        QVERIFY2(!smtp.isEmpty(), "the smtp server is not running");
        Home home;
        home.writeSettings({{"disableTallowinFooter", 0}});
        QDir().mkpath(home.app());
        QVERIFY(pv::plist::writeFile(
            home.app() + "/EmailTemplates.xml",
            QVariantList{pvtest::mailTemplate(smtp, smtp.value("SMTP_PASSWORD"))}));
        QVariantMap dest = local("Mailed", home.path() + "/out");
        dest.insert({{"sendEmailBtn", 1},
                     {"QFEmailTemplate", "Mail"},
                     {"emails", QVariantList{QVariantMap{{"email", "a@example.com"}}}}});
        home.writeDest(dest);
        const QString name = "footer-" + QFileInfo(home.path()).fileName() + ".txt";
        QVERIFY(writeFile(home.path() + "/" + name, "x"));

        Instance inst(home);
        QVERIFY2(inst.waitForLog("Parcelvane "), inst.tail());
        QCOMPARE(
            runCli(home, {"--queue", home.path() + "/" + name, "--destination", "Mailed"}).code, 0);
        QVERIFY2(inst.waitFor([&] { return home.records("History.xml").size() == 1; }, 60000),
                 inst.tail());
        QString body;
        for (const QJsonObject &m : pvtest::Mailbox().messages()) {
            if (m.value("headers").toObject().value("subject").toString() == "Delivered " + name)
                body = pvtest::Mailbox::bodyText(m);
        }
        const QString version = runCli(home, {"--version"}).out.trimmed().section(' ', 1);
        QVERIFY(!version.isEmpty());
        QVERIFY2(body.contains("Sent with Parcelvane " + version + ", automatic file delivery"),
                 qPrintable(body));
        QCOMPARE(inst.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
