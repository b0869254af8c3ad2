// Deliveries to local folders through hot folders, as a user sees them: the
// delivered items, the sources in "Done"/"Errors", and the records.

#include "blackbox.h"

#include "prefs/prefs.h"

#include <QRegularExpression>

#include <fcntl.h>
#include <unistd.h>

using namespace bb;

class TestDeliveryLocal : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Dated folders with numbering, zip archives, disk images and an
    // encrypted image, all from one hot-folder scan.
    void packagesAndDatedFolders()
    {
        Home home;
        const QString hot = home.path() + "/hot";
        const QString out = home.path() + "/out";
        const QString password = "open sesame 7";
        home.writeSettings({{"watchInterval", 1}});
        QVariantMap dated = local("Dated", out + "/dated");
        for (const char *key : {"yearFolderBtn", "monthFolderBtn", "dateFolderBtn"})
            dated.insert(key, 1);
        dated.insert("dateFormat", "DD.MM.YYYY");
        QVariantMap vault = packaging(local("Vault", out + "/vault"), 1, true, true);
        vault.insert("dmgEncryptBtn", 1);
        vault.insert("diskPasswordField", pv::Prefs::encryptPassword(password));
        for (const QVariantMap &dest :
             {dated, packaging(local("Zipper", out + "/zip"), 0, true, true),
              packaging(local("Imager", out + "/img"), 1, false, true), vault})
            home.writeDest(withHotFolder(dest, hot));

        // Two earlier deliveries of the same name are already there.
        const QString dateDir = out + "/dated/" + datePath("DD.MM.YYYY");
        QVERIFY(writeFiles(dateDir, {{"report.pdf", "first"}, {"report_1.pdf", "second"}}));

        Instance inst(home);
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());
        QVERIFY(writeFiles(hot, {{"Dated/report.pdf", content(3000, 'r')},
                                 {"Zipper/Report [final]/a.txt", content(5000, 'a')},
                                 {"Zipper/Report [final]/sub/b.bin", content(70000, 'b')},
                                 {"Zipper/note.txt", content(900, 'n')},
                                 {"Zipper/archive.zip", content(1200, 'z')},
                                 {"Imager/Pics/deep/two.bin", content(40000, '2')},
                                 {"Imager/lone.txt", "not a folder: sent as it is"},
                                 {"Vault/Secret/plan.txt", content(3000, 'p')}}));

        const QStringList missing = inst.waitForPaths(
            hot, {"Dated/Done/report.pdf", "Zipper/Done/Report [final]", "Zipper/Done/note.txt",
                  "Zipper/Done/archive.zip", "Imager/Done/Pics", "Imager/Done/lone.txt",
                  "Vault/Done/Secret"});
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ") + "\n" + inst.log().right(6000)));
        QList<QVariantMap> history;
        QVERIFY(inst.waitFor([&] { return (history = home.records("History.xml")).size() == 7; },
                             10000));
        for (const QVariantMap &rec : history)
            QVERIFY2(rec.value("success") == "ok", qPrintable(rec.value("error").toString()));
        QCOMPARE(home.records("Sent.xml").size(), 7);
        QCOMPARE(home.records("Queue.xml").size(), 0);

        // Dated folders and the next free number.
        QCOMPARE(entries(dateDir), QStringList({"report.pdf", "report_1.pdf", "report_2.pdf"}));
        QCOMPARE(readFile(dateDir + "/report_2.pdf"), content(3000, 'r'));
        QCOMPARE(fieldOf(history, "report.pdf", "finalName"), QStringList{"report_2.pdf"});
        QCOMPARE(fieldOf(history, "report.pdf", "location"), QStringList{dateDir});
        QCOMPARE(fieldOf(history, "report.pdf", "size"), QStringList{"2 KB"});

        // A zipped folder under its bracket-free name, with its contents (the
        // packer's own tests read its packages closely).
        const QString zip = out + "/zip/Report (final).zip";
        QCOMPARE(run("unzip", {"-p", zip, "sub/b.bin"}).out.toUtf8(), content(70000, 'b'));
        QCOMPARE(fieldOf(history, "Report [final]", "compr"), QStringList{"Zip"});
        QCOMPARE(fieldOf(history, "Report [final]", "finalName"),
                 QStringList{"Report (final).zip"});
        QVERIFY(fieldOf(history, "Report [final]", "sizeField").value(0).contains(" / "));
        // A file is zipped under its own name plus ".zip"; a zip is sent as it is.
        QCOMPARE(run("unzip", {"-tq", out + "/zip/note.txt.zip"}).code, 0);
        QCOMPARE(readFile(out + "/zip/archive.zip"), content(1200, 'z'));

        // The disk image lists with an independent reader; a file for a
        // folders-only destination travels unpackaged.
        QVERIFY(run("xorriso", {"-indev", out + "/img/Pics.dmg", "-find"})
                    .out.contains("deep/two.bin"));
        QCOMPARE(fieldOf(history, "Pics", "compr"), QStringList{"Disk image"});
        QCOMPARE(readFile(out + "/img/lone.txt"), QByteArray("not a folder: sent as it is"));

        // The encrypted image opens with its password only, and the password
        // is nowhere in the log or the records.
        const QString image = out + "/vault/Secret.dmg";
        // Names in a zip container are readable without it; the contents are not.
        QVERIFY(run("bsdtar", {"-xOf", image, "--passphrase", "wrong"}).code != 0);
        const Result r = run("bsdtar", {"-xOf", image, "--passphrase", password});
        QVERIFY2(r.code == 0 && r.out.size() > 3000, qPrintable(r.err));
        QVERIFY(!inst.log().contains(password));
        QVERIFY(!readFile(home.app() + "/History.xml").contains(password.toUtf8()));
        QCOMPARE(inst.terminate(), 0);
    }

    // kill -9 while a zip is being made: the packer goes with the application,
    // and the next start delivers under the plain name with nothing left over.
    void killedWhilePacking()
    {
        Home home;
        const QString out = home.path() + "/out";
        home.writeDest(packaging(local("Zipper", out), 0, true, true));
        const QString source = home.path() + "/valuable.bin";
        QCOMPARE(run("bash", {"-c", "head -c 300M /dev/urandom > \"$0\"", source}).code, 0);

        qint64 packer = 0;
        {
            Instance inst(home);
            QVERIFY2(inst.waitForLog("Parcelvane "), inst.tail());
            QCOMPARE(runCli(home, {"--queue", source, "--destination", "Zipper"}).code, 0);
            const QStringList packerOf{"-P", QString::number(inst.pid()), "-x", "pv-packer"};
            QVERIFY2(
                inst.waitFor(
                    [&] { return (packer = run("pgrep", packerOf).out.toLongLong()) != 0; }, 30000),
                inst.tail());
            ::kill(pid_t(inst.pid()), SIGKILL);
        }
        // A packer that outlived us would finish the package in the scratch
        // folder; one that died with us removes what it had begun.
        const auto running = [packer] {
            const QByteArray stat = readFile(QString("/proc/%1/stat").arg(packer));
            return !stat.isEmpty() && !stat.mid(stat.lastIndexOf(')')).startsWith(") Z");
        };
        QVERIFY(QTest::qWaitFor([&] { return !running(); }, 120000));
        QCOMPARE(entries(home.scratch()), QStringList());
        QVERIFY(writeFile(home.scratch() + "/valuable.bin.zip", "left by a crash"));

        Instance inst(home);
        QVERIFY2(inst.waitForLog("Parcelvane "), inst.tail());
        QVERIFY(!QFileInfo::exists(home.scratch() + "/valuable.bin.zip"));
        QCOMPARE(runCli(home, {"--queue", source, "--destination", "Zipper"}).code, 0);
        QVERIFY2(inst.waitFor([&] { return home.records("History.xml").size() == 1; }, 120000),
                 inst.tail());
        QCOMPARE(fieldOf(home.records("History.xml"), "valuable.bin", "success"),
                 QStringList{"ok"});
        QCOMPARE(entries(out), QStringList{"valuable.bin.zip"});
        QCOMPARE(entries(home.scratch()).filter(".zip"), QStringList());
        QCOMPARE(inst.terminate(), 0);
    }

    // Groups with a failing member, the code-based hot folder, "Priority" (a
    // sub-folder, or in the hot folder's own path), and what a hot folder must
    // not deliver (links, names that are not UTF-8, groups without members),
    // recorded and moved to "Errors". Without windows, every finished entry
    // says on the log how it ended.
    void routingRefusalsAndHeadlessOutcomes()
    {
        Home home;
        const QString hot = home.path() + "/hot";
        const QString out = home.path() + "/out";
        const QString codeHot = makeHotFolder(hot, "<Code-Based Delivery>");
        const QString password = "Zq9 s3cret:pw";
        home.writeSettings(
            {{"watchInterval", 1}, {"enableDestCodes", 1}, {"codeBasedHotfolder", codeHot}});
        home.writeDest(local("Good", out + "/good"));
        // Its folder lies below a plain file: every transfer there fails.
        QVERIFY(writeFile(home.path() + "/plain", "x"));
        home.writeDest(local("Broken", home.path() + "/plain/sub"));
        QVariantMap coded = local("Coded", out + "/coded");
        coded.insert("QFDestCode", "x7");
        home.writeDest(coded);
        QVariantMap notArray = group("NotArray", {});
        notArray.insert("groupDests", "Drop");
        const QVariantMap remote{{"name", "Remote"},
                                 {"QFDestType", "FTP Server"},
                                 {"type", 0},
                                 {"hostField", "127.0.0.1"},
                                 {"pathField", "in"},
                                 {"userField", "me"},
                                 {"sitePasswordField", pv::Prefs::encryptPassword(password)},
                                 {"sendFTPBtn", 1}};
        for (const QVariantMap &dest :
             {group("Pair", {"Broken", "Good"}), group("Reverse", {"Good", "Broken"}),
              local("Prio", out + "/prio"), local("Drop", out + "/drop"), notArray,
              group("Ghosts", {"Gone"}), remote})
            home.writeDest(withHotFolder(dest, hot));
        home.writeDest(withHotFolder(local("Rush", out + "/rush"), home.path() + "/Priority jobs"));

        const QString secret = home.path() + "/id_ed25519";
        QVERIFY(writeFile(secret, "PRIVATE KEY"));
        QVERIFY(QFile::link(secret, hot + "/Drop/x.txt"));
        QVERIFY(QFile::link(home.path() + "/nowhere", hot + "/Drop/dangling.txt"));
        const QByteArray badName = QFile::encodeName(hot + "/Drop/bad") + "\xff" + "name.txt";
        const int fd = ::open(badName.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY(fd >= 0 && ::write(fd, "x", 1) == 1 && ::close(fd) == 0);
        // Left behind, it would keep the temporary folder from being removed.
        const auto unlinkBadName = qScopeGuard([&] { ::unlink(badName.constData()); });
        QVERIFY(writeFiles(hot, {{"NotArray/g.txt", "g"}, {"Ghosts/e.txt", "e"}}));
        QVERIFY(writeFile(home.path() + "/Priority jobs/Rush/r.txt", "r"));

        Instance inst(home);
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());
        QVERIFY(writeFiles(hot, {{"Pair/job.pdf", content(4000, 'j')},
                                 {"Reverse/job2.pdf", content(4000, 'k')},
                                 {"<Code-Based Delivery>/invoice.x7.pdf", content(2000, 'i')},
                                 {"<Code-Based Delivery>/Job.x7/page.txt", "page"},
                                 {"<Code-Based Delivery>/invoice.pdf", "no code"},
                                 {"<Code-Based Delivery>/invoice.zz.pdf", "unknown code"},
                                 {"Prio/Priority/urgent.txt", "urgent"},
                                 {"Remote/b.txt", "b"}}));
        const QStringList missing = inst.waitForPaths(
            hot,
            {"Pair/Done/job.pdf", "Reverse/Errors/job2.pdf",
             "<Code-Based Delivery>/Done/invoice.x7.pdf", "<Code-Based Delivery>/Done/Job.x7",
             "<Code-Based Delivery>/Errors/invoice.zz.pdf", "Prio/Done/urgent.txt",
             "Drop/Errors/x.txt", "Drop/Errors/dangling.txt", "Drop/Errors/bad%FFname.txt",
             "NotArray/Errors/g.txt", "Ghosts/Errors/e.txt", "Remote/Errors/b.txt"},
            60000);
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ") + "\n" + inst.log().right(6000)));
        // 2 + 2 group entries, 2 routed by code, 1 unknown code, 1 + 1 priority,
        // 5 refused, 1 unreachable.
        QList<QVariantMap> history;
        QVERIFY(inst.waitFor([&] { return (history = home.records("History.xml")).size() == 15; },
                             20000));

        // A group whose first member fails: both are recorded, the source
        // goes where the last member says.
        QCOMPARE(fieldOf(history, "job.pdf", "dest"), QStringList({"Broken", "Good"}));
        QCOMPARE(fieldOf(history, "job.pdf", "success"), QStringList({"missing", "ok"}));
        QVERIFY(fieldOf(history, "job.pdf", "error")[0].contains("FILE HAS NOT BEEN DELIVERED!"));
        QCOMPARE(fieldOf(history, "job2.pdf", "success"), QStringList({"ok", "missing"}));
        QCOMPARE(readFile(out + "/good/job.pdf"), content(4000, 'j'));

        // Routed by the code in the name; no code: left alone; unknown code:
        // recorded and moved to "Errors".
        QCOMPARE(readFile(out + "/coded/invoice.x7.pdf"), content(2000, 'i'));
        QCOMPARE(readFile(out + "/coded/Job.x7/page.txt"), QByteArray("page"));
        QCOMPARE(fieldOf(history, "invoice.zz.pdf", "dest"),
                 QStringList{"<invalid destination code>"});
        QVERIFY(QFileInfo::exists(codeHot + "/invoice.pdf"));
        QVERIFY(recordsNamed(history, "invoice.pdf").isEmpty());

        // Items of "Priority" are marked so and go to their hot folder's "Done".
        QCOMPARE(fieldOf(history, "urgent.txt", "priority"), QStringList{"true"});
        QCOMPARE(readFile(out + "/prio/urgent.txt"), QByteArray("urgent"));
        QCOMPARE(fieldOf(history, "r.txt", "priority"), QStringList{"true"});
        QCOMPARE(readFile(out + "/rush/r.txt"), QByteArray("r"));

        QVERIFY(QFileInfo(hot + "/Drop/Errors/x.txt").isSymLink());
        QCOMPARE(entries(out + "/drop"), QStringList());
        const QList<QPair<QString, QString>> refused{
            {"x.txt", "symbolic link"},  {"dangling.txt", "symbolic link"},
            {"bad%FFname.txt", "UTF-8"}, {"g.txt", "no member"},
            {"e.txt", "no member"},      {"invoice.zz.pdf", "The code \"zz\" is not assigned"}};
        for (const auto &[name, why] : refused) {
            QCOMPARE(fieldOf(history, name, "success"), QStringList{"missing"});
            QVERIFY2(fieldOf(history, name, "error")[0].contains(why), qPrintable(name));
        }

        const QRegularExpression failed(
            "NOT DELIVERED: " + QRegularExpression::escape(hot + "/Remote/b.txt") +
            " -> Remote \\(ftp://127.0.0.1/in\\): FILE HAS NOT BEEN DELIVERED! [^\n]*\\S");
        QVERIFY2(inst.waitFor([&] { return inst.log().contains(failed); }, 20000), inst.tail());
        const QString rush = home.path() + "/Priority jobs/Rush";
        QVERIFY2(inst.waitForLog("Delivered: " + rush + "/r.txt -> Rush (" + out + "/rush)"),
                 inst.tail());
        // Entries refused before the queue say so too.
        QVERIFY2(inst.log().contains("NOT DELIVERED: " + hot + "/Drop/x.txt -> Drop: "),
                 inst.tail());
        QVERIFY(!inst.log().contains("s3cret"));
        QCOMPARE(inst.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDeliveryLocal)
#include "test_delivery_local.moc"
