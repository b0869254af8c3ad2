// The history: read only when first needed, kept sorted, cleared only after
// asking.

#include "records/historytable.h"
#include "records/recordtestutil.h"

#include <QFileInfo>
#include <QPersistentModelIndex>
#include <QTest>

using namespace pvtest;

class TestHistoryTable : public QObject {
    Q_OBJECT

    TempHome m_home;
    QString m_path;

    void prepareHistory(const QList<int> &order)
    {
        QVariantList list;
        for (int i : order)
            list.append(record(i));
        QVERIFY(pv::plist::writeFile(m_path, list));
    }

private Q_SLOTS:
    void init()
    {
        clearAppDir();
        m_path = pv::paths::appFile("History.xml");
    }

    void firstAdditionLoadsTheFileAndOpeningOnlyReads()
    {
        prepareHistory({3, 1, 2});
        const QByteArray unsorted = fileBytes(m_path);
        pv::HistoryTable lazy(nullptr);
        QVERIFY(!lazy.isLoaded());
        lazy.addItem(record(0));
        QCOMPARE(seqs(lazy.items()), QList<int>({0, 1, 2, 3}));
        endTurn();
        QCOMPARE(fileRecords(m_path), lazy.items());

        prepareHistory({3, 1, 2});
        pv::HistoryTable history(nullptr);
        history.loadHistory();
        QCOMPARE(seqs(history.items()), QList<int>({1, 2, 3}));
        endTurn();
        QCOMPARE(fileBytes(m_path), unsorted);
        // A second load must not duplicate or reset what was added since.
        history.addItem(record(4));
        history.loadHistory();
        history.flush();
        QCOMPARE(seqs(fileRecords(m_path)), QList<int>({1, 2, 3, 4}));
    }

    void sortKeyAndSelection()
    {
        pv::HistoryTable history(nullptr);
        for (int i : {5, 1, 3})
            history.addItem(record(i));
        QCOMPARE(seqs(history.items()), QList<int>({1, 3, 5}));

        // A selected row stays on its record when others sort in before it.
        QPersistentModelIndex selected(history.index(1, 0));
        history.addItem(record(2));
        QCOMPARE(selected.row(), 2);
        QCOMPARE(selected.data(pv::RecordList::RecordRole).toMap(), record(3));

        // Sorting by a column (text with numbers in it), newest name first.
        QVariantMap a = record(7);
        a["finalName"] = "file10.txt";
        history.addItem(a);
        history.sort(history.columnOfKey("finalName"), Qt::DescendingOrder);
        QCOMPARE(history.sortKey(), "finalName");
        QCOMPARE(history.itemAt(0).value("seq").toInt(), 7);
        QCOMPARE(selected.data(pv::RecordList::RecordRole).toMap(), record(3));

        history.setSortKey("dateEnd", Qt::DescendingOrder);
        QCOMPARE(seqs(history.items()), QList<int>({7, 5, 3, 2, 1}));
        endTurn();
        QCOMPARE(fileRecords(m_path), history.items());
    }

    void clearingAsksFirst()
    {
        prepareHistory({1, 2});
        const QByteArray before = fileBytes(m_path);
        RecordingAlerter alerter;
        pv::HistoryTable history(&alerter);

        alerter.answer = 1; // Cancel, before the window ever loaded the file
        QVERIFY(!history.clearHistory());
        QCOMPARE(history.count(), 2);
        endTurn();
        QCOMPARE(fileBytes(m_path), before);
        QCOMPARE(alerter.alerts[0].buttons, QStringList({"Clear History", "Cancel"}));

        alerter.answer = 0;
        QVERIFY(history.clearHistory());
        QCOMPARE(history.count(), 0);
        endTurn();
        QCOMPARE(fileRecords(m_path), QList<QVariantMap>());
    }
};

QTEST_GUILESS_MAIN(TestHistoryTable)
#include "test_historytable.moc"
