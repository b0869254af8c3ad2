// Deliveries through hot folders to every kind of test server at once (ctest
// fixtures ftp, sftp, webdav, s3, samba), read back from where each server
// keeps what it received on this machine. The same road for each: numbered
// instead of replacing, date folders, a tree, an odd name, a wrong password,
// no password in the log or the records; then what is particular to one.
// Also the listing command line through a server.

#include "blackbox.h"

#include "common/remoteserver.h"
#include "core/plist.h"

#include <QJsonArray>
#include <QJsonDocument>

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
        // Each kind's own names, as records tell items apart by name.
        const auto note = [&](const QString &k, const QString &n = {}) {
            return "note " + pid + ' ' + k + n + ".txt";
        };
        const QString odd = "Q3 50% \u00e4 #2 " + pid + ".pdf";
        const QString today = datePath("YYYY-MM-DD");

        QList<QPair<QString, QByteArray>> first, second;
        QStringList done, firstDone;
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
            first.append({k + '/' + note(k), "earlier"});
            firstDone << k + "/Done/" + note(k);
            second.append({k + '/' + note(k), content(5000, 'n')});
            second.append({k + '/' + odd, "odd name"});
            done << k + "/Done/" + note(k) << k + "/Done/" + odd;
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
                second.append({k + " wrong/lost " + k, "never arrives"});
                done << k + " wrong/Errors/lost " + k;
                ++items;
            }
        }
        // Particular to SMB: a zip package.
        const RemoteServer &smb = m_rows[9].server;
        QVERIFY(smb.makeFolder(base + "/zip #1"));
        home.writeDest(withHotFolder(
            packaging(smb.destination("Zip", base + "/zip #1"), 0, false, true), hot));
        second.append({"Zip/Bundle/x.txt", content(8000, 'x')});
        done << "Zip/Done/Bundle";
        ++items;

        Instance inst(home);
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());
        // The earlier deliveries first, so the later ones find their names taken.
        QVERIFY(writeFiles(hot, first));
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
            const QString numbered = note(k, "_1");
            QVERIFY2(r.server.stored(folder, note(k)) == "earlier", qPrintable(what));
            QVERIFY2(r.server.stored(folder, numbered) == content(5000, 'n'), qPrintable(what));
            QVERIFY2(r.server.stored(folder, odd) == "odd name", qPrintable(what));
            QStringList names{note(k), numbered, odd};
            if (!r.server.isBucket()) {
                QCOMPARE(r.server.stored(folder, "Tree/a b.txt"), content(300, 'a'));
                QCOMPARE(r.server.stored(folder, "Tree/sub \u00e4/b.bin"), content(300000, 'b'));
                // Nothing is left under a temporary name.
                names << "Tree";
                names.sort();
                QCOMPARE(entries(r.server.localPath(folder)), names);
            }
            QCOMPARE(fieldOf(history, note(k), "finalName"), QStringList({note(k), numbered}));
            QCOMPARE(fieldOf(history, note(k), "success"), QStringList({"ok", "ok"}));
            const QString link = fieldOf(history, note(k), "downloadURLForUser").value(1);
            QVERIFY2(link.startsWith(r.link), qPrintable(what + ' ' + link));
            if (r.link.endsWith("://"))
                QVERIFY2(link.endsWith(QUrl::toPercentEncoding(numbered)), qPrintable(link));

            if (!r.refusal.isEmpty()) {
                QCOMPARE(fieldOf(history, "lost " + k, "success"), QStringList{"missing"});
                const QString error = fieldOf(history, "lost " + k, "error").value(0);
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

        // The zip arrives whole; the package made for a server is removed.
        const QString zip = smb.localPath(base + "/zip #1") + "/Bundle.zip";
        QCOMPARE(run("unzip", {"-p", zip, "x.txt"}).out.toUtf8(), content(8000, 'x'));
        QCOMPARE(entries(home.scratch()).filter("Bundle"), QStringList());
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

    // `parcelvane --list`: a destination's folder as a script reads it, as
    // lines or JSON, with and without a running instance.
    void listing()
    {
        Home home;
        const QString folder = home.path() + "/out";
        home.writeDest(local("Local", folder));
        QVERIFY(QDir().mkpath(folder + "/sub"));
        QVERIFY(writeFile(folder + "/b.txt", "12345"));
        // Names a line-based reader must still tell apart.
        QVERIFY(writeFile(folder + "/tab\there\nand\\\x01.txt", "x"));
        const RemoteServer &sftp = m_rows[4].server;
        const QString remote = "cli-" + QString::number(QCoreApplication::applicationPid());
        QVERIFY(sftp.makeFolder(remote + "/inner"));
        QVERIFY(
            writeFile(sftp.localPath(remote) + "/inner/remote file.bin", QByteArray(2000, 'r')));
        home.writeDest(sftp.destination("Server", remote));
        QVariantMap bucket = m_rows[7].server.destination("Bucket", {});
        bucket.insert("pathField", "");
        home.writeDest(bucket);

        Result r = runCli(home, {"--list", "Local"});
        QCOMPARE(r.code, 0);
        const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY2(
            QRegularExpression("^b\\.txt\tfile\t5\t\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$")
                .match(lines[0])
                .hasMatch(),
            qPrintable(lines[0]));
        QVERIFY(lines[1].startsWith("sub\tfolder\t"));
        QVERIFY(lines[2].startsWith("tab\\there\\nand\\\\\\x01.txt\tfile\t1\t"));

        // PATH below the folder, through the server, while an instance runs.
        Instance instance(home);
        r = runCli(home, {"--list", "Server", "inner", "--json"});
        QCOMPARE(r.code, 0);
        const QJsonArray listed = QJsonDocument::fromJson(r.out.toUtf8()).array();
        QCOMPARE(listed.size(), 1);
        QCOMPARE(listed[0]["name"].toString(), "remote file.bin");
        QCOMPARE(listed[0]["kind"].toString(), "file");
        QCOMPARE(listed[0]["size"].toInt(), 2000);
        QVERIFY(listed[0]["modified"].toString().endsWith('Z'));

        // Failures: on standard error, with a non-zero exit.
        r = runCli(home, {"--list", "Server", "no such folder"});
        QVERIFY(r.code != 0 && r.out.isEmpty());
        QVERIFY2(r.err.startsWith("Unable to list directory\n"), qPrintable(r.err));
        r = runCli(home, {"--list", "Nowhere"});
        QVERIFY(r.code != 0);
        QCOMPARE(r.err, "Destination not found:\nThe destination \"Nowhere\" does not exist.\n");
        r = runCli(home, {"--list", "Bucket"});
        QVERIFY(r.code != 0);
        QCOMPARE(r.err, "Bucket name is missing\nBucket name is required to connect to the "
                        "destination\n");
        QDir(sftp.localPath(remote)).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestDeliveryRemote)
#include "test_delivery_remote.moc"
