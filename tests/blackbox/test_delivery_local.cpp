// Deliveries to local folders through hot folders, as a user sees them: the
// delivered items, the sources in "Done"/"Errors", and the records.

#include "blackbox.h"

#include "prefs/prefs.h"

#include <QProcess>
#include <QRegularExpression>

#include <fcntl.h>
#include <unistd.h>

using namespace bb;

namespace {

/// The process id of a packer whose parent is parent (0 when there is none).
qint64 packerOf(qint64 parent)
{
    for (const QString &d : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray stat = readFile("/proc/" + d + "/stat"); // "pid (comm) state ppid ..."
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0 || !stat.left(close).contains("(pv-packer"))
            continue;
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields[0] != "Z" && fields[1].toLongLong() == parent)
            return d.toLongLong();
    }
    return 0;
}

} // namespace

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
        // A package of the same name left over in the scratch folder.
        QVERIFY(writeFile(home.scratch() + "/Again.zip", "stale"));

        Instance inst(home);
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());
        QVERIFY(writeFiles(hot, {{"Dated/report.pdf", content(3000, 'r')},
                                 {"Dated/Folder/sub/data.bin", content(200000, 'd')},
                                 {"Dated/Folder/top.txt", "top"},
                                 {"Zipper/Report [final]/a.txt", content(5000, 'a')},
                                 {"Zipper/Report [final]/sub/b.bin", content(70000, 'b')},
                                 {"Zipper/note.txt", content(900, 'n')},
                                 {"Zipper/archive.zip", content(1200, 'z')},
                                 {"Zipper/Again/x.txt", "again"},
                                 {"Imager/Pics/one.txt", content(100, '1')},
                                 {"Imager/Pics/deep/two.bin", content(40000, '2')},
                                 {"Imager/lone.txt", "not a folder: sent as it is"},
                                 {"Vault/Secret/plan.txt", content(3000, 'p')}}));

        const QStringList missing = inst.waitForPaths(
            hot, {"Dated/Done/report.pdf", "Dated/Done/Folder", "Zipper/Done/Report [final]",
                  "Zipper/Done/note.txt", "Zipper/Done/archive.zip", "Zipper/Done/Again",
                  "Imager/Done/Pics", "Imager/Done/lone.txt", "Vault/Done/Secret"});
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ") + "\n" + inst.log().right(6000)));
        QList<QVariantMap> history;
        QVERIFY(inst.waitFor([&] { return (history = home.records("History.xml")).size() == 9; },
                             10000));
        for (const QVariantMap &rec : history) {
            QVERIFY2(rec.value("success") == "ok", qPrintable(rec.value("error").toString()));
            QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$")
                        .match(rec.value("timeTotal").toString())
                        .hasMatch());
        }
        QCOMPARE(home.records("Sent.xml").size(), 9);
        QCOMPARE(home.records("Queue.xml").size(), 0);

        // Dated folders and the next free number; earlier files untouched.
        QCOMPARE(entries(dateDir),
                 QStringList({"Folder", "report.pdf", "report_1.pdf", "report_2.pdf"}));
        QCOMPARE(readFile(dateDir + "/report_2.pdf"), content(3000, 'r'));
        QCOMPARE(readFile(dateDir + "/report.pdf"), QByteArray("first"));
        QCOMPARE(readFile(dateDir + "/report_1.pdf"), QByteArray("second"));
        QCOMPARE(readFile(dateDir + "/Folder/sub/data.bin"), content(200000, 'd'));
        QCOMPARE(readFile(dateDir + "/Folder/top.txt"), QByteArray("top"));
        QCOMPARE(fieldOf(history, "report.pdf", "finalName"), QStringList{"report_2.pdf"});
        QCOMPARE(fieldOf(history, "report.pdf", "location"), QStringList{dateDir});
        QCOMPARE(fieldOf(history, "report.pdf", "compr"), QStringList{"-"});
        QCOMPARE(fieldOf(history, "report.pdf", "size"), QStringList{"2 KB"});

        // A zipped folder under its bracket-free name, with its contents (the
        // packer's own tests read its packages closely).
        const QString zip = out + "/zip/Report (final).zip";
        Result r = run("unzip", {"-tq", zip});
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        QCOMPARE(run("unzip", {"-p", zip, "sub/b.bin"}).out.toUtf8(), content(70000, 'b'));
        QCOMPARE(fieldOf(history, "Report [final]", "compr"), QStringList{"Zip"});
        QCOMPARE(fieldOf(history, "Report [final]", "finalName"),
                 QStringList{"Report (final).zip"});
        QVERIFY(fieldOf(history, "Report [final]", "sizeField").value(0).contains(" / "));
        // A file is zipped under its own name plus ".zip"; a zip is sent as it is.
        QCOMPARE(run("unzip", {"-tq", out + "/zip/note.txt.zip"}).code, 0);
        QCOMPARE(readFile(out + "/zip/archive.zip"), content(1200, 'z'));
        QCOMPARE(fieldOf(history, "archive.zip", "compr"), QStringList{"-"});

        // The disk image lists with an independent reader; a file for a
        // folders-only destination travels unpackaged.
        r = run("xorriso", {"-indev", out + "/img/Pics.dmg", "-find"});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QVERIFY2(r.out.contains("one.txt") && r.out.contains("deep/two.bin"), qPrintable(r.out));
        QCOMPARE(fieldOf(history, "Pics", "compr"), QStringList{"Disk image"});
        QCOMPARE(readFile(out + "/img/lone.txt"), QByteArray("not a folder: sent as it is"));

        // The encrypted image opens with its password only, and the password
        // is nowhere in the log or the records.
        const QString image = out + "/vault/Secret.dmg";
        // Names in a zip container are readable without it; the contents are not.
        QVERIFY(run("bsdtar", {"-xOf", image, "--passphrase", "wrong"}).code != 0);
        r = run("bsdtar", {"-xOf", image, "--passphrase", password});
        QVERIFY2(r.code == 0 && r.out.size() > 3000, qPrintable(r.err));
        QVERIFY(!inst.log().contains(password));
        QVERIFY(!readFile(home.app() + "/History.xml").contains(password.toUtf8()));

        // With a stale package of the same name in the scratch folder, the
        // destination still receives the package once.
        QCOMPARE(QDir(out + "/zip").entryList({"Again*"}, QDir::Files).size(), 1);
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
            QVERIFY2(inst.waitFor([&] { return (packer = packerOf(inst.pid())) != 0; }, 30000),
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

    // Groups with a failing member, the code-based hot folder, "Priority"
    // and a file still being written, all in one instance.
    void groupsCodesPriorityAndGrowingFile()
    {
        Home home;
        const QString hot = home.path() + "/hot";
        const QString out = home.path() + "/out";
        const QString codeHot = makeHotFolder(hot, "<Code-Based Delivery>");
        // Probes every 2 s: a writer would have to stall that long to fool them.
        home.writeSettings(
            {{"watchInterval", 2}, {"enableDestCodes", 1}, {"codeBasedHotfolder", codeHot}});

        home.writeDest(local("Good", out + "/good"));
        // Its folder lies below a plain file: every transfer there fails.
        QVERIFY(writeFile(home.path() + "/plain", "x"));
        home.writeDest(local("Broken", home.path() + "/plain/sub"));
        QVariantMap coded = local("Coded", out + "/coded");
        coded.insert("QFDestCode", "x7");
        home.writeDest(coded);
        for (const QVariantMap &dest :
             {group("Pair", {"Broken", "Good"}), group("Reverse", {"Good", "Broken"}),
              local("A-Bulk", out + "/bulk"), local("B-Prio", out + "/prio"),
              local("Growing", out + "/grow")})
            home.writeDest(withHotFolder(dest, hot));

        Instance inst(home);
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());

        // Appends for about 12 s, never pausing as long as a probe interval.
        const QString growing = hot + "/Growing/big.log";
        QProcess writer;
        writer.start("bash", {"-c",
                              "for i in $(seq 48); do head -c 8192 /dev/urandom >> \"$1\"; "
                              "sleep 0.25; done",
                              "writer", growing});
        QVERIFY(writer.waitForStarted());

        QVERIFY(writeFiles(hot, {{"Pair/job.pdf", content(4000, 'j')},
                                 {"Reverse/job2.pdf", content(4000, 'k')},
                                 {"<Code-Based Delivery>/invoice.x7.pdf", content(2000, 'i')},
                                 {"<Code-Based Delivery>/Job.x7/page.txt", "page"},
                                 {"<Code-Based Delivery>/invoice.pdf", "no code"},
                                 {"<Code-Based Delivery>/invoice.zz.pdf", "unknown code"}}));
        QStringList bulk;
        QStringList done{"Pair/Done/job.pdf",
                         "Reverse/Errors/job2.pdf",
                         "<Code-Based Delivery>/Done/invoice.x7.pdf",
                         "<Code-Based Delivery>/Done/Job.x7",
                         "<Code-Based Delivery>/Errors/invoice.zz.pdf",
                         "B-Prio/Done/urgent.txt",
                         "Growing/Done/big.log"};
        for (int i = 0; i < 12; ++i) {
            bulk.append(QString::asprintf("f%02d.txt", i));
            done.append("A-Bulk/Done/" + bulk.last());
            QVERIFY(writeFile(hot + "/A-Bulk/" + bulk.last(), content(20000, char('A' + i))));
        }
        QVERIFY(writeFile(hot + "/B-Prio/Priority/urgent.txt", "urgent"));

        QVERIFY(writer.waitForFinished(30000));
        const qint64 grownSize = QFileInfo(growing).size();
        QCOMPARE(grownSize, 48 * 8192);

        const QStringList missing = inst.waitForPaths(hot, done, 60000);
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ") + "\n" + inst.log().right(6000)));
        // 2 + 2 group entries, 2 routed by code, 1 unknown code, 12 + 1 + 1.
        QList<QVariantMap> history;
        QVERIFY(inst.waitFor([&] { return (history = home.records("History.xml")).size() == 21; },
                             10000));

        // A group whose first member fails: both are recorded, the source
        // goes where the last member says.
        QCOMPARE(fieldOf(history, "job.pdf", "dest"), QStringList({"Broken", "Good"}));
        QCOMPARE(fieldOf(history, "job.pdf", "success"), QStringList({"missing", "ok"}));
        QCOMPARE(fieldOf(history, "job.pdf", "group"), QStringList({"Pair", "Pair"}));
        QVERIFY(fieldOf(history, "job.pdf", "error")[0].contains("FILE HAS NOT BEEN DELIVERED!"));
        QCOMPARE(fieldOf(history, "job2.pdf", "success"), QStringList({"ok", "missing"}));

        // Routed by the code in the name; no code: left alone; unknown code:
        // recorded and moved to "Errors".
        QCOMPARE(readFile(out + "/good/job.pdf"), content(4000, 'j'));
        QCOMPARE(readFile(out + "/good/job2.pdf"), content(4000, 'k'));
        QCOMPARE(readFile(out + "/coded/invoice.x7.pdf"), content(2000, 'i'));
        QCOMPARE(readFile(out + "/coded/Job.x7/page.txt"), QByteArray("page"));
        QCOMPARE(fieldOf(history, "invoice.x7.pdf", "dest"), QStringList{"Coded"});
        QCOMPARE(fieldOf(history, "invoice.zz.pdf", "dest"),
                 QStringList{"<invalid destination code>"});
        QCOMPARE(fieldOf(history, "invoice.zz.pdf", "success"), QStringList{"missing"});
        QVERIFY(fieldOf(history, "invoice.zz.pdf", "error")[0].contains(
            "The code \"zz\" is not assigned"));
        QVERIFY(QFileInfo::exists(codeHot + "/invoice.pdf"));
        QVERIFY(recordsNamed(history, "invoice.pdf").isEmpty());

        // The priority item overtakes the ones queued before it and goes to
        // its hot folder's "Done".
        int urgentAt = -1;
        int bulkAfter = 0;
        for (int i = 0; i < history.size(); ++i) {
            const QString name = history[i].value("name").toString();
            if (name == QLatin1String("urgent.txt"))
                urgentAt = i;
            else if (urgentAt >= 0 && bulk.contains(name))
                ++bulkAfter;
        }
        QVERIFY2(bulkAfter >= 8, qPrintable(QString::number(bulkAfter)));
        QCOMPARE(fieldOf(history, "urgent.txt", "hotfolder"), QStringList{hot + "/B-Prio"});
        QCOMPARE(fieldOf(history, "urgent.txt", "priority"), QStringList{"true"});
        QCOMPARE(readFile(out + "/prio/urgent.txt"), QByteArray("urgent"));
        for (const QString &name : bulk)
            QVERIFY(QFileInfo::exists(out + "/bulk/" + name));

        // The file written while it was probed is delivered once, complete.
        QCOMPARE(recordsNamed(history, "big.log").size(), 1);
        QCOMPARE(QFileInfo(out + "/grow/big.log").size(), grownSize);
        QCOMPARE(readFile(out + "/grow/big.log"), readFile(hot + "/Growing/Done/big.log"));
        QCOMPARE(entries(out + "/grow"), QStringList{"big.log"});

        QCOMPARE(inst.terminate(), 0);
    }

    // What a hot folder must not deliver (links, names that are not UTF-8,
    // groups without members) is recorded and moved to "Errors"; "Priority" in the hot folder's
    // own path marks its items. Without windows, every finished entry says on
    // the log how it ended.
    void hostileEntriesAndHeadlessOutcomes()
    {
        Home home;
        const QString hot = home.path() + "/hot";
        const QString out = home.path() + "/out";
        const QString password = "Zq9 s3cret:pw";
        home.writeSettings({{"watchInterval", 1}});
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
             {local("Drop", out + "/drop"), notArray, group("Ghosts", {"Gone"}), remote})
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
        QVERIFY(writeFile(hot + "/Remote/b.txt", "b"));

        const QStringList missing = inst.waitForPaths(
            hot,
            {"Drop/Errors/x.txt", "Drop/Errors/dangling.txt", "Drop/Errors/bad%FFname.txt",
             "NotArray/Errors/g.txt", "Ghosts/Errors/e.txt", "Remote/Errors/b.txt"},
            60000);
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ")));
        QVERIFY(QFileInfo(hot + "/Drop/Errors/x.txt").isSymLink());
        QCOMPARE(entries(out + "/drop"), QStringList());

        QList<QVariantMap> history;
        QVERIFY(inst.waitFor([&] { return (history = home.records("History.xml")).size() == 7; },
                             20000));
        const QList<QPair<QString, QString>> refused{{"x.txt", "symbolic link"},
                                                     {"dangling.txt", "symbolic link"},
                                                     {"bad%FFname.txt", "UTF-8"},
                                                     {"g.txt", "no member"},
                                                     {"e.txt", "no member"}};
        for (const auto &[name, why] : refused) {
            QCOMPARE(fieldOf(history, name, "success"), QStringList{"missing"});
            QVERIFY2(fieldOf(history, name, "error")[0].contains(why), qPrintable(name));
        }
        QCOMPARE(fieldOf(history, "r.txt", "priority"), QStringList{"true"});
        QCOMPARE(readFile(out + "/rush/r.txt"), QByteArray("r"));

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
