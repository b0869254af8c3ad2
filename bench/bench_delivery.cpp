// Delivery throughput against cp: one large file and a tree of many small
// files, each copied by cp (-r) and delivered through DeliveryTransfer with the
// local controller, in child processes so each one's peak memory is its own.
//
// bench_delivery [work folder] [--large-mib N] [--files N] [--runs N]
// (internally also: bench_delivery --deliver SOURCE DEST_FOLDER)

#include "transfer/deliverytransfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace pv;

namespace {

// ---------------------------------------------------------------------------
// The delivering child

class CountingReceiver : public DeliveryTransferReceiver {
public:
    void receive(const TransferReport &report) override
    {
        if (std::holds_alternative<transferreport::Succeeded>(report))
            succeeded = true;
        if (const auto *f = std::get_if<transferreport::Failed>(&report))
            error = f->error + QLatin1Char(' ') + f->errorInfo;
        if (const auto *f = std::get_if<transferreport::FailedUnexpectedly>(&report))
            error = f->message;
        ++reports;
    }
    void cancelProcess() override {}

    bool succeeded = false;
    QString error;
    long reports = 0;
};

QVariantMap itemFor(const QString &root, const QFileInfo &info)
{
    return {{QStringLiteral("name"), info.fileName()},
            {QStringLiteral("isFolder"), info.isDir()},
            {QStringLiteral("localPath"), info.filePath()},
            {QStringLiteral("subpath"), info.filePath().mid(root.size() + 1)},
            {QStringLiteral("moddate"), info.lastModified()},
            {QStringLiteral("creatdate"), info.birthTime()}};
}

// The parameters the upload dispatch hands over, the folder walked depth-first
// with parents before their contents.
QVariantMap parametersFor(const QString &source, const QString &destFolder)
{
    const QFileInfo info(source);
    QString url = QUrl::fromLocalFile(destFolder).toString(QUrl::FullyEncoded);
    url.replace(QStringLiteral("file:///"), QStringLiteral("file://localhost/"));
    QVariantMap p{{QStringLiteral("localPath"), source},
                  {QStringLiteral("url"), url},
                  {QStringLiteral("dest"), QVariantMap{{QStringLiteral("overwriteBtn"), 1}}},
                  {QStringLiteral("moddate"), info.lastModified()},
                  {QStringLiteral("creatdate"), info.birthTime()},
                  {QStringLiteral("origSize"), info.size()}};
    if (!info.isDir())
        return p;
    QVariantList items;
    qint64 size = 0;
    std::function<void(const QString &)> walk = [&](const QString &dir) {
        const QFileInfoList entries =
            QDir(dir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo &e : entries) {
            items.append(itemFor(source, e));
            if (e.isDir())
                walk(e.filePath());
            else
                size += e.size();
        }
    };
    walk(source);
    p.insert(QStringLiteral("isFolder"), true);
    p.insert(QStringLiteral("folderContents"), items);
    p.insert(QStringLiteral("numOfItemsInFolder"), items.size());
    p.insert(QStringLiteral("origSize"), size);
    return p;
}

int deliver(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString source = QString::fromLocal8Bit(argv[2]);
    const QString destFolder = QString::fromLocal8Bit(argv[3]);
    const auto begin = std::chrono::steady_clock::now();
    CountingReceiver receiver;
    DeliveryTransfer transfer(&receiver, parametersFor(source, destFolder));
    transfer.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (transfer.isFinished())
            app.quit();
    });
    poll.start(1);
    app.exec();
    // The delivery itself, from walking the source to the worker's end, for the
    // parent to set beside the time of the whole process.
    std::printf("%.6f\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    if (!receiver.succeeded) {
        std::fprintf(stderr, "delivery failed: %s\n", qPrintable(receiver.error));
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The measuring parent

struct Run {
    double seconds = 0;
    double inProcessSeconds = 0; // as the delivering child measured itself
    long maxRssKiB = 0;
    bool ok = false;
};

double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

Run runChild(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    Run r;
    int out[2];
    if (::pipe(out) != 0)
        return r;
    const double start = now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execvp(argv[0], argv.data());
        std::_Exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buf[256];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    ::close(out[0]);
    int status = 0;
    struct rusage ru {};
    if (pid < 0 || ::wait4(pid, &status, 0, &ru) != pid)
        return r;
    r.seconds = now() - start;
    r.inProcessSeconds = std::atof(text.c_str());
    r.maxRssKiB = ru.ru_maxrss;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

void removeTree(const QString &path)
{
    QDir(path).removeRecursively();
    QFile::remove(path);
}

void makeLargeFile(const QString &path, qint64 bytes)
{
    if (QFileInfo(path).size() == bytes)
        return;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
    // Real blocks everywhere (no holes), varying so nothing compresses away.
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint64 x = 88172645463325252ULL;
    for (qint64 done = 0; done < bytes; done += block.size()) {
        for (qsizetype i = 0; i + 8 <= block.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(block.data() + i, &x, 8);
        }
        f.write(block.constData(), std::min<qint64>(block.size(), bytes - done));
    }
    f.close();
}

void makeTree(const QString &root, int files)
{
    if (QDir(root).exists()) {
        qint64 n = 0;
        QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            ++n;
        }
        if (n == files)
            return;
        removeTree(root);
    }
    // 100 files per folder, sizes 1 to 16 KiB.
    for (int i = 0; i < files; ++i) {
        const QString dir = root + QStringLiteral("/d%1").arg(i / 100, 3, 10, QLatin1Char('0'));
        if (i % 100 == 0)
            QDir().mkpath(dir);
        QFile f(dir + QStringLiteral("/f%1.dat").arg(i, 5, 10, QLatin1Char('0')));
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(1024 * (1 + i % 16), char('a' + i % 26)));
    }
}

qint64 bytesBelow(const QString &path)
{
    if (!QFileInfo(path).isDir())
        return QFileInfo(path).size();
    qint64 n = 0;
    QDirIterator it(path, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        n += it.fileInfo().size();
    }
    return n;
}

void warm(const QString &path)
{
    // Both contenders read from the page cache.
    runChild({"sh", "-c", "find \"$0\" -type f -exec cat {} + > /dev/null", path.toStdString()});
}

struct Measurement {
    Run cp;
    Run ours;
};

Measurement measure(const QString &self, const QString &source, const QString &work, int runs)
{
    const QString cpTarget = work + QStringLiteral("/out-cp");
    const QString ourFolder = work + QStringLiteral("/out-delivery");
    std::vector<Run> cps, ours;
    for (int i = 0; i < runs; ++i) {
        removeTree(cpTarget);
        removeTree(ourFolder);
        QDir().mkpath(ourFolder);
        warm(source);
        ::sync();
        // Alternate which goes first so neither always meets a busier disk.
        auto doCp = [&] {
            cps.push_back(runChild({"cp", "-r", source.toStdString(), cpTarget.toStdString()}));
            ::sync();
        };
        auto doOurs = [&] {
            ours.push_back(runChild(
                {self.toStdString(), "--deliver", source.toStdString(), ourFolder.toStdString()}));
            ::sync();
        };
        if (i % 2 == 0) {
            doCp();
            doOurs();
        } else {
            doOurs();
            doCp();
        }
    }
    removeTree(cpTarget);
    removeTree(ourFolder);
    auto median = [](std::vector<Run> v) {
        std::sort(v.begin(), v.end(),
                  [](const Run &a, const Run &b) { return a.seconds < b.seconds; });
        Run m = v[v.size() / 2];
        std::vector<double> inner;
        for (const Run &r : v)
            inner.push_back(r.inProcessSeconds);
        std::sort(inner.begin(), inner.end());
        m.inProcessSeconds = inner[inner.size() / 2];
        for (const Run &r : v) {
            m.ok = m.ok && r.ok;
            m.maxRssKiB = std::max(m.maxRssKiB, r.maxRssKiB);
        }
        return m;
    };
    return {median(cps), median(ours)};
}

void print(const char *title, qint64 bytes, qint64 files, const Measurement &r, double target)
{
    const double mib = double(bytes) / 1048576.0;
    std::printf("\n%s: %.1f MiB in %lld file(s)\n", title, mib, static_cast<long long>(files));
    auto line = [&](const char *name, double seconds, long rssKiB, bool ok) {
        std::printf("  %-34s %8.3f s %9.1f MiB/s   peak memory %6.1f MiB%s\n", name, seconds,
                    mib / seconds, double(rssKiB) / 1024.0, ok ? "" : "  FAILED");
    };
    line("cp", r.cp.seconds, r.cp.maxRssKiB, r.cp.ok);
    line("DeliveryTransfer (delivery)", r.ours.inProcessSeconds, r.ours.maxRssKiB, r.ours.ok);
    line("DeliveryTransfer (whole process)", r.ours.seconds, r.ours.maxRssKiB, r.ours.ok);
    const double ratio = r.cp.seconds / r.ours.inProcessSeconds;
    std::printf("  throughput ratio delivery / cp: %.2f (target >= %.2f) %s\n", ratio, target,
                ratio >= target ? "ok" : "BELOW TARGET");
    std::printf("  the same counting the process start: %.2f\n", r.cp.seconds / r.ours.seconds);
    std::printf("  delivery peak memory (whole process) target < 64 MiB: %s\n",
                r.ours.maxRssKiB < 64 * 1024 ? "ok" : "ABOVE TARGET");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::string(argv[1]) == "--deliver")
        return deliver(argc, argv);

    QString work = QDir::tempPath() + QStringLiteral("/pv-bench");
    qint64 largeMiB = 1024;
    int files = 10000;
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--large-mib" && i + 1 < argc)
            largeMiB = std::atoll(argv[++i]);
        else if (a == "--files" && i + 1 < argc)
            files = std::atoi(argv[++i]);
        else if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else
            work = QString::fromLocal8Bit(argv[i]);
    }
    QDir().mkpath(work);
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    self[n] = 0;

    const QString large = work + QStringLiteral("/large.bin");
    const QString tree = work + QStringLiteral("/tree");
    std::printf("Preparing %lld MiB file and %d-file tree in %s ...\n",
                static_cast<long long>(largeMiB), files, qPrintable(work));
    std::fflush(stdout);
    makeLargeFile(large, largeMiB << 20);
    makeTree(tree, files);

    std::printf("Median of %d run(s) each, warm page cache, same file system.\n", runs);
    const Measurement a = measure(QString::fromLocal8Bit(self), large, work, runs);
    print("(a) one large file", bytesBelow(large), 1, a, 0.9);
    std::fflush(stdout);
    const Measurement b = measure(QString::fromLocal8Bit(self), tree, work, runs);
    print("(b) tree of small files", bytesBelow(tree), files, b, 0.5);
    return a.cp.ok && a.ours.ok && b.cp.ok && b.ours.ok ? 0 : 1;
}
