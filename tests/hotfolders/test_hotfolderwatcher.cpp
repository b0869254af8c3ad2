#include "common/testenv.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "destinations/destinationseditor.h"
#include "hotfolders/filechecker.h"
#include "hotfolders/hotfolderitem.h"
#include "hotfolders/hotfolderwatcher.h"
#include "prefs/prefs.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace pv;
using namespace std::chrono_literals;

namespace {

void writeBytes(const QString &path, qsizetype n)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(n, 'x'));
}

} // namespace

class TestHotfolderWatcher : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void stableItemHandedOverOnceUntilReleased();
    void priorityItemsFirstAndOnlyFromThePriorityFolder();
    void subfoldersHiddenQueuedAndMissingNeverTaken();
    void goneEntriesNoLongerBlockTheirNames();
    void codeBasedHotfolderOnlyWithDestCodes();
    void startStopPersistsFlagAndLetsCheckersFinish();
    void twoThousandDroppedFilesAllHandedOver();
    void scanOfTenThousandGuardedEntriesIsCheap();

private:
    QString makeHotFolder(const QString &name, bool asDestination = true);
    /// Runs one probe of every live checker, the way their timers would.
    void probeAll();

    pvtest::IsolatedHome m_home;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<DestinationsEditor> m_dests;
    std::unique_ptr<HotfolderWatcher> m_watcher;
    QList<QVariantMap> m_handed;
};

void TestHotfolderWatcher::init()
{
    settings::open()->clear();
    m_root = std::make_unique<QTemporaryDir>();
    m_dests = std::make_unique<DestinationsEditor>(nullptr, m_root->filePath(QStringLiteral("d")));
    m_watcher = std::make_unique<HotfolderWatcher>(m_dests.get());
    // Timers never fire on their own unless a test starts watching with
    // shorter ones; probeAll() drives the checkers.
    m_watcher->setIntervals(1h, 1h);
    m_handed.clear();
    m_watcher->setItemHandler([this](const QVariantMap &item) { m_handed.append(item); });
}

void TestHotfolderWatcher::cleanup()
{
    m_watcher.reset();
    m_dests.reset();
    m_root.reset();
}

QString TestHotfolderWatcher::makeHotFolder(const QString &name, bool asDestination)
{
    const QString hot = m_root->filePath(name);
    for (const QString &sub : {kPriorityFolder, kErrorsFolder, kDoneFolder})
        QDir().mkpath(hot + QLatin1Char('/') + sub);
    if (asDestination)
        m_dests->addItem({{dk::name, name}, {dk::QFHotfolder, hot}});
    return hot;
}

void TestHotfolderWatcher::probeAll()
{
    for (FileChecker *c : m_watcher->findChildren<FileChecker *>())
        c->probe();
}

void TestHotfolderWatcher::stableItemHandedOverOnceUntilReleased()
{
    const QString hot = makeHotFolder(QStringLiteral("Acme"));
    const QString path = hot + QStringLiteral("/report.pdf");
    writeBytes(path, 1234);
    m_watcher->setIntervals(20ms, 40ms);
    m_watcher->startWatching();
    QTRY_COMPARE_WITH_TIMEOUT(m_handed.size(), 1, 10000);

    const QVariantMap item = m_handed[0];
    QCOMPARE(item.value(hk::path).toString(), path);
    QCOMPARE(item.value(hk::name).toString(), QStringLiteral("report.pdf"));
    QCOMPARE(item.value(hk::isFolder).toBool(), false);
    QCOMPARE(item.value(hk::origSize).toLongLong(), 1234);
    QCOMPARE(item.value(hk::hotfolder).toString(), hot);
    QCOMPARE(item.value(hk::dest).toString(), QStringLiteral("Acme"));
    QCOMPARE(item.value(hk::priority).toBool(), false);
    QCOMPARE(item.value(hk::moddate).toDateTime(), QFileInfo(path).lastModified());
    QVERIFY(item.value(hk::creatdate).toDateTime().isValid());
    QVERIFY(m_watcher->isInProcessing(path));

    // Still in the folder while queued: guarded, not taken again.
    QTest::qWait(300);
    QCOMPARE(m_handed.size(), 1);

    // Released by the pipeline while still there: taken again.
    m_watcher->removeFromFilesInProcessing(path);
    QVERIFY(!m_watcher->isInProcessing(path));
    QTRY_COMPARE_WITH_TIMEOUT(m_handed.size(), 2, 10000);
    QCOMPARE(m_handed[1].value(hk::path).toString(), path);
}

void TestHotfolderWatcher::priorityItemsFirstAndOnlyFromThePriorityFolder()
{
    const QString hot = makeHotFolder(QStringLiteral("Acme"));
    writeBytes(hot + QStringLiteral("/normal.txt"), 1);
    writeBytes(hot + QStringLiteral("/Priority/urgent.txt"), 2);
    QDir().mkpath(hot + QStringLiteral("/Priority/urgent folder/inner"));
    writeBytes(hot + QStringLiteral("/Priority/urgent folder/inner/f"), 7);
    // A destination whose own name holds the word: its items are ordinary.
    const QString word = makeHotFolder(QStringLiteral("Priority Clients"));
    writeBytes(word + QStringLiteral("/plain.txt"), 3);

    m_watcher->scanHotfolders();
    probeAll();
    probeAll();
    QCOMPARE(m_handed.size(), 4);
    QCOMPARE(m_handed[0].value(hk::priority).toBool(), true);
    QCOMPARE(m_handed[1].value(hk::priority).toBool(), true);
    for (int i : {0, 1}) {
        QCOMPARE(m_handed[i].value(hk::hotfolder).toString(), hot);
        QCOMPARE(m_handed[i].value(hk::dest).toString(), QStringLiteral("Acme"));
        QVERIFY(
            m_handed[i].value(hk::path).toString().startsWith(hot + QStringLiteral("/Priority/")));
    }
    const QVariantMap folder =
        m_handed[0].value(hk::name) == QStringLiteral("urgent folder") ? m_handed[0] : m_handed[1];
    QCOMPARE(folder.value(hk::isFolder).toBool(), true);
    QCOMPARE(folder.value(hk::origSize).toLongLong(), 7);

    QVariantMap plain;
    for (const QVariantMap &m : std::as_const(m_handed)) {
        if (m.value(hk::name) == QStringLiteral("plain.txt"))
            plain = m;
    }
    QCOMPARE(plain.value(hk::priority).toBool(), false);
    QCOMPARE(plain.value(hk::dest).toString(), QStringLiteral("Priority Clients"));
}

void TestHotfolderWatcher::subfoldersHiddenQueuedAndMissingNeverTaken()
{
    const QString hot = makeHotFolder(QStringLiteral("Acme"));
    writeBytes(hot + QStringLiteral("/Done/delivered.txt"), 1);
    writeBytes(hot + QStringLiteral("/Errors/failed.txt"), 1);
    QDir().mkpath(hot + QStringLiteral("/Priority/Done"));
    QDir().mkpath(hot + QStringLiteral("/Priority/Priority"));
    writeBytes(hot + QStringLiteral("/.hidden"), 1);
    writeBytes(hot + QStringLiteral("/Priority/.DS_Store"), 1);
    writeBytes(hot + QStringLiteral("/queued.txt"), 1);
    writeBytes(hot + QStringLiteral("/new.txt"), 1);
    m_dests->addItem({{dk::name, QStringLiteral("Gone")},
                      {dk::QFHotfolder, m_root->filePath(QStringLiteral("nowhere"))}});
    m_dests->addItem({{dk::name, QStringLiteral("No hot folder")}});
    m_watcher->setQueuedPaths([&] { return QSet<QString>{hot + QStringLiteral("/queued.txt")}; });

    for (int i = 0; i < 3; ++i) {
        m_watcher->scanHotfolders();
        probeAll();
    }
    QCOMPARE(m_handed.size(), 1);
    QCOMPARE(m_handed[0].value(hk::name).toString(), QStringLiteral("new.txt"));
    QCOMPARE(m_watcher->filesInProcessing(), QStringList{hot + QStringLiteral("/new.txt")});
}

void TestHotfolderWatcher::goneEntriesNoLongerBlockTheirNames()
{
    const QString hot = makeHotFolder(QStringLiteral("Acme"));
    const QString part = hot + QStringLiteral("/movie.part");
    const QString kept = hot + QStringLiteral("/Acme.dest");
    writeBytes(part, 10);
    writeBytes(kept, 10);
    m_watcher->scanHotfolders();
    probeAll();
    QVERIFY(QFile::remove(part)); // renamed away by the program writing it
    probeAll();
    QCOMPARE(m_handed.size(), 1);
    QCOMPARE(m_handed[0].value(hk::path).toString(), kept);
    QVERIFY(!m_watcher->isInProcessing(part));

    // The pipeline kept it without releasing it (a destination file is only
    // looked at); the user removes it and later drops a new one.
    QVERIFY(QFile::remove(kept));
    m_watcher->scanHotfolders();
    QVERIFY(!m_watcher->isInProcessing(kept));
    writeBytes(kept, 20);
    m_watcher->scanHotfolders();
    probeAll();
    probeAll();
    QCOMPARE(m_handed.size(), 2);
    QCOMPARE(m_handed[1].value(hk::origSize).toLongLong(), 20);

    // A release that arrives while a new entry of that name is being checked
    // leaves it guarded.
    QVERIFY(QFile::remove(kept));
    m_watcher->scanHotfolders();
    writeBytes(kept, 30);
    m_watcher->scanHotfolders();
    m_watcher->removeFromFilesInProcessing(kept);
    QVERIFY(m_watcher->isInProcessing(kept));
    m_watcher->scanHotfolders();
    QCOMPARE(m_watcher->checkerCount(), 1);
}

void TestHotfolderWatcher::codeBasedHotfolderOnlyWithDestCodes()
{
    settings::setValue(keys::useUnderscoresInCodeBasedDeliveryFolderName, true);
    const QString code = makeHotFolder(QStringLiteral("_Code-Based Delivery_"), false);
    writeBytes(code + QStringLiteral("/invoice.x7.pdf"), 5);
    writeBytes(code + QStringLiteral("/Priority/rush.x7.pdf"), 5);
    settings::setValue(keys::codeBasedHotfolder, code);
    m_watcher->startWatching(); // takes the folder name from the settings
    m_watcher->stopWatching();

    m_watcher->scanHotfolders();
    probeAll();
    probeAll();
    QCOMPARE(m_handed.size(), 0);

    settings::setValue(keys::enableDestCodes, 1);
    m_watcher->scanHotfolders();
    probeAll();
    probeAll();
    QCOMPARE(m_handed.size(), 2);
    for (const QVariantMap &item : std::as_const(m_handed)) {
        QCOMPARE(item.value(hk::hotfolder).toString(), code);
        QVERIFY(!item.contains(hk::dest));
    }
    QCOMPARE(m_handed[0].value(hk::priority).toBool(), true);
}

void TestHotfolderWatcher::startStopPersistsFlagAndLetsCheckersFinish()
{
    const QString hot = makeHotFolder(QStringLiteral("Acme"));
    QSignalSpy changed(m_watcher.get(), &HotfolderWatcher::watchingChanged);
    m_watcher->startWatching();
    QVERIFY(m_watcher->isWatching());
    QVERIFY(!settings::contains(keys::startWatchingFlag));

    m_watcher->setIntervals(20ms, 40ms);
    m_watcher->setWatching(true);
    QVERIFY(settings::boolValue(keys::startWatchingFlag));
    writeBytes(hot + QStringLiteral("/late.txt"), 3);
    QTRY_COMPARE_WITH_TIMEOUT(m_watcher->checkerCount(), 1, 10000);
    m_watcher->toggleWatching();
    QVERIFY(!m_watcher->isWatching());
    QCOMPARE(settings::contains(keys::startWatchingFlag), true);
    QCOMPARE(settings::boolValue(keys::startWatchingFlag, true), false);
    QTRY_COMPARE_WITH_TIMEOUT(m_handed.size(), 1, 10000);
    QCOMPARE(changed.size(), 2); // restarting while on is not a change
    QCOMPARE(changed[1].at(0).toBool(), false);

    writeBytes(hot + QStringLiteral("/ignored.txt"), 3);
    QTest::qWait(200);
    QCOMPARE(m_watcher->checkerCount(), 0);
}

void TestHotfolderWatcher::twoThousandDroppedFilesAllHandedOver()
{
    const QString hot = makeHotFolder(QStringLiteral("Bulk"));
    m_watcher->setIntervals(20ms, 20ms);
    m_watcher->startWatching();
    for (int i = 0; i < 2000; ++i)
        writeBytes(hot + QStringLiteral("/f%1").arg(i), 1 + i % 7);
    QTRY_COMPARE_WITH_TIMEOUT(m_handed.size(), 2000, 120000);
    QSet<QString> paths;
    for (const QVariantMap &item : std::as_const(m_handed))
        paths.insert(item.value(hk::path).toString());
    QCOMPARE(paths.size(), 2000);
    QTest::qWait(100);
    QCOMPARE(m_handed.size(), 2000);
}

void TestHotfolderWatcher::scanOfTenThousandGuardedEntriesIsCheap()
{
    const QString hot = makeHotFolder(QStringLiteral("Big"));
    for (int i = 0; i < 10000; ++i)
        writeBytes(hot + QStringLiteral("/entry-%1").arg(i), 1);
    int queueCalls = 0;
    m_watcher->setQueuedPaths([&] {
        ++queueCalls;
        return QSet<QString>();
    });
    QElapsedTimer t;
    t.start();
    m_watcher->scanHotfolders();
    const qint64 firstMs = t.elapsed();
    QCOMPARE(m_watcher->checkerCount(), 10000);
    QCOMPARE(queueCalls, 1);

    t.restart();
    m_watcher->scanHotfolders();
    const qint64 guardedMs = t.elapsed();
    qInfo("scan of 10000 entries: %lld ms new, %lld ms guarded", firstMs, guardedMs);
    QCOMPARE(m_watcher->checkerCount(), 10000);
    QCOMPARE(queueCalls, 1); // nothing new: the queue is not even asked
    QVERIFY2(guardedMs < 1000, qPrintable(QString::number(guardedMs)));
}

QTEST_GUILESS_MAIN(TestHotfolderWatcher)
#include "test_hotfolderwatcher.moc"
