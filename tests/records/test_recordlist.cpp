// What every list shares: coalesced writing, reading damaged files, the
// rows an action applies to, and the memory-only error log.

#include "records/historypaneltable.h"
#include "records/queuetable.h"
#include "records/recordtestutil.h"
#include "records/senttable.h"

#include <QSignalSpy>
#include <QTest>

using namespace pvtest;

class TestRecordList : public QObject {
    Q_OBJECT

    TempHome m_home;

private Q_SLOTS:
    void init() { clearAppDir(); }

    void writesAreCoalesced()
    {
        pv::QueueTable queue(nullptr);
        endTurn(); // the start-up write of the empty queue
        QSignalSpy spy(&queue, &pv::RecordList::itemsWritten);
        for (int i = 0; i < 1000; ++i)
            queue.addItem(record(i));
        queue.deleteFirstItem();
        QCOMPARE(spy.count(), 0);
        // A burst of changes over many turns is written a few times, not once
        // per turn, and the file ends equal to the list.
        for (int i = 0; i < 50; ++i) {
            queue.deleteFirstItem();
            endTurn();
        }
        QTRY_COMPARE(fileRecords(queue.filePath()), queue.items());
        QVERIFY(spy.count() >= 1 && spy.count() <= 3);

        // After a quiet spell a lone change is written at the end of its turn.
        QTest::qWait(600);
        const int before = int(spy.count());
        queue.deleteFirstItem();
        endTurn();
        QCOMPARE(spy.count(), before + 1);
        QCOMPARE(fileRecords(queue.filePath()), queue.items());
    }

    void pendingChangesAreWrittenOnDestruction()
    {
        const QString path = pv::paths::appFile("Sent.xml");
        {
            pv::SentTable sent(nullptr);
            sent.addItem(record(1));
            sent.addItem(record(2));
        } // no event loop turn
        QCOMPARE(seqs(fileRecords(path)), QList<int>({2, 1}));
    }

    void queueFileStartsAsTheEmptyQueue()
    {
        const QString path = pv::paths::appFile("Queue.xml");
        QVERIFY(pv::plist::writeFile(path, QVariantList{record(1), record(2)}));
        pv::QueueTable queue(nullptr);
        QCOMPARE(queue.count(), 0); // never read back
        endTurn();
        QCOMPARE(fileRecords(path), QList<QVariantMap>());
    }

    void damagedFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<int>>("expected");
        QTest::addColumn<bool>("keptAside");

        const auto xml = [](const QVariant &v) { return pv::plist::toXml(v); };
        QTest::newRow("garbage") << QByteArray("<?xml version=\"1.0\"?><plist><arr") << QList<int>()
                                 << true;
        QTest::newRow("empty file") << QByteArray() << QList<int>() << true;
        QTest::newRow("root is a dictionary") << xml(record(1)) << QList<int>() << true;
        QTest::newRow("mixed elements")
            << xml(QVariantList{record(1), "x", qlonglong(5), QVariantList{}, record(2)})
            << QList<int>({1, 2}) << false;
    }

    void damagedFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QList<int>, expected);
        QFETCH(bool, keptAside);
        const QString path = pv::paths::appFile("Sent.xml");
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }
        pv::SentTable sent(nullptr);
        QCOMPARE(seqs(sent.items()), expected);
        QCOMPARE(QFile::exists(path + ".unreadable"), keptAside);
        if (keptAside)
            QCOMPARE(fileBytes(path + ".unreadable"), bytes);

        // The next change writes a sound file.
        sent.addItem(record(9));
        endTurn();
        QCOMPARE(fileRecords(path), sent.items());
    }

    void itemsForAction()
    {
        pv::SentTable sent(nullptr);
        QVERIFY(sent.itemsForAction(0, {0}).isEmpty());
        for (int i = 0; i < 4; ++i)
            sent.addItem(record(i)); // rows hold 3, 2, 1, 0
        // A right click outside the selection acts on the clicked row alone.
        QCOMPARE(seqs(sent.itemsForAction(3, {0, 1})), QList<int>({0}));
        // Inside the selection: the selection, in row order.
        QCOMPARE(seqs(sent.itemsForAction(2, {2, 0})), QList<int>({3, 1}));
        QCOMPARE(seqs(sent.itemsForAction(-1, {1})), QList<int>({2}));
        QCOMPARE(seqs(sent.itemsForAction(9, {7})), QList<int>());
    }

    void errorLog()
    {
        pv::HistoryPanelTable log;
        log.addError("first");
        log.addError("second\nline");
        QCOMPARE(log.selectedRowItemforColumnIdentifier(0, "error"), "second\nline");
        QCOMPARE(log.copy({1, 0, 5}), "second\nline\n\nfirst\n\n");
        log.clearHistory();
        QCOMPARE(log.count(), 0);
        endTurn();
        QCOMPARE(QDir(pv::paths::appDir()).entryList(QDir::Files), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestRecordList)
#include "test_recordlist.moc"
