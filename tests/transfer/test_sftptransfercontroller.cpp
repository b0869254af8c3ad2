// SFTPTransferController and deliveries against the private OpenSSH server of
// tests/servers/sftp.sh (ctest fixture "sftp"; connection details in
// $PV_BINARY_DIR/servers/sftp.env).

#include "common/listener.h"
#include "common/serverenv.h"
#include "common/testenv.h"
#include "controllerchecks.h"
#include "core/dates.h"
#include "transfer/sftptransfercontroller.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace pv;
using namespace deliverytest;

class TestSFTPTransferController : public QObject {
    Q_OBJECT

    pvtest::IsolatedHome m_home; // known_hosts of these tests only
    QMap<QString, QString> m_env;
    QTemporaryDir m_local;
    int m_folderCount = 0;
    QString m_folder;
    std::unique_ptr<SFTPTransferController> m_c;
    RecordingDelegate m_d;

    QUrl serverURL(const QString &path = {}, const QString &password = {}, int port = 0) const
    {
        QUrl url;
        url.setScheme("ssh");
        url.setHost(m_env.value("SFTP_HOST"));
        url.setPort(port ? port : m_env.value("SFTP_PORT").toInt());
        url.setUserName(m_env.value("SFTP_USER"));
        url.setPassword(password.isNull() ? m_env.value("SFTP_PASSWORD") : password);
        url.setPath(m_env.value("SFTP_ROOT") + path);
        return url;
    }
    static std::unique_ptr<SFTPTransferController> create(const QUrl &url)
    {
        return FileTransferController::create<SFTPTransferController>(url);
    }
    QString rootDir(const QString &rel = {}) const
    {
        return m_env.value("SFTP_ROOT") + '/' + m_folder + (rel.isEmpty() ? "" : '/' + rel);
    }
    bool freshFolder()
    {
        m_folder = QStringLiteral("t%1-%2 50%25 ä").arg(::getpid()).arg(++m_folderCount);
        auto root = create(serverURL());
        if (!root || !root->createDirectoryAtPath(m_folder))
            return false;
        m_c = create(serverURL('/' + m_folder));
        m_d.clear();
        m_c->setDelegate(&m_d);
        return true;
    }
    controllercheck::Rig rig()
    {
        if (!freshFolder())
            qFatal("cannot make a folder on the server");
        return {m_c.get(), m_d, rootDir(), m_local.path(), false};
    }
    // Ends every connection the server serves (its per-connection processes
    // and their children).
    void killConnections() const
    {
        QMap<QString, QStringList> children;
        for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
            QFile stat("/proc/" + pid + "/stat");
            if (stat.open(QIODevice::ReadOnly))
                children[stat.readAll().split(')').value(1).split(' ').value(2)] << pid;
        }
        QStringList todo = children.value(m_env.value("SFTP_PID"));
        while (!todo.isEmpty()) {
            const QString pid = todo.takeFirst();
            todo << children.value(pid);
            ::kill(pid.toInt(), SIGKILL);
        }
    }
    // The client ends of this machine's open connections to the server.
    QSet<QString> clientPorts() const
    {
        QFile tcp("/proc/net/tcp");
        if (!tcp.open(QIODevice::ReadOnly))
            return {};
        const QString port =
            QStringLiteral("%1").arg(m_env.value("SFTP_PORT").toInt(), 4, 16, QLatin1Char('0'));
        QSet<QString> ports;
        for (const QByteArray &line : tcp.readAll().split('\n')) {
            const QStringList f = QString::fromLatin1(line).simplified().split(' ');
            if (f.size() > 3 && f[2].endsWith(':' + port.toUpper()) && f[3] == "01")
                ports.insert(f[1]);
        }
        return ports;
    }
    QString deliveryURL() const
    {
        auto esc = [](const QString &t) { return QString(QUrl::toPercentEncoding(t)); };
        return QStringLiteral("ssh://%1:%2@%3:%4%5")
            .arg(esc(m_env.value("SFTP_USER")), esc(m_env.value("SFTP_PASSWORD")),
                 m_env.value("SFTP_HOST"), m_env.value("SFTP_PORT"),
                 QString(QUrl::toPercentEncoding(rootDir(), "/")));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = pvtest::serverEnv("sftp");
        QVERIFY2(m_env.contains("SFTP_PORT"), "no test server: run through ctest, which starts "
                                              "tests/servers/sftp.sh");
        QVERIFY(m_local.isValid());
    }

    void urlRules()
    {
        for (const char *url : {"ssh://u@host/p", "ssh://host/p", "ssh://:pw@host/p",
                                "ssh://u:pw@/p", "sftp://u:pw@host/p"})
            QVERIFY2(!create(QUrl(url)), url);
        auto c = FileTransferController::fileTransferControllerWithURL(QUrl("ssh://u:p@h/x"));
        QVERIFY(dynamic_cast<SFTPTransferController *>(c.get()));
        QCOMPARE(SFTPTransferController::fingerprint("abc"),
                 QStringLiteral("SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0"));
    }

    void uploadAndDownload() { controllercheck::uploadAndDownload(rig()); }
    void placementWithoutReplacing() { controllercheck::placementWithoutReplacing(rig()); }
    void abortLeavesNoPartialFile() { controllercheck::abortLeavesNoPartialFile(rig()); }

    // Listings leave links out; uploads are 0755 and replace; deleting what is
    // not there succeeds, what the server refuses fails with its status; moves
    // replace files and folders.
    void operations()
    {
        QVERIFY(freshFolder());
        QVERIFY(m_c->createDirectoryAtPath("sub") && m_c->uploadFileFromData("12345", "a.txt"));
        QVERIFY(QFile::link(rootDir("a.txt"), rootDir("link")));
        QVERIFY(QFile::link(rootDir("nowhere"), rootDir("dangling")));
        m_d.clear();
        const auto listing = m_c->contentsOfDirectoryAtPath({});
        QCOMPARE(m_d.events, Events({"start", "success"}));
        QCOMPARE(listing.value_or(RemoteListing()).keys(), QStringList({"a.txt", "sub"}));
        QCOMPARE(listing->value("a.txt").value(kNSFileSize).toLongLong(), 5);
        QCOMPARE(listing->value("sub").value(kNSFileType).toString(),
                 QString(kNSFileTypeDirectory));
        QVERIFY(qAbs(listing->value("a.txt")
                         .value(kNSFileModificationDate)
                         .toDateTime()
                         .secsTo(QDateTime::currentDateTimeUtc())) < 60);
        QVERIFY(m_c->itemExists("dangling").value_or(false));
        QVERIFY(!m_c->itemExists("sub/none").value_or(true));
        QVERIFY(m_c->checkFolderAtPath("sub") && !m_c->checkFolderAtPath("a.txt"));

        QVERIFY(m_c->uploadFileFromData("new", "a.txt"));
        QCOMPARE(readFile(rootDir("a.txt")), QByteArray("new"));
        QCOMPARE(QFileInfo(rootDir("a.txt")).permissions() & 0x0777, QFile::Permissions(0x0755));

        QVERIFY(m_c->deleteFileAtPath("missing") && m_c->deleteDirectoryAtPath("missing"));
        QVERIFY(::mkdir(QFile::encodeName(rootDir("locked")), 0755) == 0); // root's
        writeFile(rootDir("locked/f"), "f");
        m_d.clear();
        const Result refused = m_c->deleteFileAtPath("locked/f");
        QCOMPARE(m_d.events, Events({"start", "fail"}));
        QCOMPARE(refused.error().domain, QString(kLibssh2ErrorDomain));
        QCOMPARE(refused.error().code, -31);
        QCOMPARE(refused.error().userInfoValue(SFTPTransferController::kSFTPLastErrorKey).toInt(),
                 3);
        QVERIFY2(refused.error().description.contains("permission denied"),
                 qPrintable(refused.error().description));
        QVERIFY(!m_c->uploadFileFromData("x", "locked/new.txt"));
        QCOMPARE(entries(rootDir("locked")), QStringList("f"));

        QVERIFY(m_c->movePath("a.txt", "sub"));
        QCOMPARE(readFile(rootDir("sub")), QByteArray("new"));
        QVERIFY(m_c->createDirectoryAtPath("tree") && m_c->uploadFileFromData("t", "tree/t"));
        QVERIFY(m_c->deleteDirectoryRecursivelyAtPath("tree") && m_c->deleteFileAtPath("sub"));
        QCOMPARE(entries(rootDir()), QStringList({"dangling", "link", "locked"}));
    }

    // Before any folder is reached: the reason names the host, never the password.
    void unreachableServers()
    {
        pvtest::Listener silent;
        const int closedPort = pvtest::Listener().port();
        const std::pair<QUrl, QString> cases[] = {
            {serverURL({}, "wrong"), "wrong user name or password"},
            {serverURL({}, {}, closedPort), "Connection refused"},
            {serverURL({}, {}, silent.port()), "did not start an SSH session"}};
        for (const auto &[url, reason] : cases) {
            auto c = create(url);
            c->setTimeOut(2);
            RecordingDelegate d;
            c->setDelegate(&d);
            QVERIFY(!c->contentsOfDirectoryAtPath("/").ok());
            QVERIFY(!c->uploadFileFromData("x", "x.txt"));
            QCOMPARE(d.events, Events({"start", "fail", "start", "fail"}));
            const TransferError &e = d.errors.first();
            QCOMPARE(e.description, QStringLiteral("\"ssh://127.0.0.1:%1%2\" is not reachable")
                                        .arg(url.port())
                                        .arg(m_env.value("SFTP_ROOT")));
            const QString why = e.userInfoValue(SFTPTransferController::kSSHErrorKey).toString();
            QVERIFY2(why.contains(reason) && why.contains("127.0.0.1"), qPrintable(why));
            QVERIFY(!why.contains(m_env.value("SFTP_PASSWORD")));
        }
    }

    // A tree into year/month/date folders, then the same tree again under the
    // next free name; a burst of controllers shares one log-on; a folder the
    // user may not write into fails the delivery with the server's reason.
    void deliveries()
    {
        QVERIFY(freshFolder());
        const QDateTime old(QDate(2018, 7, 1), QTime(8, 30, 0), Qt::UTC);
        const QString top = m_local.filePath("Job 50% ä");
        QVERIFY(QDir().mkpath(top + "/inner/deeper"));
        writeFile(top + "/readme.txt", "read me");
        writeFile(top + "/inner/data.bin", pattern(600000));
        writeFile(top + "/inner/deeper/x.txt", "x");
        const QVariantMap dest{{"yearFolderBtn", 1}, {"monthFolderBtn", 1}, {"dateFolderBtn", 1}};
        const QDateTime now = QDateTime::currentDateTime();
        const QString datePath = formatDate(now, "%Y") + '/' + formatDate(now, "%m-%Y") + '/' +
                                 formatDate(now, "%Y-%m-%d");
        const QSet<QString> before = clientPorts();
        for (const char *name : {"Job 50% ä", "Job 50% ä_1"}) {
            const TestReceiver r = deliver(parameters(top, deliveryURL(), dest, old));
            QCOMPARE(r.events.last(), QStringLiteral("success"));
            QCOMPARE(r.dateFolderPath, datePath);
            const QString out = rootDir(datePath + '/' + name);
            QCOMPARE(readFile(out + "/inner/data.bin"), pattern(600000));
            QCOMPARE(readFile(out + "/inner/deeper/x.txt"), QByteArray("x"));
        }
        QCOMPARE(entries(rootDir(datePath)), QStringList({"Job 50% ä", "Job 50% ä_1"}));
        QVERIFY2((clientPorts() - before).size() <= 1, "a log-on per delivery");

        // The connection a delivery takes over tells a missing folder too.
        const QString nowhere = deliveryURL() + "/missing";
        const TestReceiver missing = deliver(parameters(top + "/readme.txt", nowhere, {}, old));
        QCOMPARE(missing.failure().error, QStringLiteral("Unable to list directory"));

        QVERIFY(::mkdir(QFile::encodeName(rootDir("locked")), 0755) == 0);
        const QUrl locked(deliveryURL() + "/locked");
        const TestReceiver r = deliver(parameters(top + "/readme.txt", locked.toString(), {}, old));
        QCOMPARE(r.events.last(), QStringLiteral("error"));
        QVERIFY2(r.failure().error.contains("permission denied"), qPrintable(r.failure().error));
        QCOMPARE(entries(rootDir("locked")), QStringList());
    }

    // The server drops the connection mid-upload: the upload fails, nothing
    // carries the final name, and the next operation connects again.
    void connectionLostMidUpload()
    {
        QVERIFY(freshFolder());
        m_d.abortWhen = [this](FileTransferController *c) {
            if (c->transferProgress() > 0.3f)
                killConnections();
            return false;
        };
        const Result r = m_c->uploadFileFromData(pattern(64 << 20), "big.bin");
        m_d.abortWhen = nullptr;
        QVERIFY(!r.ok() && !r.isAbandoned());
        QCOMPARE(m_d.events.last(), QStringLiteral("fail"));
        QCOMPARE(r.error().domain, QString(kLibssh2ErrorDomain));
        QVERIFY(!QFileInfo::exists(rootDir("big.bin")));
        QVERIFY(m_c->uploadFileFromData("again", "small.txt"));
        QCOMPARE(readFile(rootDir("small.txt")), QByteArray("again"));
    }

    // Runs last: gives the server new host keys. The first connection recorded
    // the key; a different one stops the delivery before anything is sent.
    void hostKeyChanged()
    {
        QVERIFY(freshFolder());
        const QString known = SFTPTransferController::knownHostsPath();
        const QByteArray line = readFile(known);
        QVERIFY2(line.startsWith("[127.0.0.1]:" + m_env.value("SFTP_PORT").toUtf8() + " ecdsa-"),
                 line.constData());
        QCOMPARE(QProcess::execute("ssh-keygen", {"-l", "-f", known}), 0);

        const QString script = qEnvironmentVariable("PV_SOURCE_DIR") + "/tests/servers/sftp.sh";
        const QString dir = qEnvironmentVariable("PV_BINARY_DIR") + "/servers";
        QCOMPARE(QProcess::execute("bash", {script, "rekey", dir}), 0);
        killConnections(); // so no idle connection to the old key is taken

        writeFile(m_local.filePath("sent.txt"), "never");
        const TestReceiver r =
            deliver(parameters(m_local.filePath("sent.txt"), deliveryURL(), {}, QDateTime()));
        QCOMPARE(r.events.last(), QStringLiteral("error"));
        const QString text = r.failure().errorInfo;
        const QString now = QString::fromUtf8(
            pvtest::run("ssh-keygen", {"-l", "-f", dir + "/sftp/host_ecdsa.pub"}).split(' ')[1]);
        const QString was =
            QString::fromUtf8(pvtest::run("ssh-keygen", {"-l", "-f", known})).section(' ', 1, 1);
        QVERIFY2(text.contains("has changed") && text.contains(now) && text.contains(was) &&
                     text.contains("[127.0.0.1]:" + m_env.value("SFTP_PORT")),
                 qPrintable(text));
        QCOMPARE(entries(rootDir()), QStringList());
        QCOMPARE(readFile(known), line); // the recorded key stays
    }
};

QTEST_GUILESS_MAIN(TestSFTPTransferController)
#include "test_sftptransfercontroller.moc"
