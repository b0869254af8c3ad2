#include "transfer/s3transfercontroller.h"

#include "core/log.h"
#include "transfer/s3signature.h"
#include "transfer/urlparameters.h"

namespace pv {

namespace {

const QString kBucketListing = QStringLiteral("GET/");
const QString kDelete = QStringLiteral("DELETE");
const QString kCopy = QStringLiteral("COPY");
const QString kLocation = QStringLiteral("location");

s3::SignableRequest signableFrom(const HTTPRequest &request)
{
    return {request.method, request.url.host(QUrl::FullyEncoded).toUtf8(),
            request.url.path(QUrl::FullyEncoded).toLatin1(),
            request.url.query(QUrl::FullyEncoded).toLatin1(), request.headers};
}

} // namespace

bool StorageServiceTransferController::initWithBaseURL(const QUrl &url)
{
    m_provider = currentProvider();
    if (!m_provider.acceptsBaseURL(url) || !HTTPTransferController::initWithBaseURL(url))
        return false;
    // Deliveries in a row go to the same bucket: the next controller takes
    // over the connection (and its TLS session) instead of opening its own.
    setKeepConnectionAlive(true);
    return true;
}

QUrl StorageServiceTransferController::absoluteURLForRemotePath(const QString &remotePath) const
{
    // The whole path is the key: a file named "a?b" is stored as such, never
    // cut into a key and a query.
    return m_provider.requestURL(baseURL(), absolutePathForRemotePath(remotePath), QString());
}

HTTPRequest StorageServiceTransferController::requestFor(const QByteArray &method,
                                                         const QString &path,
                                                         const QString &query) const
{
    return newHTTPRequest(method,
                          m_provider.requestURL(baseURL(), absolutePathForRemotePath(path), query));
}

QString StorageServiceTransferController::bucketOfHost() const
{
    const QString host = baseURL().host();
    if (m_provider.isBareServiceHost(host))
        return QString();
    return host.left(host.size() - m_provider.serviceHost.size() - 1);
}

// ---------------------------------------------------------------------------
// Signing and answers

bool StorageServiceTransferController::willSendRequest(HTTPRequest &request, TransferError *)
{
    if (!m_retrying) {
        m_unsignedRequest = request;
        // The upload's probe goes as any request; only the PUT after it (and a
        // download's GET) streams a body that cannot be had again.
        m_streaming =
            (m_uploading && request.method == "PUT") || (m_downloading && request.method == "GET");
    }
    // The signature is the credential: the secret itself never travels.
    request.removeHeader("Authorization");
    s3::SignableRequest signable = signableFrom(request);
    const QString key = userByReplacingPercentEscapes(baseURL());
    const QString secret = passwordByReplacingPercentEscapesSFTP(baseURL());
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (m_useV4) {
        // A streamed body is not hashed beforehand; over TLS the services take that.
        const bool streamedBody = m_uploading && request.method == "PUT";
        s3::signV4(signable, key, secret, m_region, now,
                   streamedBody ? QByteArray(s3::kUnsignedPayload) : s3::sha256Hex({}));
    } else {
        s3::signV2(signable, key, secret, now, m_provider.serviceHost, m_provider.domainSuffix);
    }
    request.headers = signable.headers;
    return true;
}

QVariant StorageServiceTransferController::processReadResultStream(OutputStream *dataStream,
                                                                   const QString &userInfo,
                                                                   TransferError *error)
{
    s3::ParsedBody parsed =
        s3::parseBody(responseHeaders().header("Content-Type"), bodyOf(dataStream));
    const std::optional<QString> region =
        m_retrying ? std::nullopt
                   : s3::regionForV4Retry(responseHeaders().status,
                                          responseHeaders().header("x-amz-bucket-region"),
                                          parsed.xml.get());
    MemoryOutputStream again;
    if (region && (!m_useV4 || *region != m_region)) {
        log(lcTransfer(), QStringLiteral("%1: %2 asks for signature version 4 (region %3)")
                              .arg(className(), baseURL().host(), *region));
        m_useV4 = true;
        m_region = *region;
        // A body that went out streamed cannot be sent again; the switch then
        // serves the next request.
        if (!m_streaming) {
            again.open();
            m_retrying = true;
            TransferError sendError;
            const bool answered =
                performRequest(m_unsignedRequest, nullptr, &again, false, &sendError);
            m_retrying = false;
            again.close();
            if (!answered) {
                if (error)
                    *error = sendError;
                return {};
            }
            dataStream = &again;
            parsed = s3::parseBody(responseHeaders().header("Content-Type"), again.data());
        }
    }
    return interpret(dataStream, userInfo, parsed, error);
}

QVariant StorageServiceTransferController::interpret(OutputStream *dataStream,
                                                     const QString &userInfo,
                                                     const s3::ParsedBody &parsed,
                                                     TransferError *error)
{
    const HTTPResponse &r = responseHeaders();
    QString headers;
    for (const auto &[name, value] : r.headers)
        headers +=
            QStringLiteral("\n%1: %2").arg(QString::fromLatin1(name), QString::fromUtf8(value));
    debug(lcTransfer(),
          QStringLiteral("%1: %2%3").arg(className(), QString::fromUtf8(r.statusLine), headers));

    TransferError produced = parsed.error;
    QVariant result;
    if (userInfo == kBucketListing) {
        if (r.status == 200 && parsed.xml) {
            if (std::optional<s3::BucketPage> page = s3::bucketPageFrom(*parsed.xml))
                result = QVariant::fromValue(*page);
        }
    } else if (userInfo == kDelete) {
        if (r.status == 204)
            result = true;
    } else if (userInfo == kLocation) {
        if (r.status == 200 && parsed.xml &&
            parsed.xml->rootNode().name() == QLatin1String("LocationConstraint"))
            result = true;
    } else if (userInfo == kCopy) {
        if (r.status == 200 && parsed.xml &&
            parsed.xml->rootNode().name() == QLatin1String("CopyObjectResult"))
            result = true;
    } else {
        result = HTTPTransferController::processReadResultStream(dataStream, userInfo, &produced);
    }
    if (result.isValid())
        return result;
    TransferError e = s3::providerError(r.status, parsed.xml.get(), produced);
    if (e.domain == QLatin1String(kHTTPErrorDomain)) {
        // The status line and the host come first, for the delivery's detail.
        e.userInfo.prepend(unsupportedResponse().userInfo.first());
    }
    if (error)
        *error = e;
    return {};
}

// ---------------------------------------------------------------------------
// Operations

QVariant StorageServiceTransferController::exchange(HTTPRequest request, const QString &userInfo,
                                                    TransferError *error)
{
    MemoryOutputStream answer;
    answer.open();
    const bool answered = performRequest(std::move(request), nullptr, &answer, false, error);
    answer.close();
    if (!answered)
        return {};
    return processReadResultStream(&answer, userInfo, error);
}

Result StorageServiceTransferController::runOperation(HTTPRequest request, const QString &userInfo)
{
    MemoryOutputStream answer;
    const TransferResult<QVariant> done =
        runRequest(std::move(request), nullptr, &answer, userInfo, false);
    return done ? Result() : Result(done.error());
}

TransferResult<s3::BucketPage>
StorageServiceTransferController::bucketKeysForPath(const QString &path, const QString &prefix,
                                                    const QString &marker, const QString &delimiter,
                                                    quint64 maxKeys)
{
    MemoryOutputStream answer;
    const TransferResult<QVariant> page =
        runRequest(requestFor("GET", path, s3::bucketPageQuery(prefix, marker, delimiter, maxKeys)),
                   nullptr, &answer, kBucketListing, false);
    if (!page)
        return page.error();
    return page->value<s3::BucketPage>();
}

TransferResult<RemoteListing>
StorageServiceTransferController::contentsOfDirectoryAtPath(const QString &path)
{
    RemoteListing listing;
    QString marker;
    for (;;) {
        const TransferResult<s3::BucketPage> page =
            bucketKeysForPath(path, QString(), marker, QString(), m_pageSize);
        if (!page)
            return page.error();
        listing.insert(page->items);
        if (!page->isTruncated)
            return listing;
        // A server that answers a page without moving on would be asked for it for ever.
        if (page->lastKey.isEmpty() || page->lastKey.toUtf8() <= marker.toUtf8())
            return sendDidFail(TransferError::fileTransfer(
                QStringLiteral("The listing of %1 does not go on after \"%2\"")
                    .arg(baseURL().host(), page->lastKey)));
        marker = page->lastKey;
    }
}

Result StorageServiceTransferController::checkFolderAtPath(const QString &path)
{
    TransferError error;
    // The bucket's location answers in constant time (a listing may take as
    // long as the bucket is large on some servers); keys that may list but not
    // read the location are asked for one key of a listing instead.
    if (!bucketOfHost().isEmpty() && absolutePathForRemotePath(path) == QLatin1String("/")) {
        if (exchange(requestFor("GET", path, kLocation), kLocation, &error).isValid())
            return {};
        if (responseHeaders().status != 403)
            return error;
    }
    if (!exchange(requestFor("GET", path, s3::bucketPageQuery({}, {}, {}, 1)), kBucketListing,
                  &error)
             .isValid())
        return error;
    return {};
}

TransferResult<bool> StorageServiceTransferController::itemExists(const QString &path)
{
    TransferError error;
    if (!exchange(requestFor("HEAD", path), QStringLiteral("HEAD"), &error).isValid())
        return error;
    // The HEAD rules take 200 and 404 (and redirects, which name no object here).
    return responseHeaders().status == 200;
}

Result StorageServiceTransferController::createDirectoryAtPath(const QString &path)
{
    return runOperation(requestFor("PUT", path), QStringLiteral("PUT"));
}

Result StorageServiceTransferController::deleteFileAtPath(const QString &path)
{
    return runOperation(requestFor("DELETE", path), kDelete);
}

Result StorageServiceTransferController::deleteDirectoryAtPath(const QString &path)
{
    return deleteFileAtPath(path);
}

Result StorageServiceTransferController::copyPath(const QString &fromPath, const QString &toPath)
{
    if (fromPath.isEmpty())
        return failOperation(QStringLiteral("No source to copy"));
    QString source = fromPath;
    if (!source.startsWith(QLatin1Char('/'))) {
        const QString bucket = bucketOfHost();
        if (bucket.isEmpty())
            return failNotReachable(fromPath, toPath);
        source = QLatin1Char('/') + bucket + QLatin1Char('/') + source;
    }
    HTTPRequest request = requestFor("PUT", toPath);
    request.setHeader("x-amz-copy-source", s3::uriEncode(source, true));
    return runOperation(std::move(request), kCopy);
}

Result StorageServiceTransferController::_uploadFileToPath(const QString &remotePath,
                                                           InputStream *stream)
{
    m_uploading = true;
    const Result done = HTTPTransferController::_uploadFileToPath(remotePath, stream);
    m_uploading = false;
    return done;
}

Result StorageServiceTransferController::_downloadFileFromPath(const QString &remotePath,
                                                               OutputStream *stream)
{
    m_downloading = true;
    const Result done = HTTPTransferController::_downloadFileFromPath(remotePath, stream);
    m_downloading = false;
    return done;
}

} // namespace pv
