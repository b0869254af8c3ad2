// A drop of 2,000 small files into one hot folder: every one is queued,
// delivered once and moved to "Done". The time allowed is generous for a
// pipeline whose cost per file stays flat; one that rewrites its whole lists
// for every delivered file (cost growing with the queue and the history)
// does not make it.

#include "blackbox.h"

#include <QDirIterator>

#include <sys/inotify.h>
#include <unistd.h>

using namespace bb;

namespace {

constexpr int kFiles = 2000;
constexpr int kDeadlineMs = 420000;

int countEntries(const QString &dir)
{
    int n = 0;
    QDirIterator it(dir, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        ++n;
    }
    return n;
}

/// Counts the writes of the lists in the application folder: each one puts a
/// finished file in place under the list's name (created or renamed there).
class ListWrites {
public:
    explicit ListWrites(const QString &dir) : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (m_fd >= 0)
            inotify_add_watch(m_fd, QFile::encodeName(dir).constData(), IN_MOVED_TO | IN_CREATE);
    }
    ~ListWrites()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    void read()
    {
        alignas(inotify_event) char buf[16384];
        ssize_t n;
        while (m_fd >= 0 && (n = ::read(m_fd, buf, sizeof buf)) > 0) {
            for (char *p = buf; p < buf + n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(p);
                if (e->len > 0)
                    ++m_counts[QString::fromUtf8(e->name)];
                p += sizeof(inotify_event) + e->len;
            }
        }
    }
    int count(const QString &name) const { return m_counts.value(name); }

private:
    int m_fd;
    QHash<QString, int> m_counts;
};

} // namespace

class TestDeliveryBulk : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void twoThousandFilesInOneDrop()
    {
        Home home;
        const QString out = home.path() + "/out";
        home.writeSettings({{"watchInterval", 1}});
        const QVariantMap dest = withHotFolder(local("Bulk", out), home.path() + "/hot");
        home.writeDest(dest);
        const QString hot = dest.value("QFHotfolder").toString();

        // Written beside the hot folder, then dropped in at once.
        const QString stage = home.path() + "/stage";
        QStringList names;
        for (int i = 0; i < kFiles; ++i) {
            names.append(QString::asprintf("file-%04d.txt", i));
            QVERIFY(writeFile(stage + "/" + names.last(), content(512 + i % 97, char(i))));
        }

        Instance inst(home);
        QVERIFY2(inst.waitForLog("startWatching"), inst.tail());
        ListWrites writes(home.app());
        QElapsedTimer clock;
        clock.start();
        for (const QString &name : names)
            QVERIFY(QFile::rename(stage + "/" + name, hot + "/" + name));

        int inDone = 0;
        const bool all = inst.waitFor(
            [&] {
                writes.read();
                inDone = countEntries(hot + "/Done");
                return inDone == kFiles;
            },
            kDeadlineMs);
        writes.read();
        const QString summary =
            QString("%1 of %2 files in Done after %3 s; Queue.xml written %4 times, History.xml "
                    "%5 times")
                .arg(inDone)
                .arg(kFiles)
                .arg(clock.elapsed() / 1000.0, 0, 'f', 1)
                .arg(writes.count("Queue.xml"))
                .arg(writes.count("History.xml"));
        QVERIFY2(all, qPrintable(summary));
        qInfo("%s", qPrintable(summary));

        // Each delivered once, whole, under its own name.
        QCOMPARE(countEntries(out), kFiles);
        for (int i = 0; i < kFiles; i += 97)
            QCOMPARE(readFile(out + "/" + names[i]), content(512 + i % 97, char(i)));
        QCOMPARE(entries(hot), QStringList({"Done", "Errors", "Priority"}));
        QCOMPARE(countEntries(hot + "/Errors"), 0);
        QList<QVariantMap> history;
        QVERIFY(inst.waitFor(
            [&] { return (history = home.records("History.xml")).size() == kFiles; }, 20000));
        QSet<QString> recorded;
        for (const QVariantMap &rec : history) {
            QCOMPARE(rec.value("success").toString(), QStringLiteral("ok"));
            recorded.insert(rec.value("name").toString());
        }
        QCOMPARE(recorded.size(), kFiles);
        QCOMPARE(home.records("Queue.xml").size(), 0);
        QCOMPARE(inst.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDeliveryBulk)
#include "test_delivery_bulk.moc"
