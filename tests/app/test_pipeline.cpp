// The whole road of one entry inside the application controller: stages,
// packaging, delivery to local folders, completion and records.

#include "app/transferrun.h"
#include "common/appfixture.h"
#include "core/settings.h"
#include "prefs/prefs.h"
#include "records/queuetable.h"

#include <QTimer>

using namespace pv;
using pvtest::fileBytes;
using pvtest::makeFile;
using pvtest::writeDest;

class TestPipeline : public QObject, pvtest::AppFixture {
    Q_OBJECT

private Q_SLOTS:
    void init() { freshHome(); }
    void cleanup() { tearDown(); }

    void deliversFolderTreesAndZipPackages()
    {
        const QString out = home() + "/out";
        writeDest(local("Zipped", out, {{"QFCompressFolders", 1}, {"QFCompressionMethod", 0}}));
        writeDest(local("Plain", home() + "/plain"));
        start();
        const QString tree = hot("Zipped") + "/Job";
        makeFile(tree + "/sub/b.txt", 200, 'b');
        QVERIFY(QFile::link("/etc/hostname", tree + "/sub/host-link"));
        deliver("Zipped", tree);
        QVERIFY2(QFile::exists(out + "/Job.zip"), qPrintable(errorsText()));
        int rc = -1;
        const QByteArray listing = pvtest::run("unzip", {"-l", out + "/Job.zip"}, {}, &rc);
        QCOMPARE(rc, 0);
        QVERIFY(listing.contains("sub/b.txt"));
        QVERIFY(!listing.contains("host-link"));

        // An unpackaged tree arrives whole, hidden files and links left out
        // (the links named in the record) unless links are allowed.
        const QString secret = makeFile(home() + "/private/key", 7, 's');
        const QString tree2 = hot("Plain") + "/Tree";
        makeFile(tree2 + "/x/y/z.bin", 4096, 'z');
        makeFile(tree2 + "/.DS_Store", 5, 'h');
        QVERIFY(QFile::link(secret, tree2 + "/x/key-link"));
        QVERIFY(QFile::link(home() + "/private", tree2 + "/dir-link"));
        deliver("Plain", tree2);
        QCOMPARE(fileBytes(home() + "/plain/Tree/x/y/z.bin"), QByteArray(4096, 'z'));
        const auto names = [this](const QString &dir) {
            return QDir(home() + dir)
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        };
        QCOMPARE(names("/plain/Tree") + names("/plain/Tree/x"), QStringList({"x", "y"}));

        settings::setValue(keys::deliverSymbolicLinks, true);
        const QString tree3 = hot("Plain") + "/Linked";
        makeFile(tree3 + "/a.txt", 3, 'a');
        QVERIFY(QFile::link(home() + "/private", tree3 + "/dir-link"));
        deliver("Plain", tree3);
        QCOMPARE(fileBytes(home() + "/plain/Linked/dir-link/key"), QByteArray(7, 's'));
        QTRY_COMPARE(outcomes(), QStringList({"modified", "modified", "ok"}));
        const QStringList errors = outcomes("error");
        QVERIFY(errors[0].contains("sub/host-link"));
        QVERIFY(errors[1].contains("x/key-link") && errors[1].contains("dir-link"));
    }

    // A burst settles in groups: records are written while the next entries are delivered,
    // and a source leaves its hot folder (with its sound) only after its own record.
    void burstSourcesLeaveOnlyOnceRecorded()
    {
        writeDest(local("Out", home() + "/out"));
        settings::setValue(keys::playSuccBtn, true);
        start();
        qsizetype early = 0;
        qsizetype recordedAtFirstMove = 0;
        m_ui->onSound = [&] {
            if (!recordedAtFirstMove)
                recordedAtFirstMove = m_ui->finished.size();
            early += m_ui->finished.size() < m_ui->sounds.size();
        };
        for (int i = 0; i < 40; ++i)
            drop("Out", makeFile(hot("Out") + QString("/f%1").arg(i), 10));
        QVERIFY(waitIdle());
        QCOMPARE(early, 0);
        QVERIFY(recordedAtFirstMove > 1);
        QCOMPARE(QDir(hot("Out") + "/Done").entryList(QDir::Files).size(), 40);
        QTRY_COMPARE(history().size(), 40);
    }

    // A source written to while it is sent is not recorded as delivered. Entries with nothing
    // to run, or whose packer fails, end in "Errors" without blocking the queue.
    void entriesThatFailOrCannotRunDoNotBlockTheQueue()
    {
        writeDest(local("Out", home() + "/out"));
        writeDest(local("Idle", home() + "/idle", {{"sendFTPBtn", 0}, {"attachBtn", 0}}));
        writeDest(local("AsIs", home() + "/asis", {{"type", 2}, {"QFDestType", "Local Disk"}}));
        writeDest(local("Zipped", home() + "/out", {{"QFCompressFiles", 1}}));
        start();
        const QString file = makeFile(hot("Out") + "/grow.bin", 100000, 'g');
        const QString tree = hot("Out") + "/Job";
        makeFile(tree + "/a.txt", 10, 'a');
        // Written to once the copy has begun (the worker waits meanwhile).
        const QList<QPair<QString, QString>> dropAndWrite{{file, file}, {tree, tree + "/a.txt"}};
        for (const auto &[dropped, written] : dropAndWrite) {
            m_ui->onStatus = [written, done = false](const QString &text) mutable {
                if (!done && text.startsWith("Copying")) {
                    QFile f(written);
                    done = f.open(QIODevice::Append) && f.write("more") == 4;
                }
            };
            deliver("Out", dropped);
        }
        QVERIFY(QFile::exists(hot("Out") + "/Errors/grow.bin"));
        QVERIFY(QFile::exists(hot("Out") + "/Errors/Job/a.txt"));

        deliver("Idle", makeFile(hot("Idle") + "/one.txt"));
        QVERIFY(QFile::exists(hot("Idle") + "/Errors/one.txt"));
        QVERIFY(m_app->errors().items().first().value("error").toString().contains("neither"));

        deliver("AsIs", makeFile(hot("AsIs") + "/two.txt", 77));
        QCOMPARE(fileBytes(home() + "/asis/two.txt").size(), 77);
        QVERIFY(QFile::exists(hot("AsIs") + "/Done/two.txt"));

        const QByteArray packer = qgetenv("PV_PACKER");
        const auto restore = qScopeGuard([&] { qputenv("PV_PACKER", packer); });
        qputenv("PV_PACKER", "/bin/false");
        deliver("Zipped", makeFile(hot("Zipped") + "/doc.pdf"));
        QVERIFY(!QFile::exists(home() + "/out/doc.pdf.zip"));
        QVERIFY(QFile::exists(hot("Zipped") + "/Errors/doc.pdf"));
        QTRY_COMPARE(outcomes("name"),
                     QStringList({"grow.bin", "Job", "one.txt", "two.txt", "doc.pdf"}));
        QCOMPARE(outcomes(), QStringList({"missing", "missing", "missing", "ok", "missing"}));
        const QStringList errors = outcomes("error");
        for (const QString &error : errors.first(2))
            QVERIFY(error.contains("The file changed while it was being delivered"));
        QVERIFY(errors.last().contains("could not be created"));
    }

    // Stop, pressed as the copy starts, cancels it; nothing else starts until Start.
    void stopCancelsTheDeliveryAndWaitsForStart()
    {
        writeDest(local("Big", home() + "/big"));
        start();
        // A sparse file over 2 GiB: made at once, and seconds to copy.
        const QString big = hot("Big") + "/big.bin";
        QFile sparse(big);
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(qint64(3) << 30));
        m_ui->onStatus = [this, pressed = false](const QString &text) mutable {
            if (!pressed && text.startsWith("Copying")) {
                pressed = true;
                QTimer::singleShot(0, m_app.get(), &AppController::sendBtn);
            }
        };
        drop("Big", big);
        deliver("Big", makeFile(hot("Big") + "/next.bin", 10));
        QCOMPARE(m_ui->sendTitle, AppController::kStartTitle);
        QVERIFY(QFile::exists(hot("Big") + "/Errors/big.bin"));
        QVERIFY(!QFile::exists(home() + "/big/big.bin"));
        QVERIFY(errorsText().contains("DELIVERY CANCELED"));
        QCoreApplication::processEvents();
        QVERIFY(!m_app->isProcessing());
        QCOMPARE(m_app->queue().items().size(), 1);
        m_app->sendBtn();
        QVERIFY(waitIdle());
        QVERIFY(QFile::exists(home() + "/big/next.bin"));
        QTRY_COMPARE(outcomes(), QStringList({"missing", "ok"}));
    }
};

QTEST_MAIN(TestPipeline)
#include "test_pipeline.moc"
