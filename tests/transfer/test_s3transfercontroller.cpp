// The S3 and Google Storage controllers against the private s3rver of
// tests/servers/s3.sh (ctest fixture "s3"; connection details in
// $PV_BINARY_DIR/servers/s3.env).

#include "common/serverenv.h"
#include "common/testenv.h"
#include "core/settings.h"
#include "deliverytestutil.h"
#include "transfer/s3transfercontroller.h"
#include "transfer/urlparameters.h"

#include <QTest>

using namespace pv;
using namespace deliverytest;

class TestS3TransferController : public QObject {
    Q_OBJECT

    pvtest::IsolatedHome m_home;
    QMap<QString, QString> m_env;
    RecordingDelegate m_d;

    // The address the upload dispatch builds: the bucket as the first label of
    // the service host, the credentials escaped.
    QUrl bucketURL(const QString &bucket, const QString &hostKey = "S3_SERVICE_HOST",
                   const QString &secret = {}) const
    {
        return urlWithScheme(
            "https", m_env["S3_ACCESS_KEY"], secret.isNull() ? m_env["S3_SECRET"] : secret,
            bucket.isEmpty() ? m_env[hostKey] : bucket + '.' + m_env[hostKey], 0, {});
    }
    std::unique_ptr<StorageServiceTransferController> controller(const QUrl &url)
    {
        auto c = FileTransferController::fileTransferControllerWithURL(url);
        auto *s = dynamic_cast<StorageServiceTransferController *>(c.get());
        if (!s)
            return nullptr;
        c.release();
        s->setDelegate(&m_d);
        m_d.clear();
        return std::unique_ptr<StorageServiceTransferController>(s);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = pvtest::serverEnv("s3");
        QVERIFY2(!m_env.isEmpty(), "servers/s3.env is missing: run through ctest (fixture s3)");
        settings::setValue("S3ServiceHost", m_env["S3_SERVICE_HOST"]);
        settings::setValue("GoogleStorageServiceHost", m_env["GS_SERVICE_HOST"]);
    }

    // Objects with spaces and non-ASCII letters in their keys, on both
    // providers, signed with a secret holding "/" and "+": upload (probe, then
    // the PUT with progress), existence, download, copy and deletion.
    void objectRoundTrip_data()
    {
        QTest::addColumn<QString>("bucket");
        QTest::addColumn<QString>("hostKey");
        QTest::newRow("S3") << "pv-media"
                            << "S3_SERVICE_HOST";
        QTest::newRow("Google Storage") << "pv-gs"
                                        << "GS_SERVICE_HOST";
    }
    void objectRoundTrip()
    {
        QFETCH(QString, bucket);
        QFETCH(QString, hostKey);
        QVERIFY(m_env["S3_SECRET"].contains('/') && m_env["S3_SECRET"].contains('+'));
        auto c = controller(bucketURL(bucket, hostKey));
        QCOMPARE(c ? c->className() : QString(), hostKey.startsWith("S3")
                                                     ? "SecureAmazonS3TransferController"
                                                     : "SecureGoogleStorageTransferController");
        const QByteArray data = pattern(600 * 1024);
        const QString key = QStringLiteral("/Año 2024/Bericht für Jänner (v1).pdf");
        QVERIFY(c->itemExists(key).ok());
        QVERIFY(!c->itemExists(key).value());
        m_d.clear();
        QVERIFY(c->uploadFileFromData(data, key));
        QCOMPARE(m_d.events, Events({"start", "success", "start", "progress", "success"}));
        QVERIFY(c->itemExists(key).value());
        QCOMPARE(c->downloadFileFromPathToData(key).value_or({}), data);

        QVERIFY(c->copyPath(key.mid(1), "/copy of ä.pdf"));
        QCOMPARE(c->downloadFileFromPathToData("/copy of ä.pdf").value_or({}), data);
        const TransferResult<RemoteListing> listing = c->contentsOfDirectoryAtPath("/");
        QVERIFY(listing);
        QCOMPARE(listing->value(key.mid(1)).value(kNSFileSize).toLongLong(), data.size());
        QVERIFY(listing->value(key.mid(1)).value(kNSFileModificationDate).toDateTime().isValid());
        QVERIFY(listing->contains("copy of ä.pdf"));

        QVERIFY(c->deleteFileAtPath(key));
        QVERIFY(c->deleteFileAtPath("/copy of ä.pdf"));
        QVERIFY(!c->itemExists(key).value());
    }

    // The bare service host: the first path component is the bucket. A "?"
    // belongs to the key.
    void bareServiceHost()
    {
        auto c = controller(bucketURL({}));
        QVERIFY(c);
        // A path below a bucket's own host is refused (the rules: the signing tests).
        QVERIFY(!controller(QUrl(bucketURL("pv-media").toString(QUrl::FullyEncoded) + "/x")));
        const TransferResult<RemoteListing> buckets = c->contentsOfDirectoryAtPath("/");
        QVERIFY(buckets);
        QCOMPARE(buckets->value("pv-media").value(kNSFileType).toString(),
                 QString(kNSFileTypeDirectory));
        QVERIFY(c->uploadFileFromData("bare", "/pv-media/bare host?.txt"));
        auto inBucket = controller(bucketURL("pv-media"));
        QCOMPARE(
            inBucket->contentsOfDirectoryAtPath("/")->value("bare host?.txt").value(kNSFileSize),
            4);
        QVERIFY(!c->copyPath("bare host?.txt", "/pv-media/x"));
        QVERIFY(inBucket->deleteFileAtPath("/bare host?.txt"));
    }

    // A listing of 7 objects in pages of 2 asks four pages, each from the last
    // key of the one before.
    void listingOverPages()
    {
        auto c = controller(bucketURL(m_env["S3_PAGES_BUCKET"]));
        QVERIFY(c);
        QStringList keys;
        for (int i = 0; i < 7; ++i) {
            keys << QStringLiteral("p/%1 ü&+=%2.txt").arg(QChar('a' + i)).arg(i);
            QVERIFY(c->uploadFileFromData(QByteArray::number(i), '/' + keys.last()));
        }
        c->setListingPageSize(2);
        m_d.clear();
        const TransferResult<RemoteListing> listing = c->contentsOfDirectoryAtPath("/");
        QVERIFY(listing);
        QCOMPARE(listing->keys(), keys);
        QCOMPARE(m_d.events.count("success"), 4);
        // A sub-path is an object, not a folder: no listing.
        QVERIFY(!c->contentsOfDirectoryAtPath('/' + keys.first()));
    }

    // Refusals carry the provider's message and the status.
    void refusals()
    {
        auto wrong = controller(bucketURL("pv-media", "S3_SERVICE_HOST", "wrong/secret+"));
        QVERIFY(wrong);
        Result r = wrong->checkFolderAtPath("/");
        QVERIFY(!r);
        QCOMPARE(r.error().code, 403);
        QVERIFY2(r.error().description.startsWith("Amazon S3 Error: The request signature we "
                                                  "calculated does not match"),
                 qPrintable(r.error().description));
        QVERIFY(r.error().reasonText().contains("pv-media."));
        r = wrong->uploadFileFromData("x", "/denied.txt");
        QCOMPARE(r.error().code, 403);

        auto missing = controller(bucketURL(m_env["S3_MISSING_BUCKET"]));
        QCOMPARE(missing->checkFolderAtPath("/").error().code, 404);
        expectFailure(m_d, missing->contentsOfDirectoryAtPath("/"), 404);
    }

    // A region that takes only version 4: the refused request is sent again
    // signed with version 4 for the region the server names, without a failure
    // message, and the controller keeps version 4.
    void signatureVersion4Retry()
    {
        const QString bucket = m_env["S3_V4_BUCKET"];
        auto c = controller(bucketURL(bucket));
        QVERIFY(c->uploadFileFromData("v4", "/first.txt"));
        QCOMPARE(m_d.events, Events({"start", "success", "start", "progress", "success"}));
        QVERIFY(c->signsWithVersion4());
        QCOMPARE(c->downloadFileFromPathToData("/first.txt").value_or({}), QByteArray("v4"));

        c = controller(bucketURL(bucket));
        QVERIFY(c->checkFolderAtPath("/"));
        QVERIFY(c->contentsOfDirectoryAtPath("/")->contains("first.txt"));
        QVERIFY(c->deleteFileAtPath("/first.txt"));
    }
};

QTEST_GUILESS_MAIN(TestS3TransferController)
#include "test_s3transfercontroller.moc"
