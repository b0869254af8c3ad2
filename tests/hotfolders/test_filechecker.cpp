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

private Q_SLOTS:
    void sizesCountFilesBelowAndNeverFollowLinks();
    void growingEntryIsHandedOverOnlyAfterTwoEqualProbes();
    void vanishedEntryIsNotHandedOverButEmptyOneIs();
    void intervalsFromSettings_data();
    void intervalsFromSettings();

private:
    pvtest::IsolatedHome m_home;
};

void TestFileChecker::sizesCountFilesBelowAndNeverFollowLinks()
{
    QTemporaryDir tmp;
    const QString outside = tmp.filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outside + QStringLiteral("/deep")));
    writeBytes(outside + QStringLiteral("/big"), 100000);
    writeBytes(outside + QStringLiteral("/deep/big"), 100000);

    const QString item = tmp.filePath(QStringLiteral("item"));
    QVERIFY(QDir().mkpath(item + QStringLiteral("/a/b/empty")));
    writeBytes(item + QStringLiteral("/top"), 100);
    writeBytes(item + QStringLiteral("/a/b/nested"), 50);
    QVERIFY(QFile::link(outside + QStringLiteral("/big"), item + QStringLiteral("/fileLink")));
    QVERIFY(QFile::link(outside, item + QStringLiteral("/a/dirLink")));
    const quint64 links = quint64(outside.size() + QStringLiteral("/big").size() + outside.size());

    QCOMPARE(measureItemSize(item).size, 150 + links);
    QVERIFY(!measureItemSize(item).vanished);
    QCOMPARE(measureItemSize(item + QStringLiteral("/a/b/empty")).size, 0u);
    QCOMPARE(measureItemSize(item + QStringLiteral("/top")).size, 100u);
    // A link dropped as the item itself is measured as the link.
    QCOMPARE(measureItemSize(item + QStringLiteral("/a/dirLink")).size, quint64(outside.size()));
    QVERIFY(measureItemSize(tmp.filePath(QStringLiteral("missing"))).vanished);
}

void TestFileChecker::growingEntryIsHandedOverOnlyAfterTwoEqualProbes()
{
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("growing.bin"));
    writeBytes(path, 10);
    HotfolderWatcher watcher(nullptr);
    QList<QVariantMap> handed;
    watcher.setItemHandler([&](const QVariantMap &item) { handed.append(item); });

    auto *checker = new FileChecker({{hk::path, path}, {hk::name, QStringLiteral("x")}}, &watcher);
    checker->startProbingFileSizeForFile(std::chrono::hours(1));
    QVERIFY(checker->isProbing());
    for (int i = 0; i < 4; ++i) {
        checker->probe();
        writeBytes(path, 1000, QIODevice::Append);
    }
    QVERIFY(handed.isEmpty());
    checker->probe(); // first probe after the last write: remembers the size
    QVERIFY(handed.isEmpty());
    checker->probe();
    QCOMPARE(handed.size(), 1);
    QCOMPARE(handed[0].value(hk::origSize).toLongLong(), 4010);
    QCOMPARE(handed[0].value(hk::log).toList(), QVariantList());
    QCOMPARE(handed[0].value(hk::name).toString(), QStringLiteral("x"));
    QVERIFY(!checker->isProbing());
    checker->probe(); // a late tick must not hand it over twice
    QCOMPARE(handed.size(), 1);
}

void TestFileChecker::vanishedEntryIsNotHandedOverButEmptyOneIs()
{
    QTemporaryDir tmp;
    const QString gone = tmp.filePath(QStringLiteral("download.part"));
    const QString empty = tmp.filePath(QStringLiteral("empty"));
    writeBytes(gone, 10);
    writeBytes(empty, 0);
    HotfolderWatcher watcher(nullptr);
    QList<QVariantMap> handed;
    watcher.setItemHandler([&](const QVariantMap &item) { handed.append(item); });

    auto *goneChecker = new FileChecker({{hk::path, gone}}, &watcher);
    auto *emptyChecker = new FileChecker({{hk::path, empty}}, &watcher);
    goneChecker->probe();
    emptyChecker->probe();
    QVERIFY(QFile::remove(gone));
    goneChecker->probe();
    goneChecker->probe();
    emptyChecker->probe();
    QCOMPARE(handed.size(), 1);
    QCOMPARE(handed[0].value(hk::path).toString(), empty);
    QCOMPARE(handed[0].value(hk::origSize).toLongLong(), 0);
}

void TestFileChecker::intervalsFromSettings_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("scan");
    QTest::addColumn<int>("probe");
    QTest::newRow("unset") << QVariant() << 5 << 5;
    QTest::newRow("2") << QVariant(2) << 5 << 2;
    QTest::newRow("5") << QVariant(5) << 5 << 5;
    QTest::newRow("6") << QVariant(6) << 6 << 6;
    QTest::newRow("0") << QVariant(0) << 5 << 5;
    QTest::newRow("-3") << QVariant(-3) << 5 << 5;
    QTest::newRow("text 30") << QVariant(QStringLiteral("30")) << 30 << 30;
}

void TestFileChecker::intervalsFromSettings()
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

QTEST_GUILESS_MAIN(TestFileChecker)
#include "test_filechecker.moc"
