// The processed-files list: its limit in both readings of "Unlimited",
// clearing, links and the way back into the history.

#include "core/settings.h"
#include "records/historytable.h"
#include "records/recordtestutil.h"
#include "records/senttable.h"

#include <QTest>

using namespace pvtest;

class TestSentTable : public QObject {
    Q_OBJECT

    TempHome m_home;

    static void setRecent(const QString &value)
    {
        auto s = pv::settings::open();
        if (value.isNull())
            s->remove("recentItems");
        else
            s->setValue("recentItems", value);
        s->sync();
    }

    // A Sent.xml with records first..last, newest (last) first.
    static void prepareSent(int first, int last)
    {
        QVariantList list;
        for (int i = last; i >= first; --i)
            list.append(record(i));
        QVERIFY(pv::plist::writeFile(pv::paths::appFile("Sent.xml"), list));
    }

    static QList<int> range(int from, int downTo)
    {
        QList<int> out;
        for (int i = from; i >= downTo; --i)
            out.append(i);
        return out;
    }

private Q_SLOTS:
    void init()
    {
        clearAppDir();
        setRecent(QString());
    }

    void limitSetting_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<qint64>("inPreTrim");
        QTest::addColumn<qint64>("inList");
        QTest::newRow("absent") << QString() << qint64(0) << qint64(0);
        QTest::newRow("zero") << "0" << qint64(0) << qint64(0);
        QTest::newRow("number") << "25" << qint64(25) << qint64(25);
        QTest::newRow("Unlimited") << "Unlimited" << qint64(1000000) << qint64(50);
        QTest::newRow("junk") << "lots" << qint64(0) << qint64(0);
        QTest::newRow("negative") << "-3" << qint64(0) << qint64(0);
    }
    void limitSetting()
    {
        QFETCH(QString, value);
        QFETCH(qint64, inPreTrim);
        QFETCH(qint64, inList);
        setRecent(value);
        QCOMPARE(pv::SentTable::recentItemsLimit(1000000), inPreTrim);
        QCOMPARE(pv::SentTable::recentItemsLimit(50), inList);
    }

    void completingKeepsTheNewestWithinTheLimit_data()
    {
        QTest::addColumn<QString>("limit");
        QTest::addColumn<int>("stored"); // records 1..stored already in Sent.xml
        QTest::addColumn<int>("added");  // records stored+1..stored+added completed
        QTest::addColumn<int>("oldestKept");
        QTest::newRow("at the limit") << "10" << 10 << 1 << 2;
        QTest::newRow("Unlimited keeps fifty") << "Unlimited" << 0 << 60 << 11;
        QTest::newRow("no limit") << QString() << 0 << 120 << 1;
        QTest::newRow("zero") << "0" << 100 << 21 << 1;
    }
    void completingKeepsTheNewestWithinTheLimit()
    {
        QFETCH(QString, limit);
        QFETCH(int, stored);
        QFETCH(int, added);
        QFETCH(int, oldestKept);
        setRecent(limit);
        if (stored)
            prepareSent(1, stored);
        pv::SentTable sent(nullptr);
        for (int i = stored + 1; i <= stored + added; ++i)
            sent.addCompletedItem(record(i));
        sent.adjustNumberOfRecentTo(0);
        QCOMPARE(seqs(sent.items()), range(stored + added, oldestKept));
        endTurn();
        QCOMPARE(fileRecords(sent.filePath()), sent.items());
    }

    void loweringTheLimitDropsTheOldest()
    {
        prepareSent(1, 100);
        pv::SentTable sent(nullptr);
        sent.adjustNumberOfRecentTo(20);
        QCOMPARE(seqs(sent.items()), range(100, 81));
        endTurn();
        QCOMPARE(seqs(fileRecords(sent.filePath())), range(100, 81));
        sent.adjustNumberOfRecentTo(50); // raising it brings nothing back
        QCOMPARE(sent.count(), 20);
        sent.removeLastItem();
        QCOMPARE(sent.itemAt(sent.count() - 1).value("seq").toInt(), 82);
    }

    void clearingLeavesTheHistoryAlone()
    {
        RecordingAlerter alerter;
        prepareSent(1, 3);
        const QString historyPath = pv::paths::appFile("History.xml");
        QVERIFY(pv::plist::writeFile(historyPath, QVariantList{record(1)}));
        const QByteArray historyBefore = fileBytes(historyPath);
        pv::HistoryTable history(&alerter);
        history.loadHistory();
        pv::SentTable sent(&alerter);

        alerter.answer = 1;
        QVERIFY(!sent.clearErrors());
        QCOMPARE(sent.count(), 3);
        QCOMPARE(alerter.alerts.last().text, "The records in History will not be affected");

        alerter.answer = 0;
        QVERIFY(sent.clearErrors());
        endTurn();
        QCOMPARE(fileRecords(sent.filePath()), QList<QVariantMap>());
        QCOMPARE(history.count(), 1);
        QCOMPARE(fileBytes(historyPath), historyBefore);
    }

    void copyLinkAndDoubleClick()
    {
        RecordingAlerter alerter;
        // Written by an earlier run: the files keep whole seconds only.
        QVERIFY(pv::plist::writeFile(pv::paths::appFile("History.xml"),
                                     QVariantList{record(1), record(2), record(3)}));
        pv::HistoryTable history(&alerter);
        pv::SentTable sent(&alerter);
        QVariantMap linked = record(2);
        linked["downloadURLForUser"] = "https://dl.example/f1";
        linked["dateEnd"] = record(2).value("dateEnd").toDateTime().addMSecs(250);
        sent.addItem(linked);
        sent.addItem(record(7));
        QCOMPARE(sent.copyLink({linked, record(7)}), "https://dl.example/f1");
        QCOMPARE(sent.doubleAction(1, &history), 1); // found in the history
        QVERIFY(alerter.alerts.isEmpty());

        QCOMPARE(sent.copyLink({record(7), linked}), QString());
        QCOMPARE(alerter.alerts.value(0).title, "Download link not specified");
        QCOMPARE(sent.doubleAction(0, &history), -1);
        QCOMPARE(alerter.alerts.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestSentTable)
#include "test_senttable.moc"
