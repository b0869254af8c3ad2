// The delivery queue: priority order, removing an entry by hand (its source
// goes to the hot folder's Errors folder) and clearing.

#include "records/queuetable.h"
#include "records/recordtestutil.h"

#include <QTest>

using namespace pvtest;

class TestQueueTable : public QObject {
    Q_OBJECT

    TempHome m_home;
    QString m_hot;

    // A queue record for a real file (or folder) in the hot folder.
    QVariantMap sourceRecord(const QString &name, bool folder = false)
    {
        const QString path = m_hot + QLatin1Char('/') + name;
        if (folder) {
            QDir().mkpath(path + "/inner");
        } else {
            QFile f(path);
            if (f.open(QIODevice::WriteOnly))
                f.write(name.toUtf8());
        }
        return {{"name", name}, {"path", path}, {"hotfolder", m_hot}, {"dest", "Server"}};
    }

private Q_SLOTS:
    void init()
    {
        clearAppDir();
        m_hot = m_home.filePath("hot");
        QDir(m_hot).removeRecursively();
        QVERIFY(QDir().mkpath(m_hot));
    }

    void priorityGoesAheadOfWaitingItems()
    {
        pv::QueueTable queue(nullptr);
        // true and any non-zero number ask for priority.
        const QVariantList priority{{}, {}, true, qlonglong(1), qlonglong(0)};
        for (int i = 1; i <= 5; ++i) {
            QVariantMap r = record(i);
            if (priority[i - 1].isValid())
                r["priority"] = priority[i - 1];
            queue.addItem(r);
        }
        QCOMPARE(seqs(queue.items()), QList<int>({4, 3, 1, 2, 5}));

        QCOMPARE(queue.deleteFirstItem().value("seq").toInt(), 4);
        QVERIFY(queue.containsPath("/hot/file5.txt"));
        QVERIFY(!queue.containsPath("/hot/file4.txt"));
        endTurn();
        QCOMPARE(fileRecords(queue.filePath()), queue.items());

        while (queue.count() > 0)
            queue.deleteFirstItem();
        QVERIFY(queue.deleteFirstItem().isEmpty());
    }

    void minusMovesTheSourceToErrors()
    {
        RecordingAlerter alerter;
        pv::QueueTable queue(&alerter);
        queue.addItem(sourceRecord("a.txt"));
        queue.addItem(sourceRecord("Folder", true));
        queue.addItem(sourceRecord("c.txt"));

        QCOMPARE(queue.minusBtn(2), 1); // Errors is created on demand
        QCOMPARE(fileBytes(m_hot + "/Errors/c.txt"), QByteArray("c.txt"));
        QVERIFY(!QFile::exists(m_hot + "/c.txt"));

        QCOMPARE(queue.minusBtn(1), 0);
        QVERIFY(QFileInfo(m_hot + "/Errors/Folder/inner").isDir());

        QCOMPARE(queue.minusBtn(0), -1);
        QVERIFY(QFile::exists(m_hot + "/Errors/a.txt"));
        QVERIFY(alerter.alerts.isEmpty());
        endTurn();
        QCOMPARE(fileRecords(queue.filePath()), QList<QVariantMap>());
    }

    void minusKeepsASourceOtherEntriesStillNeed()
    {
        RecordingAlerter alerter;
        pv::QueueTable queue(&alerter);
        const QVariantMap member = sourceRecord("g.txt");
        for (const char *dest : {"Server", "Other", "Third"}) {
            QVariantMap r = member;
            r["dest"] = dest;
            queue.addItem(r);
        }
        const QString source = member.value("path").toString();

        queue.minusBtn(0); // the other members still deliver it
        QVERIFY(QFile::exists(source));

        QString inProcessing = source; // one member is being delivered right now
        queue.setPathInUse([&](const QString &p) { return p == inProcessing; });
        queue.deleteFirstItem();
        queue.minusBtn(0);
        QVERIFY(QFile::exists(source));

        queue.addItem(member);
        inProcessing.clear();
        queue.minusBtn(0); // the last entry of the source takes it out
        QVERIFY(!QFile::exists(source));
        QVERIFY(QFile::exists(m_hot + "/Errors/g.txt"));
        QVERIFY(alerter.alerts.isEmpty());
    }

    // Never replaces an item in Errors, never writes outside it, and leaves a
    // source alone when there is no hot folder; the entry goes in every case.
    void minusRefusalsStillRemoveTheEntry()
    {
        RecordingAlerter alerter;
        pv::QueueTable queue(&alerter);
        queue.addItem(sourceRecord("a.txt"));
        QVERIFY(QDir().mkpath(m_hot + "/Errors"));
        QFile older(m_hot + "/Errors/a.txt");
        QVERIFY(older.open(QIODevice::WriteOnly) && older.write("older") == 5);
        older.close();
        queue.minusBtn(0);
        QCOMPARE(queue.count(), 0);
        QCOMPARE(alerter.alerts.size(), 1);
        QCOMPARE(alerter.alerts[0].title, "Could not move file to Errors folder");
        QCOMPARE(fileBytes(m_hot + "/Errors/a.txt"), QByteArray("older"));
        QCOMPARE(fileBytes(m_hot + "/a.txt"), QByteArray("a.txt"));

        QVariantMap r = sourceRecord("x.txt");
        r["name"] = "../../escaped.txt";
        queue.addItem(r);
        queue.minusBtn(0);
        QVERIFY(QFile::exists(m_hot + "/Errors/escaped.txt"));
        QVERIFY(!QFile::exists(m_home.filePath("escaped.txt")));

        r = sourceRecord("cli.txt");
        r.remove("hotfolder");
        queue.addItem(r);
        queue.minusBtn(0);
        QCOMPARE(queue.count(), 0);
        QVERIFY(QFile::exists(r.value("path").toString()));
        QVERIFY(!QFile::exists("/Errors"));
    }

    void clearAsksFirst()
    {
        RecordingAlerter alerter;
        pv::QueueTable queue(&alerter);
        queue.addItem(record(1));
        queue.addItem(record(2));

        alerter.answer = 1; // Cancel
        QVERIFY(!queue.clearQueue());
        QCOMPARE(queue.count(), 2);
        QCOMPARE(alerter.alerts.last().buttons, QStringList({"Clear Queue", "Cancel"}));

        // Headless: the default answer keeps the queue.
        pv::QueueTable unattended(nullptr, m_home.filePath("q2.xml"));
        unattended.addItem(record(1));
        QVERIFY(!unattended.clearQueue());
        QCOMPARE(unattended.count(), 1);

        alerter.answer = 0;
        QVERIFY(queue.clearQueue());
        QCOMPARE(queue.count(), 0);
        endTurn();
        QCOMPARE(fileRecords(queue.filePath()), QList<QVariantMap>());
    }
};

QTEST_GUILESS_MAIN(TestQueueTable)
#include "test_queuetable.moc"
