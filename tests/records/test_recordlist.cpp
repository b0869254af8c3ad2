// The lists: coalesced writing, damaged files, the queue's priority order and
// its "-" (the source goes to the hot folder's Errors folder), the lazily read
// history, the processed-files limit, and the confirmations to clear.

#include "common/fixtures.h"
#include "common/testenv.h"
#include "core/settings.h"
#include "records/historytable.h"
#include "records/queuetable.h"
#include "records/senttable.h"

#include <QPersistentModelIndex>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <numeric>

using namespace pvtest;

namespace {

const auto endTurn = [] { QCoreApplication::processEvents(); }; // lets queued writes run

/// A delivery record whose dateEnd is i seconds after a fixed moment.
QVariantMap record(int i, const QVariantMap &extra = {})
{
    QVariantMap r{{"name", QString("file%1.txt").arg(i)},
                  {"path", QString("/hot/file%1.txt").arg(i)},
                  {"dateEnd", QDateTime::fromSecsSinceEpoch(1'700'000'000 + i, Qt::UTC)},
                  {"success", "ok"},
                  {"seq", qlonglong(i)}};
    r.insert(extra);
    return r;
}

QList<int> seqs(const QList<QVariantMap> &records)
{
    QList<int> out;
    for (const QVariantMap &r : records)
        out.append(r.value("seq").toInt());
    return out;
}

QList<int> range(int from, int downTo)
{
    QList<int> out(from - downTo + 1);
    std::iota(out.rbegin(), out.rend(), downTo);
    return out;
}

/// The records stored in a list file; a marker record when it is not an array.
QList<QVariantMap> onDisk(const QString &path)
{
    const QVariant root = pv::plist::readFile(path);
    if (root.typeId() != QMetaType::QVariantList)
        return {QVariantMap{{"<not a list>", true}}};
    QList<QVariantMap> out;
    for (const QVariant &v : root.toList())
        out.append(v.toMap());
    return out;
}

/// After the turn the file holds exactly the list.
bool written(const pv::RecordList &list)
{
    endTurn();
    return onDisk(list.filePath()) == list.items();
}

/// A list file of the application folder holding the records, in this order.
void store(const QString &name, const QList<int> &order)
{
    QVariantList list;
    for (int i : order)
        list.append(record(i));
    QVERIFY(pv::plist::writeFile(pv::paths::appFile(name), list));
}

void setRecent(const QString &value)
{
    auto s = pv::settings::open();
    value.isNull() ? s->remove("recentItems") : s->setValue("recentItems", value);
    s->sync();
}

} // namespace

class TestRecordList : public QObject {
    Q_OBJECT

    IsolatedHome m_home;
    QString m_hot;

    // A queue record for a real file (or folder) in the hot folder.
    QVariantMap sourceRecord(const QString &name, bool folder = false, const char *dest = "Server")
    {
        const QString path = m_hot + QLatin1Char('/') + name;
        if (folder)
            QDir().mkpath(path + "/inner");
        else
            putBytes(path, name.toUtf8());
        return {{"name", name}, {"path", path}, {"hotfolder", m_hot}, {"dest", dest}};
    }

private Q_SLOTS:
    void init()
    {
        QDir(pv::paths::appDir()).removeRecursively();
        QDir().mkpath(pv::paths::appDir());
        setRecent(QString());
        m_hot = m_home.path() + "/hot";
        QDir(m_hot).removeRecursively();
        QVERIFY(QDir().mkpath(m_hot));
    }

    void writing()
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
        QTRY_COMPARE(onDisk(queue.filePath()), queue.items());
        QVERIFY(spy.count() >= 1 && spy.count() <= 3);

        // The queue file is never read back: it starts as the empty queue.
        store("Queue.xml", {1, 2});
        {
            pv::QueueTable start(nullptr);
            QCOMPARE(start.count(), 0);
            QVERIFY(written(start));
            // Pending changes are written on destruction, without a turn.
            pv::SentTable end(nullptr, m_home.path() + "/Sent2.xml");
            end.addItem(record(1));
            end.addItem(record(2));
        }
        QCOMPARE(seqs(onDisk(m_home.path() + "/Sent2.xml")), QList<int>({2, 1}));
    }

    // Nothing usable: the file is kept aside; the next change writes a sound one.
    void damagedFiles()
    {
        const QString path = pv::paths::appFile("Sent.xml");
        const auto xml = [](const QVariant &v) { return pv::plist::toXml(v); };
        // The bytes, the records read, whether the file is kept aside.
        const std::tuple<QByteArray, QList<int>, bool> rows[] = {
            {"<?xml version=\"1.0\"?><plist><arr", {}, true},
            {"", {}, true},
            {xml(record(1)), {}, true},
            {xml(QVariantList{record(1), "x", qlonglong(5), QVariantList{}, record(2)}),
             {1, 2},
             false}};
        for (const auto &[bytes, expected, keptAside] : rows) {
            QFile::remove(path + ".unreadable");
            QVERIFY(putBytes(path, bytes));
            pv::SentTable sent(nullptr);
            QCOMPARE(seqs(sent.items()), expected);
            QCOMPARE(QFile::exists(path + ".unreadable"), keptAside);
            QCOMPARE(fileBytes(path + ".unreadable"), keptAside ? bytes : QByteArray());
            sent.addItem(record(9));
            QVERIFY(written(sent));
        }
    }

    // Each list asks first; Cancel, its default, keeps the records and the
    // file, and clearing one list leaves the others alone.
    void clearingAsksFirst()
    {
        store("Sent.xml", {4, 3});
        store("History.xml", {1, 2});
        RecordingAlerter alerter;
        pv::SentTable sent(&alerter);
        pv::HistoryTable history(&alerter); // not loaded: the first question reads it
        pv::QueueTable queue(&alerter);
        queue.addItem(record(5));
        queue.addItem(record(6));
        endTurn();
        const std::pair<pv::RecordList *, std::function<bool()>> lists[] = {
            {&sent, [&] { return sent.clearErrors(); }},
            {&history, [&] { return history.clearHistory(); }},
            {&queue, [&] { return queue.clearQueue(); }}};
        for (const auto &[list, clear] : lists) {
            const QByteArray before = fileBytes(list->filePath());
            alerter.answer = -1;
            QVERIFY(!clear());
            QCOMPARE(list->count(), 2);
            endTurn();
            QCOMPARE(fileBytes(list->filePath()), before);
            alerter.answer = 0;
            QVERIFY(clear());
            QCOMPARE(list->count(), 0);
            QTRY_VERIFY(written(*list));
        }
        QCOMPARE(alerter.alerts[0].text, "The records in History will not be affected");
        // Headless: nobody to ask, the queue stays.
        pv::QueueTable unattended(nullptr, m_home.path() + "/q2.xml");
        unattended.addItem(record(1));
        QVERIFY(!unattended.clearQueue());
        QCOMPARE(unattended.count(), 1);
    }

    void queuePriorityAndMinus()
    {
        RecordingAlerter alerter;
        pv::QueueTable queue(&alerter);
        // true and any non-zero number ask for priority.
        queue.addItem(record(1));
        queue.addItem(record(2));
        queue.addItem(record(3, {{"priority", true}}));
        queue.addItem(record(4, {{"priority", 1LL}}));
        queue.addItem(record(5, {{"priority", 0LL}}));
        QCOMPARE(seqs(queue.items()), QList<int>({4, 3, 1, 2, 5}));
        QCOMPARE(queue.deleteFirstItem().value("seq").toInt(), 4);
        QVERIFY(queue.containsPath("/hot/file5.txt"));
        QVERIFY(!queue.containsPath("/hot/file4.txt"));
        QVERIFY(written(queue));
        while (queue.count() > 0)
            queue.deleteFirstItem();
        QVERIFY(queue.deleteFirstItem().isEmpty());
        // A source queued twice is still needed after one of its entries left.
        queue.addItem(record(1));
        queue.addItem(record(1));
        queue.deleteFirstItem();
        QVERIFY(queue.containsPath("/hot/file1.txt"));
        queue.deleteFirstItem();
        QVERIFY(!queue.containsPath("/hot/file1.txt"));

        // "-" moves the source to the hot folder's Errors.
        queue.addItem(sourceRecord("Folder", true));
        queue.addItem(sourceRecord("c.txt"));
        QCOMPARE(queue.minusBtn(1), 0); // Errors is created on demand
        QCOMPARE(fileBytes(m_hot + "/Errors/c.txt"), QByteArray("c.txt"));
        QVERIFY(!QFile::exists(m_hot + "/c.txt"));
        QCOMPARE(queue.minusBtn(0), -1);
        QVERIFY(QFileInfo(m_hot + "/Errors/Folder/inner").isDir());
        QTRY_VERIFY(written(queue)); // the last write was less than a coalescing spell ago

        // A source other entries still need (other members of a group, or
        // the one being delivered right now) stays; the last entry takes it.
        for (const char *dest : {"Server", "Other", "Third"})
            queue.addItem(sourceRecord("g.txt", false, dest));
        const QString source = m_hot + "/g.txt";
        queue.minusBtn(0);
        QVERIFY(QFile::exists(source));
        QString inProcessing = source;
        queue.setPathInUse([&](const QString &p) { return p == inProcessing; });
        queue.deleteFirstItem();
        queue.minusBtn(0);
        QVERIFY(QFile::exists(source));
        queue.addItem(sourceRecord("g.txt"));
        inProcessing.clear();
        queue.minusBtn(0);
        QVERIFY(!QFile::exists(source));
        QVERIFY(QFile::exists(m_hot + "/Errors/g.txt"));
        QVERIFY(alerter.alerts.isEmpty());

        // Never replaces an item in Errors, never writes outside it, and
        // leaves a source alone when there is no hot folder; the entry goes
        // in every case.
        queue.addItem(sourceRecord("b.txt"));
        QVERIFY(putBytes(m_hot + "/Errors/b.txt", "older"));
        queue.minusBtn(0);
        QCOMPARE(queue.count(), 0);
        QCOMPARE(alerter.alerts.size(), 1);
        QCOMPARE(alerter.alerts[0].title, "Could not move file to Errors folder");
        QCOMPARE(fileBytes(m_hot + "/Errors/b.txt"), QByteArray("older"));
        QCOMPARE(fileBytes(m_hot + "/b.txt"), QByteArray("b.txt"));

        QVariantMap r = sourceRecord("x.txt");
        r["name"] = "../../escaped.txt";
        queue.addItem(r);
        queue.minusBtn(0);
        QVERIFY(QFile::exists(m_hot + "/Errors/escaped.txt"));
        QVERIFY(!QFile::exists(m_home.path() + "/escaped.txt"));

        r = sourceRecord("cli.txt");
        r.remove("hotfolder");
        queue.addItem(r);
        queue.minusBtn(0);
        QCOMPARE(queue.count(), 0);
        QVERIFY(QFile::exists(r.value("path").toString()));
        QVERIFY(!QFile::exists("/Errors"));
    }

    void historyReading()
    {
        const QString path = pv::paths::appFile("History.xml");
        // Gone before the turn ends, unread: the records it took are added to
        // the file, never written over it as an empty list.
        store("History.xml", {1});
        {
            pv::HistoryTable quitting(nullptr);
            quitting.addItem(record(2));
        }
        QCOMPARE(seqs(onDisk(path)), QList<int>({1, 2}));
        store("History.xml", {3, 1, 2});
        const QByteArray unsorted = fileBytes(path);
        pv::HistoryTable history(nullptr);
        history.loadHistory();
        QCOMPARE(seqs(history.items()), QList<int>({1, 2, 3}));
        endTurn();
        QCOMPARE(fileBytes(path), unsorted);
        // A second load must not duplicate or reset what was added since.
        history.addItem(record(4));
        history.loadHistory();
        history.flush();
        QCOMPARE(seqs(onDisk(path)), QList<int>({1, 2, 3, 4}));

        // A record added while the worker reads: the list is read at once
        // and the worker's late result changes nothing.
        pv::HistoryTable later(nullptr);
        later.loadHistoryInBackground();
        later.addItem(record(5));
        QVERIFY(later.isLoaded() && !later.isReading());
        QTest::qWait(50);
        QCOMPARE(seqs(later.items()), QList<int>({1, 2, 3, 4, 5}));
        QVERIFY(written(later));

        // A long history takes later records at the end of its file, unread, in
        // the bytes a whole write gives; an earlier record makes it read and sort.
        QList<int> order = range(400, 1);
        std::reverse(order.begin(), order.end());
        std::swap(order[0], order[1]); // reading sorts it
        store("History.xml", order);
        pv::HistoryTable grown(nullptr);
        for (int i : {401, 401, 402}) {
            grown.addItem(record(i));
            order.append(i);
        }
        endTurn();
        QVERIFY(!grown.isLoaded());
        QCOMPARE(seqs(onDisk(path)), order);
        QCOMPARE(fileBytes(path), pv::plist::toXml(pv::plist::readFile(path)));
        QCOMPARE(fileBytes(pv::paths::appFile("Journal.log")), QByteArray());

        grown.addItem(record(0));
        QVERIFY(grown.isLoaded());
        QTRY_VERIFY(written(grown));
        QCOMPARE(seqs(grown.items()).mid(0, 3), QList<int>({0, 1, 2}));
        QCOMPARE(grown.count(), 404);
    }

    void historySortKeyAndSelection()
    {
        pv::HistoryTable history(nullptr);
        for (int i : {5, 1, 3})
            history.addItem(record(i));
        QCOMPARE(seqs(history.items()), QList<int>({1, 3, 5}));

        // A selected row stays on its record when others sort in before it.
        QPersistentModelIndex selected(history.index(1, 0));
        history.addItem(record(2));
        QCOMPARE(selected.row(), 2);
        QCOMPARE(selected.data(pv::RecordList::RecordRole).toMap().value("seq"), 3);

        // Sorting by a column (text with numbers in it), newest name first.
        history.addItem(record(7, {{"finalName", "file10.txt"}}));
        history.sort(history.columnOfKey("finalName"), Qt::DescendingOrder);
        QCOMPARE(history.itemAt(0).value("seq").toInt(), 7);
        QCOMPARE(selected.data(pv::RecordList::RecordRole).toMap().value("seq"), 3);

        history.setSortKey("dateEnd", Qt::DescendingOrder);
        QCOMPARE(seqs(history.items()), QList<int>({7, 5, 3, 2, 1}));
        QVERIFY(written(history));

        // The completion date's column sorts by date, not by month names.
        history.addItem(record(9, {{"dateEndStr", "Feb  1/24, 09:00:00 AM"}}));
        history.addItem(record(8, {{"dateEndStr", "Mar  1/24, 09:00:00 AM"}}));
        history.sort(history.columnOfKey("dateEndStr"), Qt::AscendingOrder);
        QCOMPARE(seqs(history.items()), QList<int>({1, 2, 3, 5, 7, 8, 9}));
    }

    // The limit of the processed-files list, in both readings of "Unlimited";
    // lowering it drops the oldest, raising it brings nothing back.
    void sentKeepsTheNewestWithinTheLimit()
    {
        // The limit; records 1..stored in the file, stored+1..stored+added
        // completed; the oldest kept.
        const std::tuple<QString, int, int, int> rows[] = {{"10", 10, 1, 2},
                                                           {"Unlimited", 0, 60, 11},
                                                           {QString(), 0, 120, 1},
                                                           {"0", 100, 21, 1},
                                                           {"lots", 0, 60, 1}};
        for (const auto &[limit, stored, added, oldestKept] : rows) {
            setRecent(limit);
            store("Sent.xml", range(stored, 1));
            pv::SentTable sent(nullptr);
            for (int i = stored + 1; i <= stored + added; ++i)
                sent.addCompletedItem(record(i));
            sent.adjustNumberOfRecentTo(0);
            QCOMPARE(seqs(sent.items()), range(stored + added, oldestKept));
            QVERIFY(written(sent));
        }
        store("Sent.xml", range(100, 1));
        pv::SentTable sent(nullptr);
        sent.adjustNumberOfRecentTo(20);
        QCOMPARE(seqs(sent.items()), range(100, 81));
        QVERIFY(written(sent));
        sent.adjustNumberOfRecentTo(50);
        QCOMPARE(sent.count(), 20);
        sent.removeLastItem();
        QCOMPARE(sent.itemAt(sent.count() - 1).value("seq").toInt(), 82);
    }

    // A kill after the lists were written but before the journal was emptied
    // adds nothing twice, not even records the processed list's limit has
    // dropped since (a kill before the write is the recovery test's).
    void journalReplayedAfterTheWriteAddsNothingTwice()
    {
        setRecent("3");
        store("History.xml", {0});
        const QString journal = pv::paths::appFile("Journal.log");
        QByteArray unfolded;
        {
            pv::HistoryTable history(nullptr);
            pv::SentTable sent(nullptr);
            for (int i = 1; i <= 6; ++i) {
                history.addItem(record(i));
                sent.addCompletedItem(record(i));
            }
            unfolded = fileBytes(journal);
            QVERIFY(history.flush() && sent.flush());
        }
        QVERIFY(putBytes(journal, unfolded)); // as if killed before emptying it
        for (int run = 0; run < 2; ++run) {
            pv::HistoryTable history(nullptr);
            pv::SentTable sent(nullptr);
            history.loadHistory();
            QCOMPARE(seqs(history.items()), QList<int>({0, 1, 2, 3, 4, 5, 6}));
            QCOMPARE(seqs(sent.items()), QList<int>({6, 5, 4}));
            QCOMPARE(fileBytes(journal), QByteArray());
        }
    }

    void sentRowActions()
    {
        pv::SentTable actions(nullptr, m_home.path() + "/actions.xml");
        QVERIFY(actions.itemsForAction(0, {0}).isEmpty());
        for (int i = 0; i < 4; ++i)
            actions.addItem(record(i)); // rows hold 3, 2, 1, 0
        // A right click outside the selection acts on the clicked row alone.
        QCOMPARE(seqs(actions.itemsForAction(3, {0, 1})), QList<int>({0}));
        // Inside the selection: the selection, in row order.
        QCOMPARE(seqs(actions.itemsForAction(2, {2, 0})), QList<int>({3, 1}));
        QCOMPARE(seqs(actions.itemsForAction(-1, {1})), QList<int>({2}));
        QCOMPARE(seqs(actions.itemsForAction(9, {7})), QList<int>());

        RecordingAlerter alerter;
        // Written by an earlier run: the files keep whole seconds only.
        store("History.xml", {1, 2, 3});
        pv::HistoryTable history(&alerter);
        pv::SentTable sent(&alerter);
        const QVariantMap linked =
            record(2, {{"downloadURLForUser", "https://dl.example/f1"},
                       {"dateEnd", record(2).value("dateEnd").toDateTime().addMSecs(250)}});
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

QTEST_GUILESS_MAIN(TestRecordList)
#include "test_recordlist.moc"
