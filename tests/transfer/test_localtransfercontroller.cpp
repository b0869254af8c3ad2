#include "controllerchecks.h"
#include "transfer/localtransfercontroller.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace pv;
using namespace deliverytest;

class TestLocalTransferController : public QObject {
    Q_OBJECT

    QTemporaryDir m_top;
    controllercheck::Server m_s{[this](const QString &f) {
        return FileTransferController::fileTransferControllerWithURL(
            QUrl(localURL(m_top.path() + '/' + f)));
    }};

private Q_SLOTS:
    void initTestCase() { m_s.topDir = m_top.path(); }
    void checks_data() { controllercheck::addRows(); }
    void checks()
    {
        controllercheck::Rig r = m_s.rig();
        r.links = true;
        controllercheck::run(r);
    }

    // An upload source that cannot be opened is reported, so a delivery cannot
    // take the missing upload for a delivered file; one already open is refused.
    void sourceThatCannotOpenIsReported()
    {
        FailingSource refusing(0);
        refusing.opens = false;
        const controllercheck::Rig r = m_s.rig();
        DataReadStream stream(&refusing, nullptr);
        QVERIFY(!r.c->uploadFileToPath("f", &stream));
        QCOMPARE(r.d.events << r.d.errors.last().domain,
                 Events({"start", "fail", "DataStreamErrorDomain"}));
        MemoryInputStream open(QByteArray("x"));
        QVERIFY(open.open());
        r.d.clear();
        QVERIFY(!r.c->uploadFileToPath("f", &open));
        QVERIFY(r.d.events.isEmpty());
        QCOMPARE(entries(r.root), QStringList());
    }

    // A file URL naming another machine reaches nothing.
    void otherHostIsNotReachable()
    {
        auto c = FileTransferController::fileTransferControllerWithURL(
            QUrl("file://fileserver.example.org/srv"));
        RecordingDelegate d;
        c->setDelegate(&d);
        QVERIFY(!c->uploadFileFromData("x", "f"));
        QCOMPARE(d.lastErrorText(), QStringLiteral("\"f\" is not reachable"));
    }

    // Too small a buffer fails rather than truncating; a failed download removes
    // its own partial file but never what it did not write.
    void downloadFailures()
    {
        const controllercheck::Rig r = m_s.rig();
        writeFile(r.at("ten"), "0123456789");
        char buf[16] = {};
        QCOMPARE(r.c->downloadFileFromPath("ten", buf, 16).value_or(-1), 10);
        QCOMPARE(QByteArray(buf, 10), QByteArray("0123456789"));
        QVERIFY(!r.c->downloadFileFromPath("ten", buf, 4));
        QVERIFY(r.d.lastErrorText().startsWith("Failed writing to output stream"));

        expectFailure(r.d, r.c->downloadFileFromPath("absent", r.scratch + "/local"), ENOENT);
        QVERIFY(!QFileInfo::exists(r.scratch + "/local"));
        QVERIFY(!r.c->downloadFileFromPathToNull("absent") && QFileInfo::exists("/dev/null"));
        QVERIFY(QDir().mkpath(r.scratch + "/adir"));
        expectFailure(r.d, r.c->downloadFileFromPath("ten", r.scratch + "/adir"), EISDIR);
        QVERIFY(QFileInfo(r.scratch + "/adir").isDir());
        expectFailure(r.d, r.c->downloadFileFromPath("ten", r.scratch + "/no/dir/x"), ENOENT);
    }
};

QTEST_GUILESS_MAIN(TestLocalTransferController)
#include "test_localtransfercontroller.moc"
