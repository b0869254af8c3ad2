#include "transfer/filetransfercontroller.h"
#include "core/fileops.h"
#include "core/journal.h"

#include "core/log.h"
#include "transfer/urlparameters.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <openssl/evp.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

namespace pv {

// ---------------------------------------------------------------------------
// Delegate defaults

void FileTransferControllerDelegate::fileTransferControllerDidStart(FileTransferController *) {}
void FileTransferControllerDelegate::fileTransferControllerDidUpdateProgress(
    FileTransferController *)
{}
void FileTransferControllerDelegate::fileTransferControllerDidSucceed(FileTransferController *) {}
void FileTransferControllerDelegate::fileTransferControllerDidFail(FileTransferController *,
                                                                   const TransferError &)
{}
bool FileTransferControllerDelegate::fileTransferControllerShouldAbort(FileTransferController *)
{
    return false;
}
bool FileTransferControllerDelegate::fileTransferControllerClaims(FileTransferController *,
                                                                  const QString &, bool)
{
    return true;
}

// ---------------------------------------------------------------------------
// Process-wide throttling state

namespace {

std::atomic<quint64> g_maxUploadSpeed{0};
std::atomic<quint64> g_maxDownloadSpeed{0};

// The next moment (steady-clock seconds) at which a throttled chunk may start,
// per direction. The lock is only held to read or update the value.
struct Budget {
    std::mutex lock;
    double nextAllowed = 0;
};
Budget g_uploadBudget;
Budget g_downloadBudget;

// Abort requests must be seen within about a second even while a slow limit
// makes one chunk take many seconds, so long sleeps are cut into slices.
constexpr double kSleepSlice = 0.1;

bool isPrivateIPv4(const QString &host)
{
    in_addr a{};
    if (inet_pton(AF_INET, host.toLatin1().constData(), &a) != 1)
        return false;
    const quint32 ip = ntohl(a.s_addr);
    return (ip >> 24) == 10 || (ip >> 20) == ((172u << 4) | 1u) ||
           (ip >> 16) == ((192u << 8) | 168u);
}

} // namespace

namespace {

QString normalisedHost(const QString &hostIn)
{
    QString host = hostIn.trimmed().toLower();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    return host;
}

} // namespace

bool isThisMachine(const QString &hostIn)
{
    const QString host = normalisedHost(hostIn);
    if (host.isEmpty())
        return false;
    if (host == QLatin1String("localhost") || host == QLatin1String("localhost.localdomain"))
        return true;
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) == 0) {
        const QString own = QString::fromLocal8Bit(name).toLower();
        if (!own.isEmpty() && (host == own || host == own.section(QLatin1Char('.'), 0, 0) ||
                               host.section(QLatin1Char('.'), 0, 0) == own))
            return true;
    }
    // One of this machine's interface addresses, compared in binary form.
    in6_addr a6{};
    in_addr a4{};
    const QByteArray h = host.toLatin1();
    const bool is4 = inet_pton(AF_INET, h.constData(), &a4) == 1;
    const bool is6 = !is4 && inet_pton(AF_INET6, h.constData(), &a6) == 1;
    if (!is4 && !is6)
        return false;
    if (is4 && (ntohl(a4.s_addr) >> 24) == 127)
        return true;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (ifaddrs *i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr)
            continue;
        if (is4 && i->ifa_addr->sa_family == AF_INET) {
            const auto *sin = reinterpret_cast<const sockaddr_in *>(i->ifa_addr);
            found = sin->sin_addr.s_addr == a4.s_addr;
        } else if (is6 && i->ifa_addr->sa_family == AF_INET6) {
            const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(i->ifa_addr);
            found = std::memcmp(&sin6->sin6_addr, &a6, sizeof(a6)) == 0;
        }
    }
    freeifaddrs(list);
    return found;
}

double monotonicSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool isLocalHostName(const QString &hostIn)
{
    const QString host = normalisedHost(hostIn);
    if (host.isEmpty())
        return false;
    return host.endsWith(QLatin1String(".local")) || isPrivateIPv4(host) || isThisMachine(host);
}

// ---------------------------------------------------------------------------
// Construction

FileTransferController::FileTransferController() = default;

FileTransferController::~FileTransferController()
{
    dropDigest();
}

bool FileTransferController::initWithBaseURL(const QUrl &url)
{
    if (!url.isValid() || url.scheme().compare(urlScheme(), Qt::CaseInsensitive) != 0)
        return false;
    m_baseURL = url;
    m_localHost = isLocalHostName(url.host());
    return true;
}

quint64 FileTransferController::globalMaximumUploadSpeed()
{
    return g_maxUploadSpeed.load();
}
void FileTransferController::setGlobalMaximumUploadSpeed(quint64 bytesPerSecond)
{
    g_maxUploadSpeed.store(bytesPerSecond);
}
quint64 FileTransferController::globalMaximumDownloadSpeed()
{
    return g_maxDownloadSpeed.load();
}
void FileTransferController::setGlobalMaximumDownloadSpeed(quint64 bytesPerSecond)
{
    g_maxDownloadSpeed.store(bytesPerSecond);
}

// ---------------------------------------------------------------------------
// Progress

float FileTransferController::transferProgress() const
{
    if (m_maxLength == 0)
        return std::numeric_limits<float>::quiet_NaN();
    const double p = double(m_currentLength) / double(m_maxLength);
    return float(std::min(p, 1.0));
}

void FileTransferController::setMaxLength(quint64 length)
{
    m_maxLength = length;
    m_currentLength = 0;
}

void FileTransferController::setCurrentLength(quint64 length)
{
    if (m_maxLength == 0 || length == m_currentLength)
        return;
    m_currentLength = length;
    sendDidUpdateProgress();
}

QByteArray FileTransferController::lastTransferDigestData() const
{
    if (!m_hasDigest)
        return {};
    return QByteArray(reinterpret_cast<const char *>(m_digestBuffer), 16);
}

// ---------------------------------------------------------------------------
// Paths

QString FileTransferController::absolutePathForRemotePath(const QString &remotePath) const
{
    const QString base = m_baseURL.path(QUrl::FullyDecoded);
    QString path;
    if (base.isEmpty())
        path = remotePath;
    else if (remotePath.isEmpty())
        path = base;
    else if (!base.endsWith(QLatin1Char('/')) && !remotePath.startsWith(QLatin1Char('/')))
        path = base + QLatin1Char('/') + remotePath;
    else
        path = base + remotePath;
    if (path.isEmpty())
        return QStringLiteral("/");
    if (!path.startsWith(QLatin1Char('/')))
        path.prepend(QLatin1Char('/'));
    return path;
}

QUrl FileTransferController::absoluteURLForRemotePath(const QString &remotePath) const
{
    QUrl u;
    u.setScheme(m_baseURL.scheme());
    u.setHost(m_baseURL.host());
    u.setPort(m_baseURL.port());
    // Decoded mode escapes "?" and "#" in names, so they stay part of the path.
    u.setPath(absolutePathForRemotePath(remotePath), QUrl::DecodedMode);
    const QString q = queryByReplacingPercentEscapes(m_baseURL);
    if (!q.isEmpty())
        u.setQuery(q, QUrl::DecodedMode);
    return u;
}

QUrl FileTransferController::fullAbsoluteURLForRemotePath(const QString &remotePath) const
{
    QUrl u = absoluteURLForRemotePath(remotePath);
    if (!u.isValid())
        return u;
    u.setUserName(m_baseURL.userName(QUrl::FullyDecoded), QUrl::DecodedMode);
    const QString pw = passwordByReplacingPercentEscapes(m_baseURL);
    if (!pw.isEmpty())
        u.setPassword(pw, QUrl::DecodedMode);
    return u;
}

// ---------------------------------------------------------------------------
// Delegate senders

void FileTransferController::sendDidStart()
{
    if (m_delegate)
        m_delegate->fileTransferControllerDidStart(this);
}

void FileTransferController::sendDidUpdateProgress()
{
    if (m_delegate)
        m_delegate->fileTransferControllerDidUpdateProgress(this);
}

void FileTransferController::sendDidSucceed()
{
    if (m_delegate)
        m_delegate->fileTransferControllerDidSucceed(this);
}

TransferError FileTransferController::sendDidFail(const TransferError &error)
{
    if (m_delegate)
        m_delegate->fileTransferControllerDidFail(this, error);
    return error;
}

bool FileTransferController::shouldAbort()
{
    return m_delegate && m_delegate->fileTransferControllerShouldAbort(this);
}

TransferError FileTransferController::failOperation(const QString &text)
{
    sendDidStart();
    return sendDidFail(TransferError::fileTransfer(text));
}

TransferError FileTransferController::failNotReachable(const QString &path)
{
    return sendDidFail(
        TransferError::fileTransfer(QStringLiteral("\"%1\" is not reachable").arg(path)));
}

TransferError FileTransferController::failNotReachable(const QString &path1, const QString &path2)
{
    return sendDidFail(TransferError::fileTransfer(
        QStringLiteral("\"%1\" or \"%2\" are not reachable").arg(path1, path2)));
}

TransferError FileTransferController::unsupported()
{
    return TransferError::fileTransfer(
        QStringLiteral("Operation not supported by this controller"));
}

// ---------------------------------------------------------------------------
// Operations: base versions

TransferResult<RemoteListing> FileTransferController::contentsOfDirectoryAtPath(const QString &)
{
    return failOperation(unsupported().description);
}

Result FileTransferController::checkFolderAtPath(const QString &path)
{
    const TransferResult<RemoteListing> listing = contentsOfDirectoryAtPath(path);
    if (!listing)
        return listing.error();
    return {};
}

TransferResult<bool> FileTransferController::itemExists(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash <= 0 ? QStringLiteral("/") : path.left(slash);
    const TransferResult<RemoteListing> listing = contentsOfDirectoryAtPath(folder);
    if (!listing)
        return listing.error();
    return listing->contains(path.mid(slash + 1));
}

Result FileTransferController::createDirectoryAtPath(const QString &)
{
    return failOperation(unsupported().description);
}

Result FileTransferController::deleteFileAtPath(const QString &)
{
    return failOperation(unsupported().description);
}

Result FileTransferController::deleteDirectoryAtPath(const QString &)
{
    return failOperation(unsupported().description);
}

Result FileTransferController::deleteDirectoryRecursivelyAtPath(const QString &)
{
    return failOperation(unsupported().description);
}

Result FileTransferController::movePath(const QString &, const QString &)
{
    return failOperation(unsupported().description);
}

Result FileTransferController::copyPath(const QString &, const QString &)
{
    return failOperation(unsupported().description);
}

Result FileTransferController::moveIntoPlace(const QString &, const QString &)
{
    m_storedPath.clear();
    return failOperation(unsupported().description);
}

Result FileTransferController::_uploadFileToPath(const QString &, InputStream *)
{
    return failOperation(unsupported().description);
}

Result FileTransferController::_downloadFileFromPath(const QString &, OutputStream *)
{
    return failOperation(unsupported().description);
}

Result FileTransferController::setItemDates(const QString &, const QDateTime &, const QDateTime &)
{
    return unsupported();
}

Result FileTransferController::setItemTag(const QString &, const QString &)
{
    return unsupported();
}

// ---------------------------------------------------------------------------
// Temporary names and putting items in place

namespace {
const QLatin1String kTemporarySuffix(".pvpart");
// Numbered names tried before giving up on a folder that seems to hold them all.
constexpr qint64 kMaxNumberedNames = 100000;
} // namespace

QString FileTransferController::temporaryNameFor(const QString &finalName)
{
    // Kept short enough for any file system whatever the length of the final name.
    QString stem = finalName;
    if (stem.toUtf8().size() > 200)
        stem = stem.left(50);
    return QLatin1Char('.') + stem + QLatin1Char('.') +
           QString::number(QRandomGenerator::global()->generate64(), 36) + kTemporarySuffix;
}

bool FileTransferController::isTemporaryName(const QString &name)
{
    return name.startsWith(QLatin1Char('.')) && name.endsWith(kTemporarySuffix) &&
           name.size() > kTemporarySuffix.size() + 2;
}

int FileTransferController::placeItem(const SiblingRenames &renames, const QString &from,
                                      const QString &name, bool replace, QString *placedName)
{
    if (!replace) {
        for (qint64 n = 0; n < kMaxNumberedNames; ++n) {
            const QString candidate = n == 0 ? name : numberedName(name, n);
            const int err = renames.renameExclusive(from, candidate);
            if (err == 0) {
                killPointForTests("renamed");
                *placedName = candidate;
            }
            if (err != EEXIST)
                return err;
        }
        return EEXIST;
    }
    int err = renames.rename(from, name);
    if (err == 0) {
        *placedName = name;
        return 0;
    }
    if (err != EEXIST && err != ENOTEMPTY && err != EISDIR && err != ENOTDIR)
        return err;
    // A folder in the way (or a file where a folder goes): move it aside, so it can
    // come back when the new item cannot take its place, and remove it afterwards.
    const QString aside = temporaryNameFor(name);
    if ((err = renames.rename(name, aside)))
        return err;
    if ((err = renames.renameExclusive(from, name))) {
        if (const int backErr = renames.rename(aside, name))
            log(lcTransfer(),
                QStringLiteral("FileTransferController: \"%1\" could not be put back from "
                               "\"%2\": %3")
                    .arg(name, aside, QString::fromLocal8Bit(std::strerror(backErr))));
        return err;
    }
    if (const int removeErr = renames.remove(aside))
        log(lcTransfer(),
            QStringLiteral("FileTransferController: could not remove the replaced \"%1\" (now "
                           "\"%2\"): %3")
                .arg(name, aside, QString::fromLocal8Bit(std::strerror(removeErr))));
    *placedName = name;
    return 0;
}

// ---------------------------------------------------------------------------
// Convenience operations

Result FileTransferController::uploadFileToPath(const QString &remotePath, InputStream *stream)
{
    // A protocol that picks another name when putting the file in place changes it.
    m_storedPath = remotePath;
    Result result = _uploadFileToPath(remotePath, stream);
    if (!result)
        m_storedPath.clear();
    setMaxLength(0);
    return result;
}

Result FileTransferController::uploadFileToPath(const QString &remotePath, InputStream *stream,
                                                quint64 length)
{
    setMaxLength(length);
    return uploadFileToPath(remotePath, stream);
}

Result FileTransferController::uploadFileFromPath(const QString &localPath,
                                                  const QString &remotePath)
{
    // Follow links to the file they finally name; a dangling link or a vanished
    // file is reported, so the caller never mistakes it for a delivered file.
    QString path = QDir::cleanPath(localPath);
    struct stat st {};
    for (int hops = 0;; ++hops) {
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
            const int err = errno;
            sendDidStart();
            return sendDidFail(TransferError::posix(err, path));
        }
        if (!S_ISLNK(st.st_mode))
            break;
        if (hops >= 40) {
            sendDidStart();
            return sendDidFail(TransferError::posix(ELOOP, localPath));
        }
        const QString target = QFile::symLinkTarget(path);
        if (target.isEmpty()) {
            sendDidStart();
            return sendDidFail(TransferError::posix(ENOENT, path));
        }
        path = target;
    }
    FileInputStream stream(path);
    return uploadFileToPath(remotePath, &stream, quint64(st.st_size));
}

Result FileTransferController::uploadFileFromData(const QByteArray &data, const QString &remotePath)
{
    if (data.isNull())
        return TransferError::fileTransfer(QStringLiteral("No data to upload"));
    MemoryInputStream stream(data);
    return uploadFileToPath(remotePath, &stream, quint64(data.size()));
}

Result FileTransferController::uploadFileFromBytes(const char *bytes, quint64 length,
                                                   const QString &remotePath)
{
    if (!bytes)
        return TransferError::fileTransfer(QStringLiteral("No data to upload"));
    DataByteRange range{const_cast<char *>(bytes), length};
    DataReadStream stream(this, &range);
    return uploadFileToPath(remotePath, &stream, length);
}

Result FileTransferController::downloadFileFromPath(const QString &remotePath, OutputStream *stream)
{
    Result result = _downloadFileFromPath(remotePath, stream);
    setMaxLength(0);
    return result;
}

Result FileTransferController::downloadFileFromPath(const QString &remotePath,
                                                    const QString &localPath)
{
    const QString path = QDir::cleanPath(localPath);
    FileOutputStream stream(path);
    Result result = downloadFileFromPath(remotePath, &stream);
    // Remove the partial file, but only a regular file this download created or
    // truncated: never a device such as /dev/null or a file it could not open.
    struct stat st {};
    if (!result && stream.wasOpened() && ::lstat(QFile::encodeName(path).constData(), &st) == 0 &&
        S_ISREG(st.st_mode))
        ::unlink(QFile::encodeName(path).constData());
    return result;
}

TransferResult<QByteArray>
FileTransferController::downloadFileFromPathToData(const QString &remotePath)
{
    MemoryOutputStream stream;
    if (Result result = downloadFileFromPath(remotePath, &stream); !result)
        return result.error();
    return stream.data();
}

Result FileTransferController::downloadFileFromPathToNull(const QString &remotePath)
{
    NullOutputStream stream;
    return downloadFileFromPath(remotePath, &stream);
}

TransferResult<qint64> FileTransferController::downloadFileFromPath(const QString &remotePath,
                                                                    char *buffer, quint64 capacity)
{
    DataByteRange range{buffer, capacity};
    DataWriteStream stream(this, &range);
    if (Result result = downloadFileFromPath(remotePath, &stream); !result)
        return result.error();
    return qint64(capacity - range.length);
}

// ---------------------------------------------------------------------------
// Data-source protocol: base behaviour on a DataByteRange

bool FileTransferController::openDataStream(void *)
{
    return true;
}

qint64 FileTransferController::readDataFromStream(void *userInfo, char *buffer, qint64 maxLength)
{
    auto *range = static_cast<DataByteRange *>(userInfo);
    if (!range || maxLength < 0)
        return -1;
    const quint64 n = std::min<quint64>(range->length, quint64(maxLength));
    if (n > 0) {
        std::memcpy(buffer, range->bytes, n);
        range->bytes += n;
        range->length -= n;
    }
    return qint64(n);
}

qint64 FileTransferController::writeDataToStream(void *userInfo, const char *buffer,
                                                 qint64 maxLength)
{
    auto *range = static_cast<DataByteRange *>(userInfo);
    if (!range || maxLength < 0)
        return -1;
    // A full buffer is a failure rather than a silent truncation.
    if (maxLength > 0 && range->length == 0)
        return -1;
    const quint64 n = std::min<quint64>(range->length, quint64(maxLength));
    if (n > 0) {
        std::memcpy(range->bytes, buffer, n);
        range->bytes += n;
        range->length -= n;
    }
    return qint64(n);
}

void FileTransferController::closeDataStream(void *) {}

// ---------------------------------------------------------------------------
// Digest

void FileTransferController::dropDigest()
{
    if (m_digestContext) {
        EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(m_digestContext));
        m_digestContext = nullptr;
    }
}

bool FileTransferController::finaliseDigest()
{
    if (!m_digestContext)
        return true;
    auto *ctx = static_cast<EVP_MD_CTX *>(m_digestContext);
    unsigned int len = 0;
    const bool ok = EVP_DigestFinal_ex(ctx, m_digestBuffer, &len) == 1 && len == 16;
    dropDigest();
    m_hasDigest = ok;
    return ok;
}

// ---------------------------------------------------------------------------
// Stream-layer primitives

namespace {

bool startDigest(void **context)
{
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (!ctx)
        return false;
    if (EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        return false;
    }
    *context = ctx;
    return true;
}

} // namespace

bool FileTransferController::openStream(TransferStream *stream, bool isFileTransfer,
                                        quint64 speedLimit)
{
    m_totalSize = 0;
    m_fileTransfer = isFileTransfer;
    m_maxSpeed = 0;
    if (isFileTransfer) {
        std::memset(m_digestBuffer, 0, sizeof(m_digestBuffer));
        m_hasDigest = false;
        dropDigest();
        if (m_digestComputation && !startDigest(&m_digestContext))
            return false;
        m_maxSpeed = m_localHost ? 0 : double(speedLimit);
    }
    if (!stream->open() || stream->status() != TransferStream::Open) {
        dropDigest();
        return false;
    }
    return true;
}

bool FileTransferController::openOutputStream(OutputStream *stream, bool isFileTransfer)
{
    return openStream(stream, isFileTransfer, m_maxDownloadSpeed);
}

bool FileTransferController::openInputStream(InputStream *stream, bool isFileTransfer)
{
    return openStream(stream, isFileTransfer, m_maxUploadSpeed);
}

void FileTransferController::closeOutputStream(OutputStream *stream)
{
    dropDigest();
    stream->close();
}

void FileTransferController::closeInputStream(InputStream *stream)
{
    dropDigest();
    stream->close();
}

void FileTransferController::sleepInterruptibly(double seconds)
{
    const double until = monotonicSeconds() + seconds;
    for (;;) {
        const double left = until - monotonicSeconds();
        if (left <= 0)
            return;
        const double slice = std::min(left, kSleepSlice);
        std::this_thread::sleep_for(std::chrono::microseconds(qint64(slice * 1e6)));
        if (left > kSleepSlice && shouldAbort())
            return;
    }
}

double FileTransferController::throttleBefore(Direction d)
{
    if (m_maxSpeed > 0)
        return monotonicSeconds();
    if (!m_fileTransfer || m_localHost)
        return 0;
    const quint64 global =
        d == Direction::Upload ? g_maxUploadSpeed.load() : g_maxDownloadSpeed.load();
    if (global == 0)
        return 0;
    Budget &budget = d == Direction::Upload ? g_uploadBudget : g_downloadBudget;
    const double start = monotonicSeconds();
    for (;;) {
        double next;
        {
            std::lock_guard<std::mutex> guard(budget.lock);
            next = budget.nextAllowed;
        }
        const double wait = next - monotonicSeconds();
        if (wait <= 0)
            break;
        // Sleep outside the lock; look again afterwards because another
        // controller may have taken the slot meanwhile.
        sleepInterruptibly(wait);
        if (shouldAbort())
            break;
    }
    return start;
}

void FileTransferController::throttleAfter(Direction d, double start, qint64 count)
{
    if (count <= 0 || start == 0)
        return;
    if (m_maxSpeed > 0) {
        const double pause = double(count) / m_maxSpeed - (monotonicSeconds() - start);
        if (pause > 0)
            sleepInterruptibly(pause);
        return;
    }
    const quint64 global =
        d == Direction::Upload ? g_maxUploadSpeed.load() : g_maxDownloadSpeed.load();
    if (global == 0)
        return;
    Budget &budget = d == Direction::Upload ? g_uploadBudget : g_downloadBudget;
    std::lock_guard<std::mutex> guard(budget.lock);
    budget.nextAllowed = std::max(start, budget.nextAllowed) + double(count) / double(global);
}

qint64 FileTransferController::readFromInputStream(InputStream *stream, char *bytes,
                                                   qint64 maxLength)
{
    const double start = throttleBefore(Direction::Upload);
    const qint64 n = stream->read(bytes, maxLength);
    if (n < 0)
        return -1;
    if (m_digestContext) {
        auto *ctx = static_cast<EVP_MD_CTX *>(m_digestContext);
        if (n > 0 && EVP_DigestUpdate(ctx, bytes, size_t(n)) != 1) {
            dropDigest();
            return -1;
        }
        if ((n == 0 || (m_maxLength > 0 && m_currentLength + quint64(n) >= m_maxLength)) &&
            !finaliseDigest())
            return -1;
    }
    m_totalSize += quint64(n);
    throttleAfter(Direction::Upload, start, n);
    return n;
}

qint64 FileTransferController::transferFromInputStream(InputStream *stream, OutputStream *target,
                                                       qint64 maxLength)
{
    // Digesting needs the bytes in hand.
    if (m_digestContext)
        return -2;
    const double start = throttleBefore(Direction::Upload);
    const qint64 n = target->transferFrom(*stream, maxLength);
    if (n > 0) {
        m_totalSize += quint64(n);
        throttleAfter(Direction::Upload, start, n);
    }
    return n;
}

bool FileTransferController::writeToOutputStream(OutputStream *stream, const char *bytes,
                                                 qint64 length)
{
    const double start = throttleBefore(Direction::Download);
    qint64 done = 0;
    while (done < length) {
        const qint64 n = stream->write(bytes + done, length - done);
        if (n < 0)
            return false;
        if (n == 0) {
            // A sink that cannot take bytes right now; give it a moment.
            if (shouldAbort())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        done += n;
    }
    if (m_digestContext && length > 0 &&
        EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(m_digestContext), bytes, size_t(length)) != 1) {
        dropDigest();
        return false;
    }
    m_totalSize += quint64(length);
    throttleAfter(Direction::Download, start, length);
    return true;
}

bool FileTransferController::flushOutputStream(OutputStream *stream)
{
    if (!finaliseDigest())
        return false;
    return stream->flush();
}

} // namespace pv
