#include "common/fixtures.h"
#include "common/testenv.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "destinations/destinationseditor.h"
#include "hotfolders/filechecker.h"
#include "hotfolders/hotfolderitem.h"
#include "hotfolders/hotfolderwatcher.h"
#include "prefs/prefs.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

using namespace pv;
using namespace std::chrono_literals;
using pvtest::makeFile;

class TestHotfolderWatcher : public QObject {
    Q_OBJECT

    pvtest::IsolatedHome m_home;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<DestinationsEditor> m_dests;
    std::unique_ptr<HotfolderWatcher> m_watcher;
    QList<QVariantMap> m_handed;

    QString makeHotFolder(const QString &name, bool asDestination = true)
    {
        const QString hot = m_root->filePath(name);
        for (const QString &sub : {kPriorityFolder, kErrorsFolder, kDoneFolder})
            QDir().mkpath(hot + QLatin1Char('/') + sub);
        if (asDestination)
            m_dests->addItem({{dk::name, name}, {dk::QFHotfolder, hot}});
        return hot;
    }

    /// One scan, then probes of every live checker, the way their timers would.
    void scanAndProbe(int probes = 2)
    {
        m_watcher->scanHotfolders();
        for (int i = 0; i < probes; ++i) {
            for (FileChecker *c : m_watcher->findChildren<FileChecker *>())
                c->probe();
        }
    }

private Q_SLOTS:
    void init()
    {
        settings::open()->clear();
        m_root = std::make_unique<QTemporaryDir>();
        m_dests = std::make_unique<DestinationsEditor>(nullptr, m_root->filePath("d"));
        m_watcher = std::make_unique<HotfolderWatcher>(m_dests.get());
        // Timers never fire on their own unless a test starts watching with
        // shorter ones; scanAndProbe() drives the checkers.
        m_watcher->setIntervals(1h, 1h);
        m_handed.clear();
        m_watcher->setItemHandler([this](const QVariantMap &item) { m_handed.append(item); });
    }

    void cleanup()
    {
        m_watcher.reset();
        m_dests.reset();
        m_root.reset();
    }

    void stableItemsHandedOverOnceUntilReleased()
    {
        const QString hot = makeHotFolder("Acme");
        const QString path = makeFile(hot + "/report.pdf", 1234);
        QSignalSpy changed(m_watcher.get(), &HotfolderWatcher::watchingChanged);
        m_watcher->setIntervals(20ms, 40ms);
        m_watcher->startWatching();
        QVERIFY(!settings::contains(keys::startWatchingFlag)); // only the user's choice is kept
        // Entries dropped while the watcher runs are each handed over once.
        for (int i = 0; i < 20; ++i)
            makeFile(hot + QString("/f%1").arg(i), 1 + i % 7);
        QTRY_COMPARE_WITH_TIMEOUT(m_handed.size(), 21, 30000);
        QMap<QString, QVariantMap> byPath;
        for (const QVariantMap &item : std::as_const(m_handed))
            byPath.insert(item.value(hk::path).toString(), item);
        QCOMPARE(byPath.size(), 21);
        const QVariantMap item = byPath.value(path);
        QCOMPARE(item.value(hk::name).toString(), "report.pdf");
        QCOMPARE(item.value(hk::origSize).toLongLong(), 1234);
        QCOMPARE(item.value(hk::hotfolder).toString(), hot);
        QCOMPARE(item.value(hk::dest).toString(), "Acme");
        QCOMPARE(item.value(hk::priority).toBool(), false);

        // Still in the folder while queued: guarded, not taken again, and
        // with nothing new the queue is not even asked.
        auto queueCalls = std::make_shared<int>(0);
        m_watcher->setQueuedPaths([queueCalls] {
            ++*queueCalls;
            return QSet<QString>();
        });
        scanAndProbe();
        scanAndProbe();
        QCOMPARE(m_handed.size(), 21);
        QCOMPARE(*queueCalls, 0);
        // Released by the pipeline while still there: taken again.
        m_watcher->removeFromFilesInProcessing(path);
        QTRY_COMPARE_WITH_TIMEOUT(m_handed.size(), 22, 10000);

        // Turned off, it says so for the next start and lets checkers finish.
        m_watcher->setWatching(true);
        QVERIFY(settings::boolValue(keys::startWatchingFlag));
        makeFile(hot + "/late.txt", 3);
        QTRY_COMPARE_WITH_TIMEOUT(m_watcher->checkerCount(), 1, 10000);
        m_watcher->toggleWatching();
        QVERIFY(!m_watcher->isWatching());
        QCOMPARE(settings::boolValue(keys::startWatchingFlag, true), false);
        QTRY_COMPARE_WITH_TIMEOUT(m_handed.size(), 23, 10000);
        QCOMPARE(changed.size(), 2); // restarting while on is not a change
    }

    void subfoldersHiddenQueuedLinkedAndMissingNeverTaken()
    {
        const QString hot = makeHotFolder("Acme");
        for (const char *entry :
             {"Done/delivered.txt", "Errors/failed.txt", "Priority/Done/x", "Priority/Priority/x",
              ".hidden", "Priority/.DS_Store", "queued.txt", "new.txt"})
            makeFile(hot + "/" + entry, 1);
        m_dests->addItem({{dk::name, "Gone"}, {dk::QFHotfolder, m_root->filePath("nowhere")}});
        m_dests->addItem({{dk::name, "No hot folder"}});
        // A "Priority" that is a link is not read: it could point anywhere.
        const QString linked = m_root->filePath("Linked");
        m_dests->addItem({{dk::name, "Linked"}, {dk::QFHotfolder, linked}});
        makeFile(m_root->filePath("keys/id_ed25519"), 4);
        QVERIFY(QDir().mkpath(linked) &&
                QFile::link(m_root->filePath("keys"), linked + "/Priority"));
        m_watcher->setQueuedPaths([&] { return QSet<QString>{hot + "/queued.txt"}; });
        for (int i = 0; i < 3; ++i)
            scanAndProbe();
        QCOMPARE(m_handed.size(), 1);
        QCOMPARE(m_watcher->filesInProcessing(), QStringList{hot + "/new.txt"});
    }

    void goneEntriesNoLongerBlockTheirNames()
    {
        const QString hot = makeHotFolder("Acme");
        const QString part = hot + "/movie.part", kept = hot + "/Acme.dest";
        makeFile(part, 10);
        makeFile(kept, 0); // empty is no reason to wait
        scanAndProbe(1);
        QVERIFY(QFile::remove(part)); // renamed away by the program writing it
        scanAndProbe();
        QCOMPARE(m_handed.size(), 1);
        QCOMPARE(m_handed[0].value(hk::path).toString(), kept);
        QVERIFY(!m_watcher->isInProcessing(part));

        // The pipeline kept it without releasing it (a destination file is only
        // looked at); the user removes it and later drops a new one.
        QVERIFY(QFile::remove(kept));
        m_watcher->scanHotfolders();
        QVERIFY(!m_watcher->isInProcessing(kept));
        makeFile(kept, 20);
        scanAndProbe();
        QCOMPARE(m_handed.size(), 2);
        QCOMPARE(m_handed[1].value(hk::origSize).toLongLong(), 20);

        // A release that arrives while a new entry of that name is being checked
        // leaves it guarded.
        QVERIFY(QFile::remove(kept));
        m_watcher->scanHotfolders();
        makeFile(kept, 30);
        m_watcher->scanHotfolders();
        m_watcher->removeFromFilesInProcessing(kept);
        QVERIFY(m_watcher->isInProcessing(kept));
        m_watcher->scanHotfolders();
        QCOMPARE(m_watcher->checkerCount(), 1);
    }

    void codeBasedHotfolderOnlyWithDestCodes()
    {
        settings::setValue(keys::useUnderscoresInCodeBasedDeliveryFolderName, true);
        const QString code = makeHotFolder("_Code-Based Delivery_", false);
        makeFile(code + "/invoice.x7.pdf", 5);
        makeFile(code + "/Priority/rush.x7.pdf", 5);
        settings::setValue(keys::codeBasedHotfolder, code);
        m_watcher->startWatching(); // takes the folder name from the settings
        m_watcher->stopWatching();
        scanAndProbe();
        QCOMPARE(m_handed.size(), 0);

        settings::setValue(keys::enableDestCodes, 1);
        scanAndProbe();
        QCOMPARE(m_handed.size(), 2);
        QVERIFY(m_handed[0].value(hk::priority).toBool());
        QCOMPARE(m_handed[1].value(hk::hotfolder).toString(), code);
        QVERIFY(!m_handed[1].contains(hk::dest));
    }

    void sizesAndWaitingForWriters()
    {
        const QString outside = m_root->filePath("outside");
        makeFile(outside + "/big", 100000);
        makeFile(outside + "/deep/big", 100000);
        const QString item = m_root->filePath("item");
        QVERIFY(QDir().mkpath(item + "/a/b/empty"));
        makeFile(item + "/top", 100);
        makeFile(item + "/a/b/nested", 50);
        QVERIFY(QFile::link(outside + "/big", item + "/fileLink"));
        QVERIFY(QFile::link(outside, item + "/a/dirLink"));
        // A link counts as the length of its target's name.
        QCOMPARE(measureItemSize(item).size, quint64(150 + 2 * outside.size() + 4));
        QVERIFY(!measureItemSize(item).vanished);
        QCOMPARE(measureItemSize(item + "/a/dirLink").size, quint64(outside.size()));
        QVERIFY(measureItemSize(m_root->filePath("missing")).vanished);

        // A growing entry is handed over only after two equal probes.
        const QString path = m_root->filePath("growing.bin");
        makeFile(path, 10);
        auto *checker = new FileChecker({{hk::path, path}, {hk::name, "x"}}, m_watcher.get());
        checker->startProbingFileSizeForFile(std::chrono::hours(1));
        for (int i = 0; i < 4; ++i) {
            checker->probe();
            QFile f(path);
            QVERIFY(f.open(QIODevice::Append) && f.write(QByteArray(1000, 'x')) == 1000);
        }
        checker->probe(); // first probe after the last write: remembers the size
        QVERIFY(m_handed.isEmpty());
        checker->probe();
        QCOMPARE(m_handed.size(), 1);
        QCOMPARE(m_handed[0].value(hk::origSize).toLongLong(), 4010);
        QVERIFY(!checker->isProbing());
        checker->probe(); // a late tick must not hand it over twice
        QCOMPARE(m_handed.size(), 1);

        // An entry held open for writing waits for its writer.
        const QString folder = m_root->filePath("held");
        QVERIFY(QDir().mkpath(folder + "/sub"));
        QFile writer(folder + "/sub/a.log");
        QVERIFY(writer.open(QIODevice::WriteOnly));
        writer.write("first part");
        writer.flush();
        auto *held = new FileChecker({{hk::path, folder}}, m_watcher.get());
        for (int i = 0; i < 4; ++i)
            held->probe();
        QCOMPARE(m_handed.size(), 1);

        // Where no lease can be taken, the open files in /proc tell the same.
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(writer.fileName()).constData(), &st), 0);
        const FileId id(st.st_dev, st.st_ino);
        QCOMPARE(openForWritingAmong({id}), QSet<FileId>{id});

        writer.close();
        QVERIFY(openForWritingAmong({id}).isEmpty());
        QFile reader(writer.fileName()); // readers are no reason to wait
        QVERIFY(reader.open(QIODevice::ReadOnly));
        held->probe();
        QCOMPARE(m_handed.size(), 2);
    }

    void intervalsFromSettings()
    {
        // The stored value (none first: init() clears the settings), then the
        // scan and probe seconds it gives.
        const std::tuple<QVariant, int, int> rows[] = {
            {{}, 5, 5}, {2, 5, 2}, {6, 6, 6}, {-3, 5, 5}, {"30", 30, 30}};
        for (const auto &[stored, scan, probe] : rows) {
            if (stored.isValid())
                settings::setValue(keys::watchInterval, stored);
            QCOMPARE(HotfolderWatcher::scanIntervalSeconds(), scan);
            QCOMPARE(HotfolderWatcher::probeIntervalSeconds(), probe);
        }
    }
};

QTEST_GUILESS_MAIN(TestHotfolderWatcher)
#include "test_hotfolderwatcher.moc"
