// Deliveries to the private Samba share of tests/servers/samba.sh (ctest fixture
// "samba"; connection details in $PV_BINARY_DIR/servers/samba.env).

#include "common/serverenv.h"
#include "core/dates.h"
#include "deliverytestutil.h"
#include "transfer/smbtransfercontroller.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace pv;
using namespace deliverytest;

namespace {
const QDateTime kOldDate = QDateTime(QDate(2018, 7, 1), QTime(8, 30, 0), Qt::UTC);
} // namespace

class TestDeliveryTransferSMB : public QObject {
    Q_OBJECT

    QMap<QString, QString> m_env;
    QTemporaryDir m_local;
    int m_count = 0;

    QString env(const char *key) const { return m_env.value(key); }

    // The target URL the dispatch builds for an SMB destination with pathField
    // "<share>/<folder>": user, password and path escaped, "/" included.
    QString url(const QString &folder, const QString &password = {}, int port = 0) const
    {
        auto esc = [](const QString &t) { return QString(QUrl::toPercentEncoding(t)); };
        // One arg() call: escaped text holds "%" signs later calls would take for markers.
        return QStringLiteral("smb://%1:%2@%3:%4/%5")
            .arg(esc(env("SMB_USER")), esc(password.isNull() ? env("SMB_PASSWORD") : password),
                 env("SMB_HOST"), port ? QString::number(port) : env("SMB_PORT"),
                 esc(env("SMB_SHARE") + '/' + folder));
    }

    // A fresh folder on the share: its name, and its path in the share's local folder.
    QString freshFolder(QString *name)
    {
        *name = QStringLiteral("delivery-%1-%2").arg(::getpid()).arg(++m_count);
        auto c = FileTransferController::create<SMBTransferController>(QUrl(url({})));
        return c && c->createDirectoryAtPath(*name) ? env("SMB_SHARE_DIR") + '/' + *name
                                                    : QString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = pvtest::serverEnv("samba");
        QVERIFY2(m_env.contains("SMB_PORT"), "no test server: run through ctest, which starts "
                                             "tests/servers/samba.sh");
        QVERIFY(m_local.isValid());
    }

    // A tree into year/month/date folders on the share: contents, dates of
    // files and folders, reports, then the same tree again under a new name.
    // (Single files take the same way to their name and date.)
    void treeWithDateFolders()
    {
        QString folder;
        const QString shareDir = freshFolder(&folder);
        QVERIFY(!shareDir.isEmpty());
        const QString top = m_local.filePath("Job 50% ä");
        QVERIFY(QDir().mkpath(top + "/inner/deeper"));
        writeFile(top + "/readme.txt", "read me");
        writeFile(top + "/inner/data.bin", QByteArray(600000, 'd'));
        writeFile(top + "/inner/deeper/x.txt", "x");

        const QVariantMap dest{{"yearFolderBtn", 1},
                               {"monthFolderBtn", 1},
                               {"dateFolderBtn", 1},
                               {"dateFormat", "YYYY-MM-DD"}};
        const QDateTime now = QDateTime::currentDateTime();
        const QString datePath = formatDate(now, "%Y") + '/' + formatDate(now, "%m-%Y") + '/' +
                                 formatDate(now, "%Y-%m-%d");
        for (const QString name : {"Job 50% ä", "Job 50% ä_1"}) {
            const TestReceiver r = deliver(parameters(top, url(folder), dest, kOldDate));
            QVERIFY(!r.offMainThread);
            QCOMPARE(r.events.last(), QStringLiteral("status:success"));
            QVERIFY2(r.listingErrors.isEmpty(), qPrintable(r.listingErrors.join('\n')));
            QCOMPARE(r.dateFolderPath, datePath);
            QCOMPARE(r.finalName, name);
            const QString out = shareDir + '/' + datePath + '/' + name;
            QCOMPARE(readFile(out + "/readme.txt"), QByteArray("read me"));
            QCOMPARE(readFile(out + "/inner/data.bin"), QByteArray(600000, 'd'));
            QCOMPARE(readFile(out + "/inner/deeper/x.txt"), QByteArray("x"));
            for (const char *rel :
                 {"", "/inner", "/inner/deeper", "/readme.txt", "/inner/data.bin"})
                QCOMPARE(mtime(out + rel), kOldDate);
            // The destination and its date folders are not the item (their listings
            // succeed too): they keep today's date.
            QVERIFY(mtime(shareDir) != kOldDate && mtime(shareDir + '/' + datePath) != kOldDate);
        }
    }

    // An unreachable server, a wrong password and a missing parent folder end
    // in the listing failure; a vanished file in the tree's own error.
    void failureTexts()
    {
        const QString local = m_local.filePath("f.txt");
        writeFile(local, "f");
        const std::pair<QString, QString> cases[] = {
            {url("x", {}, closedPort()), "Connection refused"},
            {url("x", "wrong password"), "wrong user name or password"},
            {url("no-such-parent/sub"), "No such file or directory"}};
        for (const auto &[u, reason] : cases) {
            const TestReceiver r = deliver(parameters(local, u, {}, kOldDate));
            QCOMPARE(r.events, QStringList({"listing:startListing", "status:error"}));
            QCOMPARE(r.last("error"), QStringLiteral("Unable to list directory"));
            const QString info = r.last("errorInfo");
            QVERIFY2(info.startsWith("Please make sure that destination address and login info "
                                     "are correct.\n\n") &&
                         info.contains(reason) && !info.contains(env("SMB_PASSWORD")),
                     qPrintable(info));
        }

        QString folder;
        const QString shareDir = freshFolder(&folder);
        QVERIFY(!shareDir.isEmpty());
        const QString top = m_local.filePath("tree");
        QVERIFY(QDir().mkpath(top));
        writeFile(top + "/a.txt", "a");
        writeFile(top + "/b.txt", "b");
        const QVariantMap p = parameters(top, url(folder), {}, kOldDate);
        QVERIFY(QFile::remove(top + "/b.txt"));
        const TestReceiver r = deliver(p);
        QCOMPARE(r.events.last(), QStringLiteral("status:error"));
        QVERIFY(r.last("error").startsWith("The following file could not be found:\n" + top +
                                           "/b.txt"));
        // Nothing of the incomplete folder stays, under any name.
        QCOMPARE(QDir(shareDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
    }
};

QTEST_GUILESS_MAIN(TestDeliveryTransferSMB)
#include "test_deliverytransfer_smb.moc"
