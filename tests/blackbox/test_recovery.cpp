// A process killed at an awkward moment: what the next start finds and mends.
// PV_KILL_AT makes the instance kill itself (SIGKILL) at a named step.

#include "blackbox.h"
#include "common/sambashare.h"

#include <QScopeGuard>

#include <netinet/in.h>
#include <sys/socket.h>

using namespace bb;

namespace {

/// An instance started with PV_KILL_AT=point, which it dies at.
std::unique_ptr<Instance> startKilledAt(const Home &home, const char *point)
{
    qputenv("PV_KILL_AT", point);
    const auto restore = qScopeGuard([] { qunsetenv("PV_KILL_AT"); });
    return std::make_unique<Instance>(home);
}

bool waitForDeath(Instance &inst)
{
    return inst.waitFor([&] { return inst.pid() == 0; }, 60000);
}

/// Names in dir that are partial uploads (".name.random.pvpart").
QStringList partials(const QString &dir)
{
    return entries(dir).filter(QRegularExpression("^\\..*\\.pvpart$"));
}

/// A home whose destination "Out" (the folder out, or dest) is fed by the
/// hot folder hot/Out.
struct Site {
    Home home;
    const QString hot = home.path() + "/hot";
    const QString out = home.path() + "/out";
    explicit Site(const QVariantMap &dest = {})
    {
        home.writeSettings({{"watchInterval", 1}});
        home.writeDest(withHotFolder(dest.isEmpty() ? local("Out", out) : dest, hot));
    }
    /// Drops data as file below hot/Out into an instance that kills itself
    /// at point; false (with the log in *log) when it did not die.
    bool dropAndDie(const char *point, const QString &file, const QByteArray &data, QString *log)
    {
        auto inst = startKilledAt(home, point);
        const bool died = inst->waitForLog("startWatching") &&
                          writeFile(hot + "/Out/" + file, data) && waitForDeath(*inst);
        *log = inst->log();
        return died;
    }
};

/// A home with the group "Both" of the local folders "A" (out a) and "B"
/// (out b, or the destination b), fed by the hot folder hot.
struct GroupSite {
    Home home;
    const QStringList outs{home.path() + "/a", home.path() + "/b"};
    const QVariantMap both = withHotFolder(group("Both", {"A", "B"}), home.path());
    const QString hot = both.value("QFHotfolder").toString();
    explicit GroupSite(const QVariantMap &b = {})
    {
        home.writeSettings({{"watchInterval", 1}});
        home.writeDest(local("A", outs[0]));
        home.writeDest(b.isEmpty() ? local("B", outs[1]) : b);
        home.writeDest(both);
    }
};

/// A loopback server that takes connections and never answers, and an SMB
/// destination on it: an entry for it stays in processing.
struct SilentServer {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    SilentServer()
    {
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(fd, 8) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len))
            qFatal("no loopback server");
    }
    ~SilentServer() { ::close(fd); }
    QVariantMap dest(const QString &name) const
    {
        return {{"name", name},
                {"QFDestType", "SMB Server"},
                {"type", 0},
                {"hostField", "127.0.0.1"},
                {"pathField", "share"},
                {"QFPort", QString::number(ntohs(addr.sin_port))},
                {"userField", "nobody"},
                {"sendFTPBtn", 1}};
    }
};

} // namespace

class TestRecovery : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Killed after the delivery, before or after its record: after the next
    // start the item is at the destination once, recorded once, and its
    // source is in "Done".
    void deliveredOnceRecordedOnce_data()
    {
        QTest::addColumn<QString>("point");
        QTest::newRow("before the record") << "delivered";
        QTest::newRow("between the record and the list rewrite") << "recorded";
    }
    void deliveredOnceRecordedOnce()
    {
        QFETCH(QString, point);
        Site site;
        const auto &[home, hot, out] = std::tie(site.home, site.hot, site.out);
        QString log;
        QVERIFY2(site.dropAndDie(point.toUtf8().constData(), "a.txt", "alpha", &log),
                 qPrintable(log));
        QCOMPARE(entries(out), QStringList{"a.txt"});
        QVERIFY(QFileInfo::exists(hot + "/Out/a.txt"));
        QVERIFY(recordsNamed(home.records("History.xml"), "a.txt").isEmpty());
        Instance inst(home);
        // A later item: once it is done, anything queued before it is too.
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());
        QVERIFY(writeFile(hot + "/Out/b.txt", "beta"));
        const QStringList missing = inst.waitForPaths(hot, {"Out/Done/a.txt", "Out/Done/b.txt"});
        QVERIFY2(missing.isEmpty(), inst.tail());
        QVERIFY2(inst.log().contains("delivery of " + hot + "/Out/a.txt to \"Out\" had completed"),
                 inst.tail());
        QCOMPARE(inst.terminate(), 0);
        QCOMPARE(entries(out), QStringList({"a.txt", "b.txt"}));
        for (const char *list : {"History.xml", "Sent.xml"}) {
            QCOMPARE(fieldOf(home.records(list), "a.txt", "finalName"), QStringList{"a.txt"});
            QCOMPARE(fieldOf(home.records(list), "b.txt", "finalName"), QStringList{"b.txt"});
        }
        QCOMPARE(fieldOf(home.records("History.xml"), "a.txt", "success"), QStringList{"ok"});
    }

    // Killed once the group's first member had the item (in place before its
    // success was handled, its completion noted, or recorded and done): after
    // the next start each member has it once, and its source is in "Done".
    void groupMemberDeliveredOnce_data()
    {
        QTest::addColumn<QString>("point");
        QTest::newRow("in place") << "placed";
        QTest::newRow("noted delivered") << "delivered";
        QTest::newRow("recorded") << "";
    }
    void groupMemberDeliveredOnce()
    {
        QFETCH(QString, point);
        const bool recorded = point.isEmpty();
        const SilentServer server;
        GroupSite site(recorded ? server.dest("B") : QVariantMap());
        const auto &[home, outs, hot] = std::tie(site.home, site.outs, site.hot);
        {
            auto inst = startKilledAt(home, point.toUtf8().constData());
            QVERIFY2(inst->waitForLog("startWatching"), inst->tail());
            QVERIFY(writeFile(hot + "/a.txt", "alpha"));
            if (recorded) {
                QVERIFY2(inst->waitForLog("dest \"B\""), inst->tail());
                ::kill(pid_t(inst->pid()), SIGKILL);
            }
            QVERIFY2(waitForDeath(*inst), inst->tail());
        }
        QCOMPARE(entries(outs[0]), QStringList{"a.txt"});
        home.writeDest(local("B", outs[1]));
        Instance inst(home);
        QVERIFY2(inst.waitForPaths(hot, {"Done/a.txt"}).isEmpty(), inst.tail());
        QCOMPARE(inst.terminate(), 0);
        for (const QString &out : outs)
            QCOMPARE(entries(out), QStringList{"a.txt"});
        QStringList outcomes;
        for (const QVariantMap &rec : recordsNamed(home.records("History.xml"), "a.txt"))
            outcomes.append(rec.value("dest").toString() + " " + rec.value("success").toString());
        outcomes.sort();
        QCOMPARE(outcomes, QStringList({"A ok", "B ok"}));
    }

    // Every member had had its outcome and only the history says so (no
    // journal note left): the next start moves the source by the worst
    // outcome and delivers nothing again.
    void groupDoneInHistoryOnly()
    {
        GroupSite site;
        const auto &[home, outs, hot] = std::tie(site.home, site.outs, site.hot);
        QVERIFY(writeFile(hot + "/a.txt", "alpha"));
        const QDateTime started = QDateTime::currentDateTimeUtc().addSecs(1);
        QVariantList history;
        for (const char *dest : {"A", "B"})
            history.append(QVariantMap{{"name", "a.txt"},
                                       {"path", hot + "/a.txt"},
                                       {"hotfolder", hot},
                                       {"dest", dest},
                                       {"group", "Both"},
                                       {"success", dest == QString("A") ? "ok" : "missing"},
                                       {"dateStart", started},
                                       {"dateEnd", started}});
        QVERIFY(pv::plist::writeFile(home.app() + "/History.xml", history));
        Instance inst(home);
        QVERIFY2(inst.waitForPaths(hot, {"Errors/a.txt"}).isEmpty(), inst.tail());
        QCOMPARE(inst.terminate(), 0);
        for (const QString &out : outs)
            QCOMPARE(entries(out), QStringList());
        QCOMPARE(home.records("History.xml").size(), 2);
    }

    // Killed while an item was written under its temporary name: the next
    // start removes it, and the item arrives whole.
    void partialUploadRemoved_data()
    {
        QTest::addColumn<QString>("item");
        QTest::newRow("file") << "big.bin";
        QTest::newRow("folder") << "Folder";
    }
    void partialUploadRemoved()
    {
        QFETCH(QString, item);
        Site site;
        const auto &[home, hot, out] = std::tie(site.home, site.hot, site.out);
        const QByteArray big = content(3 << 20, 'b');
        const QString file = item == "Folder" ? "Folder/inner.bin" : item;
        QString log;
        QVERIFY2(site.dropAndDie("uploading", file, big, &log), qPrintable(log));
        QCOMPARE(partials(out).size(), 1);
        QCOMPARE(entries(out).size(), 1);
        Instance inst(home);
        QVERIFY2(inst.waitForPaths(hot, {"Out/Done/" + item}).isEmpty(), inst.tail());
        QVERIFY2(inst.waitFor([&] { return partials(out).isEmpty(); }, 20000), inst.tail());
        QVERIFY2(inst.log().contains("leftover"), inst.tail());
        QCOMPARE(inst.terminate(), 0);
        QCOMPARE(entries(out), QStringList{item});
        QCOMPARE(readFile(out + "/" + file), big);
        // Nothing is left for a later start to act on.
        Instance again(home);
        QVERIFY2(again.waitForLog("startWatching"), again.tail());
        QCOMPARE(again.terminate(), 0);
        QVERIFY2(!again.log().contains("leftover"), again.tail());
    }

    // Killed between claiming the final name at the share with an empty file
    // and renaming the upload over it: the next start removes the claim, and
    // the item arrives whole under its own name. Killed right after the rename,
    // before the delivery could note it: the next start finds the item in
    // place and does not deliver it a second time.
    void killedWhilePlacing_data()
    {
        QTest::addColumn<QString>("point");
        QTest::addColumn<bool>("share");
        QTest::newRow("share, claimed") << "claimed" << true;
        QTest::newRow("share, renamed") << "renamed" << true;
        QTest::newRow("local, renamed") << "renamed" << false;
    }
    void killedWhilePlacing()
    {
        QFETCH(QString, point);
        QFETCH(bool, share);
        const QMap<QString, QString> env = pvtest::serverEnv("samba");
        QVERIFY2(!share || env.contains("SMB_PORT"), "no test server: run through ctest");
        const QString base =
            QString("claim-%1-%2").arg(QCoreApplication::applicationPid()).arg(point);
        QVERIFY(!share || pvtest::makeShareFolders(env, base));
        Site site(share ? pvtest::smbDest(env, "Out", base) : QVariantMap());
        const QString out = share ? env.value("SMB_SHARE_DIR") + "/" + base : site.out;
        QString log;
        QVERIFY2(site.dropAndDie(point.toUtf8().constData(), "a.txt", "alpha", &log),
                 qPrintable(log));
        QCOMPARE(QFileInfo(out + "/a.txt").size(), point == "claimed" ? 0 : 5);
        Instance inst(site.home);
        QVERIFY2(inst.waitForPaths(site.hot, {"Out/Done/a.txt"}).isEmpty(), inst.tail());
        QCOMPARE(inst.terminate(), 0);
        QCOMPARE(entries(out), QStringList{"a.txt"});
        QCOMPARE(readFile(out + "/a.txt"), QByteArray("alpha"));
        const QList<QVariantMap> history = recordsNamed(site.home.records("History.xml"), "a.txt");
        QCOMPARE(history.size(), 1);
        QCOMPARE(history[0].value("finalName").toString(), QString("a.txt"));
    }

    // Items handed over with --queue that were still queued when the process
    // died come back at the next start when their source still exists.
    void queuedItemsComeBack()
    {
        Home home;
        const QString src = home.path() + "/src";
        const QString out = home.path() + "/out";
        // The first item stays in processing while the others wait in the queue.
        const SilentServer server;
        home.writeDest(server.dest("Out"));
        QVERIFY(writeFiles(src, {{"a.txt", "a"}, {"b.txt", "b"}, {"gone.txt", "g"}}));
        {
            Instance inst(home);
            QVERIFY2(inst.waitForLog("startWatching"), inst.tail());
            for (const char *name : {"a.txt", "b.txt", "gone.txt"})
                QCOMPARE(runCli(home, {"--queue", src + "/" + name, "--destination", "Out"}).code,
                         0);
            QVERIFY2(inst.waitFor([&] { return home.records("Queue.xml").size() == 2; }, 20000),
                     inst.tail());
            ::kill(pid_t(inst.pid()), SIGKILL);
            QVERIFY(waitForDeath(inst));
        }
        QVERIFY(QFile::remove(src + "/gone.txt"));
        home.writeDest(local("Out", out));
        Instance inst(home);
        QVERIFY2(inst.waitForPaths(out, {"a.txt", "b.txt"}).isEmpty(), inst.tail());
        QCOMPARE(inst.log().count("queued again"), 2);
        QCOMPARE(inst.terminate(), 0);
        QCOMPARE(entries(out), QStringList({"a.txt", "b.txt"}));
        QCOMPARE(readFile(out + "/a.txt"), QByteArray("a"));
    }
};

QTEST_GUILESS_MAIN(TestRecovery)
#include "test_recovery.moc"
