// Runs pv-packer as the pipeline does and checks its packages with
// independent tools: unzip, bsdtar, xorriso and 7zz.

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

struct Run {
    int code = -1; // -1 also when it crashed
    QByteArray out;
    QByteArray err;
    QStringList lines() const { return QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts); }
};

Run run(const QString &program, const QStringList &args, const QByteArray &input = {})
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted())
        return {};
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(600000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

const QString packer = qEnvironmentVariable("PV_PACKER");

/// Every entry of a folder.
QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                               QDir::NoDotAndDotDot);
}

void setTime(const QString &path, qint64 mtime)
{
    const struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
    ::utimes(QFile::encodeName(path).constData(), tv);
}

void writeFile(const QString &path, const QByteArray &data, mode_t mode = 0644, qint64 mtime = 1e9)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly) && f.write(data) == data.size(), qPrintable(path));
    f.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
    setTime(path, mtime);
}

/// A tree with the awkward cases: several chunks of random data, an empty
/// file, hidden and non-ASCII names, a name too long for plain ISO 9660,
/// nesting deeper than ISO 9660 allows, an empty folder, a symbolic link,
/// and modes and times that must survive.
void makeTree(const QString &root)
{
    const QString deep = root + "/sub/d1/d2/d3/d4/d5/d6/d7/d8";
    QVERIFY(QDir().mkpath(deep) && QDir().mkpath(root + "/sub/empty folder"));
    QByteArray random(3 * 1024 * 1024 + 17, '\0');
    QRandomGenerator gen(42);
    for (char &c : random)
        c = static_cast<char>(gen.bounded(256));
    writeFile(root + "/a.txt", "hello\n", 0644, 1577934245);
    writeFile(root + "/Grüße ü.txt", "umlauts\n", 0600, 1600000000);
    writeFile(root + "/.hidden", "dot\n", 0644, 1600000100);
    writeFile(root + "/empty.txt", "", 0444, 1600000200);
    writeFile(root + "/" + QString(150, u'n') + ".txt", "long\n", 0644, 1600000300);
    writeFile(root + "/sub/random.bin", random, 0751, 1600000400);
    writeFile(deep + "/bottom.txt", "deep\n", 0640, 1600000500);
    QVERIFY(QFile::link("../a.txt", root + "/sub/link"));
    // Folder times last: adding entries changes them.
    qint64 t = 1500000000;
    for (QString p = deep; p.size() > root.size(); p = QFileInfo(p).path())
        setTime(p, t++);
    setTime(root + "/sub/empty folder", t);
}

/// One line per entry below root with its type, mode, time and content digest
/// (a link: its target within the tree); two trees match when these do.
QStringList treeState(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories); // links are not followed
    while (it.hasNext()) {
        const QString path = it.next(), rel = path.mid(root.size() + 1);
        struct stat st = {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        if (S_ISLNK(st.st_mode)) {
            out << rel + " -> " + QFile::symLinkTarget(path).mid(root.size());
            continue;
        }
        QFile f(path);
        const QByteArray data =
            S_ISREG(st.st_mode) && f.open(QIODevice::ReadOnly) ? f.readAll() : "";
        out << QString("%1 %2 %3 ").arg(rel).arg(st.st_mode, 0, 8).arg(qint64(st.st_mtim.tv_sec)) +
                   QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex();
    }
    out.sort();
    return out;
}

/// Extracts a package with bsdtar into a fresh folder.
QString extract(const QString &package, const QString &dir, const QStringList &extra = {})
{
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    const Run r = run("bsdtar", extra + QStringList{"-xpf", package, "-C", dir});
    // An image root is read-only; keep the folder removable.
    ::chmod(QFile::encodeName(dir).constData(), 0755);
    return r.code == 0 ? dir : QString();
}

} // namespace

class TestPacker : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString m_src; // the folder "Report" most cases pack

    QString freshDir(const QString &name) const
    {
        const QString dir = m_tmp.filePath(name);
        QDir(dir).removeRecursively();
        QDir().mkpath(dir);
        return dir;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(packer).isExecutable(), "PV_PACKER must name the packer");
        for (const char *tool : {"unzip", "bsdtar", "xorriso", "7zz"})
            QVERIFY2(!QStandardPaths::findExecutable(tool).isEmpty(), tool);
        m_src = m_tmp.filePath("Report");
        makeTree(m_src);
    }

    // First, so the children measured are the packer's own runs only.
    void largeFilesStreamInFlatMemory()
    {
        const QString dir = freshDir("large");
        QDir().mkpath(dir + "/in");
        QCOMPARE(run("truncate", {"-s", "512M", dir + "/in/big.bin"}).code, 0);
        QCOMPARE(run(packer, {"-c", "-k", dir + "/in", dir + "/big.zip"}).code, 0);
        QCOMPARE(run(packer, {"create", "-srcfolder", dir + "/in", dir + "/big.dmg"}).code, 0);
        QVERIFY(QFileInfo(dir + "/big.dmg").size() > 512LL * 1024 * 1024);
        struct rusage ru;
        QCOMPARE(::getrusage(RUSAGE_CHILDREN, &ru), 0);
        QVERIFY2(ru.ru_maxrss < 128 * 1024, qPrintable(QString::number(ru.ru_maxrss)));
        QDir(dir).removeRecursively();
    }

    void packages_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input"); // the password, if any
        QTest::newRow("zip") << QStringList{"-c", "-k", "-V"} << QByteArray();
        QTest::newRow("image") << QStringList{"create", "-srcfolder", "-puppetstrings"}
                               << QByteArray();
        const QStringList encrypted{"create", "-encryption", "-stdinpass", "-srcfolder",
                                    "-puppetstrings"};
        QTest::newRow("encrypted, end of input") << encrypted << QByteArray("s3cret pw");
        QTest::newRow("encrypted, newline") << encrypted << QByteArray("s3cret pw\nrest");
        QTest::newRow("encrypted, NUL") << encrypted << QByteArray("s3cret pw\0rest", 14);
    }

    // Each kind of package holds the tree as it is, read back by independent tools; an
    // encrypted image opens only with its password. Terminated while packing, the packer
    // leaves nothing behind.
    void packages()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        const bool image = args.first() == "create";
        const QString dir = freshDir("pkg");
        QString pkg = dir + (image ? "/Report.dmg" : "/Report.zip");
        if (!image)
            writeFile(pkg, "stale"); // replaced, as the archive tool does
        const Run r = run(packer, args + QStringList{m_src, pkg}, input);
        QCOMPARE(r.code, 0);
        QVERIFY(QFileInfo(pkg).permissions() & QFileDevice::ReadOther); // not left as a 0600 temp
        QCOMPARE(entries(dir), QStringList{QFileInfo(pkg).fileName()});
        QStringList lines = r.lines();
        if (image) {
            // Rising percentages up to 100, then the created line.
            QCOMPARE(lines.takeLast(), "created: " + pkg);
            QCOMPARE(lines.last(), "PERCENT:100");
        } else {
            QCOMPARE(lines.size(), treeState(m_src).size()); // one "adding:" line per item
            QCOMPARE(run("unzip", {"-tq", pkg}).code, 0);
            QVERIFY(
                run("unzip", {"-Z", pkg}).lines().filter(" sub/random.bin")[0].contains(" defN "));
        }
        if (!input.isEmpty()) {
            QVERIFY(!r.out.contains("s3cret") && !r.err.contains("s3cret"));
            QVERIFY(extract(pkg, dir + "/x").isEmpty());
            QVERIFY(extract(pkg, dir + "/x", {"--passphrase", "s3cret"}).isEmpty());
            QVERIFY(!extract(pkg, dir + "/x", {"--passphrase", "s3cret pw"}).isEmpty());
            QVERIFY(run("7zz", {"l", "-slt", pkg}).out.contains("AES-256"));
            QCOMPARE(QDir(dir + "/x").entryList(QDir::Files), QStringList{"Report.iso"});
            pkg = dir + "/x/Report.iso";
        }
        QCOMPARE(treeState(extract(pkg, dir + "/xx")), treeState(m_src));

        // Stopped mid-way, as Stop does, it leaves nothing under either name.
        QVERIFY(QDir().mkpath(dir + "/in") && QDir().mkpath(dir + "/out"));
        QCOMPARE(run("truncate", {"-s", "3G", dir + "/in/big.bin"}).code, 0);
        QProcess p;
        p.start(packer, args + QStringList{dir + "/in", dir + "/out/pkg"});
        QVERIFY(p.waitForStarted());
        p.write(input);
        p.closeWriteChannel();
        const QByteArray started = image ? "PERCENT:1\n" : "adding: big.bin";
        QByteArray seen;
        while (!seen.contains(started) && p.state() == QProcess::Running) {
            p.waitForReadyRead(1000);
            seen += p.readAllStandardOutput();
        }
        QVERIFY2(seen.contains(started), seen.constData());
        QCOMPARE(QDir(dir + "/out").entryList({".*.part-*"}, QDir::Files | QDir::Hidden).size(), 1);
        p.terminate();
        QVERIFY(p.waitForFinished(60000));
        QVERIFY(p.exitStatus() == QProcess::CrashExit || p.exitCode() != 0);
        QCOMPARE(entries(dir + "/out"), QStringList()); // the next row's freshDir() clears the rest
    }

    void sourcesAndNames()
    {
        const QString dir = freshDir("names");
        const QString zip = dir + "/Report.zip", img = dir + "/Report.dmg", one = dir + "/one.dmg";
        // --keepParent puts the folder's name in front; a file keeps its name.
        QCOMPARE(run(packer, {"-c", "-k", "--keepParent", m_src, zip}).code, 0);
        const QStringList listed = run("bsdtar", {"-tf", zip}).lines();
        QVERIFY(listed.contains("Report/sub/random.bin"));
        QCOMPARE(listed.filter(QRegularExpression("^Report/")), listed);
        QCOMPARE(run(packer, {"-c", "-k", m_src + "/sub/random.bin", zip}).code, 0);
        QCOMPARE(run("bsdtar", {"-tf", zip}).lines(), QStringList{"random.bin"});
        // A link given as the source is followed.
        QCOMPARE(run(packer, {"-c", "-k", m_src + "/sub/link", zip}).code, 0);
        QCOMPARE(run("unzip", {"-p", zip, "link"}).out, QByteArray("hello\n"));

        // The Joliet tree alone carries the full names too.
        QCOMPARE(run(packer, {"create", "-srcfolder", m_src, img}).code, 0);
        QVERIFY(run("xorriso", {"-read_fs", "norock", "-indev", img, "-find"})
                    .out.contains("'./Grüße ü.txt'"));
        // The volume name becomes a valid identifier; a single file sits at the
        // root; -ov replaces a file (without it, see the failures).
        writeFile(one, "stale");
        const QStringList named{"-srcfolder", m_src + "/a.txt", "-volname", "Säle Q3 [final]"};
        QCOMPARE(run(packer, QStringList{"create"} + named + QStringList{"-ov", one}).code, 0);
        QVERIFY(run("xorriso", {"-indev", one, "-pvd_info"})
                    .out.contains("Volume Id    : S__LE_Q3__FINAL_"));
        QCOMPARE(run("xorriso", {"-indev", one, "-find"}).lines(),
                 QStringList({"'.'", "'./a.txt'"}));
    }

    // Each failure says why and leaves nothing behind.
    void failuresLeaveNoPackage()
    {
        const QString dir = freshDir("fail"), fifo = dir + "/fifo", out = dir + "/out";
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
        const QStringList encrypted{"create",     "-encryption", "-stdinpass",
                                    "-srcfolder", m_src,         out};
        // The arguments, the input, the exit code, what the message names.
        const std::tuple<QStringList, QByteArray, int, QByteArray> rows[] = {
            {{}, {}, 2, "usage"},
            {{"-c", "-k", "-Z", m_src, out}, {}, 2, "-Z"},
            {{"-c", "-k", "/nonexistent/x", out}, {}, 1, "/nonexistent/x"},
            {{"-c", "-k", fifo, out}, {}, 1, "neither a file nor a folder"},
            {{"-c", "-k", m_src, out + "/no/x.zip"}, {}, 1, "cannot create"},
            {{"create", "-srcfolder", m_src, fifo}, {}, 1, "file exists"}, // never replaced unasked
            {encrypted, {}, 1, "no password"},
            {encrypted, "\nsecret", 1, "no password"}};
        for (const auto &[args, input, code, message] : rows) {
            const Run r = run(packer, args, input);
            QCOMPARE(r.code, code);
            QVERIFY2(r.err.startsWith("pv-packer: ") && r.err.contains(message), r.err.constData());
            QCOMPARE(entries(dir), QStringList{"fifo"});
        }
    }
};

QTEST_GUILESS_MAIN(TestPacker)
#include "test_packer.moc"
