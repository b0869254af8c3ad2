#include "controllerchecks.h"
#include "transfer/localtransfercontroller.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace pv;
using namespace deliverytest;

class TestLocalTransferController : public QObject {
    Q_OBJECT

    QTemporaryDir *m_dir = nullptr;
    std::unique_ptr<FileTransferController> m_c;
    RecordingDelegate m_d;

    QString at(const QString &rel) const { return m_dir->path() + '/' + rel; }
    controllercheck::Rig rig() { return {m_c.get(), m_d, at("dest"), m_dir->path(), true}; }

private Q_SLOTS:
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid() && QDir().mkpath(at("dest")));
        m_c = FileTransferController::fileTransferControllerWithURL(
            QUrl("file://localhost" + at("dest")));
        QVERIFY(m_c);
        m_d.clear();
        m_c->setDelegate(&m_d);
    }
    void cleanup()
    {
        m_c.reset();
        delete m_dir;
    }

    void checks_data() { controllercheck::addRows(); }
    void checks() { controllercheck::run(rig()); }

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
        QCOMPARE(entries(at("dest")), QStringList());
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

        expectFailure(m_d, m_c->downloadFileFromPath("absent", at("local")), ENOENT);
        QVERIFY(!QFileInfo::exists(at("local")));
        QVERIFY(!m_c->downloadFileFromPathToNull("absent"));
        QVERIFY(QFileInfo::exists("/dev/null"));
        QVERIFY(QDir().mkpath(at("adir")));
        expectFailure(m_d, m_c->downloadFileFromPath("ten", at("adir")), EISDIR);
        QVERIFY(QFileInfo(at("adir")).isDir());
        expectFailure(m_d, m_c->downloadFileFromPath("ten", at("no/dir/x")), ENOENT);
    }
};

QTEST_GUILESS_MAIN(TestLocalTransferController)
#include "test_localtransfercontroller.moc"
