// Runs the parcelvane executable as a user or a script would.

#include "blackbox.h"

using namespace bb;

class TestCli : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void argumentsAndNoInstance()
    {
        Home home;
        QCOMPARE(runCli(home, {"--version"}).code, 0);
        QVERIFY(runCli(home, {"--help"}).out.contains("--queue"));
        QCOMPARE(runCli(home, {"--bogus"}).code, 2);
        QCOMPARE(runCli(home, {"--destination", "X"}).code, 2);
        const Result missing = runCli(home, {"--queue", home.dir.path() + "/nope"});
        QCOMPARE(missing.code, 2);
        QVERIFY(missing.err.contains("No such file or folder"));
        QFile f(home.dir.path() + "/f.txt");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        const Result none = runCli(home, {"--queue", f.fileName(), "--destination", "X"});
        QCOMPARE(none.code, 1);
        QVERIFY(none.err.contains("not running"));
    }

    void queueForwardsToRunningInstanceAndExpandsGroups()
    {
        Home home;
        home.writeDest(local("First", home.dir.path() + "/out1"));
        home.writeDest(local("Second", home.dir.path() + "/out2"));
        home.writeDest({{"name", "Pair"},
                        {"isGroup", true},
                        {"QFDestType", "group"},
                        {"groupDests", QVariantList{QVariantMap{{"name", "First"}},
                                                    QVariantMap{{"name", "Second"}}}}});
        // Settings prepared as a file before start-up are honoured.
        const QString errors = home.dir.path() + "/errors";
        QDir().mkpath(home.dir.path() + "/config/Tallowin");
        QFile conf(home.dir.path() + "/config/Tallowin/Parcelvane.conf");
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write(QString("[General]\nmoveErrors=1\nerrorFolder=%1\n").arg(errors).toUtf8());
        conf.close();
        QDir().mkpath(errors);

        Instance inst(home);
        QVERIFY2(inst.waitForLog("Parcelvane "), qPrintable(inst.log()));

        // One instance per data folder; another data folder runs beside it.
        const Result second = runCli(home, {"--headless"});
        QVERIFY(second.code != 0);
        QVERIFY(second.err.contains("already running"));
        Home other;
        Instance beside(other);
        QVERIFY2(beside.waitForLog("Parcelvane "), qPrintable(beside.log()));
        QCOMPARE(beside.terminate(), 0);

        QFile f(home.dir.path() + "/job.pdf");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(3000, 'j'));
        f.close();
        const Result queued = runCli(home, {"--queue", f.fileName(), "--destination", "Pair"});
        QCOMPARE(queued.code, 0);
        QVERIFY(queued.out.contains("Queued"));
        QVERIFY2(
            inst.waitForLog(
                QString("--> processFile: %1 dest \"First\" group \"Pair\"").arg(f.fileName())),
            qPrintable(inst.log()));
        // Both members receive the file, one after the other, in member order.
        QList<QVariantMap> delivered;
        QVERIFY2(inst.waitFor([&] { return (delivered = home.records("History.xml")).size() == 2; },
                              20000),
                 qPrintable(inst.log()));
        QCOMPARE(delivered[0].value("dest").toString(), QStringLiteral("First"));
        QCOMPARE(delivered[1].value("dest").toString(), QStringLiteral("Second"));
        for (const QVariantMap &rec : delivered) {
            QCOMPARE(rec.value("group").toString(), QStringLiteral("Pair"));
            QVERIFY2(rec.value("success").toString() == QLatin1String("ok"),
                     qPrintable(inst.log()));
        }
        QVERIFY(QFile::exists(home.dir.path() + "/out1/job.pdf"));
        QVERIFY(QFile::exists(home.dir.path() + "/out2/job.pdf"));
        QTRY_COMPARE_WITH_TIMEOUT(home.records("Queue.xml").size(), 0, 5000);

        // An unknown destination is handed over, recorded, and the file goes to
        // the error folder of the settings.
        QFile g(home.dir.path() + "/lost.pdf");
        QVERIFY(g.open(QIODevice::WriteOnly));
        g.close();
        const Result unknown = runCli(home, {"--queue", g.fileName(), "--destination", "Nobody"});
        QCOMPARE(unknown.code, 0);
        QList<QVariantMap> history, sent;
        QTRY_VERIFY_WITH_TIMEOUT((history = home.records("History.xml")).size() == 3 &&
                                     (sent = home.records("Sent.xml")).size() == 3,
                                 5000);
        QCOMPARE(history.last().value("success").toString(), QStringLiteral("missing"));
        QCOMPARE(sent.first().value("dest").toString(), QStringLiteral("Nobody"));
        QVERIFY(f.exists());
        QVERIFY(!g.exists());
        QVERIFY(QFile::exists(errors + "/lost.pdf"));

        QCOMPARE(inst.terminate(), 0);
    }

    void headlessWatchesHotFoldersFromStartUp()
    {
        Home home;
        const QString hot = home.dir.path() + "/hot/Inbox";
        for (const char *sub : {"", "/Priority", "/Errors", "/Done"})
            QDir().mkpath(hot + sub);
        QVariantMap dest = local("Inbox", home.dir.path() + "/out");
        dest.insert("QFHotfolder", hot);
        QDir().mkpath(home.dir.path() + "/out");
        home.writeDest(dest);
        Instance inst(home);
        QVERIFY2(inst.waitForLog("Parcelvane "), qPrintable(inst.log()));

        QDir().mkpath(hot + "/Folder/sub");
        QFile f(hot + "/Folder/sub/data.bin");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(200000, 'd'));
        f.close();
        QVERIFY2(
            inst.waitFor([&] { return QFile::exists(hot + "/Done/Folder/sub/data.bin"); }, 40000),
            qPrintable(inst.log()));
        QCOMPARE(QFileInfo(home.dir.path() + "/out/Folder/sub/data.bin").size(), 200000);
        QTRY_COMPARE_WITH_TIMEOUT(home.records("History.xml").size(), 1, 5000);
        QCOMPARE(inst.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
