#include "transfer/httptransfercontroller.h"

#include "core/log.h"
#include "transfer/urlparameters.h"

#include <QFileInfo>
#include <QMimeDatabase>

#include <curl/curl.h>

#include <array>
#include <mutex>

namespace pv {

// ---------------------------------------------------------------------------
// Requests and responses

namespace {

qsizetype indexOfHeader(const QList<std::pair<QByteArray, QByteArray>> &headers,
                        const QByteArray &name)
{
    for (qsizetype i = 0; i < headers.size(); ++i) {
        if (headers[i].first.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

} // namespace

QByteArray HTTPRequest::header(const QByteArray &name) const
{
    const qsizetype i = indexOfHeader(headers, name);
    return i < 0 ? QByteArray() : headers[i].second;
}

void HTTPRequest::setHeader(const QByteArray &name, const QByteArray &value)
{
    const qsizetype i = indexOfHeader(headers, name);
    if (i < 0)
        headers.append({name, value});
    else
        headers[i].second = value;
}

void HTTPRequest::removeHeader(const QByteArray &name)
{
    const qsizetype i = indexOfHeader(headers, name);
    if (i >= 0)
        headers.removeAt(i);
}

QByteArray HTTPResponse::header(const QByteArray &name) const
{
    const qsizetype i = indexOfHeader(headers, name);
    return i < 0 ? QByteArray() : headers[i].second;
}

// ---------------------------------------------------------------------------
// libcurl glue

namespace {

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Connections that outlive their controller (keepConnectionAlive) wait in one
// process-wide cache shared by every controller that asks for it.
CURLSH *sharedConnections()
{
    static std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
    static CURLSH *share = [] {
        CURLSH *s = curl_share_init();
        curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(
            s, CURLSHOPT_LOCKFUNC, +[](CURL *, curl_lock_data data, curl_lock_access, void *) {
                locks[size_t(data)].lock();
            });
        curl_share_setopt(
            s, CURLSHOPT_UNLOCKFUNC,
            +[](CURL *, curl_lock_data data, void *) { locks[size_t(data)].unlock(); });
        return s;
    }();
    return share;
}

QString hostOf(const QUrl &url)
{
    return url.port() > 0 ? QStringLiteral("%1:%2").arg(url.host()).arg(url.port()) : url.host();
}

} // namespace

struct HTTPTransferController::Curl {
    explicit Curl(HTTPTransferController *c) : owner(c)
    {
        initCurlOnce();
        easy = curl_easy_init();
    }
    ~Curl()
    {
        if (easy)
            curl_easy_cleanup(easy);
    }

    HTTPTransferController *owner;
    CURL *easy = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    // State of the request under way.
    InputStream *body = nullptr;
    OutputStream *sink = nullptr;
    bool download = false;
    bool firstBytes = true;
    bool aborted = false;
    TransferError streamError;

    static size_t onHeader(char *data, size_t size, size_t count, void *self)
    {
        auto *c = static_cast<Curl *>(self);
        HTTPResponse &r = c->owner->m_response;
        const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
        if (line.startsWith("HTTP/")) {
            // A new response (after an interim one or a redirect) replaces the last.
            r.headers.clear();
            r.statusLine = line;
            const QList<QByteArray> parts = line.split(' ');
            r.status = parts.size() > 1 ? parts[1].toInt() : -1;
        } else if (const qsizetype colon = line.indexOf(':'); colon > 0) {
            r.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        return size * count;
    }

    static size_t onWrite(char *data, size_t size, size_t count, void *self)
    {
        auto *c = static_cast<Curl *>(self);
        HTTPTransferController *o = c->owner;
        const qint64 n = qint64(size * count);
        if (!c->sink || n == 0)
            return size_t(n);
        if (c->download) {
            // An error page is not the file asked for.
            if (o->m_response.status < 200 || o->m_response.status > 299)
                return size_t(n);
            if (c->firstBytes) {
                c->firstBytes = false;
                const qint64 length = o->m_response.header("Content-Length").toLongLong();
                if (length > 0)
                    o->setMaxLength(quint64(length));
            }
            if (!o->writeToOutputStream(c->sink, data, n)) {
                if (!o->shouldAbort())
                    c->streamError = c->sink->error().isNull()
                                         ? TransferError::fileTransfer(
                                               QStringLiteral("Failed writing to output stream"))
                                         : c->sink->error();
                else
                    c->aborted = true;
                return 0;
            }
            o->addToCurrentLength(quint64(n));
            return size_t(n);
        }
        for (qint64 done = 0; done < n;) {
            const qint64 w = c->sink->write(data + done, n - done);
            if (w <= 0) {
                c->streamError =
                    TransferError::fileTransfer(QStringLiteral("Failed writing to output stream"));
                return 0;
            }
            done += w;
        }
        return size_t(n);
    }

    static size_t onRead(char *buffer, size_t size, size_t count, void *self)
    {
        auto *c = static_cast<Curl *>(self);
        if (!c->body)
            return 0;
        const qint64 n = c->body->read(buffer, qint64(size * count));
        if (n >= 0)
            return size_t(n);
        if (!c->aborted && c->streamError.isNull()) {
            InputStream *source = c->owner->m_uploadSource;
            const TransferError &e =
                source && !source->error().isNull() ? source->error() : c->body->error();
            c->streamError = !e.isNull() ? e
                                         : TransferError::fileTransfer(
                                               QStringLiteral("Failed reading from data stream"));
        }
        return CURL_READFUNC_ABORT;
    }

    static int onProgress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
    {
        auto *c = static_cast<Curl *>(self);
        if (!c->owner->m_abortIgnored && c->owner->shouldAbort())
            c->aborted = true;
        return c->aborted ? 1 : 0;
    }
};

// ---------------------------------------------------------------------------
// Construction and settings

HTTPTransferController::HTTPTransferController() = default;

HTTPTransferController::~HTTPTransferController() = default;

bool HTTPTransferController::initWithBaseURL(const QUrl &url)
{
    return FileTransferController::initWithBaseURL(url) && !url.host().isEmpty();
}

void HTTPTransferController::setSSLCertificateValidationDisabled(bool disabled)
{
    // Only a secure connection has a chain to validate.
    m_disableSSLCertificates = disabled && urlScheme() == QLatin1String("https");
}

QString HTTPTransferController::mimeTypeForPath(const QString &path)
{
    const QString octets = QStringLiteral("application/octet-stream");
    const QString name = path.section(QLatin1Char('/'), -1);
    if (QFileInfo(name).suffix().isEmpty())
        return octets;
    static const QMimeDatabase db;
    const QMimeType type = db.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    return type.isValid() && !type.isDefault() ? type.name() : octets;
}

// ---------------------------------------------------------------------------
// Requests

HTTPRequest HTTPTransferController::newHTTPRequest(const QByteArray &method, const QUrl &url) const
{
    HTTPRequest r;
    r.method = method;
    r.url = url;
    r.setHeader("User-Agent", className().toUtf8());
    const QString user = userByReplacingPercentEscapes(baseURL());
    const QString password = passwordByReplacingPercentEscapes(baseURL());
    if (!user.isEmpty() && !password.isEmpty())
        r.setHeader("Authorization",
                    "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64());
    return r;
}

HTTPRequest HTTPTransferController::newHTTPRequest(const QByteArray &method,
                                                   const QString &path) const
{
    return newHTTPRequest(method, absoluteURLForRemotePath(path));
}

bool HTTPTransferController::willSendRequest(HTTPRequest &, TransferError *)
{
    return true;
}

TransferError HTTPTransferController::transportError(int code, const QUrl &url) const
{
    QString text = QString::fromUtf8(m_curl->errorBuffer).trimmed();
    if (text.isEmpty())
        text = QString::fromUtf8(curl_easy_strerror(CURLcode(code)));
    const QString host = hostOf(url);
    if (!text.contains(url.host()))
        text = QStringLiteral("%1: %2").arg(host, text);
    TransferError e;
    e.domain = QString::fromLatin1(kCurlErrorDomain);
    e.code = code;
    e.description = text;
    e.userInfo = {
        {QStringLiteral("curl error"), QString::fromUtf8(curl_easy_strerror(CURLcode(code)))},
        {QString::fromLatin1(kNSLocalizedDescriptionKey), text}};
    return e;
}

TransferError HTTPTransferController::unsupportedResponse() const
{
    const QString host = hostOf(m_response.url.isValid() ? m_response.url : baseURL());
    QString why;
    if (!m_response.isValid()) {
        why = QStringLiteral("no answer from %1").arg(host);
    } else {
        why = QStringLiteral("%1 from %2").arg(QString::fromUtf8(m_response.statusLine), host);
        if (m_response.status == 401)
            why += QStringLiteral(": the user name or password was refused");
        else if (m_response.status == 403)
            why += QStringLiteral(": permission denied");
    }
    TransferError e;
    e.domain = QString::fromLatin1(kHTTPErrorDomain);
    e.code = m_response.status;
    e.description = QStringLiteral("Unsupported HTTP response");
    e.userInfo = {{QString::fromLatin1(kHTTPErrorKey), why},
                  {QString::fromLatin1(kNSLocalizedDescriptionKey), e.description}};
    return e;
}

QByteArray HTTPTransferController::bodyOf(const OutputStream *stream)
{
    const auto *memory = dynamic_cast<const MemoryOutputStream *>(stream);
    return memory ? memory->data() : QByteArray();
}

bool HTTPTransferController::performRequest(HTTPRequest request, InputStream *body,
                                            OutputStream *responseBody, bool isFileTransfer,
                                            TransferError *error)
{
    *error = TransferError();
    m_response = HTTPResponse();
    if (!willSendRequest(request, error))
        return false;
    if (!request.url.isValid() || request.url.host().isEmpty()) {
        *error = TransferError::fileTransfer(
            QStringLiteral("\"%1\" is not reachable").arg(request.url.toString()));
        return false;
    }
    if (!m_curl)
        m_curl = std::make_unique<Curl>(this);
    Curl &c = *m_curl;
    CURL *h = c.easy;
    if (!h) {
        *error = TransferError::fileTransfer(QStringLiteral("Could not start an HTTP session"));
        return false;
    }
    // Clears the options of the last request but keeps its connection.
    curl_easy_reset(h);
    c.errorBuffer[0] = 0;
    c.body = body;
    c.sink = responseBody;
    c.download = responseBody && !body && isFileTransfer;
    c.firstBytes = true;
    c.aborted = false;
    c.streamError = TransferError();

    const QByteArray url = request.url.toEncoded();
    curl_easy_setopt(h, CURLOPT_URL, url.constData());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, c.errorBuffer);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Curl::onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &c);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Curl::onWrite);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &c);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Curl::onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &c);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, long(kChunkSize));
    if (m_keepAlive)
        curl_easy_setopt(h, CURLOPT_SHARE, sharedConnections());

    const bool isPut = request.method == "PUT";
    if (request.method == "HEAD") {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (request.method == "GET") {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.constData());
    }
    if (body || isPut) {
        curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, long(kChunkSize));
        curl_easy_setopt(h, CURLOPT_READFUNCTION, &Curl::onRead);
        curl_easy_setopt(h, CURLOPT_READDATA, &c);
        // 64-bit: bodies beyond 2 GiB are announced with their true size.
        const qint64 length = body ? request.bodyLength : 0;
        if (length >= 0)
            curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, curl_off_t(length));
    } else {
        // A request without a body follows redirects by itself.
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    }
    if (m_disableSSLCertificates) {
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    if (timeOut() > 0) {
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, long(timeOut() * 1000));
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, std::max(1L, long(timeOut())));
    }
    curl_slist *headers = nullptr;
    QString logged =
        QStringLiteral("%1 %2").arg(QString::fromLatin1(request.method), QString::fromLatin1(url));
    for (const auto &[name, value] : request.headers) {
        headers = curl_slist_append(headers, (name + ": " + value).constData());
        // Credentials and signatures stay out of the log.
        const bool secret = name.compare("Authorization", Qt::CaseInsensitive) == 0;
        logged += QStringLiteral("\n%1: %2")
                      .arg(QString::fromLatin1(name),
                           secret ? QStringLiteral("<hidden>") : QString::fromLatin1(value));
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    debug(lcTransfer(), QStringLiteral("%1: %2").arg(className(), logged));

    const CURLcode rc = curl_easy_perform(h);
    curl_slist_free_all(headers);
    c.body = nullptr;
    c.sink = nullptr;

    char *effective = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
        m_response.url = QUrl::fromEncoded(QByteArray(effective));
    else
        m_response.url = request.url;
    long status = 0;
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0)
        m_response.status = int(status);

    if (rc == CURLE_OK && m_response.isValid()) {
        debug(lcTransfer(),
              QStringLiteral("%1: %2").arg(className(), QString::fromUtf8(m_response.statusLine)));
        return true;
    }
    if (c.aborted)
        return false;
    if (!c.streamError.isNull()) {
        *error = c.streamError;
        return false;
    }
    *error = transportError(int(rc == CURLE_OK ? CURLE_GOT_NOTHING : rc), request.url);
    log(lcTransfer(), QStringLiteral("%1: %2").arg(className(), error->description));
    return false;
}

TransferResult<QVariant> HTTPTransferController::runRequest(HTTPRequest request, InputStream *body,
                                                            OutputStream *responseBody,
                                                            const QString &userInfo,
                                                            bool isFileTransfer)
{
    // A download's target takes part in throttling and the digest; the answer
    // to an upload is only collected.
    const bool download = responseBody && !body && isFileTransfer;
    if (responseBody) {
        const bool opened = download ? openOutputStream(responseBody, true) : responseBody->open();
        if (!opened) {
            sendDidStart();
            const TransferError &e = responseBody->error();
            return sendDidFail(!e.isNull() ? e
                                           : TransferError::fileTransfer(
                                                 QStringLiteral("Failed opening output stream")));
        }
    }
    if (body && !body->open()) {
        if (responseBody)
            responseBody->close();
        sendDidStart();
        TransferError e = m_uploadSource && !m_uploadSource->error().isNull()
                              ? m_uploadSource->error()
                              : body->error();
        if (e.isNull())
            e = TransferError::fileTransfer(QStringLiteral("Failed opening data stream"));
        return sendDidFail(e);
    }
    sendDidStart();
    TransferError error;
    const bool answered =
        performRequest(std::move(request), body, responseBody, isFileTransfer, &error);
    if (body)
        body->close();
    bool flushed = true;
    if (responseBody) {
        if (download) {
            flushed = flushOutputStream(responseBody);
            closeOutputStream(responseBody);
        } else {
            responseBody->close();
        }
    }
    if (!answered) {
        if (error.isNull())
            return TransferResult<QVariant>::abandoned();
        return sendDidFail(error);
    }
    if (!flushed)
        return sendDidFail(
            !responseBody->error().isNull()
                ? responseBody->error()
                : TransferError::fileTransfer(QStringLiteral("Failed flushing output stream")));
    const QVariant value = processReadResultStream(responseBody, userInfo, &error);
    if (!value.isValid())
        return sendDidFail(error.isNull() ? unsupportedResponse() : error);
    sendDidSucceed();
    return value;
}

QVariant HTTPTransferController::processReadResultStream(OutputStream *, const QString &userInfo,
                                                         TransferError *error)
{
    const int status = m_response.status;
    if (userInfo == QLatin1String("HEAD")) {
        if (status == 200 || status == 404)
            return QVariant::fromValue(m_response.url);
        if (status == 301 || status == 307) {
            const QByteArray location = m_response.header("Location");
            if (!location.isEmpty())
                return QVariant::fromValue(m_response.url.resolved(QUrl::fromEncoded(location)));
        }
    } else if (userInfo == QLatin1String("GET")) {
        if (status == 200)
            return true;
    } else if (userInfo == QLatin1String("PUT")) {
        if (status == 200 || status == 201 || status == 204)
            return true;
    }
    if (error && error->isNull())
        *error = unsupportedResponse();
    return {};
}

// ---------------------------------------------------------------------------
// Upload and download

TransferResult<QUrl> HTTPTransferController::finalURLForPath(const QString &path)
{
    MemoryOutputStream answer;
    const TransferResult<QVariant> probe =
        runRequest(newHTTPRequest("HEAD", path), nullptr, hasUploadDataStream() ? &answer : nullptr,
                   QStringLiteral("HEAD"), false);
    if (!probe)
        return probe.error();
    return probe->toUrl();
}

Result HTTPTransferController::_uploadFileToPath(const QString &remotePath, InputStream *stream)
{
    if (!stream || stream->status() != TransferStream::NotOpen)
        return TransferError::fileTransfer(QStringLiteral("Failed opening data stream"));
    m_lastUploadURL.clear();
    m_didCreateFinalURL = false;
    const TransferResult<QUrl> target = finalURLForPath(remotePath);
    m_didCreateFinalURL = true;
    if (!target)
        return target.error();

    HTTPRequest put = newHTTPRequest("PUT", *target);
    put.setHeader("Content-Type", mimeTypeForPath(remotePath).toLatin1());
    put.bodyLength = maxLength() > 0 ? qint64(maxLength()) : stream->knownLength();
    m_uploadSource = stream;
    DataReadStream body(this, stream);
    MemoryOutputStream answer;
    const TransferResult<QVariant> sent =
        runRequest(std::move(put), &body, hasUploadDataStream() ? &answer : nullptr,
                   QStringLiteral("PUT"), true);
    m_uploadSource = nullptr;
    if (!sent)
        return sent.error();
    m_lastUploadURL = *target;
    return {};
}

Result HTTPTransferController::_downloadFileFromPath(const QString &remotePath,
                                                     OutputStream *stream)
{
    if (!stream || stream->status() != TransferStream::NotOpen)
        return TransferError::fileTransfer(QStringLiteral("Failed opening output stream"));
    const TransferResult<QVariant> got =
        runRequest(newHTTPRequest("GET", remotePath), nullptr, stream, QStringLiteral("GET"), true);
    return got ? Result() : got.error();
}

// ---------------------------------------------------------------------------
// Data source of the PUT body

bool HTTPTransferController::openDataStream(void *userInfo)
{
    if (m_uploadSource && userInfo == m_uploadSource)
        return openInputStream(m_uploadSource, true);
    return FileTransferController::openDataStream(userInfo);
}

qint64 HTTPTransferController::readDataFromStream(void *userInfo, char *buffer, qint64 maxLength)
{
    if (!m_uploadSource || userInfo != m_uploadSource)
        return FileTransferController::readDataFromStream(userInfo, buffer, maxLength);
    if (shouldAbort()) {
        if (m_curl)
            m_curl->aborted = true;
        return -1;
    }
    const qint64 n = readFromInputStream(m_uploadSource, buffer, maxLength);
    if (n > 0)
        addToCurrentLength(quint64(n));
    return n;
}

void HTTPTransferController::closeDataStream(void *userInfo)
{
    if (m_uploadSource && userInfo == m_uploadSource)
        closeInputStream(m_uploadSource);
    else
        FileTransferController::closeDataStream(userInfo);
}

} // namespace pv
