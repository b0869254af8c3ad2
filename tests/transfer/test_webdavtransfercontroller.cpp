// The HTTP family and WebDAV controllers against the private nginx and Apache
// servers of tests/servers/webdav.sh (ctest fixture "webdav"; connection
// details in $PV_BINARY_DIR/servers/webdav.env).

#include "common/serverenv.h"
#include "controllerchecks.h"
#include "transfer/httptransfercontroller.h"

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
        QUrl url;
        url.setScheme(tls ? "https" : "http");
        url.setHost(tls ? "localhost" : "127.0.0.1");
        url.setPort(m_env.value("WEBDAV_" + server + (tls ? "_TLS_PORT" : "_PORT")).toInt());
        url.setUserName(m_env.value("WEBDAV_USER"));
        url.setPassword(password.isNull() ? m_env.value("WEBDAV_PASSWORD") : password);
        url.setPath(path);
        return url;
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
        QCOMPARE(HTTPTransferController::mimeTypeForPath("a/photo.jpg"), QString("image/jpeg"));
        QCOMPARE(HTTPTransferController::mimeTypeForPath("a.b/README"),
                 QString("application/octet-stream"));
    }
};

QTEST_GUILESS_MAIN(TestWebDAVTransferController)
#include "test_webdavtransfercontroller.moc"
