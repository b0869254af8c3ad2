#include "transfer/ftptransfercontroller.h"

#include "core/fileops.h"
#include "core/log.h"
#include "core/settings.h"
#include "transfer/ftperrors.h"
#include "transfer/ftplisting.h"
#include "transfer/urlparameters.h"

#include <QCryptographicHash>
#include <QStringEncoder>

#include <curl/curl.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <vector>

namespace pv {

namespace {

// Folders nested deeper than this are not removed (a server that lists a
// folder inside itself would otherwise never let go).
constexpr int kMaxRemoveDepth = 64;

void globalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

QString parentOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : path.left(slash);
}

bool allDigits3(const QByteArray &line)
{
    return std::isdigit(uchar(line[0])) && std::isdigit(uchar(line[1])) &&
           std::isdigit(uchar(line[2]));
}

QString withoutLeadingSlashes(QString path)
{
    while (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    return path;
}

} // namespace

namespace {

// What the library's data and progress callbacks of one transfer work with.
struct Progress {
    FTPTransferController *controller = nullptr;
    InputStream *input = nullptr;
    OutputStream *output = nullptr;
    bool aborted = false;
    bool streamFailed = false;
};

} // namespace

struct FTPTransferController::Callbacks {
    static int debug(CURL *, curl_infotype type, char *data, size_t size, void *self);
    static size_t read(char *buffer, size_t size, size_t count, void *progress);
    static size_t write(char *buffer, size_t size, size_t count, void *progress);
    static size_t collect(char *buffer, size_t size, size_t count, void *out);
    static size_t discard(char *buffer, size_t size, size_t count, void *);
    static int xfer(void *progress, curl_off_t dltotal, curl_off_t, curl_off_t, curl_off_t);
};

FTPTransferController::FTPTransferController() = default;

namespace {

// Logging on is the dearest step of an operation (servers hash the password
// on purpose slowly: tens of milliseconds each time), and a burst of small
// deliveries would pay it per file. Handles of ended controllers are kept
// with their live connection for a short while, a few at most, and taken by
// the next controller for the same server and log-on. The library checks a
// kept connection before it uses it again and connects anew when the server
// has closed it.
constexpr qint64 kIdleMilliseconds = 30000;
constexpr size_t kMaxIdleHandles = 4;

struct IdleHandle {
    QByteArray key;
    CURL *handle;
    qint64 since;
};

std::mutex &poolMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Never destroyed: saying goodbye to servers is no work for the exit path.
std::vector<IdleHandle> &pool()
{
    static auto *handles = new std::vector<IdleHandle>;
    return *handles;
}

qint64 nowMs()
{
    return qint64(monotonicSeconds() * 1000);
}

// Removes and returns the handles kept too long (to be cleaned up outside the lock).
std::vector<CURL *> takeExpired(std::vector<IdleHandle> &handles, qint64 now)
{
    std::vector<CURL *> expired;
    for (auto it = handles.begin(); it != handles.end();) {
        if (now - it->since > kIdleMilliseconds) {
            expired.push_back(it->handle);
            it = handles.erase(it);
        } else {
            ++it;
        }
    }
    return expired;
}

CURL *takeIdleHandle(const QByteArray &key)
{
    std::vector<CURL *> expired;
    CURL *found = nullptr;
    {
        std::lock_guard lock(poolMutex());
        expired = takeExpired(pool(), nowMs());
        for (auto it = pool().begin(); it != pool().end(); ++it) {
            if (it->key == key) {
                found = it->handle;
                pool().erase(it);
                break;
            }
        }
    }
    for (CURL *h : expired)
        curl_easy_cleanup(h);
    return found;
}

void putIdleHandle(const QByteArray &key, CURL *handle)
{
    std::vector<CURL *> expired;
    {
        std::lock_guard lock(poolMutex());
        const qint64 now = nowMs();
        expired = takeExpired(pool(), now);
        pool().push_back({key, handle, now});
        if (pool().size() > kMaxIdleHandles) {
            expired.push_back(pool().front().handle);
            pool().erase(pool().begin());
        }
    }
    for (CURL *h : expired)
        curl_easy_cleanup(h);
}

} // namespace

FTPTransferController::~FTPTransferController()
{
    if (!m_handle)
        return;
    if (m_keepAlive) {
        // Drop the options (they point into this controller), keep the connection.
        curl_easy_reset(m_handle);
        putIdleHandle(m_poolKey, m_handle);
    } else {
        curl_easy_cleanup(m_handle);
    }
}

QByteArray FTPTransferController::poolKey() const
{
    // The log-on enters the key only as a digest.
    const QUrl &base = baseURL();
    return urlScheme().toUtf8() + ' ' + libraryURLPrefix() + ' ' +
           QCryptographicHash::hash(userByReplacingPercentEscapes(base).toUtf8() + '\0' +
                                        passwordByReplacingPercentEscapes(base).toUtf8(),
                                    QCryptographicHash::Sha256)
               .toHex();
}

bool FTPTransferController::initWithBaseURL(const QUrl &url)
{
    if (!FileTransferController::initWithBaseURL(url) || url.host().isEmpty())
        return false;
    globalInit();
    // Made here: in the destructor the subclass's overrides no longer answer.
    m_poolKey = poolKey();
    m_handle = takeIdleHandle(m_poolKey);
    if (!m_handle)
        m_handle = curl_easy_init();
    if (!m_handle) {
        log(lcTransfer(), QStringLiteral("%1: curl_easy_init() failed").arg(urlScheme()));
        return false;
    }
    return true;
}

QByteArray FTPTransferController::encoded(const QString &text) const
{
    QStringEncoder encode(m_encoding);
    return encode(text);
}

QByteArray FTPTransferController::libraryURLPrefix() const
{
    const QUrl &base = baseURL();
    QByteArray prefix = "ftp://" + QUrl::toAce(base.host());
    if (base.port() > 0)
        prefix += ':' + QByteArray::number(base.port());
    return prefix;
}

QByteArray FTPTransferController::libraryURLForRemotePath(const QString &remotePath,
                                                          bool directory) const
{
    // An empty first component after the leading "/" ("//in/box", which is
    // how "%2Fin%2Fbox" reads) makes the library start at the server's root.
    QByteArray path;
    const QStringList parts = absolutePathForRemotePath(remotePath).split(QLatin1Char('/'));
    for (qsizetype i = 1; i < parts.size(); ++i) {
        if (parts[i].isEmpty() && i > 1 && i + 1 == parts.size())
            break;
        path += '/' + encoded(parts[i]).toPercentEncoding();
    }
    if (directory && !path.endsWith('/'))
        path += '/';
    if (path.isEmpty())
        path = "/";
    return libraryURLPrefix() + path;
}

int FTPTransferController::Callbacks::debug(CURL *, curl_infotype type, char *data, size_t size,
                                            void *self)
{
    // Text and headers only: payload and TLS records would make the
    // transcript as large as the transfer.
    if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT)
        return 0;
    auto *c = static_cast<FTPTransferController *>(self);
    QByteArray chunk(data, qsizetype(size));
    if (chunk.endsWith('\n'))
        chunk.chop(1);
    if (chunk.endsWith('\r'))
        chunk.chop(1);
    if (type == CURLINFO_HEADER_OUT && chunk.startsWith("PASS "))
        chunk = "PASS <password>";
    // The server's last answer, but not its goodbye: the library says QUIT
    // before it reports a failure.
    if (type == CURLINFO_HEADER_OUT && chunk.startsWith("QUIT"))
        c->m_quitting = true;
    if (type == CURLINFO_HEADER_IN && !c->m_quitting && chunk.size() >= 3 && allDigits3(chunk))
        c->m_lastStatus = chunk.left(3).toInt();
    QStringDecoder decode(c->m_encoding);
    QString line = decode(chunk);
    if (decode.hasError())
        line = QString::fromLatin1(chunk);
    c->m_transcript.append(type == CURLINFO_HEADER_OUT  ? QStringLiteral("> ") + line
                           : type == CURLINFO_HEADER_IN ? QStringLiteral("< ") + line
                                                        : QStringLiteral("* ") + line);
    if (c->m_transcript.size() > kMaxTranscript)
        c->m_transcript.removeFirst();
    return 0;
}

void FTPTransferController::resetHandle()
{
    m_transcript.clear();
    m_errorBuffer[0] = '\0';
    curl_easy_reset(m_handle);
    curl_easy_setopt(m_handle, CURLOPT_FORBID_REUSE, m_keepAlive ? 0L : 1L);
    curl_easy_setopt(m_handle, CURLOPT_IPRESOLVE, long(CURL_IPRESOLVE_V4));
    curl_easy_setopt(m_handle, CURLOPT_NOSIGNAL, 1L);
    if (timeOut() > 0)
        curl_easy_setopt(m_handle, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(std::ceil(timeOut())));
    curl_easy_setopt(m_handle, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(m_handle, CURLOPT_DEBUGFUNCTION, &Callbacks::debug);
    curl_easy_setopt(m_handle, CURLOPT_DEBUGDATA, this);
    // Plain PASV: EPSV is refused or mishandled by servers behind NAT routers.
    curl_easy_setopt(m_handle, CURLOPT_FTP_USE_EPSV, 0L);
    curl_easy_setopt(m_handle, CURLOPT_ERRORBUFFER, m_errorBuffer);
    curl_easy_setopt(m_handle, CURLOPT_NOPROGRESS, 1L);
    // Probes without a body still report sizes and dates as header lines.
    curl_easy_setopt(m_handle, CURLOPT_WRITEFUNCTION, &Callbacks::discard);
    curl_easy_setopt(m_handle, CURLOPT_HEADERFUNCTION, &Callbacks::discard);
    m_lastStatus = 0;
    m_quitting = false;
    // Credentials go to the library apart from the URL, so no escaping can
    // mix them up and no URL text carries them.
    const QUrl &base = baseURL();
    const QString user = userByReplacingPercentEscapes(base);
    const QString password = passwordByReplacingPercentEscapes(base);
    if (!user.isEmpty()) {
        curl_easy_setopt(m_handle, CURLOPT_USERNAME, encoded(user).constData());
        curl_easy_setopt(m_handle, CURLOPT_PASSWORD, encoded(password).constData());
    }
}

int FTPTransferController::perform()
{
    curl_easy_setopt(m_handle, CURLOPT_ERRORBUFFER, m_errorBuffer);
    return int(curl_easy_perform(m_handle));
}

TransferError FTPTransferController::libraryError(int code) const
{
    QString text = QString::fromUtf8(m_errorBuffer);
    if (text.isEmpty())
        text = QString::fromUtf8(curl_easy_strerror(CURLcode(code)));
    // The library's words for the usual troubles say what went wrong, not why.
    switch (code) {
    case CURLE_LOGIN_DENIED:
        text += QStringLiteral(": wrong user name or password");
        break;
    case CURLE_USE_SSL_FAILED:
        text += QStringLiteral(": the server refused TLS");
        break;
    case CURLE_REMOTE_ACCESS_DENIED:
        if (!text.contains(QLatin1String("MKD")))
            text += QStringLiteral(": no such folder, or no access");
        break;
    default:
        break;
    }
    const QString host = baseURL().host();
    if (!text.contains(host))
        text += QStringLiteral(" (server %1)").arg(host);
    const int status = m_lastStatus;
    TransferError error;
    error.domain = QString::fromLatin1(kCurlErrorDomain);
    error.code = code;
    error.description = text;
    if (status >= 400)
        error.userInfo.append({QString::fromLatin1(kFTPStatusCodeKey), qint64(status)});
    error.userInfo.append({QString::fromLatin1(kNSLocalizedDescriptionKey), text});
    error.userInfo.append({QString::fromLatin1(kLastServerMessageKey), m_transcript});
    return error;
}

bool FTPTransferController::isUnsafeName(const QString &path)
{
    return path.contains(QLatin1Char('\r')) || path.contains(QLatin1Char('\n')) ||
           path.contains(QChar(0));
}

// ---------------------------------------------------------------------------
// Callbacks

size_t FTPTransferController::Callbacks::read(char *buffer, size_t size, size_t count, void *p)
{
    auto *progress = static_cast<Progress *>(p);
    FTPTransferController *c = progress->controller;
    if (c->shouldAbort()) {
        progress->aborted = true;
        return CURL_READFUNC_ABORT;
    }
    const qint64 n = c->readFromInputStream(progress->input, buffer, qint64(size * count));
    if (n < 0) {
        progress->streamFailed = true;
        return CURL_READFUNC_ABORT;
    }
    c->addToCurrentLength(quint64(n));
    return size_t(n);
}

size_t FTPTransferController::Callbacks::write(char *buffer, size_t size, size_t count, void *p)
{
    auto *progress = static_cast<Progress *>(p);
    FTPTransferController *c = progress->controller;
    const qint64 n = qint64(size * count);
    if (c->shouldAbort()) {
        progress->aborted = true;
        return 0;
    }
    if (!c->writeToOutputStream(progress->output, buffer, n)) {
        progress->aborted = c->shouldAbort();
        progress->streamFailed = !progress->aborted;
        return 0;
    }
    c->addToCurrentLength(quint64(n));
    return size_t(n);
}

size_t FTPTransferController::Callbacks::collect(char *buffer, size_t size, size_t count, void *out)
{
    static_cast<QByteArray *>(out)->append(buffer, qsizetype(size * count));
    return size * count;
}

size_t FTPTransferController::Callbacks::discard(char *, size_t size, size_t count, void *)
{
    return size * count;
}

int FTPTransferController::Callbacks::xfer(void *p, curl_off_t dltotal, curl_off_t, curl_off_t,
                                           curl_off_t)
{
    auto *progress = static_cast<Progress *>(p);
    FTPTransferController *c = progress->controller;
    if (progress->output && c->maxLength() == 0 && dltotal > 0) {
        const quint64 current = c->currentLength();
        c->setMaxLength(quint64(dltotal));
        c->setCurrentLength(current);
    }
    if (c->shouldAbort()) {
        progress->aborted = true;
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Transfers

Result FTPTransferController::_uploadFileToPath(const QString &remotePath, InputStream *stream)
{
    if (!stream || stream->status() != TransferStream::NotOpen)
        return TransferError::fileTransfer(QStringLiteral("Failed opening data stream"));
    const QString folder = parentOf(remotePath);
    const QString name = lastPathComponent(absolutePathForRemotePath(remotePath));
    const QString temporary = folder + QLatin1Char('/') + temporaryNameFor(name);

    resetHandle();
    Progress progress{this, stream, nullptr};
    curl_easy_setopt(m_handle, CURLOPT_URL, libraryURLForRemotePath(temporary, false).constData());
    curl_easy_setopt(m_handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(m_handle, CURLOPT_READFUNCTION, &Callbacks::read);
    curl_easy_setopt(m_handle, CURLOPT_READDATA, &progress);
    curl_easy_setopt(m_handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(m_handle, CURLOPT_XFERINFOFUNCTION, &Callbacks::xfer);
    curl_easy_setopt(m_handle, CURLOPT_XFERINFODATA, &progress);
    curl_easy_setopt(m_handle, CURLOPT_UPLOAD_BUFFERSIZE, long(kChunkSize));
    curl_easy_setopt(m_handle, CURLOPT_INFILESIZE_LARGE,
                     maxLength() > 0 ? curl_off_t(maxLength()) : curl_off_t(-1));
    // A server may take long to answer after the last byte of a large file.
    const qint64 minutes = settings::intValue(QStringLiteral("ftpResponseTimeout"));
    curl_easy_setopt(m_handle, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                     long(std::max<qint64>(180, minutes * 60)));
    if (!openInputStream(stream, true))
        return stream->error().isNull()
                   ? TransferError::fileTransfer(QStringLiteral("Failed opening data stream"))
                   : stream->error();

    sendDidStart();
    const int code = perform();
    closeInputStream(stream);
    if (progress.aborted) {
        removeQuietly(temporary);
        return Result::abandoned();
    }
    if (code != CURLE_OK) {
        TransferError error = libraryError(code);
        if (progress.streamFailed && !stream->error().isNull())
            error = stream->error();
        removeQuietly(temporary);
        return sendDidFail(error);
    }
    QString placed;
    m_renameError = TransferError();
    if (placeItem(renamesIn(folder), lastPathComponent(temporary), name, replacesExistingItems(),
                  &placed)) {
        const TransferError error =
            m_renameError.isNull()
                ? TransferError::fileTransfer(
                      QStringLiteral("\"%1\" could not be put in place").arg(remotePath))
                : m_renameError;
        removeQuietly(temporary);
        return sendDidFail(error);
    }
    setStoredPath(folder.isEmpty() && !remotePath.startsWith(QLatin1Char('/'))
                      ? placed
                      : folder + QLatin1Char('/') + placed);
    sendDidSucceed();
    return Result();
}

Result FTPTransferController::_downloadFileFromPath(const QString &remotePath, OutputStream *stream)
{
    if (!stream || stream->status() != TransferStream::NotOpen)
        return TransferError::fileTransfer(QStringLiteral("Failed opening data stream"));
    resetHandle();
    Progress progress{this, nullptr, stream};
    curl_easy_setopt(m_handle, CURLOPT_URL, libraryURLForRemotePath(remotePath, false).constData());
    curl_easy_setopt(m_handle, CURLOPT_WRITEFUNCTION, &Callbacks::write);
    curl_easy_setopt(m_handle, CURLOPT_WRITEDATA, &progress);
    curl_easy_setopt(m_handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(m_handle, CURLOPT_XFERINFOFUNCTION, &Callbacks::xfer);
    curl_easy_setopt(m_handle, CURLOPT_XFERINFODATA, &progress);
    curl_easy_setopt(m_handle, CURLOPT_BUFFERSIZE, long(kChunkSize));
    if (!openOutputStream(stream, true))
        return stream->error().isNull()
                   ? TransferError::fileTransfer(QStringLiteral("Failed opening data stream"))
                   : stream->error();

    sendDidStart();
    const int code = perform();
    Result result;
    if (progress.aborted) {
        result = Result::abandoned();
    } else if (code != CURLE_OK) {
        TransferError error = libraryError(code);
        if (progress.streamFailed && !stream->error().isNull())
            error = stream->error();
        result = sendDidFail(error);
    } else if (!flushOutputStream(stream)) {
        result = sendDidFail(stream->error().isNull()
                                 ? TransferError::fileTransfer(
                                       QStringLiteral("Failed flushing output stream (status = %1)")
                                           .arg(int(stream->status())))
                                 : stream->error());
    } else {
        sendDidSucceed();
    }
    closeOutputStream(stream);
    return result;
}

// ---------------------------------------------------------------------------
// Listing and queries

TransferResult<RemoteListing> FTPTransferController::contentsOfDirectoryAtPath(const QString &path)
{
    resetHandle();
    QByteArray data;
    curl_easy_setopt(
        m_handle, CURLOPT_URL,
        libraryURLForRemotePath(path.isEmpty() ? QStringLiteral("/") : path, true).constData());
    curl_easy_setopt(m_handle, CURLOPT_WRITEFUNCTION, &Callbacks::collect);
    curl_easy_setopt(m_handle, CURLOPT_WRITEDATA, &data);
    sendDidStart();
    if (const int code = perform())
        return sendDidFail(libraryError(code));
    std::optional<RemoteListing> listing = parseFTPDirectoryListing(data, m_encoding);
    if (!listing)
        return sendDidFail(TransferError::fileTransfer(
            QStringLiteral("Failed parsing FTP listing (invalid character encoding)")));
    sendDidSucceed();
    return *listing;
}

Result FTPTransferController::checkFolderAtPath(const QString &path)
{
    // Changing into the folder is enough: no listing of its entries.
    resetHandle();
    curl_easy_setopt(m_handle, CURLOPT_URL, libraryURLForRemotePath(path, true).constData());
    curl_easy_setopt(m_handle, CURLOPT_NOBODY, 1L);
    if (const int code = perform())
        return libraryError(code);
    return {};
}

int FTPTransferController::probe(const QString &path, TransferError *error)
{
    // SIZE answers for files; a name that has no size may be a folder, which
    // changing into it tells. A missing parent folder makes both fail.
    resetHandle();
    curl_easy_setopt(m_handle, CURLOPT_URL, libraryURLForRemotePath(path, false).constData());
    curl_easy_setopt(m_handle, CURLOPT_NOBODY, 1L);
    int code = perform();
    if (code == CURLE_OK)
        return 1;
    if (code != CURLE_REMOTE_FILE_NOT_FOUND && code != CURLE_FTP_COULDNT_RETR_FILE) {
        *error = libraryError(code);
        // A parent that cannot be entered holds no such name.
        return code == CURLE_REMOTE_ACCESS_DENIED ? 0 : -1;
    }
    resetHandle();
    curl_easy_setopt(m_handle, CURLOPT_URL, libraryURLForRemotePath(path, true).constData());
    curl_easy_setopt(m_handle, CURLOPT_NOBODY, 1L);
    code = perform();
    if (code == CURLE_OK)
        return 1;
    if (code == CURLE_REMOTE_ACCESS_DENIED)
        return 0;
    *error = libraryError(code);
    return -1;
}

TransferResult<bool> FTPTransferController::itemExists(const QString &path)
{
    TransferError error;
    const int found = probe(path, &error);
    if (found < 0)
        return error;
    return found == 1;
}

// ---------------------------------------------------------------------------
// Commands

int FTPTransferController::runCommands(const QByteArray &url, const QStringList &commands)
{
    resetHandle();
    curl_easy_setopt(m_handle, CURLOPT_URL, url.constData());
    curl_easy_setopt(m_handle, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(m_handle, CURLOPT_WRITEFUNCTION, &Callbacks::discard);
    curl_slist *list = nullptr;
    for (const QString &command : commands)
        list = curl_slist_append(list, encoded(command).constData());
    if (list)
        curl_easy_setopt(m_handle, CURLOPT_POSTQUOTE, list);
    else
        curl_easy_setopt(m_handle, CURLOPT_FTP_CREATE_MISSING_DIRS, long(CURLFTP_CREATE_DIR));
    const int code = perform();
    curl_slist_free_all(list);
    return code;
}

Result FTPTransferController::commandOperation(const QString &path, const QString &otherPath,
                                               const QStringList &commands)
{
    if (isUnsafeName(path) || isUnsafeName(otherPath))
        return failOperation(
            QStringLiteral("\"%1\" cannot be used on an FTP server: the name holds a line break")
                .arg(isUnsafeName(path) ? path : otherPath));
    sendDidStart();
    const QByteArray url = commands.isEmpty() ? libraryURLForRemotePath(path, true)
                                              : libraryURLForRemotePath(QStringLiteral("/"), true);
    if (const int code = runCommands(url, commands))
        return sendDidFail(libraryError(code));
    sendDidSucceed();
    return Result();
}

Result FTPTransferController::createDirectoryAtPath(const QString &path)
{
    return commandOperation(path, QString(), {});
}

Result FTPTransferController::deleteFileAtPath(const QString &path)
{
    return commandOperation(path, QString(),
                            {QStringLiteral("DELE ") + withoutLeadingSlashes(path)});
}

Result FTPTransferController::deleteDirectoryAtPath(const QString &path)
{
    return commandOperation(path, QString(),
                            {QStringLiteral("RMD ") + withoutLeadingSlashes(path)});
}

Result FTPTransferController::movePath(const QString &fromPath, const QString &toPath)
{
    return commandOperation(fromPath, toPath,
                            {QStringLiteral("RNFR ") + withoutLeadingSlashes(fromPath),
                             QStringLiteral("RNTO ") + withoutLeadingSlashes(toPath)});
}

int FTPTransferController::removeTree(const QString &path, int depth)
{
    const QString command = withoutLeadingSlashes(path);
    const QByteArray base = libraryURLForRemotePath(QStringLiteral("/"), true);
    if (runCommands(base, {QStringLiteral("DELE ") + command}) == CURLE_OK)
        return CURLE_OK;
    // Not a file: a folder to empty first, hidden entries included.
    resetHandle();
    QByteArray data;
    curl_easy_setopt(m_handle, CURLOPT_URL, libraryURLForRemotePath(path, true).constData());
    curl_easy_setopt(m_handle, CURLOPT_CUSTOMREQUEST, "LIST -a");
    curl_easy_setopt(m_handle, CURLOPT_WRITEFUNCTION, &Callbacks::collect);
    curl_easy_setopt(m_handle, CURLOPT_WRITEDATA, &data);
    int code = perform();
    if (code == CURLE_REMOTE_ACCESS_DENIED)
        return CURLE_OK; // nothing there
    if (code != CURLE_OK)
        return code;
    const std::optional<RemoteListing> entries = parseFTPDirectoryListing(data, m_encoding);
    if (!entries)
        return CURLE_WEIRD_SERVER_REPLY;
    for (auto it = entries->cbegin(); it != entries->cend(); ++it) {
        // Names from the server never lead out of the folder being removed.
        if (it.key().contains(QLatin1Char('/')) || isUnsafeName(it.key()))
            return CURLE_WEIRD_SERVER_REPLY;
        const QString child = path + QLatin1Char('/') + it.key();
        if (it->value(QString::fromLatin1(kNSFileType)).toString() ==
            QLatin1String(kNSFileTypeDirectory)) {
            if (depth >= kMaxRemoveDepth)
                return CURLE_WEIRD_SERVER_REPLY;
            if ((code = removeTree(child, depth + 1)))
                return code;
        } else if ((code = runCommands(base,
                                       {QStringLiteral("DELE ") + withoutLeadingSlashes(child)}))) {
            return code;
        }
    }
    return runCommands(base, {QStringLiteral("RMD ") + command});
}

Result FTPTransferController::deleteDirectoryRecursivelyAtPath(const QString &path)
{
    if (isUnsafeName(path))
        return commandOperation(path, QString(), {});
    sendDidStart();
    if (const int code = removeTree(path, 0))
        return sendDidFail(libraryError(code));
    sendDidSucceed();
    return Result();
}

void FTPTransferController::removeQuietly(const QString &path)
{
    if (runCommands(libraryURLForRemotePath(QStringLiteral("/"), true),
                    {QStringLiteral("DELE ") + withoutLeadingSlashes(path)}) != CURLE_OK)
        log(lcTransfer(), QStringLiteral("FTPTransferController: could not remove the partial "
                                         "upload %1: %2")
                              .arg(path, QString::fromUtf8(m_errorBuffer)));
}

FileTransferController::SiblingRenames FTPTransferController::renamesIn(const QString &folder)
{
    auto at = [folder](const QString &name) {
        return withoutLeadingSlashes(folder.isEmpty() ? name : folder + QLatin1Char('/') + name);
    };
    auto rename = [this, at](const QString &from, const QString &to) {
        const QByteArray base = libraryURLForRemotePath(QStringLiteral("/"), true);
        if (runCommands(base, {QStringLiteral("RNFR ") + at(from),
                               QStringLiteral("RNTO ") + at(to)}) == CURLE_OK)
            return 0;
        m_renameError = libraryError(CURLE_QUOTE_ERROR);
        // Servers refuse to rename onto a folder; one in the way is moved aside.
        TransferError ignored;
        return probe(QLatin1Char('/') + at(to), &ignored) == 1 ? EEXIST : EIO;
    };
    return {rename,
            [this, at, rename](const QString &from, const QString &to) {
                // FTP has no rename that refuses to replace: look first.
                TransferError error;
                const int found = probe(QLatin1Char('/') + at(to), &error);
                if (found < 0) {
                    m_renameError = error;
                    return EIO;
                }
                return found == 1 ? EEXIST : rename(from, to);
            },
            [this, at](const QString &name) {
                return removeTree(QLatin1Char('/') + at(name), 0) == CURLE_OK ? 0 : EIO;
            }};
}

Result FTPTransferController::moveIntoPlace(const QString &temporaryPath, const QString &finalPath)
{
    setStoredPath({});
    if (isUnsafeName(temporaryPath) || isUnsafeName(finalPath))
        return commandOperation(temporaryPath, finalPath, {});
    sendDidStart();
    const QString folder = parentOf(finalPath);
    QString placed;
    m_renameError = TransferError();
    if (placeItem(renamesIn(folder), lastPathComponent(temporaryPath),
                  lastPathComponent(absolutePathForRemotePath(finalPath)), replacesExistingItems(),
                  &placed))
        return sendDidFail(
            m_renameError.isNull()
                ? TransferError::fileTransfer(
                      QStringLiteral("\"%1\" could not be put in place").arg(finalPath))
                : m_renameError);
    setStoredPath(folder.isEmpty() && !finalPath.startsWith(QLatin1Char('/'))
                      ? placed
                      : folder + QLatin1Char('/') + placed);
    sendDidSucceed();
    return Result();
}

// ---------------------------------------------------------------------------
// FTPS

void FTPSTransferController::applyDestinationSettings(const QVariantMap &destination)
{
    m_verify = destination.value(QString::fromLatin1(kQFVerifyCertificates)).toInt() != 0;
}

void FTPSTransferController::resetHandle()
{
    FTPTransferController::resetHandle();
    curl_easy_setopt(handle(), CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
    // Self-signed certificates are common on FTP servers: verification is
    // the destination's choice.
    curl_easy_setopt(handle(), CURLOPT_SSL_VERIFYPEER, m_verify ? 1L : 0L);
    curl_easy_setopt(handle(), CURLOPT_SSL_VERIFYHOST, m_verify ? 2L : 0L);
    // vsftpd (require_ssl_reuse, its default) insists that data connections
    // resume the control connection's session; with TLS 1.3 tickets that
    // fails now and then ("522"), with TLS 1.2 session ids it holds.
    curl_easy_setopt(handle(), CURLOPT_SSLVERSION,
                     long(CURL_SSLVERSION_TLSv1_2) | long(CURL_SSLVERSION_MAX_TLSv1_2));
}

QByteArray FTPSTransferController::libraryURLPrefix() const
{
    // Port 990 means TLS from the first byte; any other port starts in plain
    // text and upgrades with AUTH TLS (required, so a refusal fails).
    const QUrl &base = baseURL();
    if (base.port() == 990)
        return "ftps://" + QUrl::toAce(base.host());
    QByteArray prefix = "ftp://" + QUrl::toAce(base.host());
    if (base.port() > 0)
        prefix += ':' + QByteArray::number(base.port());
    return prefix;
}

} // namespace pv
