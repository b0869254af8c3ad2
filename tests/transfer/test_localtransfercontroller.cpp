#include "deliverytestutil.h"
#include "transfer/localtransfercontroller.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

using namespace pv;
using namespace deliverytest;

using Events = QStringList;

class TestLocalTransferController : public QObject {
    Q_OBJECT

    QTemporaryDir *m_dir = nullptr;
    std::unique_ptr<FileTransferController> m_c;
    RecordingDelegate m_d;

    QString at(const QString &rel) const { return m_dir->path() + '/' + rel; }
    QStringList destEntries() const
    {
        return QDir(at("dest"))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    }

private Q_SLOTS:
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid() && QDir().mkpath(at("dest")));
        m_c = FileTransferController::fileTransferControllerWithURL(
            QUrl("file://localhost" + at("dest")));
        QVERIFY(m_c);
        m_d.clear();
        m_d.abortWhen = nullptr;
        m_c->setDelegate(&m_d);
    }
    void cleanup()
    {
        m_c.reset();
        delete m_dir;
    }

    // Three chunks up and down: progress per chunk, content, size and digest;
    // a replaced file with an odd name; empty content without progress.
    void uploadAndDownload()
    {
        const QByteArray data = pattern(700 * 1024 + 13);
        writeFile(at("src.bin"), data);
        writeFile(at("dest/what?.txt"), QByteArray(data.size() + 10, 'o'));
        m_c->setDigestComputation(true);
        QVERIFY(m_c->uploadFileFromPath(at("src.bin"), "what?.txt"));
        QCOMPARE(m_d.events, Events({"start", "progress", "success"}));
        QCOMPARE(m_d.progressCount, 3);
        QCOMPARE(m_d.lastProgress, 1.0f);
        QCOMPARE(readFile(at("dest/what?.txt")), data);
        const QByteArray md5 = QCryptographicHash::hash(data, QCryptographicHash::Md5);
        QCOMPARE(m_c->lastTransferDigestData(), md5);
        QCOMPARE(m_c->transferSize(), quint64(0)); // reset after the operation

        m_d.clear();
        QCOMPARE(m_c->downloadFileFromPathToData("/what?.txt").value_or(""), data);
        QCOMPARE(m_d.events, Events({"start", "progress", "success"}));
        QCOMPARE(m_c->lastTransferDigestData(), md5);
        QVERIFY(m_c->downloadFileFromPath("what?.txt", at("copy")));
        QCOMPARE(readFile(at("copy")), data);

        m_d.clear();
        QVERIFY(m_c->uploadFileFromBytes("", 0, "a #1 %20 b"));
        QCOMPARE(m_d.events, Events({"start", "success"}));
        QCOMPARE(destEntries(), QStringList({"a #1 %20 b", "what?.txt"}));
    }

    // A missing target folder is a failure naming the path; the controller goes on.
    // (Missing and dangling sources are covered by the delivery tests.)
    void uploadIntoMissingFolderFails()
    {
        QVERIFY(!m_c->uploadFileFromData("x", "no/such/f"));
        expectFailure(m_d, ENOENT);
        const TransferError &e = m_d.errors.last();
        QCOMPARE(e.domain + ' ' + e.description, QStringLiteral("POSIX No such file or directory"));
        QCOMPARE(e.firstUserInfoKey(), QStringLiteral("NSFilePath"));
        QCOMPARE(e.userInfoValue("NSFilePath").toString(), at("dest/no/such/f"));
        QVERIFY(m_c->uploadFileFromData("x", "f"));
    }

    // An upload source that cannot be opened is reported, so a delivery cannot
    // take the missing upload for a delivered file; one already open is refused.
    void sourceThatCannotOpenIsReported()
    {
        struct Refusing : DataStreamSource {
            bool openDataStream(void *) override { return false; }
            qint64 readDataFromStream(void *, char *, qint64) override { return -1; }
            qint64 writeDataToStream(void *, const char *, qint64) override { return -1; }
            void closeDataStream(void *) override {}
        } refusing;
        DataReadStream stream(&refusing, nullptr);
        QVERIFY(!m_c->uploadFileToPath("f", &stream));
        QCOMPARE(m_d.events, Events({"start", "fail"}));
        QCOMPARE(m_d.errors.last().domain, QStringLiteral("DataStreamErrorDomain"));
        MemoryInputStream open(QByteArray("x"));
        QVERIFY(open.open());
        m_d.clear();
        QVERIFY(!m_c->uploadFileToPath("f", &open));
        QVERIFY(m_d.events.isEmpty());
        QCOMPARE(destEntries(), QStringList());
    }

    void abortMidTransferKeepsOldFile()
    {
        writeFile(at("big"), pattern(3 * 1024 * 1024));
        writeFile(at("dest/big"), "previous delivery");
        m_d.abortWhen = [](FileTransferController *c) { return c->transferProgress() > 0.3f; };
        QVERIFY(!m_c->uploadFileFromPath(at("big"), "big"));
        // Abandoned silently: no failure and no success message.
        QCOMPARE(m_d.events, Events({"start", "progress"}));
        QCOMPARE(readFile(at("dest/big")), QByteArray("previous delivery"));
        QCOMPARE(destEntries(), QStringList({"big"})); // no temporary file left

        // A source that fails mid-way leaves nothing behind either.
        FailingSource failing(2 * FileTransferController::kChunkSize);
        DataReadStream stream(&failing, nullptr);
        m_d.clear();
        m_d.abortWhen = nullptr;
        QVERIFY(!m_c->uploadFileToPath("big", &stream, 4 * FileTransferController::kChunkSize));
        QCOMPARE(m_d.events.last(), QStringLiteral("fail"));
        QCOMPARE(readFile(at("dest/big")), QByteArray("previous delivery"));
        QCOMPARE(destEntries(), QStringList({"big"}));
    }

    // Without replacing, whatever takes the name while the upload runs (a file
    // here, a dangling link) stays: the first free numbered name is used and
    // told. Folders are put in place the same way; replacing, the one in the way
    // goes and nothing is left aside.
    void placementWithoutReplacing()
    {
        const QByteArray data = pattern(3 * FileTransferController::kChunkSize);
        writeFile(at("big"), data);
        QVERIFY(QFile::link(at("nowhere"), at("dest/big_1.bin")));
        m_c->setReplacesExistingItems(false);
        bool sawTemporary = false;
        m_d.abortWhen = [&](FileTransferController *c) {
            for (const QString &e : destEntries())
                sawTemporary |= FileTransferController::isTemporaryName(e);
            if (c->transferProgress() > 0.3f && !QFileInfo::exists(at("dest/big.bin")))
                writeFile(at("dest/big.bin"), "theirs");
            return false;
        };
        QVERIFY(m_c->uploadFileFromPath(at("big"), "big.bin"));
        QVERIFY(sawTemporary);
        QCOMPARE(m_c->storedPath(), QStringLiteral("big_2.bin"));
        QCOMPARE(readFile(at("dest/big.bin")), QByteArray("theirs"));
        QCOMPARE(readFile(at("dest/big_2.bin")), data);
        QVERIFY(QFileInfo(at("dest/big_1.bin")).isSymLink());

        QVERIFY(QDir().mkpath(at("dest/job")));
        for (bool replace : {false, true}) {
            m_c->setReplacesExistingItems(replace);
            writeFile(at("dest/job/old"), "old");
            QVERIFY(m_c->createDirectoryAtPath(".job.tmp"));
            QVERIFY(m_c->uploadFileFromData(replace ? "2" : "1", ".job.tmp/f"));
            QVERIFY(m_c->moveIntoPlace(".job.tmp", "job"));
            QCOMPARE(m_c->storedPath(), QString(replace ? "job" : "job_1"));
        }
        QCOMPARE(QDir(at("dest/job")).entryList(QDir::Files), QStringList("f"));
        QCOMPARE(readFile(at("dest/job/f")), QByteArray("2"));
        QCOMPARE(readFile(at("dest/job_1/f")), QByteArray("1"));
        QCOMPARE(destEntries(), QStringList({"big.bin", "big_1.bin", "big_2.bin", "job", "job_1"}));
    }

    void listingAndFolders()
    {
        QVERIFY(m_c->createDirectoryAtPath("sub"));
        writeFile(at("dest/a.txt"), "12345");
        writeFile(at("dest/.hidden"), "");
        QVERIFY(QFile::link(at("nowhere"), at("dest/dangling")));
        m_d.clear();
        const auto listing = m_c->contentsOfDirectoryAtPath("/");
        QCOMPARE(m_d.events, Events({"start", "success"}));
        // Hidden entries and dangling links are listed: their names are taken.
        QCOMPARE(listing.value_or(RemoteListing()).keys(),
                 QStringList({".hidden", "a.txt", "dangling", "sub"}));
        const RemoteItemAttributes a = listing->value("a.txt");
        QCOMPARE(a.value(kNSFileType).toString(), QString(kNSFileTypeRegular));
        QCOMPARE(a.value(kNSFileSize).toLongLong(), 5);
        QCOMPARE(listing->value("sub").value(kNSFileType).toString(),
                 QString(kNSFileTypeDirectory));
        QVERIFY(!m_c->contentsOfDirectoryAtPath("missing"));
        expectFailure(m_d, ENOENT);

        // Parents are not created; an existing folder is an error.
        QVERIFY(!m_c->createDirectoryAtPath("x/y"));
        expectFailure(m_d, ENOENT);
        QVERIFY(!m_c->createDirectoryAtPath("sub"));
        expectFailure(m_d, EEXIST);
    }

    void deleteMoveAndCopy()
    {
        QVERIFY(QDir().mkpath(at("dest/tree/inner")));
        writeFile(at("dest/tree/inner/f"), "f");
        writeFile(at("dest/target"), "old");
        QVERIFY(m_c->copyPath("tree", "target"));
        QCOMPARE(readFile(at("dest/target/inner/f")), QByteArray("f"));
        QCOMPARE(readFile(at("dest/tree/inner/f")), QByteArray("f"));
        writeFile(at("dest/m"), "moved");
        QVERIFY(m_c->movePath("m", "target"));
        QCOMPARE(readFile(at("dest/target")), QByteArray("moved"));
        // A failed move leaves the target alone.
        QVERIFY(!m_c->movePath("absent", "target"));
        expectFailure(m_d, ENOENT);
        QCOMPARE(readFile(at("dest/target")), QByteArray("moved"));

        // Only a link is removed, not what it points to; nothing there is success too.
        writeFile(at("keep"), "k");
        QVERIFY(QFile::link(at("keep"), at("dest/l")));
        m_d.clear();
        QVERIFY(m_c->deleteFileAtPath("l") && m_c->deleteFileAtPath("target"));
        QVERIFY(m_c->deleteDirectoryRecursivelyAtPath("tree"));
        QVERIFY(m_c->deleteFileAtPath("never-was"));
        QVERIFY(m_c->deleteDirectoryRecursivelyAtPath("never-was"));
        QCOMPARE(m_d.events.count("success"), 5);
        QCOMPARE(readFile(at("keep")), QByteArray("k"));
        QCOMPARE(destEntries(), QStringList());
    }

    // A file URL naming another machine reaches nothing.
    void otherHostIsNotReachable()
    {
        auto c = FileTransferController::fileTransferControllerWithURL(
            QUrl("file://fileserver.example.org/srv"));
        c->setDelegate(&m_d);
        QVERIFY(!c->uploadFileFromData("x", "f"));
        QCOMPARE(m_d.lastErrorText(), QStringLiteral("\"f\" is not reachable"));
    }

    // Too small a buffer fails rather than truncating; a failed download removes
    // its own partial file but never what it did not write.
    void downloadFailures()
    {
        writeFile(at("dest/ten"), "0123456789");
        char buf[16] = {};
        QCOMPARE(m_c->downloadFileFromPath("ten", buf, 16).value_or(-1), 10);
        QCOMPARE(QByteArray(buf, 10), QByteArray("0123456789"));
        QVERIFY(!m_c->downloadFileFromPath("ten", buf, 4));
        QVERIFY(m_d.lastErrorText().startsWith("Failed writing to output stream"));

        QVERIFY(!m_c->downloadFileFromPath("absent", at("local")));
        expectFailure(m_d, ENOENT);
        QVERIFY(!QFileInfo::exists(at("local")));
        QVERIFY(!m_c->downloadFileFromPathToNull("absent"));
        QVERIFY(QFileInfo::exists("/dev/null"));
        QVERIFY(QDir().mkpath(at("adir")));
        QVERIFY(!m_c->downloadFileFromPath("ten", at("adir")));
        expectFailure(m_d, EISDIR);
        QVERIFY(QFileInfo(at("adir")).isDir());
        QVERIFY(!m_c->downloadFileFromPath("ten", at("no/dir/x")));
        expectFailure(m_d, ENOENT);
    }
};

QTEST_GUILESS_MAIN(TestLocalTransferController)
#include "test_localtransfercontroller.moc"
