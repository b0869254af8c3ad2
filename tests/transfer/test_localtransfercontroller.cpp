#include "recordingdelegate.h"
#include "transfer/localtransfercontroller.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace pv;

namespace {

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(data), data.size());
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray pattern(qint64 size)
{
    QByteArray b(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        b[i] = char((i * 7 + i / 251) & 0xff);
    return b;
}

} // namespace

class TestLocalTransferController : public QObject {
    Q_OBJECT

    QTemporaryDir *m_dir = nullptr;
    std::unique_ptr<FileTransferController> m_c;
    RecordingDelegate m_d;

    QString root() const { return m_dir->path(); }
    QString at(const QString &rel) const { return root() + QLatin1Char('/') + rel; }

private Q_SLOTS:
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        QUrl url(QStringLiteral("file://localhost"));
        url.setPath(root() + QStringLiteral("/dest"));
        QVERIFY(QDir().mkpath(at(QStringLiteral("dest"))));
        m_c = FileTransferController::fileTransferControllerWithURL(url);
        QVERIFY(m_c);
        m_d.clear();
        m_d.abort = false;
        m_d.abortWhen = nullptr;
        m_c->setDelegate(&m_d);
    }
    void cleanup()
    {
        m_c.reset();
        delete m_dir;
        m_dir = nullptr;
    }

    void uploadAndDownloadWithProgress()
    {
        const QByteArray data = pattern(700 * 1024 + 13); // three chunks
        writeFile(at(QStringLiteral("src.bin")), data);
        m_c->setDigestComputation(true);
        QVERIFY(m_c->uploadFileFromPath(at(QStringLiteral("src.bin")), QStringLiteral("out.bin")));
        QCOMPARE(m_d.events, (QStringList{"start", "progress", "success"}));
        QCOMPARE(m_d.progressCount, 3);
        QCOMPARE(m_d.lastProgress, 1.0f);
        QCOMPARE(readFile(at(QStringLiteral("dest/out.bin"))), data);
        QCOMPARE(m_c->lastTransferSize(), quint64(data.size()));
        QCOMPARE(m_c->lastTransferDigestData(),
                 QCryptographicHash::hash(data, QCryptographicHash::Md5));
        QCOMPARE(m_c->transferSize(), quint64(0)); // reset after the operation

        m_d.clear();
        const auto back = m_c->downloadFileFromPathToData(QStringLiteral("/out.bin"));
        QVERIFY(back);
        QCOMPARE(*back, data);
        QCOMPARE(m_d.events, (QStringList{"start", "progress", "success"}));
        QCOMPARE(m_c->lastTransferDigestData(),
                 QCryptographicHash::hash(data, QCryptographicHash::Md5));

        QVERIFY(m_c->downloadFileFromPath(QStringLiteral("out.bin"), at(QStringLiteral("copy"))));
        QCOMPARE(readFile(at(QStringLiteral("copy"))), data);
        QVERIFY(m_c->downloadFileFromPathToNull(QStringLiteral("out.bin")));
    }

    void uploadReplacesAndKeepsOddNames()
    {
        writeFile(at(QStringLiteral("dest/what?.txt")), "old content that is longer");
        QVERIFY(m_c->uploadFileFromData("new", QStringLiteral("what?.txt")));
        QCOMPARE(readFile(at(QStringLiteral("dest/what?.txt"))), QByteArray("new"));
        QVERIFY(m_c->uploadFileFromData("x", QStringLiteral("a #1 %20 b.txt")));
        QCOMPARE(QDir(at(QStringLiteral("dest"))).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{"a #1 %20 b.txt", "what?.txt"}));
        // Empty content is a file too, without progress messages.
        m_d.clear();
        QVERIFY(m_c->uploadFileFromBytes("", 0, QStringLiteral("empty")));
        QCOMPARE(m_d.events, (QStringList{"start", "success"}));
        QVERIFY(QFileInfo::exists(at(QStringLiteral("dest/empty"))));
    }

    void uploadFollowsLinksAndReportsMissingSource()
    {
        writeFile(at(QStringLiteral("real")), "data");
        QVERIFY(QFile::link(at(QStringLiteral("real")), at(QStringLiteral("link1"))));
        QVERIFY(QFile::link(at(QStringLiteral("link1")), at(QStringLiteral("link2"))));
        QVERIFY(m_c->uploadFileFromPath(at(QStringLiteral("link2")), QStringLiteral("f")));
        QCOMPARE(readFile(at(QStringLiteral("dest/f"))), QByteArray("data"));

        // A dangling link and a vanished file end in a reported failure.
        QVERIFY(QFile::link(at(QStringLiteral("gone")), at(QStringLiteral("dangling"))));
        for (const QString &src : {at(QStringLiteral("dangling")), at(QStringLiteral("gone"))}) {
            m_d.clear();
            QVERIFY(!m_c->uploadFileFromPath(src, QStringLiteral("g")));
            QCOMPARE(m_d.events, (QStringList{"start", "fail"}));
            QCOMPARE(m_d.errors.last().domain, QStringLiteral("POSIX"));
            QCOMPARE(m_d.errors.last().code, ENOENT);
        }
        QVERIFY(!QFileInfo::exists(at(QStringLiteral("dest/g"))));
    }

    void uploadIntoMissingFolderFails()
    {
        QVERIFY(!m_c->uploadFileFromData("x", QStringLiteral("no/such/f")));
        QCOMPARE(m_d.events, (QStringList{"start", "fail"}));
        const TransferError &e = m_d.errors.last();
        QCOMPARE(e.domain, QStringLiteral("POSIX"));
        QCOMPARE(e.code, ENOENT);
        QCOMPARE(e.description, QStringLiteral("No such file or directory"));
        QCOMPARE(e.firstUserInfoKey(), QStringLiteral("NSFilePath"));
        QCOMPARE(e.userInfoValue(QStringLiteral("NSFilePath")).toString(),
                 at(QStringLiteral("dest/no/such/f")));
        // The controller is usable after a failure.
        QVERIFY(m_c->uploadFileFromData("x", QStringLiteral("f")));
    }

    void abortMidTransferKeepsOldFile()
    {
        const QByteArray data = pattern(3 * 1024 * 1024);
        writeFile(at(QStringLiteral("big")), data);
        writeFile(at(QStringLiteral("dest/big")), "previous delivery");
        m_d.abortWhen = [](FileTransferController *c) { return c->transferProgress() > 0.3f; };
        QVERIFY(!m_c->uploadFileFromPath(at(QStringLiteral("big")), QStringLiteral("big")));
        // Abandoned silently: no failure and no success message.
        QCOMPARE(m_d.events, (QStringList{"start", "progress"}));
        QVERIFY(m_d.lastProgress < 1.0f);
        QCOMPARE(readFile(at(QStringLiteral("dest/big"))), QByteArray("previous delivery"));
        // No temporary file is left behind.
        QCOMPARE(QDir(at(QStringLiteral("dest"))).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"big"});
    }

    void listing()
    {
        QVERIFY(QDir().mkpath(at(QStringLiteral("dest/sub"))));
        writeFile(at(QStringLiteral("dest/a.txt")), "12345");
        writeFile(at(QStringLiteral("dest/.hidden")), "");
        QVERIFY(QFile::link(at(QStringLiteral("nowhere")), at(QStringLiteral("dest/dangling"))));
        const auto listing = m_c->contentsOfDirectoryAtPath(QStringLiteral("/"));
        QVERIFY(listing);
        QCOMPARE(m_d.events, (QStringList{"start", "success"}));
        // Hidden entries are listed; an entry without readable attributes is not.
        QCOMPARE(listing->keys(), (QStringList{".hidden", "a.txt", "sub"}));
        const RemoteItemAttributes a = listing->value(QStringLiteral("a.txt"));
        QCOMPARE(a.value(QStringLiteral("NSFileType")).toString(),
                 QStringLiteral("NSFileTypeRegular"));
        QCOMPARE(a.value(QStringLiteral("NSFileSize")).toLongLong(), 5);
        const QDateTime mod = a.value(QStringLiteral("NSFileModificationDate")).toDateTime();
        QVERIFY(qAbs(mod.secsTo(QDateTime::currentDateTimeUtc())) < 60);
        QCOMPARE(
            listing->value(QStringLiteral("sub")).value(QStringLiteral("NSFileType")).toString(),
            QStringLiteral("NSFileTypeDirectory"));

        m_d.clear();
        QVERIFY(!m_c->contentsOfDirectoryAtPath(QStringLiteral("missing")));
        QCOMPARE(m_d.events, (QStringList{"start", "fail"}));
        QCOMPARE(m_d.errors.last().code, ENOENT);
    }

    void foldersAndDeletion()
    {
        QVERIFY(m_c->createDirectoryAtPath(QStringLiteral("new")));
        QVERIFY(QFileInfo(at(QStringLiteral("dest/new"))).isDir());
        // Parents are not created; an existing folder is an error.
        m_d.clear();
        QVERIFY(!m_c->createDirectoryAtPath(QStringLiteral("x/y")));
        QCOMPARE(m_d.events, (QStringList{"start", "fail"}));
        QCOMPARE(m_d.errors.last().code, ENOENT);
        QVERIFY(!m_c->createDirectoryAtPath(QStringLiteral("new")));
        QCOMPARE(m_d.errors.last().code, EEXIST);

        writeFile(at(QStringLiteral("dest/new/f")), "x");
        QVERIFY(m_c->deleteDirectoryRecursivelyAtPath(QStringLiteral("new")));
        QVERIFY(!QFileInfo::exists(at(QStringLiteral("dest/new"))));
        // Nothing there is success too.
        m_d.clear();
        QVERIFY(m_c->deleteFileAtPath(QStringLiteral("never-was")));
        QVERIFY(m_c->deleteDirectoryRecursivelyAtPath(QStringLiteral("never-was")));
        QCOMPARE(m_d.events, (QStringList{"start", "success", "start", "success"}));
        // Only the link is removed, not what it points to.
        writeFile(at(QStringLiteral("keep")), "k");
        QVERIFY(QFile::link(at(QStringLiteral("keep")), at(QStringLiteral("dest/l"))));
        QVERIFY(m_c->deleteFileAtPath(QStringLiteral("l")));
        QCOMPARE(readFile(at(QStringLiteral("keep"))), QByteArray("k"));
    }

    void moveAndCopyReplaceTarget()
    {
        QVERIFY(QDir().mkpath(at(QStringLiteral("dest/tree/inner"))));
        writeFile(at(QStringLiteral("dest/tree/inner/f")), "f");
        writeFile(at(QStringLiteral("dest/target")), "old");
        QVERIFY(m_c->copyPath(QStringLiteral("tree"), QStringLiteral("target")));
        QCOMPARE(readFile(at(QStringLiteral("dest/target/inner/f"))), QByteArray("f"));
        QCOMPARE(readFile(at(QStringLiteral("dest/tree/inner/f"))), QByteArray("f"));

        writeFile(at(QStringLiteral("dest/m")), "moved");
        QVERIFY(m_c->movePath(QStringLiteral("m"), QStringLiteral("target")));
        QCOMPARE(readFile(at(QStringLiteral("dest/target"))), QByteArray("moved"));
        QVERIFY(!QFileInfo::exists(at(QStringLiteral("dest/m"))));

        m_d.clear();
        QVERIFY(!m_c->movePath(QStringLiteral("absent"), QStringLiteral("target")));
        QCOMPARE(m_d.events, (QStringList{"start", "fail"}));
        QCOMPARE(m_d.errors.last().code, ENOENT);
        // A failed move leaves the target alone.
        QCOMPARE(readFile(at(QStringLiteral("dest/target"))), QByteArray("moved"));
    }

    void notReachableTexts()
    {
        auto c = FileTransferController::fileTransferControllerWithURL(
            QUrl(QStringLiteral("file://fileserver.example.org/srv")));
        QVERIFY(c);
        RecordingDelegate d;
        c->setDelegate(&d);
        QVERIFY(!c->createDirectoryAtPath(QStringLiteral("d")));
        QVERIFY(!c->uploadFileFromData("x", QStringLiteral("f")));
        QVERIFY(!c->copyPath(QStringLiteral("a"), QStringLiteral("b")));
        QCOMPARE(d.events, (QStringList{"start", "fail", "start", "fail", "start", "fail"}));
        QCOMPARE(d.errors.at(0).description, QStringLiteral("\"d\" is not reachable"));
        QCOMPARE(d.errors.at(1).description, QStringLiteral("\"f\" is not reachable"));
        QCOMPARE(d.errors.at(2).description, QStringLiteral("\"a\" or \"b\" are not reachable"));
        QCOMPARE(d.errors.at(2).domain, QStringLiteral("FileTransferController"));
        QCOMPARE(d.errors.at(2).code, -1);
    }

    void downloadFailures()
    {
        // Into a buffer that is too small: a failure, not a silent truncation.
        writeFile(at(QStringLiteral("dest/ten")), "0123456789");
        char buf[16] = {};
        QCOMPARE(m_c->downloadFileFromPath(QStringLiteral("ten"), buf, 16), 10);
        QCOMPARE(QByteArray(buf, 10), QByteArray("0123456789"));
        m_d.clear();
        QCOMPARE(m_c->downloadFileFromPath(QStringLiteral("ten"), buf, 4), -1);
        QCOMPARE(m_d.events.last(), QStringLiteral("fail"));
        QVERIFY(m_d.lastErrorText().startsWith(QLatin1String("Failed writing to output stream")));

        // A missing source removes the partial local file.
        m_d.clear();
        QVERIFY(!m_c->downloadFileFromPath(QStringLiteral("absent"), at(QStringLiteral("local"))));
        QCOMPARE(m_d.events, (QStringList{"start", "fail"}));
        QCOMPARE(m_d.errors.last().code, ENOENT);
        QVERIFY(!QFileInfo::exists(at(QStringLiteral("local"))));
        // Failing downloads never remove what they did not write.
        QVERIFY(!m_c->downloadFileFromPathToNull(QStringLiteral("absent")));
        QVERIFY(QFileInfo(QStringLiteral("/dev/null")).exists());
        QVERIFY(QDir().mkpath(at(QStringLiteral("adir"))));
        QVERIFY(!m_c->downloadFileFromPath(QStringLiteral("ten"), at(QStringLiteral("adir"))));
        QCOMPARE(m_d.errors.last().code, EISDIR);
        QVERIFY(QFileInfo(at(QStringLiteral("adir"))).isDir());

        // A local target that cannot be created is reported too.
        m_d.clear();
        QVERIFY(!m_c->downloadFileFromPath(QStringLiteral("ten"), at(QStringLiteral("no/dir/x"))));
        QCOMPARE(m_d.events, (QStringList{"start", "fail"}));
        QCOMPARE(m_d.errors.last().code, ENOENT);
    }

    void sourceThatCannotOpenIsReported()
    {
        // Reported rather than ended silently, so a delivery cannot take the
        // missing upload for a delivered file.
        struct Refusing : DataStreamSource {
            bool openDataStream(void *) override { return false; }
            qint64 readDataFromStream(void *, char *, qint64) override { return -1; }
            qint64 writeDataToStream(void *, const char *, qint64) override { return -1; }
            void closeDataStream(void *) override {}
        } refusing;
        DataReadStream stream(&refusing, nullptr);
        QVERIFY(!m_c->uploadFileToPath(QStringLiteral("f"), &stream));
        QCOMPARE(m_d.events, (QStringList{"start", "fail"}));
        QCOMPARE(m_d.errors.last().domain, QStringLiteral("DataStreamErrorDomain"));
        QVERIFY(!QFileInfo::exists(at(QStringLiteral("dest/f"))));
        // A stream that is already open is refused without any message.
        MemoryInputStream open(QByteArray("x"));
        QVERIFY(open.open());
        m_d.clear();
        QVERIFY(!m_c->uploadFileToPath(QStringLiteral("f"), &open));
        QVERIFY(m_d.events.isEmpty());
    }

    void unreadableSourceIsReported()
    {
        if (geteuid() == 0)
            QSKIP("permissions do not apply to root");
        writeFile(at(QStringLiteral("secret")), "s");
        QFile::setPermissions(at(QStringLiteral("secret")), QFileDevice::WriteOwner);
        QVERIFY(!m_c->uploadFileFromPath(at(QStringLiteral("secret")), QStringLiteral("s")));
        QCOMPARE(m_d.events, (QStringList{"start", "fail"}));
        QCOMPARE(m_d.errors.last().code, EACCES);
    }
};

QTEST_GUILESS_MAIN(TestLocalTransferController)
#include "test_localtransfercontroller.moc"
