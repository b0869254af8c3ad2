#pragma once

// What every file-server controller must do, checked the same way for each
// protocol on a controller rooted at a folder this machine also reads directly.

#include "deliverytestutil.h"

#include <QCryptographicHash>
#include <QSet>
#include <QTemporaryDir>

#include <cerrno>
#include <functional>
#include <unistd.h>

namespace controllercheck {

using namespace pv;
using namespace deliverytest;

struct Rig {
    FileTransferController *c;
    RecordingDelegate &d;
    QString root;            // the controller's folder, read directly
    QString scratch;         // a local folder of the test's own
    bool links;              // items written into root may be symbolic links
    bool probes = false;     // an upload starts with a probe of its own (start, success)
    int missing = ENOENT;    // the code of a failure for a missing item
    bool hidden = true;      // names starting with a dot are listed
    bool folderCodes = true; // a folder check tells ENOTDIR from ENOENT
    bool belowFile = true;   // a name below a file is told missing (not so on Apache)
    QString at(const QString &rel) const { return root + '/' + rel; }
    // The messages of an upload whose own part sends events.
    Events upload(const Events &events) const
    {
        return probes ? Events({"start", "success"}) + events : events;
    }
};

// Many chunks, not a multiple of the chunk size, under an awkward name over a
// longer file: progress per chunk, content, digest; then back; empty content
// without progress; no temporary file stays.
inline void uploadAndDownload(const Rig &r)
{
    const QByteArray data = pattern(40 * FileTransferController::kChunkSize + 12345);
    const QString name = "a b 50%#;ä.bin";
    writeFile(r.scratch + "/src.bin", data);
    writeFile(r.at(name), QByteArray(data.size() + 10, 'o'));
    r.c->setDigestComputation(true);
    QVERIFY(r.c->uploadFileFromPath(r.scratch + "/src.bin", name));
    QCOMPARE(r.d.events, r.upload({"start", "progress", "success"}));
    QVERIFY(r.d.progressCount >= 41);
    QCOMPARE(r.d.lastProgress, 1.0f);
    QCOMPARE(readFile(r.at(name)), data);
    const QByteArray md5 = QCryptographicHash::hash(data, QCryptographicHash::Md5);
    QCOMPARE(r.c->lastTransferDigestData(), md5);
    QCOMPARE(r.c->transferSize(), quint64(0)); // reset after the operation

    r.d.clear();
    QVERIFY(r.c->downloadFileFromPathToData(name).value_or("") == data);
    QCOMPARE(r.d.events, Events({"start", "progress", "success"}));
    QCOMPARE(r.c->lastTransferDigestData(), md5);
    QVERIFY(r.c->downloadFileFromPath(name, r.scratch + "/copy"));
    QCOMPARE(readFile(r.scratch + "/copy"), data);

    r.d.clear();
    QVERIFY(r.c->uploadFileFromBytes("", 0, "empty"));
    QCOMPARE(r.d.events, r.upload({"start", "success"}));
    QCOMPARE(QFileInfo(r.at("empty")).size(), 0);
    QCOMPARE(entries(r.root), QStringList({name, "empty"}));
}

// Failures name the system's error and the path; the controller goes on.
inline void failures(const Rig &r)
{
    const Result noParent = r.c->createDirectoryAtPath("nope/sub");
    expectFailure(r.d, noParent, ENOENT);
    const TransferError &e = noParent.error();
    QCOMPARE(e.domain + ' ' + e.description, QStringLiteral("POSIX No such file or directory"));
    QCOMPARE(e.firstUserInfoKey(), QString(kNSFilePathKey));
    QVERIFY(e.userInfoValue(kNSFilePathKey).toString().endsWith("/nope/sub"));
    expectFailure(r.d, r.c->uploadFileFromData("x", "nope/file.txt"), ENOENT);
    expectFailure(r.d, r.c->contentsOfDirectoryAtPath("nope"), ENOENT);
    QVERIFY(r.c->createDirectoryAtPath("dir"));
    expectFailure(r.d, r.c->createDirectoryAtPath("dir"), EEXIST);
    QVERIFY(r.c->uploadFileFromData("x", "dir/file.txt"));
    expectFailure(r.d, r.c->contentsOfDirectoryAtPath("dir/file.txt"), ENOTDIR);
    QCOMPARE(entries(r.root), QStringList({"dir"}));
}

// Hidden entries and dangling links are listed (their names are taken), with
// type and size; an empty folder lists as empty.
inline void listing(const Rig &r)
{
    QVERIFY(r.c->createDirectoryAtPath("sub"));
    writeFile(r.at("a.txt"), "12345");
    writeFile(r.at(".hidden"), "");
    QStringList names{"a.txt", "sub"};
    if (r.hidden)
        names.prepend(".hidden");
    if (r.links) {
        QVERIFY(QFile::link(r.at("nowhere"), r.at("dangling")));
        names.insert(2, "dangling");
    }
    r.d.clear();
    const auto listing = r.c->contentsOfDirectoryAtPath("/");
    QCOMPARE(r.d.events, Events({"start", "success"}));
    QCOMPARE(listing.value_or(RemoteListing()).keys(), names);
    const RemoteItemAttributes a = listing->value("a.txt");
    QCOMPARE(a.value(kNSFileType).toString(), QString(kNSFileTypeRegular));
    QCOMPARE(a.value(kNSFileSize).toLongLong(), 5);
    QCOMPARE(listing->value("sub").value(kNSFileType).toString(), QString(kNSFileTypeDirectory));
    QCOMPARE(r.c->contentsOfDirectoryAtPath("sub").value_or({{"x", {}}}).size(), 0);

    // One name at a time, quietly, the same answers: what the delivery asks
    // instead of listing a folder of thousands.
    r.d.clear();
    for (const QString &n : names)
        QVERIFY2(r.c->itemExists('/' + n).value_or(false), qPrintable(n));
    for (const char *missing : {"b.txt", "nope/x", r.belowFile ? "a.txt/x" : "b.txt"})
        QVERIFY2(!r.c->itemExists(missing).value_or(true), missing);
    QVERIFY(r.c->checkFolderAtPath("/") && r.c->checkFolderAtPath("sub"));
    QCOMPARE(r.d.events, Events());
    const Result notDir = r.c->checkFolderAtPath("a.txt"), none = r.c->checkFolderAtPath("nope");
    QVERIFY(!notDir && !none);
    if (r.folderCodes)
        QVERIFY(notDir.error().code == ENOTDIR && none.error().code == ENOENT);
}

// Without replacing, whatever takes the name while the upload runs (a file
// here; a dangling link or a folder under the next name) stays: the first free
// numbered name is used and told. Folders are put in place the same way;
// replacing, the one in the way goes and nothing is left aside.
inline void placementWithoutReplacing(const Rig &r)
{
    const QByteArray data = pattern(6 * FileTransferController::kChunkSize);
    if (r.links)
        QVERIFY(QFile::link(r.at("nowhere"), r.at("big_1.bin")));
    else
        QVERIFY(QDir().mkpath(r.at("big_1.bin")));
    r.c->setReplacesExistingItems(false);
    bool sawTemporary = false;
    r.d.abortWhen = [&](FileTransferController *c) {
        for (const QString &e : entries(r.root))
            sawTemporary |= FileTransferController::isTemporaryName(e);
        if (c->transferProgress() > 0.3f && !QFileInfo::exists(r.at("big.bin")))
            writeFile(r.at("big.bin"), "theirs");
        return false;
    };
    QVERIFY(r.c->uploadFileFromData(data, "big.bin"));
    r.d.abortWhen = nullptr;
    QVERIFY(sawTemporary);
    QCOMPARE(r.c->storedPath(), QStringLiteral("big_2.bin"));
    QCOMPARE(readFile(r.at("big.bin")), QByteArray("theirs"));
    QCOMPARE(readFile(r.at("big_2.bin")), data);

    QVERIFY(r.c->createDirectoryAtPath("job"));
    for (bool replace : {false, true}) {
        r.c->setReplacesExistingItems(replace);
        QVERIFY(r.c->uploadFileFromData("old", "job/old"));
        QVERIFY(r.c->createDirectoryAtPath(".job.tmp"));
        QVERIFY(r.c->uploadFileFromData(replace ? "2" : "1", ".job.tmp/f"));
        QVERIFY(r.c->moveIntoPlace(".job.tmp", "job"));
        QCOMPARE(r.c->storedPath(), QString(replace ? "job" : "job_1"));
    }
    QCOMPARE(entries(r.at("job")), QStringList("f"));
    QCOMPARE(readFile(r.at("job/f")), QByteArray("2"));
    QCOMPARE(readFile(r.at("job_1/f")), QByteArray("1"));
    QCOMPARE(entries(r.root), QStringList({"big.bin", "big_1.bin", "big_2.bin", "job", "job_1"}));
}

inline void deleteMoveAndCopy(const Rig &r)
{
    QVERIFY(r.c->createDirectoryAtPath("tree") && r.c->createDirectoryAtPath("tree/deep"));
    QVERIFY(r.c->uploadFileFromData("a", "tree/deep/a.txt"));
    QVERIFY(r.c->uploadFileFromData("b", "b.txt") && r.c->uploadFileFromData("c", "c.txt"));

    // Copy a folder tree over a file, then a file over a file.
    QVERIFY(r.c->copyPath("tree", "c.txt"));
    QCOMPARE(readFile(r.at("c.txt/deep/a.txt")), QByteArray("a"));
    QCOMPARE(readFile(r.at("tree/deep/a.txt")), QByteArray("a"));
    QVERIFY(r.c->uploadFileFromData("old", "copy") && r.c->copyPath("b.txt", "copy"));
    // Move replaces whatever is at the target, a folder included.
    QVERIFY(r.c->movePath("copy", "c.txt"));
    QCOMPARE(readFile(r.at("c.txt")), QByteArray("b"));
    // A missing source fails and leaves the target alone; an item onto itself stays.
    expectFailure(r.d, r.c->movePath("missing", "b.txt"), r.missing);
    QVERIFY(r.c->movePath("b.txt", "b.txt") && r.c->copyPath("b.txt", "b.txt"));
    QCOMPARE(readFile(r.at("b.txt")), QByteArray("b"));

    // Deleting a file, a whole tree, and nothing at all succeed; of a link,
    // only the link goes.
    if (r.links) {
        writeFile(r.scratch + "/keep", "k");
        QVERIFY(QFile::link(r.scratch + "/keep", r.at("l")));
        QVERIFY(r.c->deleteFileAtPath("l"));
        QCOMPARE(readFile(r.scratch + "/keep"), QByteArray("k"));
    }
    QVERIFY(r.c->deleteFileAtPath("b.txt") && r.c->deleteDirectoryRecursivelyAtPath("tree"));
    QVERIFY(r.c->deleteFileAtPath("not there") && r.c->deleteDirectoryRecursivelyAtPath("nor"));
    QCOMPARE(entries(r.root), QStringList({"c.txt"}));
}

// Abandoned silently mid-way, or failing source mid-way: the old file is
// untouched and no temporary file stays.
inline void abortLeavesNoPartialFile(const Rig &r)
{
    QVERIFY(r.c->uploadFileFromData("old", "f.bin"));
    r.d.clear();
    r.d.abortWhen = [](FileTransferController *c) { return c->transferProgress() > 0.3f; };
    const Result abandoned =
        r.c->uploadFileFromData(pattern(8 * FileTransferController::kChunkSize), "f.bin");
    r.d.abortWhen = nullptr;
    QVERIFY(abandoned.isAbandoned());
    QCOMPARE(r.d.events, r.upload({"start", "progress"}));
    QCOMPARE(readFile(r.at("f.bin")), QByteArray("old"));
    // A server may still be ending the broken request (and its own scratch file).
    QTRY_COMPARE_WITH_TIMEOUT(entries(r.root), QStringList({"f.bin"}), 30000);

    FailingSource failing(5 * FileTransferController::kChunkSize);
    DataReadStream stream(&failing, nullptr);
    QVERIFY(!r.c->uploadFileToPath("f.bin", &stream, 8 * FileTransferController::kChunkSize));
    QCOMPARE(r.d.events.last(), QStringLiteral("fail"));
    QCOMPARE(readFile(r.at("f.bin")), QByteArray("old"));
    QTRY_COMPARE_WITH_TIMEOUT(entries(r.root), QStringList({"f.bin"}), 30000);
}

// The client ends of this machine's open connections to a server's port.
inline QSet<QString> clientPorts(int serverPort)
{
    QFile tcp("/proc/net/tcp");
    if (!tcp.open(QIODevice::ReadOnly))
        return {};
    const QString port = QStringLiteral(":%1").arg(serverPort, 4, 16, QLatin1Char('0')).toUpper();
    QSet<QString> ports;
    for (const QByteArray &line : tcp.readAll().split('\n')) {
        const QStringList f = QString::fromLatin1(line).simplified().split(' ');
        if (f.size() > 3 && f[2].endsWith(port) && f[3] == "01")
            ports.insert(f[1]);
    }
    return ports;
}

// Controllers made one after another, as a burst of deliveries makes them:
// one connection (and log-on) serves them all.
inline void oneLogOnForABurst(const std::function<std::unique_ptr<FileTransferController>()> &make,
                              int serverPort)
{
    const QSet<QString> before = clientPorts(serverPort);
    QSet<QString> used;
    for (int n = 0; n < 3; ++n) {
        const std::unique_ptr<FileTransferController> c = make();
        QVERIFY(c && c->uploadFileFromData("b", QStringLiteral("burst%1").arg(n)));
        used += clientPorts(serverPort);
    }
    QVERIFY2((used - before).size() <= 1, qPrintable(QStringList(used.values()).join(' ')));
}

// The checks above by name: rows of a data-driven test function ("check"),
// every one unless named.
inline const QMap<QString, void (*)(const Rig &)> &checks()
{
    static const QMap<QString, void (*)(const Rig &)> all{
        {"uploadAndDownload", uploadAndDownload},
        {"failures", failures},
        {"listing", listing},
        {"placementWithoutReplacing", placementWithoutReplacing},
        {"deleteMoveAndCopy", deleteMoveAndCopy},
        {"abortLeavesNoPartialFile", abortLeavesNoPartialFile}};
    return all;
}
inline void addRows(const QStringList &names = checks().keys())
{
    QTest::addColumn<QString>("check");
    for (const QString &n : names)
        QTest::newRow(qPrintable(n)) << n;
}
inline void run(const Rig &r)
{
    QFETCH(QString, check);
    checks().value(check)(r);
}

// A server's test folders: each check gets a fresh one, made through a
// controller on the top folder, with a name that must keep its exact spelling
// (a space, text that looks like an escape, a non-ASCII letter).
struct Server {
    // A controller rooted at a folder below the top one (the top one for "").
    using Make = std::function<std::unique_ptr<FileTransferController>(const QString &folder)>;
    explicit Server(Make m) : make(std::move(m)) {}
    Make make;
    QString topDir; // the top folder, read directly
    QTemporaryDir local;
    static inline int count = 0; // folder names are never used twice in a run
    QString folder;
    std::unique_ptr<FileTransferController> c;
    RecordingDelegate d;

    QString dir(const QString &rel = {}) const
    {
        return topDir + '/' + folder + (rel.isEmpty() ? "" : '/' + rel);
    }
    Rig rig()
    {
        folder = QStringLiteral("t%1-%2 50%25 \u00e4").arg(::getpid()).arg(++count);
        const auto top = make({});
        const Result made = top ? top->createDirectoryAtPath(folder) : Result::abandoned();
        if (!made)
            qFatal("cannot make a folder on the server: %s", qPrintable(made.error().reasonText()));
        c = make(folder);
        d.clear();
        c->setDelegate(&d);
        return {c.get(), d, dir(), local.path(), false};
    }
};

} // namespace controllercheck
