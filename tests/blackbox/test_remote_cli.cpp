// `parcelvane --list`: the contents of a destination's folder, as a script
// reads them, with and without a running instance.

#include "blackbox.h"
#include "common/remoteserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace bb;

class TestRemoteCli : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void listing()
    {
        Home home;
        const QString folder = home.path() + "/out";
        QVERIFY(QDir().mkpath(folder + "/sub"));
        QVERIFY(writeFile(folder + "/b.txt", "12345"));
        // Names a line-based reader must still tell apart.
        QVERIFY(writeFile(folder + "/tab\there\nand\\\x01.txt", "x"));
        home.writeDest({{"name", "Local"},
                        {"type", 0},
                        {"QFDestType", "Local Disk"},
                        {"pathField", folder},
                        {"sendFTPBtn", 1}});
        const QString pid = QString::number(QCoreApplication::applicationPid());
        const pvtest::RemoteServer sftp("sftp");
        QVERIFY2(!sftp.env.isEmpty(), "run through ctest, which starts the servers");
        QVERIFY(sftp.makeFolder("cli-" + pid + "/inner"));
        QVERIFY(writeFile(sftp.localPath("cli-" + pid) + "/inner/remote file.bin",
                          QByteArray(2000, 'r')));
        home.writeDest(sftp.destination("Server", "cli-" + pid));
        QVariantMap s3 = pvtest::RemoteServer("s3").destination("Bucket", {});
        s3.insert("pathField", "");
        home.writeDest(s3);

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
        const QJsonArray entries = QJsonDocument::fromJson(r.out.toUtf8()).array();
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries[0]["name"].toString(), "remote file.bin");
        QCOMPARE(entries[0]["kind"].toString(), "file");
        QCOMPARE(entries[0]["size"].toInt(), 2000);
        QVERIFY(entries[0]["modified"].toString().endsWith('Z'));

        // Failures: on standard error, with a non-zero exit.
        r = runCli(home, {"--list", "Server", "no such folder"});
        QVERIFY(r.code != 0);
        QVERIFY2(r.err.startsWith("Unable to list directory\n"), qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
        r = runCli(home, {"--list", "Nowhere"});
        QVERIFY(r.code != 0);
        QCOMPARE(r.err, "Destination not found:\nThe destination \"Nowhere\" does not exist.\n");
        r = runCli(home, {"--list", "Bucket"});
        QVERIFY(r.code != 0);
        QCOMPARE(r.err, "Bucket name is missing\nBucket name is required to connect to the "
                        "destination\n");
        QDir(sftp.localPath("cli-" + pid)).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestRemoteCli)
#include "test_remote_cli.moc"
