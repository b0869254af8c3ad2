#include "recordingdelegate.h"
#include "transfer/localtransfercontroller.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

using namespace pv;

namespace {

// Yields size bytes at most chunk bytes per read, so a budget is spent in
// small, even steps.
class ChunkyStream : public InputStream {
public:
    ChunkyStream(qint64 size, qint64 chunk) : m_left(size), m_chunk(chunk) {}
    bool open() override
    {
        setStatus(Open);
        return true;
    }
    void close() override { setStatus(Closed); }
    qint64 read(char *buffer, qint64 maxLength) override
    {
        const qint64 n = std::min({m_left, m_chunk, maxLength});
        std::memset(buffer, 'x', size_t(n));
        m_left -= n;
        return n;
    }

private:
    qint64 m_left;
    qint64 m_chunk;
};

std::unique_ptr<FileTransferController> controllerAt(const QString &url, const QString &dir)
{
    QUrl u(url);
    u.setPath(dir);
    return FileTransferController::fileTransferControllerWithURL(u);
}

void writeFile(const QString &path, qint64 size)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QVERIFY(f.write(QByteArray(size, 'y')) == size);
}

} // namespace

class TestThrottling : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    void cleanup()
    {
        FileTransferController::setGlobalMaximumUploadSpeed(0);
        FileTransferController::setGlobalMaximumDownloadSpeed(0);
    }

    void twoControllersShareTheGlobalUploadBudget()
    {
        // "file" URLs without a host are not local, so the budget applies.
        constexpr qint64 kLimit = 100000;
        constexpr qint64 kEach = 150000;
        FileTransferController::setGlobalMaximumUploadSpeed(kLimit);
        auto a = controllerAt(QStringLiteral("file://"), m_dir.path());
        auto b = controllerAt(QStringLiteral("file://"), m_dir.path());
        QVERIFY(a && b && !a->isLocalHost());
        bool okA = false, okB = false;
        QElapsedTimer t;
        t.start();
        std::thread ta([&] {
            ChunkyStream s(kEach, 8192);
            okA = a->uploadFileToPath(QStringLiteral("a"), &s, kEach);
        });
        std::thread tb([&] {
            ChunkyStream s(kEach, 8192);
            okB = b->uploadFileToPath(QStringLiteral("b"), &s, kEach);
        });
        ta.join();
        tb.join();
        const double seconds = double(t.nsecsElapsed()) / 1e9;
        QVERIFY(okA && okB);
        const double rate = double(2 * kEach) / seconds;
        qInfo("combined rate %.0f B/s over %.2f s", rate, seconds);
        QVERIFY2(rate > kLimit * 0.9 && rate < kLimit * 1.1, qPrintable(QString::number(rate)));
        QCOMPARE(QFileInfo(m_dir.filePath(QStringLiteral("a"))).size(), kEach);
    }

    void ownLimitReplacesGlobalOne()
    {
        constexpr qint64 kSize = 600000;
        writeFile(m_dir.filePath(QStringLiteral("src")), kSize);
        FileTransferController::setGlobalMaximumUploadSpeed(10000); // would take a minute
        auto c = controllerAt(QStringLiteral("file://"), m_dir.path());
        c->setMaximumUploadSpeed(400000);
        QElapsedTimer t;
        t.start();
        QVERIFY(
            c->uploadFileFromPath(m_dir.filePath(QStringLiteral("src")), QStringLiteral("dst")));
        const double seconds = double(t.nsecsElapsed()) / 1e9;
        QVERIFY2(seconds > 1.35 && seconds < 1.8, qPrintable(QString::number(seconds)));
    }

    void localHostsAreNeverThrottled()
    {
        writeFile(m_dir.filePath(QStringLiteral("src")), 1000000);
        FileTransferController::setGlobalMaximumUploadSpeed(100000);
        auto c = controllerAt(QStringLiteral("file://localhost"), m_dir.path());
        QVERIFY(c->isLocalHost());
        c->setMaximumUploadSpeed(1000);
        QElapsedTimer t;
        t.start();
        QVERIFY(
            c->uploadFileFromPath(m_dir.filePath(QStringLiteral("src")), QStringLiteral("dst")));
        QVERIFY(t.elapsed() < 1000);
    }

    void downloadsUseTheDownloadBudget()
    {
        writeFile(m_dir.filePath(QStringLiteral("src")), 300000);
        FileTransferController::setGlobalMaximumDownloadSpeed(200000);
        FileTransferController::setGlobalMaximumUploadSpeed(0);
        auto c = controllerAt(QStringLiteral("file://"), m_dir.path());
        QElapsedTimer t;
        t.start();
        // The first 256 KiB chunk costs 1.3 s of the budget, which the second waits for.
        QVERIFY(c->downloadFileFromPathToData(QStringLiteral("src")));
        QVERIFY2(t.elapsed() > 1200, qPrintable(QString::number(t.elapsed())));
    }

    void abortInterruptsAThrottledChunk()
    {
        writeFile(m_dir.filePath(QStringLiteral("src")), 300000);
        auto c = controllerAt(QStringLiteral("file://"), m_dir.path());
        c->setMaximumUploadSpeed(10000); // one chunk would sleep 26 s
        RecordingDelegate d;
        QElapsedTimer t;
        t.start();
        d.abortWhen = [&t](FileTransferController *) { return t.elapsed() > 300; };
        c->setDelegate(&d);
        QVERIFY(!c->uploadFileFromPath(m_dir.filePath(QStringLiteral("src")),
                                       QStringLiteral("aborted")));
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(!d.events.contains(QStringLiteral("fail")));
        QVERIFY(!d.events.contains(QStringLiteral("success")));
        QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("aborted"))));
    }
};

QTEST_GUILESS_MAIN(TestThrottling)
#include "test_throttling.moc"
