// The delivery queue: priority order, removing an entry by hand (its source
// goes to the hot folder's Errors folder) and clearing.

#include "records/queuetable.h"
#include "records/recordtestutil.h"

#include <QTest>

using namespace pvtest;

class TestQueueTable : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    QString m_hot;

    // A queue record for a real file (or folder) in the hot folder.
    QVariantMap sourceRecord(const QString &name, bool folder = false)
    {
        const QString path = m_hot + QLatin1Char('/') + name;
        if (folder) {
            QDir().mkpath(path + QStringLiteral("/inner"));
        } else {
            QFile f(path);
            if (f.open(QIODevice::WriteOnly))
                f.write(name.toUtf8());
        }
        return {{QStringLiteral("name"), name},
                {QStringLiteral("path"), path},
                {QStringLiteral("hotfolder"), m_hot},
                {QStringLiteral("dest"), QStringLiteral("Server")}};
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        useHome(m_home);
    }
    void init()
    {
        clearAppDir();
        m_hot = m_home.filePath(QStringLiteral("hot"));
        QDir(m_hot).removeRecursively();
        QVERIFY(QDir().mkpath(m_hot));
    }

    void priorityGoesAheadOfWaitingItems()
    {
        pv::QueueTable queue(nullptr);
        queue.addItem(record(1));
        queue.addItem(record(2));
        QVariantMap urgent = record(3);
        urgent[QStringLiteral("priority")] = true;
        queue.addItem(urgent);
        QVariantMap urgentAsNumber = record(4);
        urgentAsNumber[QStringLiteral("priority")] = qlonglong(1);
        queue.addItem(urgentAsNumber);
        QVariantMap notUrgent = record(5);
        notUrgent[QStringLiteral("priority")] = qlonglong(0);
        queue.addItem(notUrgent);
        QCOMPARE(seqs(queue.items()), QList<int>({4, 3, 1, 2, 5}));

        QCOMPARE(queue.deleteFirstItem().value(QStringLiteral("seq")).toInt(), 4);
        QVERIFY(queue.containsPath(QStringLiteral("/hot/file5.txt")));
        QVERIFY(!queue.containsPath(QStringLiteral("/hot/file4.txt")));
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
        queue.addItem(sourceRecord(QStringLiteral("a.txt")));
        queue.addItem(sourceRecord(QStringLiteral("Folder"), true));
        queue.addItem(sourceRecord(QStringLiteral("c.txt")));

        QCOMPARE(queue.minusBtn(2), 1); // Errors is created on demand
        QCOMPARE(fileBytes(m_hot + QStringLiteral("/Errors/c.txt")), QByteArray("c.txt"));
        QVERIFY(!QFile::exists(m_hot + QStringLiteral("/c.txt")));

        QCOMPARE(queue.minusBtn(1), 0);
        QVERIFY(QFileInfo(m_hot + QStringLiteral("/Errors/Folder/inner")).isDir());

        QCOMPARE(queue.minusBtn(0), -1);
        QVERIFY(QFile::exists(m_hot + QStringLiteral("/Errors/a.txt")));
        QVERIFY(alerter.alerts.isEmpty());
        endTurn();
        QCOMPARE(fileRecords(queue.filePath()), QList<QVariantMap>());
    }

    void minusNeverReplacesAnItemInErrors()
    {
        RecordingAlerter alerter;
        pv::QueueTable queue(&alerter);
        queue.addItem(sourceRecord(QStringLiteral("a.txt")));
        QVERIFY(QDir().mkpath(m_hot + QStringLiteral("/Errors")));
        {
            QFile older(m_hot + QStringLiteral("/Errors/a.txt"));
            QVERIFY(older.open(QIODevice::WriteOnly));
            older.write("older");
        }
        queue.minusBtn(0);
        QCOMPARE(queue.count(), 0); // removed although the move failed
        QCOMPARE(alerter.alerts.size(), 1);
        QCOMPARE(alerter.alerts[0].title, QStringLiteral("Could not move file to Errors folder"));
        QVERIFY(alerter.alerts[0].text.startsWith(
            QStringLiteral("The file has to be removed from hot folder manually\n\nError: ")));
        QCOMPARE(fileBytes(m_hot + QStringLiteral("/Errors/a.txt")), QByteArray("older"));
        QCOMPARE(fileBytes(m_hot + QStringLiteral("/a.txt")), QByteArray("a.txt"));
    }

    void minusKeepsASourceOtherEntriesStillNeed()
    {
        RecordingAlerter alerter;
        pv::QueueTable queue(&alerter);
        QVariantMap memberA = sourceRecord(QStringLiteral("g.txt"));
        QVariantMap memberB = memberA;
        memberB[QStringLiteral("dest")] = QStringLiteral("Other");
        QVariantMap memberC = memberA;
        memberC[QStringLiteral("dest")] = QStringLiteral("Third");
        queue.addItem(memberA);
        queue.addItem(memberB);
        queue.addItem(memberC);
        const QString source = memberA.value(QStringLiteral("path")).toString();

        queue.minusBtn(0); // the other members still deliver it
        QVERIFY(QFile::exists(source));

        QString inProcessing = source; // one member is being delivered right now
        queue.setPathInUse([&](const QString &p) { return p == inProcessing; });
        queue.deleteFirstItem();
        queue.minusBtn(0);
        QVERIFY(QFile::exists(source));

        queue.addItem(memberA);
        inProcessing.clear();
        queue.minusBtn(0); // the last entry of the source takes it out
        QVERIFY(!QFile::exists(source));
        QVERIFY(QFile::exists(m_hot + QStringLiteral("/Errors/g.txt")));
        QVERIFY(alerter.alerts.isEmpty());
    }

    void minusStaysInsideErrors()
    {
        RecordingAlerter alerter;
        pv::QueueTable queue(&alerter);
        QVariantMap r = sourceRecord(QStringLiteral("x.txt"));
        r[QStringLiteral("name")] = QStringLiteral("../../escaped.txt");
        queue.addItem(r);
        queue.minusBtn(0);
        QVERIFY(QFile::exists(m_hot + QStringLiteral("/Errors/escaped.txt")));
        QVERIFY(!QFile::exists(m_home.filePath(QStringLiteral("escaped.txt"))));
    }

    void minusWithoutHotFolderLeavesTheSource()
    {
        RecordingAlerter alerter;
        pv::QueueTable queue(&alerter);
        QVariantMap r = sourceRecord(QStringLiteral("cli.txt"));
        r.remove(QStringLiteral("hotfolder"));
        queue.addItem(r);
        queue.minusBtn(0);
        QCOMPARE(queue.count(), 0);
        QVERIFY(QFile::exists(r.value(QStringLiteral("path")).toString()));
        QVERIFY(!QFile::exists(QStringLiteral("/Errors")));
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
        QCOMPARE(alerter.alerts.last().buttons,
                 QStringList({QStringLiteral("Clear Queue"), QStringLiteral("Cancel")}));

        // Headless: the default answer keeps the queue.
        pv::QueueTable unattended(nullptr, m_home.filePath(QStringLiteral("q2.xml")));
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
