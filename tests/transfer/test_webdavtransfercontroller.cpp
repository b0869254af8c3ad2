// The HTTP family and WebDAV controllers against the private nginx and Apache
// servers of tests/servers/webdav.sh (ctest fixture "webdav"; connection
// details in $PV_BINARY_DIR/servers/webdav.env).

#include "common/serverenv.h"
#include "controllerchecks.h"
#include "transfer/httptransfercontroller.h"
#include "transfer/urlparameters.h"
#include "transfer/webdavtransfercontroller.h"

#include <QTemporaryDir>
#include <QTest>

using namespace pv;
using namespace deliverytest;

class TestWebDAVTransferController : public QObject {
    Q_OBJECT

    QMap<QString, QString> m_env;
    QTemporaryDir m_local;

    // A URL on one of the servers ("NGINX" or "APACHE"), the way the dispatch
    // builds it: user and password escaped into it.
    QUrl serverURL(const QString &server, bool tls, const QString &path,
                   const QString &password = {}) const
    {
        return urlWithScheme(
            tls ? "https" : "http", m_env.value("WEBDAV_USER"),
            password.isNull() ? m_env.value("WEBDAV_PASSWORD") : password,
            tls ? "localhost" : "127.0.0.1",
            m_env.value("WEBDAV_" + server + (tls ? "_TLS_PORT" : "_PORT")).toInt(), path);
    }
    QString onDisk(const QString &server, const QString &path) const
    {
        return m_env.value("WEBDAV_" + server + "_ROOT") + path;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = pvtest::serverEnv("webdav");
        QVERIFY2(m_env.contains("WEBDAV_NGINX_PORT"),
                 "no test server: run through ctest, which starts tests/servers/webdav.sh");
        QVERIFY(m_local.isValid());
    }

    // The HTTP base alone: probe, then PUT with the type of the name; GET back.
    void httpUploadAndDownload()
    {
        auto c = FileTransferController::create<HTTPTransferController>(
            serverURL("NGINX", false, "/dav/"));
        QVERIFY(c);
        RecordingDelegate d;
        c->setDelegate(&d);
        const QByteArray data = pattern(3 * FileTransferController::kChunkSize + 5);
        QVERIFY(c->uploadFileFromData(data, "photo 1.jpg"));
        QCOMPARE(d.events, Events({"start", "success", "start", "progress", "success"}));
        QCOMPARE(readFile(onDisk("NGINX", "/dav/photo 1.jpg")), data);
        QCOMPARE(c->downloadFileFromPathToData("photo 1.jpg").value_or(""), data);
        QCOMPARE(c->responseHeaders().status, 200);
        // A missing file is an error, never an error page saved as the file.
        QVERIFY(!c->downloadFileFromPath("nothing", m_local.filePath("nothing")));
        QVERIFY(!QFile::exists(m_local.filePath("nothing")));
        QCOMPARE(HTTPTransferController::mimeTypeForPath("a/photo.jpg"), QString("image/jpeg"));
        QCOMPARE(HTTPTransferController::mimeTypeForPath("a.b/README"),
                 QString("application/octet-stream"));
    }

    // What every file-server controller does, on each server; each check in a
    // fresh collection. (nginx leaves hidden names out of listings.)
    void controllerChecks_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("check");
        for (const char *server : {"NGINX", "APACHE"})
            for (bool tls : {false, true})
                for (const char *check :
                     {"uploadAndDownload", "listing", "placementWithoutReplacing",
                      "deleteMoveAndCopy", "abortLeavesNoPartialFile"})
                    QTest::addRow("%s%s %s", server, tls ? " https" : "", check)
                        << QString(server) << tls << QString(check);
    }
    void controllerChecks()
    {
        QFETCH(QString, server);
        QFETCH(bool, tls);
        controllercheck::Server s([&](const QString &f) {
            return FileTransferController::fileTransferControllerWithURL(
                serverURL(server, tls, "/dav/" + (f.isEmpty() ? f : f + '/')));
        });
        s.topDir = onDisk(server, "/dav");
        controllercheck::Rig r = s.rig();
        QCOMPARE(r.c->urlScheme(), QString(tls ? "https" : "http"));
        r.probes = true;
        r.missing = 404;
        r.hidden = server != "NGINX";
        r.belowFile = server != "APACHE";
        controllercheck::run(r);
    }

    // A wrong password: the status and the reason, never the password (on
    // Apache: the black-box deliveries).
    void refusals()
    {
        auto c = FileTransferController::fileTransferControllerWithURL(
            serverURL("NGINX", true, "/dav/", "wrong"));
        RecordingDelegate d;
        c->setDelegate(&d);
        QVERIFY(!c->contentsOfDirectoryAtPath({}));
        QVERIFY(!c->uploadFileFromData("x", "x.txt"));
        QCOMPARE(d.events, Events({"start", "fail", "start", "fail"}));
        for (const TransferError &e : d.errors) {
            QCOMPARE(e.domain + ' ' + QString::number(e.code), QString("http 401"));
            QCOMPARE(e.description, QString("Unsupported HTTP response"));
            QVERIFY2(e.reasonText().contains("password was refused"), qPrintable(e.reasonText()));
            QVERIFY(!e.reasonText().contains("wrong"));
        }
    }

    // Redirected probes put the file where they point; a PUT answered with 207
    // or refused for its announced size fails and leaves nothing behind.
    void oddAnswers()
    {
        for (const char *base : {"/moved/", "/temp/"}) {
            auto c = FileTransferController::fileTransferControllerWithURL(
                serverURL("NGINX", false, base));
            QVERIFY(c->uploadFileFromData(base, QString("r%1.txt").arg(base[1])));
        }
        QCOMPARE(readFile(onDisk("NGINX", "/dav/rm.txt")), QByteArray("/moved/"));
        QCOMPARE(readFile(onDisk("NGINX", "/dav/rt.txt")), QByteArray("/temp/"));

        auto multi = FileTransferController::fileTransferControllerWithURL(
            serverURL("NGINX", false, "/multi/"));
        RecordingDelegate d;
        multi->setDelegate(&d);
        QVERIFY(!multi->uploadFileFromData("x", "m.txt"));
        QCOMPARE(d.errors.last().description + ' ' + QString::number(d.errors.last().code),
                 QString("Unsupported HTTP response 207"));
        QCOMPARE(entries(onDisk("NGINX", "/multi")), QStringList());

        // Over 4 GiB announced: a size cut to 32 bits would pass as 100 bytes.
        auto small = FileTransferController::fileTransferControllerWithURL(
            serverURL("NGINX", false, "/small/"));
        small->setDelegate(&d);
        FailingSource endless(std::numeric_limits<qint64>::max());
        DataReadStream stream(&endless, nullptr);
        QVERIFY(!small->uploadFileToPath("big.bin", &stream, (quint64(1) << 32) + 100));
        QCOMPARE(d.errors.last().code, 413);
        QCOMPARE(entries(onDisk("NGINX", "/small")), QStringList());
    }

    // Listing bodies: charset from the headers, entries without size, hrefs as
    // full URLs, the folder itself left out wherever it comes.
    void listingAnswers()
    {
        const QByteArray latin1 =
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><D:multistatus xmlns:D=\"DAV:\">"
            "<D:response><D:href>http://h/d/caf%C3%A9/</D:href><D:propstat><D:prop>"
            "<D:resourcetype><D:collection/></D:resourcetype>"
            "<D:creationdate>2020-01-02T03:04:05Z</D:creationdate></D:prop></D:propstat>"
            "</D:response><D:response><D:href>/d/</D:href><D:propstat><D:prop>"
            "<D:resourcetype><D:collection/></D:resourcetype></D:prop></D:propstat></D:response>"
            "<D:response><D:href>/d/bad%FF</D:href></D:response>"
            "<D:response><D:href>/d/f</D:href><D:propstat><D:prop><D:displayname>\xe9</"
            "D:displayname>"
            "<D:getlastmodified>Sun, 06 Nov 1994 08:49:37 GMT</D:getlastmodified>"
            "<D:getcontentlength>12</D:getcontentlength></D:prop></D:propstat></D:response>"
            "</D:multistatus>";
        const auto l = WebDAVTransferController::listingFromAnswer(
            latin1, "application/xml; charset=\"ISO-8859-1\"", "/d");
        QCOMPARE(l.value_or({}).keys(), QStringList({"café", "f"}));
        QCOMPARE(l->value("café").value(kNSFileType).toString(), QString(kNSFileTypeDirectory));
        QCOMPARE(l->value("café").value(kNSFileCreationDate).toDateTime(),
                 QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5), Qt::UTC));
        QVERIFY(!l->value("café").contains(kNSFileSize));
        QCOMPARE(l->value("f").value(kNSFileSize).toLongLong(), 12);
        QCOMPARE(l->value("f").value(kNSFileModificationDate).toDateTime(),
                 QDateTime(QDate(1994, 11, 6), QTime(8, 49, 37), Qt::UTC));
        // Read as UTF-8, the same body is not XML at all.
        QCOMPARE(WebDAVTransferController::listingFromAnswer(latin1, "text/xml", "/d")
                     .error()
                     .description,
                 QString("Invalid XML response"));
        QCOMPARE(WebDAVTransferController::listingFromAnswer("<html/>", "text/html", "/d")
                     .error()
                     .description,
                 QString("Unsupported MIME type \"text/html\""));
    }
};

QTEST_GUILESS_MAIN(TestWebDAVTransferController)
#include "test_webdavtransfercontroller.moc"
