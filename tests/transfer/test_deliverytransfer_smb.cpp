// Deliveries to the private Samba share of tests/servers/samba.sh (ctest fixture
// "samba"; connection details in $PV_BINARY_DIR/servers/samba.env).

#include "core/dates.h"
#include "deliverytestutil.h"
#include "transfer/deliverytransfer.h"
#include "transfer/smbtransfercontroller.h"

#include <QTemporaryDir>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace pv;
using namespace deliverytest;

namespace {

const QDateTime kOldDate = QDateTime(QDate(2018, 7, 1), QTime(8, 30, 0), Qt::UTC);

// A TCP port on 127.0.0.1 nobody listens on: bound, then released.
int closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// Escapes a user name, password or path as the upload dispatch does: "/" too.
QString escaped(const QString &text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}

} // namespace

class TestDeliveryTransferSMB : public QObject {
    Q_OBJECT

    QMap<QString, QString> m_env;
    QTemporaryDir m_local;
    int m_count = 0;

    QString env(const char *key) const { return m_env.value(QLatin1String(key)); }

    // The target URL the dispatch builds for an SMB destination with pathField
    // "<share>/<folder>": every "/" of the path escaped after the authority.
    QString url(const QString &folder, const QString &password = QString(), int port = 0) const
    {
        // One arg() call: escaped text holds "%" signs later calls would take for markers.
        return QStringLiteral("smb://%1:%2@%3:%4/%5")
            .arg(escaped(env("SMB_USER")),
                 escaped(password.isNull() ? env("SMB_PASSWORD") : password), env("SMB_HOST"),
                 QString::number(port ? port : env("SMB_PORT").toInt()),
                 escaped(env("SMB_SHARE") + QLatin1Char('/') + folder));
    }

    // A fresh folder on the share; its path in the share's local folder.
    QString freshFolder(QString *name)
    {
        *name = QStringLiteral("delivery-%1-%2").arg(::getpid()).arg(++m_count);
        QUrl root;
        root.setScheme(QStringLiteral("smb"));
        root.setHost(env("SMB_HOST"));
        root.setPort(env("SMB_PORT").toInt());
        root.setUserName(env("SMB_USER"));
        root.setPassword(env("SMB_PASSWORD"));
        root.setPath(QLatin1Char('/') + env("SMB_SHARE"));
        auto c = FileTransferController::create<SMBTransferController>(root);
        if (!c || !c->createDirectoryAtPath(*name))
            return QString();
        return env("SMB_SHARE_DIR") + QLatin1Char('/') + *name;
    }

    static void run(DeliveryTransfer &t)
    {
        t.start();
        QTRY_VERIFY_WITH_TIMEOUT(t.isFinished(), 60000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString envFile = qEnvironmentVariable("PV_BINARY_DIR") + "/servers/samba.env";
        QFile f(envFile);
        if (!f.open(QIODevice::ReadOnly))
            QFAIL(
                qPrintable("no test server: " + envFile +
                           " is missing (run through ctest, which starts tests/servers/samba.sh)"));
        for (const QByteArray &line : f.readAll().split('\n')) {
            const qsizetype eq = line.indexOf('=');
            if (eq > 0)
                m_env.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
        }
        QVERIFY(m_env.contains(QStringLiteral("SMB_PORT")));
        QVERIFY(m_local.isValid());
    }

    // A tree into year/month/date folders on the share: contents, dates of
    // files and folders, reports, then the same tree again under a new name.
    void treeWithDateFolders()
    {
        QString folder;
        const QString shareDir = freshFolder(&folder);
        QVERIFY(!shareDir.isEmpty());
        const QString top = m_local.filePath(QStringLiteral("Job 50% ä"));
        QVERIFY(QDir().mkpath(top + QStringLiteral("/inner/deeper")));
        writeFile(top + QStringLiteral("/readme.txt"), "read me");
        writeFile(top + QStringLiteral("/inner/data.bin"), QByteArray(600000, 'd'));
        writeFile(top + QStringLiteral("/inner/deeper/x.txt"), "x");

        const QVariantMap dest{{QStringLiteral("yearFolderBtn"), 1},
                               {QStringLiteral("monthFolderBtn"), 1},
                               {QStringLiteral("dateFolderBtn"), 1},
                               {QStringLiteral("dateFormat"), QStringLiteral("YYYY-MM-DD")}};
        const QDateTime now = QDateTime::currentDateTime();
        const QString datePath = formatDate(now, "%Y") + QLatin1Char('/') +
                                 formatDate(now, "%m-%Y") + QLatin1Char('/') +
                                 formatDate(now, "%Y-%m-%d");
        for (int round = 0; round < 2; ++round) {
            TestReceiver r;
            DeliveryTransfer t(&r, parameters(top, url(folder), dest, kOldDate));
            run(t);
            QVERIFY(!r.offMainThread);
            QCOMPARE(r.events.last(), QStringLiteral("status:success"));
            QVERIFY2(r.listingErrors().isEmpty(), qPrintable(r.listingErrors().join('\n')));
            QCOMPARE(r.dateFolderPath, datePath);
            QCOMPARE(r.finalName,
                     round == 0 ? QStringLiteral("Job 50% ä") : QStringLiteral("Job 50% ä_1"));
            const QString out =
                shareDir + QLatin1Char('/') + datePath + QLatin1Char('/') + r.finalName;
            QCOMPARE(readFile(out + QStringLiteral("/readme.txt")), QByteArray("read me"));
            QCOMPARE(readFile(out + QStringLiteral("/inner/data.bin")), QByteArray(600000, 'd'));
            QCOMPARE(readFile(out + QStringLiteral("/inner/deeper/x.txt")), QByteArray("x"));
            for (const char *rel :
                 {"", "/inner", "/inner/deeper", "/readme.txt", "/inner/data.bin"})
                QCOMPARE(mtime(out + QLatin1String(rel)), kOldDate);
            // The date folders themselves are not the item: they keep today's date.
            QVERIFY(mtime(shareDir + QLatin1Char('/') + datePath) != kOldDate);
        }
    }

    // A single file: numbered when present, its date restored.
    void singleFileNumbered()
    {
        QString folder;
        const QString shareDir = freshFolder(&folder);
        QVERIFY(!shareDir.isEmpty());
        writeFile(shareDir + QStringLiteral("/report.pdf"), "old");
        const QString local = m_local.filePath(QStringLiteral("report.pdf"));
        writeFile(local, "new report");
        TestReceiver r;
        DeliveryTransfer t(&r, parameters(local, url(folder), QVariantMap(), kOldDate));
        run(t);
        QCOMPARE(r.events.last(), QStringLiteral("status:success"));
        QCOMPARE(r.finalName, QStringLiteral("report_1.pdf"));
        QCOMPARE(readFile(shareDir + QStringLiteral("/report_1.pdf")), QByteArray("new report"));
        QCOMPARE(readFile(shareDir + QStringLiteral("/report.pdf")), QByteArray("old"));
        QCOMPARE(mtime(shareDir + QStringLiteral("/report_1.pdf")), kOldDate);
    }

    // An unreachable server, a wrong password and a missing folder end in the
    // listing failure; a vanished file in the tree's own error.
    void failureTexts()
    {
        const QString local = m_local.filePath(QStringLiteral("f.txt"));
        writeFile(local, "f");
        const QString loginHint =
            QStringLiteral("Please make sure that destination address and login info are correct.");
        const QStringList urls = {url(QStringLiteral("x"), QString(), closedPort()),
                                  url(QStringLiteral("x"), QStringLiteral("wrong password")),
                                  url(QStringLiteral("no-such-parent/sub"))};
        for (const QString &u : urls) {
            TestReceiver r;
            DeliveryTransfer t(&r, parameters(local, u, QVariantMap(), kOldDate));
            run(t);
            QCOMPARE(r.events, QStringList({QStringLiteral("listing:startListing"),
                                            QStringLiteral("status:error")}));
            QCOMPARE(r.statuses.last().value(QStringLiteral("error")).toString(),
                     QStringLiteral("Unable to list directory"));
            QCOMPARE(r.statuses.last().value(QStringLiteral("errorInfo")).toString(), loginHint);
        }

        QString folder;
        QVERIFY(!freshFolder(&folder).isEmpty());
        const QString top = m_local.filePath(QStringLiteral("tree"));
        QVERIFY(QDir().mkpath(top));
        writeFile(top + QStringLiteral("/a.txt"), "a");
        writeFile(top + QStringLiteral("/b.txt"), "b");
        const QVariantMap p = parameters(top, url(folder), QVariantMap(), kOldDate);
        QVERIFY(QFile::remove(top + QStringLiteral("/b.txt")));
        TestReceiver r;
        DeliveryTransfer t(&r, p);
        run(t);
        QCOMPARE(r.events.last(), QStringLiteral("status:error"));
        QVERIFY(
            r.statuses.last()
                .value(QStringLiteral("error"))
                .toString()
                .startsWith(
                    QStringLiteral("The following file could not be found:\n%1/b.txt").arg(top)));
    }
};

QTEST_GUILESS_MAIN(TestDeliveryTransferSMB)
#include "test_deliverytransfer_smb.moc"
