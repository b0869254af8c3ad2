#include "common/appfixture.h"
#include "core/record.h"
#include "core/settings.h"
#include "destinations/destinationseditor.h"
#include "records/queuetable.h"
#include "records/senttable.h"

#include <sys/stat.h>

using namespace pv;
using pvtest::fileRecords;
using pvtest::makeFile;
using pvtest::writeDest;

class TestAppController : public QObject, pvtest::AppFixture {
    Q_OBJECT

    QList<QVariantMap> m_processed;

    /// Items join the queue once measured, off the main thread.
    void settle() { QTRY_VERIFY(!m_app->isMeasuring()); }

    // Without a hot folder: the watcher must not hand anything over on its own.
    QVariantMap localDest(const QString &name, const QString &code = QString()) const
    {
        QVariantMap d = local(name, "/tmp", {{"QFDestCode", code}});
        d.remove("QFHotfolder");
        return d;
    }
    void start()
    {
        AppFixture::start([this] {
            m_app->setProcessFileHandler([this](const QVariantMap &i) { m_processed.append(i); });
        });
    }

private Q_SLOTS:
    void init()
    {
        m_processed.clear();
        freshHome();
    }
    void cleanup() { tearDown(); }

    // A group expands into its members in member order, skipping one that is gone, once the
    // item is measured off the main thread. While an entry is processed, others are appended,
    // a priority item goes first and quitting asks. Stop keeps the queue; Start takes the next.
    void groupsQueueingPriorityAndStop()
    {
        writeDest(localDest("D"));
        writeDest(localDest("Alpha"));
        const QVariantList members{QVariantMap{{"name", "D"}}, QVariantMap{{"name", "Gone"}},
                                   QVariantMap{{"name", "Alpha"}}};
        writeDest({{"name", "Both"},
                   {"isGroup", true},
                   {"QFDestType", "group"},
                   {"groupDests", members}});
        start();
        QVERIFY(m_app->applicationShouldTerminate());
        QVERIFY(m_ui->alerts.isEmpty());
        const auto queued = [this] {
            QStringList entries;
            for (const QVariantMap &q : m_app->queue().items())
                entries << q.value("dest").toString() + ':' + q.value("name").toString();
            return entries;
        };
        m_app->checkForCode(entry("Both", makeFile(hot("Both") + "/report.pdf", 5000)));
        QVERIFY(m_processed.isEmpty() && queued().isEmpty());
        settle();
        QCOMPARE(m_processed.size(), 1);
        QCOMPARE(m_processed[0].value("dest").toString(), QStringLiteral("D"));
        QVERIFY(recInt(m_processed[0], "sizeK") >= 4);
        QCOMPARE(queued(), QStringList{"Alpha:report.pdf"});

        for (const char *n : {"a", "b"})
            m_app->addToQueue(entry("D", makeFile(hot("D") + "/" + n)));
        QVariantMap priority = entry("D", makeFile(hot("D") + "/Priority/p"));
        priority.insert(qk::priority, true);
        m_app->addToQueue(priority);
        settle();
        QCOMPARE(m_processed.size(), 1);
        QCOMPARE(queued(), QStringList({"D:p", "Alpha:report.pdf", "D:a", "D:b"}));
        m_ui->answer = 1;
        QVERIFY(!m_app->applicationShouldTerminate());
        m_ui->answer = 0;
        QVERIFY(m_app->applicationShouldTerminate());

        m_app->sendBtn();
        QVERIFY(m_app->processCancelled());
        m_app->sendNextFileInQueue();
        QCOMPARE(m_processed.size(), 1);
        m_app->sendBtn();
        QCOMPARE(m_processed.size(), 2);
        QCOMPARE(m_processed[1].value("name").toString(), QStringLiteral("p"));
    }

    // A ".dest" file in a hot folder only selects its destination. A link or a special file
    // is recorded and left out of the queue, a link queued only when the settings allow it.
    void destFilesLinksAndSpecialFilesAreNotQueued()
    {
        writeDest(localDest("D"));
        settings::setValue("showDestWin", 0);
        start();
        QVERIFY(!m_ui->raised.contains(UserInterface::Window::Destinations));
        const QString file = makeFile(hot("D") + "/D.dest");
        m_app->checkForCode(entry("D", file));
        QCOMPARE(m_ui->selected, QStringList{"D"});
        QVERIFY(m_app->queue().items().isEmpty());
        QVERIFY(QFile::exists(file));
        // The window it brought up is shown again at the next start.
        m_app->applicationWillTerminate();
        QVERIFY(settings::boolValue("showDestWin"));

        const QString link = hot("D") + "/x.txt";
        QVERIFY(QFile::link(makeFile(home() + "/id_ed25519"), link));
        QCOMPARE(::mkfifo(QFile::encodeName(hot("D") + "/pipe").constData(), 0600), 0);

        QVERIFY(m_app->addItemToQueue(link, "D").contains("not delivered"));
        m_app->checkForCode(entry("D", hot("D") + "/pipe"));
        QVERIFY(m_processed.isEmpty());
        QVERIFY(QFileInfo(link).isSymLink()); // no hot folder: left where it is
        QVERIFY(QFileInfo(hot("D") + "/Errors/pipe").exists());
        QCoreApplication::processEvents();
        QCOMPARE(outcomes(), QStringList({"missing", "missing"}));
        QVERIFY(outcomes("error")[0].contains("deliverSymbolicLinks"));

        settings::setValue("deliverSymbolicLinks", 1);
        QVERIFY(m_app->addItemToQueue(link, "D").startsWith("Queued"));
        settle();
        QCOMPARE(m_processed.size(), 1);
    }

    void unknownDestinationIsRecordedAndMovedBySetting()
    {
        start();
        m_app->addToQueue(entry("Ghost", makeFile(hot("Ghost") + "/a.txt")));
        QVERIFY(QFile::exists(hot("Ghost") + "/Errors/a.txt"));

        // Handed over on the command line: no hot folder, so it stays put...
        const QString loose = makeFile(home() + "/loose/b.txt");
        QVERIFY(m_app->addItemToQueue(loose, "Ghost").contains("does not exist"));
        QVERIFY(QFile::exists(loose));
        // ...unless the settings name an error folder.
        settings::setValue("moveErrors", 1);
        settings::setValue("errorFolder", home() + "/errs");
        settings::setValue("createErrorSubfolders", 1);
        QDir().mkpath(home() + "/errs");
        m_app->addItemToQueue(loose, "Ghost");
        QVERIFY(QFile::exists(home() + "/errs/Ghost/b.txt"));
        QVERIFY(m_processed.isEmpty());
        QCoreApplication::processEvents();
        QCOMPARE(fileRecords("History.xml").size(), 3);
        QCOMPARE(fileRecords("Sent.xml").size(), 3);
    }

    void scriptingWithoutDestinationUsesCodeOrRecordsRefusal()
    {
        writeDest(localDest("Coded", "c1"));
        start();
        const QString coded = makeFile(home() + "/in/job.c1.pdf");
        QVERIFY(m_app->addItemToQueue(coded, QString()).startsWith("Queued"));
        settle();
        QCOMPARE(m_processed.size(), 1);
        QCOMPARE(m_processed[0].value("dest").toString(), QStringLiteral("Coded"));

        const QString plain = makeFile(home() + "/in/job.pdf");
        m_app->addItemToQueue(plain, QString());
        QVERIFY(QFile::exists(plain));
        QCOMPARE(m_app->sent().items().size(), 1);
        const QVariantMap sent = m_app->sent().items()[0];
        QCOMPARE(QStringList({sent.value("dest").toString(), sent.value("size").toString()}),
                 QStringList({"<destination code not found>", "-"}));
        QVERIFY(m_app->errors().items()[0].value("error").toString().contains(
            "Destination code not found:\nNo destinations code found in file name."));
        // The entry in processing keeps its own state.
        QVERIFY(m_app->isProcessing());
    }
};

QTEST_GUILESS_MAIN(TestAppController)
#include "test_appcontroller.moc"
