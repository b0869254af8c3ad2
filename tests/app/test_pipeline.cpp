// The whole road of one entry inside the application controller: stages,
// packaging, delivery to local folders, completion and records.

#include "app/appcontroller.h"
#include "app/queueitem.h"
#include "app/transferrun.h"
#include "common/fixtures.h"
#include "common/recordingui.h"
#include "common/testenv.h"
#include "core/paths.h"
#include "core/plist.h"
#include "core/record.h"
#include "core/settings.h"
#include "prefs/prefs.h"
#include "records/historypaneltable.h"
#include "records/queuetable.h"
#include "records/senttable.h"

#include <QDir>
#include <QFile>
#include <QUrl>

using namespace pv;
using pvtest::fileRecords;
using pvtest::makeFile;
using pvtest::writeDest;

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

/// Runs a hook once, when the status line first starts with a given word.
struct HookedUi : pvtest::RecordingUserInterface {
    QString word;
    std::function<void()> hook;
    void setStatus(const QString &text) override
    {
        if (hook && text.startsWith(word))
            std::exchange(hook, nullptr)();
    }
};

} // namespace

class TestPipeline : public QObject {
    Q_OBJECT

    std::unique_ptr<pvtest::IsolatedHome> m_home;
    std::unique_ptr<HookedUi> m_ui;
    std::unique_ptr<AppController> m_app;
    QByteArray m_packer;

    QString home() const { return m_home->path(); }

    QVariantMap local(const QString &name, const QString &dir, const QVariantMap &extra = {})
    {
        QDir().mkpath(dir);
        QVariantMap rec{{"name", name},
                        {"QFDestType", "Local Disk"},
                        {"type", 1},
                        {"pathField", dir},
                        {"sendFTPBtn", 1},
                        {"sendEmailBtn", 0},
                        {"QFHotfolder", hot(name)}};
        for (auto it = extra.cbegin(); it != extra.cend(); ++it)
            rec.insert(it.key(), it.value());
        return rec;
    }
    QString hot(const QString &name) const { return home() + "/hot/" + name; }

    void start()
    {
        m_ui = std::make_unique<HookedUi>();
        m_app = std::make_unique<AppController>(m_ui.get());
        m_app->startup();
    }

    /// Drops path (already inside the hot folder of dest) as the watcher would.
    void drop(const QString &dest, const QString &path)
    {
        m_app->checkForCode({{qk::path, path},
                             {qk::hotfolder, hot(dest)},
                             {qk::dest, dest},
                             {qk::origSize, qint64(QFileInfo(path).size())}});
    }

    bool waitIdle(int ms = 30000)
    {
        return QTest::qWaitFor([this] { return !m_app->isProcessing() && !m_app->isMeasuring(); },
                               ms);
    }

    QString errorsText() const
    {
        QString all;
        for (const QVariantMap &e : m_app->errors().items())
            all += e.value("error").toString() + "\n";
        return all;
    }

    QList<QVariantMap> history() const
    {
        QList<QVariantMap> out;
        for (const QVariant &v : plist::readFile(paths::appFile("History.xml")).toList())
            out.append(v.toMap());
        return out;
    }

private Q_SLOTS:
    void initTestCase() { m_packer = qgetenv("PV_PACKER"); }
    void init()
    {
        m_home = std::make_unique<pvtest::IsolatedHome>();
        qputenv("PV_PACKER", m_packer);
    }
    void cleanup()
    {
        m_app.reset();
        m_ui.reset();
        m_home.reset();
    }

    void deliversFileIntoDatedFoldersAndNumbers()
    {
        const QString out = home() + "/out";
        writeDest(
            local("Proofs", out,
                  {{"yearFolderBtn", 1}, {"dateFolderBtn", 1}, {"dateFormat", "DD.MM.yyyy"}}));
        start();
        const QString dated = out + "/" + QDate::currentDate().toString("yyyy") + "/" +
                              QDate::currentDate().toString("dd.MM.yyyy");
        makeFile(dated + "/a [1].pdf", 3, 'o');
        drop("Proofs", makeFile(hot("Proofs") + "/a [1].pdf", 5000, 'n'));
        QVERIFY(waitIdle());

        // An existing item of the same name is never overwritten.
        QCOMPARE(readAll(dated + "/a [1]_1.pdf").size(), 5000);
        QCOMPARE(readAll(dated + "/a [1].pdf"), QByteArray("ooo"));
        QVERIFY(QFile::exists(hot("Proofs") + "/Done/a [1].pdf"));
        QTRY_COMPARE(history().size(), 1);
        const QVariantMap rec = history().first();
        QCOMPARE(rec.value("success").toString(), QStringLiteral("ok"));
        QCOMPARE(rec.value("finalName").toString(), QStringLiteral("a [1]_1.pdf"));
        QCOMPARE(rec.value("location").toString(), dated);
        QCOMPARE(rec.value("compr").toString(), QStringLiteral("-"));
        QCOMPARE(rec.value("size").toString(), QStringLiteral("4 KB"));
        QCOMPARE(rec.value("timeTotal").toString().size(), 8);

        drop("Proofs", makeFile(hot("Proofs") + "/a [1].pdf", 10, 'm'));
        QVERIFY(waitIdle());
        QCOMPARE(readAll(dated + "/a [1]_2.pdf"), QByteArray(10, 'm'));
    }

    void deliversFolderTreesAndZipPackages()
    {
        const QString out = home() + "/out";
        writeDest(local("Zipped", out, {{"QFCompressFolders", 1}, {"QFCompressionMethod", 0}}));
        writeDest(local("Plain", home() + "/plain"));
        start();
        const QString tree = hot("Zipped") + "/Job";
        makeFile(tree + "/a.txt", 100, 'a');
        makeFile(tree + "/sub/b.txt", 200, 'b');
        makeFile(tree + "/.hidden", 5, 'h');
        QVERIFY(QFile::link("/etc/hostname", tree + "/sub/host-link"));
        drop("Zipped", tree);
        QVERIFY(waitIdle());
        QVERIFY2(QFile::exists(out + "/Job.zip"), qPrintable(errorsText()));
        int rc = -1;
        const QByteArray listing = pvtest::run("unzip", {"-l", out + "/Job.zip"}, {}, &rc);
        QCOMPARE(rc, 0);
        QVERIFY(listing.contains("sub/b.txt"));
        QVERIFY(!listing.contains("host-link"));
        QTRY_COMPARE(history().size(), 1);
        QVERIFY(history().first().value("error").toString().contains("sub/host-link"));
        QCOMPARE(history().first().value("compr").toString(), QStringLiteral("Zip"));
        QVERIFY(history().first().value("sizeField").toString().contains(" / "));
        QVERIFY(QFile::exists(hot("Zipped") + "/Done/Job/sub/b.txt"));

        // An unpackaged tree arrives whole, hidden files and links left out
        // (the links named in the record) unless links are allowed.
        const QString secret = makeFile(home() + "/private/key", 7, 's');
        const QString tree2 = hot("Plain") + "/Tree";
        makeFile(tree2 + "/x/y/z.bin", 4096, 'z');
        makeFile(tree2 + "/.DS_Store", 5, 'h');
        QVERIFY(QFile::link(secret, tree2 + "/x/key-link"));
        QVERIFY(QFile::link(home() + "/private", tree2 + "/dir-link"));
        drop("Plain", tree2);
        QVERIFY(waitIdle());
        QCOMPARE(readAll(home() + "/plain/Tree/x/y/z.bin"), QByteArray(4096, 'z'));
        QVERIFY(!QFile::exists(home() + "/plain/Tree/.DS_Store"));
        for (const char *link : {"/plain/Tree/x/key-link", "/plain/Tree/dir-link"}) {
            const QFileInfo fi(home() + link);
            QVERIFY2(!fi.exists() && !fi.isSymLink(), link);
        }
        QTRY_COMPARE(history().size(), 2);
        QCOMPARE(history()[1].value("success").toString(), QStringLiteral("modified"));
        QVERIFY(history()[1].value("error").toString().contains("x/key-link"));
        QVERIFY(history()[1].value("error").toString().contains("dir-link"));

        settings::setValue(keys::deliverSymbolicLinks, true);
        const QString tree3 = hot("Plain") + "/Linked";
        makeFile(tree3 + "/a.txt", 3, 'a');
        QVERIFY(QFile::link(home() + "/private", tree3 + "/dir-link"));
        drop("Plain", tree3);
        QVERIFY(waitIdle());
        QCOMPARE(readAll(home() + "/plain/Linked/dir-link/key"), QByteArray(7, 's'));
        QTRY_COMPARE(history().size(), 3);
        QCOMPARE(history()[2].value("success").toString(), QStringLiteral("ok"));
    }

    void failedPackerFailsTheEntry()
    {
        qputenv("PV_PACKER", "/bin/false");
        writeDest(local("Zipped", home() + "/out", {{"QFCompressFiles", 1}}));
        start();
        drop("Zipped", makeFile(hot("Zipped") + "/doc.pdf"));
        QVERIFY(waitIdle());
        QVERIFY(!QFile::exists(home() + "/out/doc.pdf.zip"));
        QVERIFY(QFile::exists(hot("Zipped") + "/Errors/doc.pdf"));
        QTRY_COMPARE(history().size(), 1);
        QCOMPARE(history().first().value("success").toString(), QStringLiteral("missing"));
        QVERIFY(history().first().value("error").toString().contains("could not be created"));
    }

    // A source written to while it is sent is not recorded as delivered.
    void sourceChangedDuringDeliveryFails()
    {
        writeDest(local("Out", home() + "/out"));
        start();
        const QString file = makeFile(hot("Out") + "/grow.bin", 100000, 'g');
        const QString tree = hot("Out") + "/Job";
        makeFile(tree + "/a.txt", 10, 'a');
        // Written to once the copy has begun (the worker waits meanwhile).
        const QList<QPair<QString, QString>> dropAndWrite{{file, file}, {tree, tree + "/a.txt"}};
        for (const auto &[dropped, written] : dropAndWrite) {
            m_ui->word = "Copying";
            m_ui->hook = [written] {
                QFile f(written);
                QVERIFY(f.open(QIODevice::Append));
                f.write("more");
            };
            drop("Out", dropped);
            QVERIFY(waitIdle());
        }
        QTRY_COMPARE(history().size(), 2);
        for (const QVariantMap &rec : history()) {
            QCOMPARE(rec.value("success").toString(), QStringLiteral("missing"));
            QVERIFY(rec.value("error").toString().contains(
                "The file changed while it was being delivered"));
        }
        QVERIFY(QFile::exists(hot("Out") + "/Errors/grow.bin"));
        QVERIFY(QFile::exists(hot("Out") + "/Errors/Job/a.txt"));
    }

    // The port an empty QFPort stands for, a bucket that must not leave the
    // service's host, and no password in the line a finished entry leaves.
    void targetsKeepCredentialsWhereTheyBelong()
    {
        const QVariantMap smb{
            {"QFDestType", "SMB Server"}, {"hostField", "srv"}, {"userField", "u"}};
        QCOMPARE(composeTargetURL(smb, "pw", "share/in").url,
                 QStringLiteral("smb://u:pw@srv:445/share%2Fin"));

        QVariantMap s3{
            {"QFDestType", "Amazon S3"}, {"hostField", "s3.amazonaws.com"}, {"userField", "K"}};
        TargetURL t = composeTargetURL(s3, "S", "my_bucket-2");
        QCOMPARE(t.url, QStringLiteral("https://K:S@my_bucket-2.s3.amazonaws.com"));
        QVERIFY(t.refusal.isEmpty());
        t = composeTargetURL(s3, "S", "a/b?x");
        QVERIFY(QUrl(t.url).host() != "a");
        QVERIFY(t.refusal.contains("a/b?x"));
        s3.insert("hostField", "s3.example");
        QVERIFY(!composeTargetURL(s3, "S", "b").refusal.isEmpty());

        const QString line = deliverySummary(
            {{"success", "missing"},
             {"path", "/hot/f.txt"},
             {"dest", "D"},
             {"error", "\n--------------------\nsmb://u:p%40ss@h/s failed\nas p@ss"}},
            "p@ss");
        QCOMPARE(line, QStringLiteral("NOT DELIVERED: /hot/f.txt -> D: smb://u:<passw>@h/s failed "
                                      "as <passw>"));
    }

    void groupMemberFailureAndTheLastMemberDecides()
    {
        writeDest(local("Good", home() + "/good"));
        QVariantMap bad = local("Bad", home() + "/bad");
        bad.insert("pathField", home() + "/does/not/exist");
        writeDest(bad);
        writeDest({{"name", "Both"},
                   {"isGroup", true},
                   {"QFDestType", "group"},
                   {"QFHotfolder", hot("Both")},
                   {"groupDests",
                    QVariantList{QVariantMap{{"name", "Bad"}}, QVariantMap{{"name", "Good"}}}}});
        start();
        drop("Both", makeFile(hot("Both") + "/f.txt"));
        QVERIFY(waitIdle());
        QTRY_COMPARE(history().size(), 2);
        QCOMPARE(history()[0].value("dest").toString(), QStringLiteral("Bad"));
        QCOMPARE(history()[0].value("success").toString(), QStringLiteral("missing"));
        QVERIFY(history()[0].value("error").toString().contains("FILE HAS NOT BEEN DELIVERED!"));
        QCOMPARE(history()[1].value("success").toString(), QStringLiteral("ok"));
        QVERIFY(QFile::exists(home() + "/good/f.txt"));
        // The source waited for the last member, which succeeded.
        QVERIFY(QFile::exists(hot("Both") + "/Done/f.txt"));
    }

    void entriesWithNothingToRunDoNotBlockTheQueue()
    {
        writeDest(local("Idle", home() + "/idle", {{"sendFTPBtn", 0}, {"attachBtn", 0}}));
        writeDest(local("AsIs", home() + "/asis", {{"type", 2}, {"QFDestType", "Local Disk"}}));
        start();
        drop("Idle", makeFile(hot("Idle") + "/one.txt"));
        QVERIFY(waitIdle());
        QVERIFY(QFile::exists(hot("Idle") + "/Errors/one.txt"));
        QVERIFY(m_app->errors().items().first().value("error").toString().contains("neither"));

        drop("AsIs", makeFile(hot("AsIs") + "/two.txt", 77));
        QVERIFY(waitIdle());
        QCOMPARE(readAll(home() + "/asis/two.txt").size(), 77);
        QVERIFY(QFile::exists(hot("AsIs") + "/Done/two.txt"));
    }

    void stopCancelsTheDeliveryAndWaitsForStart()
    {
        writeDest(local("Big", home() + "/big"));
        start();
        // A sparse file over 2 GiB: made at once, long enough to copy that
        // Stop lands in the middle.
        const QString big = hot("Big") + "/big.bin";
        QDir().mkpath(hot("Big"));
        QFile sparse(big);
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.resize(qint64(3) << 30));
        sparse.close();
        const QString next = makeFile(hot("Big") + "/next.bin", 10);
        drop("Big", big);
        drop("Big", next);
        QTRY_VERIFY(m_ui->sendEnabled);
        QTest::qWait(200);
        m_app->sendBtn();
        QCOMPARE(m_ui->sendTitle, AppController::kStartTitle);
        QVERIFY(waitIdle(5000));
        QVERIFY(QFile::exists(hot("Big") + "/Errors/big.bin"));
        QVERIFY(m_app->errors().items().first().value("error").toString().contains(
            "DELIVERY CANCELED"));
        // Nothing else starts until Start is pressed.
        QTest::qWait(200);
        QCOMPARE(m_app->queue().items().size(), 1);
        m_app->sendBtn();
        QVERIFY(waitIdle());
        QVERIFY(QFile::exists(home() + "/big/next.bin"));
        QTRY_COMPARE(history().size(), 2);
        QCOMPARE(history()[0].value("success").toString(), QStringLiteral("missing"));
    }
};

QTEST_MAIN(TestPipeline)
#include "test_pipeline.moc"
