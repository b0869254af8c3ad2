#include "common/testenv.h"
#include "core/settings.h"
#include "hotfolders/filechecker.h"
#include "hotfolders/hotfolderitem.h"
#include "hotfolders/hotfolderwatcher.h"
#include "prefs/prefs.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace pv;

namespace {

void writeBytes(const QString &path, qsizetype n, QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile f(path);
    QVERIFY(f.open(mode));
    f.write(QByteArray(n, 'x'));
}

} // namespace

class TestFileChecker : public QObject {
    Q_OBJECT

    pvtest::IsolatedHome m_home;
    QTemporaryDir m_tmp;
    HotfolderWatcher m_watcher{nullptr};
    QList<QVariantMap> m_handed;

private Q_SLOTS:
    void init()
    {
        m_handed.clear();
        m_watcher.setItemHandler([this](const QVariantMap &item) { m_handed.append(item); });
    }

    void sizesCountFilesBelowAndNeverFollowLinks()
    {
        const QString outside = m_tmp.filePath("outside");
        QVERIFY(QDir().mkpath(outside + "/deep"));
        writeBytes(outside + "/big", 100000);
        writeBytes(outside + "/deep/big", 100000);
        const QString item = m_tmp.filePath("item");
        QVERIFY(QDir().mkpath(item + "/a/b/empty"));
        writeBytes(item + "/top", 100);
        writeBytes(item + "/a/b/nested", 50);
        QVERIFY(QFile::link(outside + "/big", item + "/fileLink"));
        QVERIFY(QFile::link(outside, item + "/a/dirLink"));
        // A link counts as the length of its target's name.
        QCOMPARE(measureItemSize(item).size, quint64(150 + 2 * outside.size() + 4));
        QVERIFY(!measureItemSize(item).vanished);
        QCOMPARE(measureItemSize(item + "/a/dirLink").size, quint64(outside.size()));
        QVERIFY(measureItemSize(m_tmp.filePath("missing")).vanished);
    }

    void growingEntryIsHandedOverOnlyAfterTwoEqualProbes()
    {
        const QString path = m_tmp.filePath("growing.bin");
        writeBytes(path, 10);
        auto *checker = new FileChecker({{hk::path, path}, {hk::name, "x"}}, &m_watcher);
        checker->startProbingFileSizeForFile(std::chrono::hours(1));
        for (int i = 0; i < 4; ++i) {
            checker->probe();
            writeBytes(path, 1000, QIODevice::Append);
        }
        checker->probe(); // first probe after the last write: remembers the size
        QVERIFY(m_handed.isEmpty());
        checker->probe();
        QCOMPARE(m_handed.size(), 1);
        QCOMPARE(m_handed[0].value(hk::origSize).toLongLong(), 4010);
        QVERIFY(!checker->isProbing());
        checker->probe(); // a late tick must not hand it over twice
        QCOMPARE(m_handed.size(), 1);
    }

    void entryHeldOpenForWritingWaitsForItsWriter()
    {
        const QString folder = m_tmp.filePath("held");
        QVERIFY(QDir().mkpath(folder + "/sub"));
        QFile writer(folder + "/sub/a.log");
        QVERIFY(writer.open(QIODevice::WriteOnly));
        writer.write("first part");
        writer.flush();
        auto *checker = new FileChecker({{hk::path, folder}}, &m_watcher);
        for (int i = 0; i < 4; ++i)
            checker->probe();
        QVERIFY(m_handed.isEmpty());

        // Where no lease can be taken, the open files in /proc tell the same.
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(writer.fileName()).constData(), &st), 0);
        const FileId id(st.st_dev, st.st_ino);
        QCOMPARE(openForWritingAmong({id}), QSet<FileId>{id});

        writer.close();
        QVERIFY(openForWritingAmong({id}).isEmpty());
        QFile reader(writer.fileName()); // readers are no reason to wait
        QVERIFY(reader.open(QIODevice::ReadOnly));
        checker->probe();
        QCOMPARE(m_handed.size(), 1);
    }

    void vanishedEntryIsNotHandedOverButEmptyOneIs()
    {
        const QString gone = m_tmp.filePath("download.part");
        const QString empty = m_tmp.filePath("empty");
        writeBytes(gone, 10);
        writeBytes(empty, 0);
        auto *goneChecker = new FileChecker({{hk::path, gone}}, &m_watcher);
        auto *emptyChecker = new FileChecker({{hk::path, empty}}, &m_watcher);
        goneChecker->probe();
        emptyChecker->probe();
        QVERIFY(QFile::remove(gone));
        goneChecker->probe();
        goneChecker->probe();
        emptyChecker->probe();
        QCOMPARE(m_handed.size(), 1);
        QCOMPARE(m_handed[0].value(hk::path).toString(), empty);
    }

    void intervalsFromSettings_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("scan");
        QTest::addColumn<int>("probe");
        QTest::newRow("unset") << QVariant() << 5 << 5;
        QTest::newRow("2") << QVariant(2) << 5 << 2;
        QTest::newRow("6") << QVariant(6) << 6 << 6;
        QTest::newRow("-3") << QVariant(-3) << 5 << 5;
        QTest::newRow("text 30") << QVariant("30") << 30 << 30;
    }

    void intervalsFromSettings()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, scan);
        QFETCH(int, probe);
        if (stored.isValid())
            settings::setValue(keys::watchInterval, stored);
        else
            settings::open()->remove(keys::watchInterval);
        QCOMPARE(HotfolderWatcher::scanIntervalSeconds(), scan);
        QCOMPARE(HotfolderWatcher::probeIntervalSeconds(), probe);
    }
};

QTEST_GUILESS_MAIN(TestFileChecker)
#include "test_filechecker.moc"
