#include "recordingdelegate.h"
#include "transfer/localtransfercontroller.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

using namespace pv;

namespace {

// Yields size bytes at most 8 KiB per read, so a budget is spent in small, even steps.
class ChunkyStream : public InputStream {
public:
    explicit ChunkyStream(qint64 size) : m_left(size) {}
    bool open() override
    {
        setStatus(Open);
        return true;
    }
    void close() override { setStatus(Closed); }
    qint64 read(char *buffer, qint64 maxLength) override
    {
        const qint64 n = std::min({m_left, qint64(8192), maxLength});
        std::memset(buffer, 'x', size_t(n));
        m_left -= n;
        return n;
    }

private:
    qint64 m_left;
};

} // namespace

class TestThrottling : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    // A controller on the temporary folder; "file" URLs without a host are not
    // local, so limits apply to them.
    std::unique_ptr<FileTransferController> controller(const char *url = "file://") const
    {
        QUrl u(url);
        u.setPath(m_dir.path());
        return FileTransferController::fileTransferControllerWithURL(u);
    }
    // Seconds an upload of a size-byte file takes.
    double upload(FileTransferController *c, qint64 size)
    {
        QFile f(m_dir.filePath("src"));
        if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray(size, 'y')) != size)
            return -1;
        f.close();
        QElapsedTimer t;
        t.start();
        return c->uploadFileFromPath(f.fileName(), "dst") ? double(t.nsecsElapsed()) / 1e9 : -1;
    }

private Q_SLOTS:
    void cleanup()
    {
        FileTransferController::setGlobalMaximumUploadSpeed(0);
        FileTransferController::setGlobalMaximumDownloadSpeed(0);
    }

    void twoControllersShareTheGlobalUploadBudget()
    {
        constexpr qint64 kLimit = 100000;
        constexpr qint64 kEach = 150000;
        FileTransferController::setGlobalMaximumUploadSpeed(kLimit);
        auto a = controller();
        auto b = controller();
        QVERIFY(a && b && !a->isLocalHost());
        bool ok[2] = {false, false};
        QElapsedTimer t;
        t.start();
        auto work = [&](FileTransferController *c, int i) {
            ChunkyStream s(kEach);
            ok[i] = c->uploadFileToPath(QString::number(i), &s, kEach).ok();
        };
        std::thread ta(work, a.get(), 0);
        std::thread tb(work, b.get(), 1);
        ta.join();
        tb.join();
        const double rate = double(2 * kEach) / (double(t.nsecsElapsed()) / 1e9);
        QVERIFY(ok[0] && ok[1]);
        QVERIFY2(rate > kLimit * 0.9 && rate < kLimit * 1.1, qPrintable(QString::number(rate)));
        QCOMPARE(QFileInfo(m_dir.filePath("0")).size(), kEach);
    }

    void ownLimitReplacesGlobalOneButNotForLocalHosts()
    {
        FileTransferController::setGlobalMaximumUploadSpeed(10000); // would take a minute
        auto c = controller();
        c->setMaximumUploadSpeed(400000);
        const double seconds = upload(c.get(), 600000);
        QVERIFY2(seconds > 1.35 && seconds < 1.8, qPrintable(QString::number(seconds)));

        auto local = controller("file://localhost");
        QVERIFY(local->isLocalHost());
        local->setMaximumUploadSpeed(1000);
        const double localSeconds = upload(local.get(), 1000000);
        QVERIFY2(localSeconds >= 0 && localSeconds < 1, qPrintable(QString::number(localSeconds)));
    }

    void downloadsUseTheDownloadBudget()
    {
        auto c = controller();
        QVERIFY(upload(c.get(), 300000) >= 0);
        FileTransferController::setGlobalMaximumDownloadSpeed(200000);
        QElapsedTimer t;
        t.start();
        // The first 256 KiB chunk costs 1.3 s of the budget, which the second waits for.
        QVERIFY(c->downloadFileFromPathToData("dst"));
        QVERIFY2(t.elapsed() > 1200, qPrintable(QString::number(t.elapsed())));
    }

    void abortInterruptsAThrottledChunk()
    {
        QFile::remove(m_dir.filePath("dst"));
        auto c = controller();
        c->setMaximumUploadSpeed(10000); // one chunk would sleep 26 s
        RecordingDelegate d;
        QElapsedTimer t;
        t.start();
        d.abortWhen = [&t](FileTransferController *) { return t.elapsed() > 300; };
        c->setDelegate(&d);
        QCOMPARE(upload(c.get(), 300000), -1.0);
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(!d.events.contains("fail") && !d.events.contains("success"));
        QVERIFY(!QFileInfo::exists(m_dir.filePath("dst")));
    }
};

QTEST_GUILESS_MAIN(TestThrottling)
#include "test_throttling.moc"
