// The headless service killed with SIGKILL at random moments during a burst
// and started again each time, as systemd's Restart=on-failure does: every
// item arrives exactly once and whole, and ends in "Done" with one record per
// destination.

#include "blackbox.h"

#include "common/sambashare.h"

#include <QRandomGenerator>
#include <QThread>

using namespace bb;

namespace {

constexpr int kKills = 20;
constexpr int kItems = 200;

/// From a few KiB to a quarter MiB, so kills land inside copies too.
QByteArray itemContent(int i)
{
    return content(2000 + (i * 7919) % 250000, char(i));
}

/// Problems of a destination folder: final names that are not whole copies of
/// their items, and, once the burst is over, anything besides the items. Right
/// after a kill an empty file may stand under a final name where the share's
/// placement had claimed it (`claims`); the next start removes it, which the
/// check at the end proves.
QStringList faults(const QString &out, const QStringList &names, const QList<QByteArray> &contents,
                   bool complete, bool claims = false)
{
    QStringList bad;
    for (const QString &entry : entries(out)) {
        const qsizetype i = names.indexOf(entry);
        const QByteArray data = i >= 0 ? readFile(out + "/" + entry) : QByteArray();
        if (i < 0 && complete)
            bad.append(QString("%1/%2 is no item").arg(out, entry));
        else if (i >= 0 && data != contents[i] && !(claims && data.isEmpty()))
            bad.append(QString("%1/%2 has %3 of %4 bytes")
                           .arg(out, entry)
                           .arg(QFileInfo(out + "/" + entry).size())
                           .arg(contents[i].size()));
    }
    if (complete && entries(out).size() < names.size())
        bad.append(QString("items missing in %1").arg(out));
    return bad;
}

} // namespace

class TestServiceKills : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A group of a local folder and the test share takes each item to both in
    // turn, so the kills hit either kind of delivery.
    void killedAndRestartedDeliversEachItemOnce()
    {
        const QMap<QString, QString> env = pvtest::serverEnv("samba");
        QVERIFY2(env.contains("SMB_PORT"),
                 "no test server: run through ctest, which starts tests/servers/samba.sh");
        Home home;
        home.writeSettings({{"watchInterval", 1}});
        const QString base = QString("kills-%1").arg(QCoreApplication::applicationPid());
        QVERIFY(pvtest::makeShareFolders(env, base));
        const QStringList outs{home.path() + "/out", env.value("SMB_SHARE_DIR") + "/" + base};
        home.writeDest(local("Local", outs[0]));
        home.writeDest(pvtest::smbDest(env, "Share", base));
        const QVariantMap both = withHotFolder(group("Both", {"Local", "Share"}), home.path());
        home.writeDest(both);
        const QString hot = both.value("QFHotfolder").toString();

        // Written beside the hot folder, then dropped in at once.
        QStringList names;
        QList<QByteArray> contents;
        for (int i = 0; i < kItems; ++i) {
            names.append(QString::asprintf("item-%03d.bin", i));
            contents.append(itemContent(i));
            QVERIFY(writeFile(home.path() + "/stage/" + names.last(), contents.last()));
        }
        for (const QString &name : names)
            QVERIFY(QFile::rename(home.path() + "/stage/" + name, hot + "/" + name));

        // Anything appearing at a destination (temporary names too) or in
        // "Done" is a step of the burst.
        const auto steps = [&] {
            return entries(outs[0]).size() + entries(outs[1]).size() +
                   entries(hot + "/Done").size();
        };
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("kill seed %u", seed);
        QRandomGenerator random(seed);
        for (int kill = 0; kill < kKills; ++kill) {
            // Each run gets the burst moving again and dies a few steps into it.
            Instance inst(home);
            const qsizetype until = steps() + random.bounded(1, 6);
            QVERIFY2(inst.waitFor([&] { return steps() >= until; }, 60000),
                     qPrintable(QString("run %1: the burst did not go on\n").arg(kill) +
                                inst.log().right(4000)));
            QThread::msleep(random.bounded(150));
            QVERIFY2(::kill(pid_t(inst.pid()), SIGKILL) == 0, inst.tail());
            inst.waitFor([] { return false; }, 100);
            for (const QString &out : outs) {
                const QStringList bad = faults(out, names, contents, false, out == outs[1]);
                QVERIFY2(bad.isEmpty(),
                         qPrintable(QString("kill %1: %2\n").arg(kill).arg(bad.join(", ")) +
                                    inst.log().right(4000)));
            }
        }

        Instance inst(home);
        QVERIFY2(inst.waitFor([&] { return entries(hot + "/Done").size() == kItems; }, 600000),
                 qPrintable(
                     QString("%1 of %2 in Done\n").arg(entries(hot + "/Done").size()).arg(kItems) +
                     inst.log().right(6000)));
        QList<QVariantMap> history;
        QVERIFY(inst.waitFor(
            [&] { return (history = home.records("History.xml")).size() >= 2 * kItems; }, 20000));
        QCOMPARE(inst.terminate(), 0);

        // No second copy under a numbered name, no temporary leftovers.
        for (const QString &out : outs) {
            const QStringList bad = faults(out, names, contents, true);
            QVERIFY2(bad.isEmpty(), qPrintable(bad.join(", ")));
        }
        QCOMPARE(entries(hot), QStringList({"Done", "Errors", "Priority"}));
        QCOMPARE(entries(hot + "/Errors"), QStringList());
        for (const QString &name : names) {
            QStringList outcomes;
            for (const QVariantMap &rec : recordsNamed(history, name))
                outcomes.append(rec.value("dest").toString() + " " +
                                rec.value("success").toString());
            outcomes.sort();
            QVERIFY2(outcomes == QStringList({"Local ok", "Share ok"}),
                     qPrintable(name + ": " + outcomes.join(", ")));
        }
        QCOMPARE(history.size(), 2 * kItems);
        QCOMPARE(home.records("Queue.xml").size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestServiceKills)
#include "test_service_kills.moc"
