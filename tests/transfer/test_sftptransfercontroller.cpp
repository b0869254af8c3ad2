// SFTPTransferController and deliveries against the private OpenSSH server of
// tests/servers/sftp.sh (ctest fixture "sftp"; connection details in
// $PV_BINARY_DIR/servers/sftp.env).

#include "common/listener.h"
#include "common/serverenv.h"
#include "common/testenv.h"
#include "controllerchecks.h"
#include "transfer/sftptransfercontroller.h"
#include "transfer/urlparameters.h"

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
    controllercheck::Server m_s{
        [this](const QString &f) { return create(serverURL(f.isEmpty() ? f : '/' + f)); }};

    QUrl serverURL(const QString &path = {}, int port = 0) const
    {
        return urlWithScheme(
            "ssh", m_env.value("SFTP_USER"), m_env.value("SFTP_PASSWORD"), m_env.value("SFTP_HOST"),
            port ? port : m_env.value("SFTP_PORT").toInt(), m_env.value("SFTP_ROOT") + path);
    }
    static std::unique_ptr<SFTPTransferController> create(const QUrl &url)
    {
        return FileTransferController::create<SFTPTransferController>(url);
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
    QString deliveryURL() const
    {
        auto esc = [](const QString &t) { return QString(QUrl::toPercentEncoding(t)); };
        return QStringLiteral("ssh://%1:%2@%3:%4%5")
            .arg(esc(m_env.value("SFTP_USER")), esc(m_env.value("SFTP_PASSWORD")),
                 m_env.value("SFTP_HOST"), m_env.value("SFTP_PORT"),
                 QString(QUrl::toPercentEncoding(m_s.dir(), "/")));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = pvtest::serverEnv("sftp");
        QVERIFY2(m_env.contains("SFTP_PORT"), "no test server: run through ctest, which starts "
                                              "tests/servers/sftp.sh");
        m_s.topDir = m_env.value("SFTP_ROOT");
    }

    void urlRules()
    {
        for (const char *url : {"ssh://u@host/p", "ssh://host/p", "ssh://:pw@host/p",
                                "ssh://u:pw@/p", "sftp://u:pw@host/p"})
            QVERIFY2(!create(QUrl(url)), url);
        auto c = FileTransferController::fileTransferControllerWithURL(QUrl("ssh://u:p@h/x"));
        QVERIFY(dynamic_cast<SFTPTransferController *>(c.get()));
    }

    void checks_data()
    {
        controllercheck::addRows({"uploadAndDownload", "listing", "placementWithoutReplacing",
                                  "abortLeavesNoPartialFile"});
    }
    void checks()
    {
        controllercheck::Rig r = m_s.rig();
        r.folderCodes = false;
        controllercheck::run(r);
    }

    // Listings leave links out (a dangling one still takes its name); uploads
    // are 0755 and replace; deleting what is not there succeeds, what the
    // server refuses fails with its status; moves replace files and folders.
    void operations()
    {
        const controllercheck::Rig r = m_s.rig();
        QVERIFY(r.c->createDirectoryAtPath("sub") && r.c->uploadFileFromData("12345", "a.txt"));
        QVERIFY(QFile::link(r.at("a.txt"), r.at("link")));
        QVERIFY(QFile::link(r.at("nowhere"), r.at("dangling")));
        const auto listing = r.c->contentsOfDirectoryAtPath({});
        QCOMPARE(listing.value_or(RemoteListing()).keys(), QStringList({"a.txt", "sub"}));
        QVERIFY(qAbs(listing->value("a.txt")
                         .value(kNSFileModificationDate)
                         .toDateTime()
                         .secsTo(QDateTime::currentDateTimeUtc())) < 60);
        QVERIFY(r.c->itemExists("dangling").value_or(false));

        QVERIFY(r.c->uploadFileFromData("new", "a.txt"));
        QCOMPARE(readFile(r.at("a.txt")), QByteArray("new"));
        QCOMPARE(QFileInfo(r.at("a.txt")).permissions() & 0x0777, QFile::Permissions(0x0755));

        QVERIFY(r.c->deleteFileAtPath("missing") && r.c->deleteDirectoryAtPath("missing"));
        QVERIFY(::mkdir(QFile::encodeName(r.at("locked")), 0755) == 0); // root's
        writeFile(r.at("locked/f"), "f");
        r.d.clear();
        const Result refused = r.c->deleteFileAtPath("locked/f");
        QCOMPARE(r.d.events, Events({"start", "fail"}));
        QCOMPARE(refused.error().domain, QString(kLibssh2ErrorDomain));
        QCOMPARE(refused.error().code, -31);
        QCOMPARE(refused.error().userInfoValue(SFTPTransferController::kSFTPLastErrorKey).toInt(),
                 3);
        QVERIFY2(refused.error().description.contains("permission denied"),
                 qPrintable(refused.error().description));
        QVERIFY(!r.c->uploadFileFromData("x", "locked/new.txt"));
        QCOMPARE(entries(r.at("locked")), QStringList("f"));

        QVERIFY(r.c->movePath("a.txt", "sub"));
        QCOMPARE(readFile(r.at("sub")), QByteArray("new"));
        QVERIFY(r.c->createDirectoryAtPath("tree") && r.c->uploadFileFromData("t", "tree/t"));
        QVERIFY(r.c->deleteDirectoryRecursivelyAtPath("tree") && r.c->deleteFileAtPath("sub"));
        QCOMPARE(entries(r.root), QStringList({"dangling", "link", "locked"}));
    }

    // Before any folder is reached: the reason names the host, never the
    // password (a wrong one: the black-box deliveries).
    void unreachableServers()
    {
        pvtest::Listener silent;
        const int closedPort = pvtest::Listener().port();
        const std::pair<QUrl, QString> cases[] = {
            {serverURL({}, closedPort), "Connection refused"},
            {serverURL({}, silent.port()), "did not start an SSH session"}};
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

    // A burst of controllers shares one log-on; the connection a delivery
    // takes over tells a missing folder too.
    void deliveries()
    {
        m_s.rig();
        controllercheck::oneLogOnForABurst([&] { return m_s.make(m_s.folder); },
                                           m_env.value("SFTP_PORT").toInt());
        const QDateTime old(QDate(2018, 7, 1), QTime(8, 30, 0), Qt::UTC);
        const QString readme = m_s.local.filePath("readme.txt");
        writeFile(readme, "read me");
        // The connection a delivery takes over tells a missing folder too.
        const QString nowhere = deliveryURL() + "/missing";
        const TestReceiver missing = deliver(parameters(readme, nowhere, {}, old));
        QCOMPARE(missing.failure().error, QStringLiteral("Unable to list directory"));
    }

    // The server drops the connection mid-upload: the upload fails, nothing
    // carries the final name, and the next operation connects again.
    void connectionLostMidUpload()
    {
        m_s.rig();
        m_s.d.abortWhen = [this](FileTransferController *c) {
            if (c->transferProgress() > 0.3f)
                killConnections();
            return false;
        };
        const Result r = m_s.c->uploadFileFromData(pattern(64 << 20), "big.bin");
        m_s.d.abortWhen = nullptr;
        QVERIFY(!r.ok() && !r.isAbandoned());
        QCOMPARE(m_s.d.events.last(), QStringLiteral("fail"));
        QCOMPARE(r.error().domain, QString(kLibssh2ErrorDomain));
        QVERIFY(!QFileInfo::exists(m_s.dir("big.bin")));
        QVERIFY(m_s.c->uploadFileFromData("again", "small.txt"));
        QCOMPARE(readFile(m_s.dir("small.txt")), QByteArray("again"));
    }

    // Runs last: gives the server new host keys. The first connection recorded
    // the key; a different one stops the delivery before anything is sent.
    void hostKeyChanged()
    {
        m_s.rig();
        const QString known = SFTPTransferController::knownHostsPath();
        const QByteArray line = readFile(known);
        QVERIFY2(line.startsWith("[127.0.0.1]:" + m_env.value("SFTP_PORT").toUtf8() + " ecdsa-"),
                 line.constData());
        QCOMPARE(QProcess::execute("ssh-keygen", {"-l", "-f", known}), 0);

        const QString script = qEnvironmentVariable("PV_SOURCE_DIR") + "/tests/servers/sftp.sh";
        const QString dir = qEnvironmentVariable("PV_BINARY_DIR") + "/servers";
        QCOMPARE(QProcess::execute("bash", {script, "rekey", dir}), 0);
        killConnections(); // so no idle connection to the old key is taken

        writeFile(m_s.local.filePath("sent.txt"), "never");
        const TestReceiver r =
            deliver(parameters(m_s.local.filePath("sent.txt"), deliveryURL(), {}, QDateTime()));
        QCOMPARE(r.events.last(), QStringLiteral("error"));
        const QString text = r.failure().errorInfo;
        const QString now = QString::fromUtf8(
            pvtest::run("ssh-keygen", {"-l", "-f", dir + "/sftp/host_ecdsa.pub"}).split(' ')[1]);
        const QString was =
            QString::fromUtf8(pvtest::run("ssh-keygen", {"-l", "-f", known})).section(' ', 1, 1);
        QVERIFY2(text.contains("has changed") && text.contains(now) && text.contains(was) &&
                     text.contains("[127.0.0.1]:" + m_env.value("SFTP_PORT")),
                 qPrintable(text));
        QCOMPARE(entries(m_s.dir()), QStringList());
        QCOMPARE(readFile(known), line); // the recorded key stays
    }
};

QTEST_GUILESS_MAIN(TestSFTPTransferController)
#include "test_sftptransfercontroller.moc"
