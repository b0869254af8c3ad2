// Deliveries through hot folders to every kind of test server at once (ctest
// fixtures ftp, sftp, webdav, s3, samba), read back from where each server
// keeps what it received on this machine. The same road for each: numbered
// instead of replacing, date folders, a tree, an odd name, a wrong password,
// no password in the log or the records; then what is particular to one.

#include "blackbox.h"

#include "common/listener.h"
#include "common/remoteserver.h"
#include "core/plist.h"

using namespace bb;
using pvtest::RemoteServer;

class TestDeliveryRemote : public QObject {
    Q_OBJECT

    struct Row {
        RemoteServer server;
        QString refusal; // the reason a wrong password gives; empty: no such row
        QString link;    // how the download link starts; empty: no link
    };
    QList<Row> m_rows;

    // The records of the items delivered through destination dest.
    static QList<QVariantMap> recordsOf(const QList<QVariantMap> &history, const QString &dest)
    {
        QList<QVariantMap> out;
        for (const QVariantMap &r : history)
            if (r.value("hotfolder").toString().endsWith('/' + dest) ||
                r.value("dest").toMap().value("name").toString() == dest)
                out.append(r);
        return out;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_rows = {{RemoteServer("ftp"), "wrong user name or password", "ftp://"},
                  {RemoteServer("ftps"), {}, "ftps://"},
                  {RemoteServer("ftps-implicit"), {}, "ftps://"},
                  {RemoteServer("pure-ftpd"), {}, "ftp://"},
                  {RemoteServer("sftp"), "wrong user name or password", "sftp://"},
                  {RemoteServer("webdav-nginx"), {}, "http://127.0.0.1\n"},
                  {RemoteServer("webdav-apache"), "password was refused", "https://localhost\n"},
                  {RemoteServer("s3"), "Amazon S3 Error: The request signature we calculated",
                   "http://" + pvtest::serverEnv("s3").value("S3_SERVICE_HOST") + "\n"},
                  {RemoteServer("google"), {}, {}},
                  {RemoteServer("smb"), "wrong user name or password", "smb://"}};
        for (const Row &r : m_rows)
            QVERIFY2(!r.server.env.isEmpty(),
                     qPrintable("no test server for " + r.server.kind +
                                ": run through ctest, which starts tests/servers/"));
    }

    void deliveries()
    {
        Home home;
        const QString hot = home.path() + "/hot";
        const RemoteServer &s3 = m_rows[7].server;
        home.writeSettings({{"watchInterval", 1},
                            {"S3ServiceHost", s3.env.value("S3_SERVICE_HOST")},
                            {"GoogleStorageServiceHost", s3.env.value("GS_SERVICE_HOST")}});
        // The servers outlive one run of the test (buckets have no folders):
        // names of this run only.
        const QString pid = QString::number(QCoreApplication::applicationPid());
        const QString base = "bb-" + pid;
        const QString note = "note " + pid + ".txt", odd = "Q3 50% \u00e4 #2 " + pid + ".pdf";
        const QString numbered = "note " + pid + "_1.txt";
        const QString today = datePath("YYYY-MM-DD");

        QList<QPair<QString, QByteArray>> first, second;
        QStringList done;
        qsizetype items = 0;
        for (const Row &r : m_rows) {
            const QString k = r.server.kind;
            const QString folder = r.server.isBucket() ? QString() : base + '/' + k;
            QVERIFY(folder.isEmpty() || r.server.makeFolder(folder));
            QVariantMap dest = r.server.destination(k, folder);
            // Buckets have no folders: date folders are not made even when asked for.
            for (const char *key : {"yearFolderBtn", "monthFolderBtn", "dateFolderBtn"})
                dest.insert(key, 1);
            home.writeDest(withHotFolder(dest, hot));
            first.append({k + '/' + note, "earlier"});
            second.append({k + '/' + note, content(5000, 'n')});
            second.append({k + '/' + odd, "odd name"});
            done << k + "/Done/" + note << k + "/Done/" + odd;
            items += 3;
            if (!r.server.isBucket()) {
                second.append({k + "/Tree/a b.txt", content(300, 'a')});
                second.append({k + "/Tree/sub \u00e4/b.bin", content(300000, 'b')});
                done << k + "/Done/Tree";
                ++items;
            }
            if (!r.refusal.isEmpty()) {
                home.writeDest(
                    withHotFolder(r.server.destination(k + " wrong", folder, "wrong"), hot));
                second.append({k + " wrong/lost.txt", "never arrives"});
                done << k + " wrong/Errors/lost.txt";
                ++items;
            }
        }
        // Particular to one kind: a web address for FTP links; a zip package,
        // a server nobody listens on and a group with that one last, on SMB;
        // a missing bucket.
        const RemoteServer &ftp = m_rows[0].server, &smb = m_rows[9].server;
        QVariantMap web = ftp.destination("Web", base + "/ftp");
        web.insert("QFUseHTTP", 1);
        web.insert("QFHttpUrl", "https://files.example/pub");
        QVERIFY(smb.makeFolder(base + "/zip #1") && smb.makeFolder(base + "/plain"));
        QVariantMap down = smb.destination("Down", base + "/down");
        down.insert("QFPort", QString::number(pvtest::Listener().port()));
        for (const QVariantMap &dest :
             {web, packaging(smb.destination("Zip", base + "/zip #1"), 0, false, true), down,
              group("Mixed", {"Plain", "Down"}),
              s3.destination("Gone", s3.env.value("S3_MISSING_BUCKET"))})
            home.writeDest(withHotFolder(dest, hot));
        home.writeDest(smb.destination("Plain", base + "/plain"));
        second += {{"Web/web page.txt", "w"},
                   {"Zip/Bundle/x.txt", content(8000, 'x')},
                   {"Down/lost.txt", "never arrives"},
                   {"Mixed/both.txt", content(700, 'm')},
                   {"Gone/lost.txt", "never"}};
        done << "Web/Done/web page.txt"
             << "Zip/Done/Bundle"
             << "Down/Errors/lost.txt"
             << "Mixed/Errors/both.txt"
             << "Gone/Errors/lost.txt";
        items += 6; // the group's item twice

        Instance inst(home);
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());
        // The earlier deliveries first, so the later ones find their names taken.
        QVERIFY(writeFiles(hot, first));
        QStringList firstDone;
        for (const auto &[path, data] : first)
            firstDone << path.section('/', 0, 0) + "/Done/" + note;
        QStringList missing = inst.waitForPaths(hot, firstDone, 240000);
        if (!missing.isEmpty())
            qWarning().noquote() << inst.log().right(20000);
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ")));
        for (const QString &path : firstDone)
            QVERIFY(QFile::remove(hot + '/' + path));
        QVERIFY(writeFiles(hot, second));
        missing = inst.waitForPaths(hot, done, 400000);
        if (!missing.isEmpty())
            qWarning().noquote() << inst.log().right(20000);
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ")));
        QList<QVariantMap> history;
        QVERIFY(inst.waitFor(
            [&] { return (history = home.records("History.xml")).size() == items; }, 20000));

        for (const Row &r : m_rows) {
            const QString k = r.server.kind;
            const QString folder = base + '/' + k + (r.server.isBucket() ? "" : '/' + today);
            const QString what = k + ": " + folder;
            QVERIFY2(r.server.stored(folder, note) == "earlier", qPrintable(what));
            QVERIFY2(r.server.stored(folder, numbered) == content(5000, 'n'), qPrintable(what));
            QVERIFY2(r.server.stored(folder, odd) == "odd name", qPrintable(what));
            QStringList names{note, numbered, odd};
            if (!r.server.isBucket()) {
                QCOMPARE(r.server.stored(folder, "Tree/a b.txt"), content(300, 'a'));
                QCOMPARE(r.server.stored(folder, "Tree/sub \u00e4/b.bin"), content(300000, 'b'));
                // Nothing is left under a temporary name.
                names << "Tree";
                names.sort();
                QCOMPARE(entries(r.server.localPath(folder)), names);
            }
            const QList<QVariantMap> mine = recordsOf(history, k);
            QCOMPARE(fieldOf(mine, note, "finalName"), QStringList({note, numbered}));
            QCOMPARE(fieldOf(mine, note, "success"), QStringList({"ok", "ok"}));
            const QString link = fieldOf(mine, note, "downloadURLForUser").value(1);
            QVERIFY2(link.startsWith(r.link), qPrintable(what + ' ' + link));
            if (r.link.endsWith("://"))
                QVERIFY2(link.endsWith(QUrl::toPercentEncoding(numbered)), qPrintable(link));

            if (!r.refusal.isEmpty()) {
                const QList<QVariantMap> refused = recordsOf(history, k + " wrong");
                QCOMPARE(fieldOf(refused, "lost.txt", "success"), QStringList{"missing"});
                const QString error = fieldOf(refused, "lost.txt", "error").value(0);
                QVERIFY2(error.contains(r.refusal), qPrintable(what + ' ' + error));
            }
            // Neither the log nor the records but the download link hold a password.
            const QString password = r.server.password();
            QVERIFY2(!inst.log().contains(password), qPrintable(what));
            QVERIFY(!inst.log().contains(QUrl::toPercentEncoding(password)));
            for (const char *file : {"History.xml", "Sent.xml"}) {
                QVariantList records = pv::plist::readFile(home.app() + "/" + file).toList();
                for (QVariant &rec : records) {
                    QVariantMap m = rec.toMap();
                    m.remove("downloadURLForUser");
                    rec = m;
                }
                const QByteArray text = pv::plist::toXml(records);
                QVERIFY2(!text.contains(password.toUtf8()), qPrintable(what));
                QVERIFY(!text.contains(QUrl::toPercentEncoding(password)));
            }
        }

        // FTP links: the server's own, or the web address standing for it.
        QCOMPARE(fieldOf(history, "web page.txt", "downloadURLForUser"),
                 QStringList{"https://files.example/pub/web%20page.txt"});
        // The zip arrives whole; the package made for a server is removed.
        const QString zip = smb.localPath(base + "/zip #1") + "/Bundle.zip";
        const Result unzip = run("unzip", {"-tq", zip});
        QVERIFY2(unzip.code == 0, qPrintable(unzip.out + unzip.err));
        QCOMPARE(run("unzip", {"-p", zip, "x.txt"}).out.toUtf8(), content(8000, 'x'));
        QCOMPARE(entries(home.scratch()).filter("Bundle"), QStringList());
        // Nobody listens: not delivered, with the reason; the last member of a
        // group failed: delivered once, the source in "Errors".
        const QString unreachable =
            fieldOf(recordsOf(history, "Down"), "lost.txt", "error").value(0);
        QVERIFY2(unreachable.contains("FILE HAS NOT BEEN DELIVERED!") &&
                     unreachable.contains("Transfer error"),
                 qPrintable(unreachable));
        QCOMPARE(fieldOf(history, "both.txt", "success"), QStringList({"ok", "missing"}));
        QCOMPARE(smb.stored(base + "/plain", "both.txt"), content(700, 'm'));
        QVERIFY(fieldOf(recordsOf(history, "Gone"), "lost.txt", "error")
                    .value(0)
                    .contains("Amazon S3 Error: The specified bucket does not exist"));
        // The type of an object follows its name.
        QVERIFY(readFile(s3.localPath({}) + '/' + odd + "._S3rver_metadata.json")
                    .contains("application/pdf"));
        // The SSH host key is recorded where the user can see it.
        QVERIFY(readFile(home.app() + "/known_hosts")
                    .startsWith("[127.0.0.1]:" + m_rows[4].server.env.value("SFTP_PORT").toUtf8() +
                                " "));

        QCOMPARE(inst.terminate(), 0);
        for (const Row &r : m_rows)
            if (!r.server.isBucket())
                QDir(r.server.localPath(base)).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestDeliveryRemote)
#include "test_delivery_remote.moc"
