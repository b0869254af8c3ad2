// Runs pv-packer as the pipeline does and checks its packages with
// independent tools: unzip, bsdtar, xorriso and (when installed) 7zz.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

struct Run {
    int code = -1;
    bool crashed = false;
    QByteArray out;
    QByteArray err;
    QStringList lines() const
    {
        QStringList l = QString::fromUtf8(out).split(QLatin1Char('\n'));
        if (!l.isEmpty() && l.last().isEmpty())
            l.removeLast();
        return l;
    }
};

Run run(const QString &program, const QStringList &args, const QByteArray &input = {},
        const QString &cwd = {})
{
    QProcess p;
    if (!cwd.isEmpty())
        p.setWorkingDirectory(cwd);
    p.start(program, args);
    Run r;
    if (!p.waitForStarted()) {
        r.err = "cannot start " + program.toUtf8();
        return r;
    }
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(600000);
    r.crashed = p.exitStatus() != QProcess::NormalExit;
    r.code = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QString packer()
{
    return qEnvironmentVariable("PV_PACKER");
}

void writeFile(const QString &path, const QByteArray &data, mode_t mode, qint64 mtime)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    f.write(data);
    f.close();
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
    const struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
    QCOMPARE(::utimes(QFile::encodeName(path).constData(), tv), 0);
}

void setTime(const QString &path, qint64 mtime)
{
    const struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
    QCOMPARE(::utimes(QFile::encodeName(path).constData(), tv), 0);
}

/// A tree with the awkward cases: several chunks of random data, an empty
/// file, hidden and non-ASCII names, a name too long for plain ISO 9660,
/// nesting deeper than ISO 9660 allows, an empty folder, a symbolic link,
/// and modes and times that must survive.
void makeTree(const QString &root)
{
    QDir d;
    const QString deep = root + QStringLiteral("/sub/d1/d2/d3/d4/d5/d6/d7/d8");
    QVERIFY(d.mkpath(deep));
    QVERIFY(d.mkpath(root + QStringLiteral("/sub/empty folder")));
    QByteArray random(3 * 1024 * 1024 + 17, '\0');
    QRandomGenerator gen(42);
    for (char &c : random)
        c = static_cast<char>(gen.bounded(256));
    writeFile(root + QStringLiteral("/a.txt"), "hello\n", 0644, 1577934245);
    writeFile(root + QStringLiteral("/Grüße ü.txt"), "umlauts\n", 0600, 1600000000);
    writeFile(root + QStringLiteral("/.hidden"), "dot\n", 0644, 1600000100);
    writeFile(root + QStringLiteral("/empty.txt"), "", 0444, 1600000200);
    writeFile(root + QStringLiteral("/") + QString(150, QLatin1Char('n')) + QStringLiteral(".txt"),
              "long\n", 0644, 1600000300);
    writeFile(root + QStringLiteral("/sub/random.bin"), random, 0751, 1600000400);
    writeFile(deep + QStringLiteral("/bottom.txt"), "deep\n", 0640, 1600000500);
    QVERIFY(QFile::link(QStringLiteral("../a.txt"), root + QStringLiteral("/sub/link")));
    // Folder times last: adding entries changes them.
    QString p = deep;
    qint64 t = 1500000000;
    while (p.size() > root.size()) {
        setTime(p, t++);
        p = QFileInfo(p).path();
    }
    setTime(root + QStringLiteral("/sub/empty folder"), 1500000100);
}

/// Relative paths below root, folders with a trailing slash, not following links.
QStringList treeEntries(const QString &root, const QString &rel = {})
{
    QStringList out;
    const QDir dir(rel.isEmpty() ? root : root + QLatin1Char('/') + rel);
    const auto infos = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &fi : infos) {
        const QString name = rel.isEmpty() ? fi.fileName() : rel + QLatin1Char('/') + fi.fileName();
        if (fi.isDir() && !fi.isSymLink()) {
            out << name + QLatin1Char('/');
            out << treeEntries(root, name);
        } else {
            out << name;
        }
    }
    return out;
}

/// The first difference between two trees in names, types, content, modes,
/// times or link targets; empty when they match. The roots themselves are
/// not compared.
QString treeDifference(const QString &want, const QString &got)
{
    QStringList a = treeEntries(want), b = treeEntries(got);
    a.sort();
    b.sort();
    if (a != b)
        return QStringLiteral("entries differ:\n  %1\n  %2").arg(a.join(u' '), b.join(u' '));
    for (QString rel : a) {
        if (rel.endsWith(QLatin1Char('/')))
            rel.chop(1);
        const QByteArray pa = QFile::encodeName(want + QLatin1Char('/') + rel);
        const QByteArray pb = QFile::encodeName(got + QLatin1Char('/') + rel);
        struct stat sa, sb;
        if (::lstat(pa.constData(), &sa) != 0 || ::lstat(pb.constData(), &sb) != 0)
            return QStringLiteral("cannot stat ") + rel;
        if ((sa.st_mode & S_IFMT) != (sb.st_mode & S_IFMT))
            return QStringLiteral("type differs: ") + rel;
        if (S_ISLNK(sa.st_mode)) {
            char ta[PATH_MAX + 1] = {}, tb[PATH_MAX + 1] = {};
            if (::readlink(pa.constData(), ta, PATH_MAX) < 0 ||
                ::readlink(pb.constData(), tb, PATH_MAX) < 0 || std::strcmp(ta, tb) != 0)
                return QStringLiteral("link target differs: ") + rel;
            continue;
        }
        if ((sa.st_mode & 07777) != (sb.st_mode & 07777))
            return QStringLiteral("mode differs: %1 %2 %3")
                .arg(rel)
                .arg(sa.st_mode & 07777, 0, 8)
                .arg(sb.st_mode & 07777, 0, 8);
        if (sa.st_mtim.tv_sec != sb.st_mtim.tv_sec)
            return QStringLiteral("time differs: %1 %2 %3")
                .arg(rel)
                .arg(sa.st_mtim.tv_sec)
                .arg(sb.st_mtim.tv_sec);
        if (S_ISREG(sa.st_mode)) {
            QFile fa(QString::fromUtf8(pa)), fb(QString::fromUtf8(pb));
            if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly))
                return QStringLiteral("cannot read ") + rel;
            if (fa.readAll() != fb.readAll())
                return QStringLiteral("content differs: ") + rel;
        }
    }
    return {};
}

/// Leftover partial files in a folder.
QStringList partFiles(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral(".*.part-*")}, QDir::Files | QDir::Hidden);
}

/// The paths xorriso lists in an image ("./a/b" becomes "a/b"); extra
/// options go before the image is loaded.
QStringList imageListing(const QString &image, const QStringList &readOptions = {})
{
    const Run r =
        run(QStringLiteral("xorriso"),
            readOptions + QStringList{QStringLiteral("-indev"), image, QStringLiteral("-find")});
    QStringList out;
    for (QString line : r.lines()) {
        if (line.size() >= 2 && line.startsWith(QLatin1Char('\'')) &&
            line.endsWith(QLatin1Char('\'')))
            line = line.mid(1, line.size() - 2);
        // Folders nested deeper than ISO 9660 allows are relocated for the
        // plain tree; Rock Ridge readers put them back but xorriso still
        // shows the empty relocation folder.
        if (line == QStringLiteral("./rr_moved"))
            continue;
        if (line.startsWith(QStringLiteral("./")))
            out << line.mid(2);
    }
    out.sort();
    return out;
}

QStringList withoutSlashes(QStringList entries)
{
    for (QString &e : entries)
        if (e.endsWith(QLatin1Char('/')))
            e.chop(1);
    entries.sort();
    return entries;
}

} // namespace

class TestPacker : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_src; // the folder "Report" packed by most cases

    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString freshDir(const QString &name) const
    {
        QDir(path(name)).removeRecursively();
        QDir().mkpath(path(name));
        return path(name);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(packer()).isExecutable(), "PV_PACKER must name the packer");
        for (const char *tool : {"unzip", "bsdtar", "xorriso"})
            QVERIFY2(!QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty(), tool);
        QVERIFY(m_dir.isValid());
        m_src = path(QStringLiteral("Report"));
        makeTree(m_src);
    }

    // First, so the children measured are the packer's own runs only.
    void largeFilesStreamInFlatMemory()
    {
        const QString dir = freshDir(QStringLiteral("large"));
        const QString src = dir + QStringLiteral("/in");
        QVERIFY(QDir().mkpath(src));
        QFile big(src + QStringLiteral("/big.bin"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(512LL * 1024 * 1024));
        big.close();

        const Run zip = run(packer(), {QStringLiteral("-c"), QStringLiteral("-k"), src,
                                       dir + QStringLiteral("/big.zip")});
        QCOMPARE(zip.code, 0);
        const Run iso = run(packer(), {QStringLiteral("create"), QStringLiteral("-srcfolder"), src,
                                       dir + QStringLiteral("/big.dmg")});
        QCOMPARE(iso.code, 0);
        QVERIFY(QFileInfo(dir + QStringLiteral("/big.dmg")).size() > 512LL * 1024 * 1024);

        struct rusage ru;
        QCOMPARE(::getrusage(RUSAGE_CHILDREN, &ru), 0);
        QVERIFY2(ru.ru_maxrss < 128 * 1024, qPrintable(QString::number(ru.ru_maxrss)));
        QDir(dir).removeRecursively();
    }

    void zipHoldsFolderContents()
    {
        const QString dir = freshDir(QStringLiteral("zip"));
        const QString zip = dir + QStringLiteral("/Report.zip");
        const Run r = run(packer(), {QStringLiteral("-c"), QStringLiteral("-k"),
                                     QStringLiteral("-V"), m_src, zip});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.err, QByteArray());

        // One line per item added, folder contents at the top level.
        QStringList expected = treeEntries(m_src);
        QStringList added;
        for (const QString &line : r.lines()) {
            QVERIFY2(line.startsWith(QStringLiteral("adding: ")), qPrintable(line));
            added << line.mid(8);
        }
        added.sort();
        expected.sort();
        QCOMPARE(added, expected);

        QCOMPARE(run(QStringLiteral("unzip"), {QStringLiteral("-tq"), zip}).code, 0);
        const Run info = run(QStringLiteral("unzip"), {QStringLiteral("-Z"), zip});
        bool sawRandom = false;
        for (const QString &line : info.lines()) {
            if (line.endsWith(QStringLiteral(" sub/random.bin"))) {
                sawRandom = true;
                QVERIFY2(line.startsWith(QStringLiteral("-rwxr-x--x")), qPrintable(line));
                QVERIFY2(line.contains(QStringLiteral(" defN ")), qPrintable(line));
            }
        }
        QVERIFY(sawRandom);

        const Run list = run(QStringLiteral("bsdtar"), {QStringLiteral("-tf"), zip});
        QCOMPARE(list.code, 0);
        QStringList listed = list.lines();
        listed.sort();
        QCOMPARE(listed, expected);

        const QString out = freshDir(QStringLiteral("zip-x"));
        QCOMPARE(
            run(QStringLiteral("bsdtar"), {QStringLiteral("-xpf"), zip, QStringLiteral("-C"), out})
                .code,
            0);
        QCOMPARE(treeDifference(m_src, out), QString());
        QCOMPARE(partFiles(dir), QStringList());
    }

    void zipKeepsParentOnRequestAndSingleFilesByName()
    {
        const QString dir = freshDir(QStringLiteral("zip2"));
        const QString zip = dir + QStringLiteral("/Report.zip");
        QCOMPARE(run(packer(), {QStringLiteral("-c"), QStringLiteral("-k"),
                                QStringLiteral("--keepParent"), m_src, zip})
                     .code,
                 0);
        const QStringList listed =
            run(QStringLiteral("bsdtar"), {QStringLiteral("-tf"), zip}).lines();
        QVERIFY(listed.contains(QStringLiteral("Report/")));
        QVERIFY(listed.contains(QStringLiteral("Report/sub/random.bin")));
        for (const QString &e : listed)
            QVERIFY2(e.startsWith(QStringLiteral("Report/")), qPrintable(e));

        // Without -V nothing is printed; a file goes in under its own name.
        const QString one = dir + QStringLiteral("/one.zip");
        const Run r = run(packer(), {QStringLiteral("-c"), QStringLiteral("-k"),
                                     m_src + QStringLiteral("/sub/random.bin"), one});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QByteArray());
        QCOMPARE(run(QStringLiteral("bsdtar"), {QStringLiteral("-tf"), one}).lines(),
                 QStringList{QStringLiteral("random.bin")});
    }

    void imageIsIsoWithRockRidgeAndJoliet()
    {
        const QString dir = freshDir(QStringLiteral("img"));
        const QString img = dir + QStringLiteral("/Report.dmg");
        const Run r = run(packer(), {QStringLiteral("create"), QStringLiteral("-srcfolder"),
                                     QStringLiteral("-puppetstrings"), m_src, img});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.err, QByteArray());

        // Rising whole percentages, then the created line.
        const QStringList lines = r.lines();
        QVERIFY(lines.size() >= 3);
        QCOMPARE(lines.last(), QStringLiteral("created: ") + img);
        int last = -1;
        for (int i = 0; i < lines.size() - 1; ++i) {
            QVERIFY2(lines[i].startsWith(QStringLiteral("PERCENT:")), qPrintable(lines[i]));
            bool ok = false;
            const int p = lines[i].mid(8).toInt(&ok);
            QVERIFY(ok && p > last && p <= 100);
            last = p;
        }
        QCOMPARE(last, 100);

        const QStringList expected = withoutSlashes(treeEntries(m_src));
        QCOMPARE(imageListing(img), expected);
        // The Joliet tree alone carries the full names too.
        QCOMPARE(imageListing(img, {QStringLiteral("-read_fs"), QStringLiteral("norock")}).size(),
                 expected.size());
        QVERIFY(imageListing(img, {QStringLiteral("-read_fs"), QStringLiteral("norock")})
                    .contains(QStringLiteral("Grüße ü.txt")));

        const QString out = freshDir(QStringLiteral("img-x"));
        QCOMPARE(
            run(QStringLiteral("bsdtar"), {QStringLiteral("-xpf"), img, QStringLiteral("-C"), out})
                .code,
            0);
        QCOMPARE(treeDifference(m_src, out), QString());
        ::chmod(QFile::encodeName(out).constData(), 0755); // the image root is read-only

        const Run pvd = run(QStringLiteral("xorriso"),
                            {QStringLiteral("-indev"), img, QStringLiteral("-pvd_info")});
        QVERIFY2(pvd.out.contains("Volume Id    : REPORT"), pvd.out.constData());
    }

    void imageTakesSourceAfterSrcfolderAndVolumeName()
    {
        const QString dir = freshDir(QStringLiteral("img2"));
        const QString img = dir + QStringLiteral("/Named.dmg");
        const Run r =
            run(packer(), {QStringLiteral("create"), QStringLiteral("-srcfolder"), m_src,
                           QStringLiteral("-volname"), QStringLiteral("Säle Q3 [final]"), img});
        QCOMPARE(r.code, 0);
        // Without -puppetstrings only the created line.
        QCOMPARE(r.lines(), QStringList{QStringLiteral("created: ") + img});
        const Run pvd = run(QStringLiteral("xorriso"),
                            {QStringLiteral("-indev"), img, QStringLiteral("-pvd_info")});
        QVERIFY2(pvd.out.contains("Volume Id    : S__LE_Q3__FINAL_"), pvd.out.constData());

        // A single file sits at the image root.
        const QString one = dir + QStringLiteral("/one.dmg");
        QCOMPARE(run(packer(), {QStringLiteral("create"), QStringLiteral("-srcfolder"),
                                m_src + QStringLiteral("/a.txt"), one})
                     .code,
                 0);
        QCOMPARE(imageListing(one), QStringList{QStringLiteral("a.txt")});
    }

    void encryptedImageOpensOnlyWithItsPassword_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::newRow("end of input") << QByteArray("s3cret pw");
        QTest::newRow("newline") << QByteArray("s3cret pw\nrest");
        QTest::newRow("NUL") << QByteArray("s3cret pw\0rest", 14);
    }

    void encryptedImageOpensOnlyWithItsPassword()
    {
        QFETCH(QByteArray, input);
        const QString dir = freshDir(QStringLiteral("enc"));
        const QString img = dir + QStringLiteral("/Report.dmg");
        const Run r = run(packer(),
                          {QStringLiteral("create"), QStringLiteral("-encryption"),
                           QStringLiteral("-stdinpass"), QStringLiteral("-srcfolder"),
                           QStringLiteral("-puppetstrings"), m_src, img},
                          input);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.lines().last(), QStringLiteral("created: ") + img);
        QVERIFY(!r.out.contains("s3cret") && !r.err.contains("s3cret"));

        const QString x = freshDir(QStringLiteral("enc-x"));
        QVERIFY(run(QStringLiteral("bsdtar"), {QStringLiteral("-xf"), img, QStringLiteral("-C"), x})
                    .code != 0);
        QVERIFY(
            run(QStringLiteral("bsdtar"), {QStringLiteral("--passphrase"), QStringLiteral("s3cret"),
                                           QStringLiteral("-xf"), img, QStringLiteral("-C"), x})
                .code != 0);
        QCOMPARE(run(QStringLiteral("bsdtar"),
                     {QStringLiteral("--passphrase"), QStringLiteral("s3cret pw"),
                      QStringLiteral("-xf"), img, QStringLiteral("-C"), x})
                     .code,
                 0);
        const QString iso = x + QStringLiteral("/Report.iso");
        QCOMPARE(QDir(x).entryList(QDir::Files), QStringList{QStringLiteral("Report.iso")});
        QCOMPARE(imageListing(iso), withoutSlashes(treeEntries(m_src)));
        const QString out = freshDir(QStringLiteral("enc-xx"));
        QCOMPARE(
            run(QStringLiteral("bsdtar"), {QStringLiteral("-xpf"), iso, QStringLiteral("-C"), out})
                .code,
            0);
        QCOMPARE(treeDifference(m_src, out), QString());
        ::chmod(QFile::encodeName(out).constData(), 0755);

        // A second, independent reader agrees on the cipher and the password.
        const QString sevenZip = QStandardPaths::findExecutable(QStringLiteral("7zz"));
        if (!sevenZip.isEmpty()) {
            const Run info = run(sevenZip, {QStringLiteral("l"), QStringLiteral("-slt"), img});
            QVERIFY2(info.out.contains("Method = AES-256"), info.out.constData());
            QVERIFY(run(sevenZip, {QStringLiteral("t"), QStringLiteral("-pwrong"), img}).code != 0);
            QCOMPARE(run(sevenZip, {QStringLiteral("t"), QStringLiteral("-ps3cret pw"), img}).code,
                     0);
        }
    }

    void failuresLeaveNoPackage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("target"); // relative to the case's folder
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");

        const QString s = QStringLiteral("@SRC");
        const QString t = QStringLiteral("@OUT");
        const QString c = QStringLiteral("-c"), k = QStringLiteral("-k"),
                      create = QStringLiteral("create"), src = QStringLiteral("-srcfolder");
        QTest::newRow("no arguments") << QStringList{} << QByteArray() << QStringLiteral("x.zip")
                                      << 2 << QStringLiteral("usage");
        QTest::newRow("unknown option")
            << QStringList{c, k, QStringLiteral("-Z"), s, t} << QByteArray()
            << QStringLiteral("x.zip") << 2 << QStringLiteral("-Z");
        QTest::newRow("not zip") << QStringList{c, s, t} << QByteArray() << QStringLiteral("x.zip")
                                 << 2 << QStringLiteral("-c -k");
        QTest::newRow("no target") << QStringList{c, k, s} << QByteArray()
                                   << QStringLiteral("x.zip") << 2 << QStringLiteral("usage");
        QTest::newRow("missing source")
            << QStringList{c, k, QStringLiteral("/nonexistent/x"), t} << QByteArray()
            << QStringLiteral("x.zip") << 1 << QStringLiteral("/nonexistent/x");
        QTest::newRow("special source")
            << QStringList{c, k, QStringLiteral("@FIFO"), t} << QByteArray()
            << QStringLiteral("x.zip") << 1 << QStringLiteral("neither a file nor a folder");
        QTest::newRow("missing target folder")
            << QStringList{c, k, s, t} << QByteArray() << QStringLiteral("no/x.zip") << 1
            << QStringLiteral("cannot create");
        QTest::newRow("target folder is a file")
            << QStringList{create, src, s, t} << QByteArray() << QStringLiteral("file/x.dmg") << 1
            << QStringLiteral("cannot create");
        QTest::newRow("image of missing source")
            << QStringList{create, src, QStringLiteral("/nonexistent/x"), t} << QByteArray()
            << QStringLiteral("x.dmg") << 1 << QStringLiteral("/nonexistent/x");
        QTest::newRow("image without source")
            << QStringList{create, src, t} << QByteArray() << QStringLiteral("x.dmg") << 2
            << QStringLiteral("usage");
        QTest::newRow("create without -srcfolder")
            << QStringList{create, s, t} << QByteArray() << QStringLiteral("x.dmg") << 2
            << QStringLiteral("-srcfolder");
        QTest::newRow("encryption without -stdinpass")
            << QStringList{create, QStringLiteral("-encryption"), src, s, t} << QByteArray("pw")
            << QStringLiteral("x.dmg") << 2 << QStringLiteral("-stdinpass");
        const QStringList encrypted{
            create, QStringLiteral("-encryption"), QStringLiteral("-stdinpass"), src, s, t};
        QTest::newRow("no password") << encrypted << QByteArray() << QStringLiteral("x.dmg") << 1
                                     << QStringLiteral("no password");
        QTest::newRow("empty password line")
            << encrypted << QByteArray("\nsecret") << QStringLiteral("x.dmg") << 1
            << QStringLiteral("no password");
    }

    void failuresLeaveNoPackage()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(QString, target);
        QFETCH(int, code);
        QFETCH(QString, message);

        const QString dir = freshDir(QStringLiteral("fail"));
        QFile file(dir + QStringLiteral("/file"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        const QString fifo = dir + QStringLiteral("/fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
        const QString out = dir + QLatin1Char('/') + target;
        for (QString &a : args) {
            a.replace(QStringLiteral("@SRC"), m_src);
            a.replace(QStringLiteral("@OUT"), out);
            a.replace(QStringLiteral("@FIFO"), fifo);
        }

        const Run r = run(packer(), args, input);
        QVERIFY(!r.crashed);
        QCOMPARE(r.code, code);
        QVERIFY2(r.err.startsWith("pv-packer: ") && r.err.contains(message.toUtf8()),
                 r.err.constData());
        QVERIFY(!r.out.contains("created:"));
        QVERIFY(!QFileInfo::exists(out));
        QCOMPARE(partFiles(dir), QStringList());
    }

    void existingTargets()
    {
        const QString dir = freshDir(QStringLiteral("exist"));
        const QString img = dir + QStringLiteral("/Report.dmg");
        const QString zip = dir + QStringLiteral("/Report.zip");
        for (const QString &p : {img, zip}) {
            QFile f(p);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("stale");
        }

        // An image never replaces a file unless told to.
        const QStringList imgArgs{QStringLiteral("create"), QStringLiteral("-srcfolder"), m_src,
                                  img};
        const Run refused = run(packer(), imgArgs);
        QCOMPARE(refused.code, 1);
        QVERIFY(refused.err.contains("file exists"));
        QCOMPARE(QFileInfo(img).size(), 5);
        QCOMPARE(run(packer(), imgArgs + QStringList{QStringLiteral("-ov")}).code, 0);
        QCOMPARE(imageListing(img), withoutSlashes(treeEntries(m_src)));

        // An archive replaces it, as the archive tool does.
        QCOMPARE(run(packer(), {QStringLiteral("-c"), QStringLiteral("-k"), m_src, zip}).code, 0);
        QCOMPARE(run(QStringLiteral("unzip"), {QStringLiteral("-tq"), zip}).code, 0);
        QCOMPARE(QFileInfo(zip).permissions() & QFileDevice::ReadOther, QFileDevice::ReadOther);
        QCOMPARE(partFiles(dir), QStringList());
    }

    void terminationRemovesPartialPackage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("startedLine");
        QTest::newRow("zip") << QStringList{QStringLiteral("-c"), QStringLiteral("-k"),
                                            QStringLiteral("-V")}
                             << QByteArray("adding: big.bin");
        QTest::newRow("image") << QStringList{QStringLiteral("create"),
                                              QStringLiteral("-srcfolder"),
                                              QStringLiteral("-puppetstrings")}
                               << QByteArray("PERCENT:1\n");
        QTest::newRow("encrypted image")
            << QStringList{QStringLiteral("create"), QStringLiteral("-encryption"),
                           QStringLiteral("-stdinpass"), QStringLiteral("-srcfolder"),
                           QStringLiteral("-puppetstrings")}
            << QByteArray("PERCENT:1\n");
    }

    // Stop terminates the packer mid-way; nothing may remain under either name.
    void terminationRemovesPartialPackage()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, startedLine);
        const QString dir = freshDir(QStringLiteral("term"));
        const QString src = dir + QStringLiteral("/in");
        QVERIFY(QDir().mkpath(src));
        QFile big(src + QStringLiteral("/big.bin"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(3LL * 1024 * 1024 * 1024));
        big.close();
        const QString out = dir + QStringLiteral("/out/pkg");
        QVERIFY(QDir().mkpath(dir + QStringLiteral("/out")));

        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(packer(), args + QStringList{src, out});
        QVERIFY(p.waitForStarted());
        p.write("pw");
        p.closeWriteChannel();
        QByteArray seen;
        while (!seen.contains(startedLine) && p.state() == QProcess::Running) {
            p.waitForReadyRead(1000);
            seen += p.readAll();
        }
        QVERIFY2(seen.contains(startedLine), seen.constData());
        QCOMPARE(partFiles(dir + QStringLiteral("/out")).size(), 1);
        p.terminate();
        QVERIFY(p.waitForFinished(60000));
        QVERIFY(p.exitStatus() == QProcess::CrashExit || p.exitCode() != 0);
        QVERIFY(!QFileInfo::exists(out));
        QCOMPARE(partFiles(dir + QStringLiteral("/out")), QStringList());
        QDir(dir).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestPacker)
#include "test_packer.moc"
