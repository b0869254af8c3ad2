#include "transfer/smbtransfercontroller.h"

#include "core/fileops.h"
#include "core/journal.h"
#include "core/log.h"
#include "transfer/idlepool.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QStringList>

#include <libsmbclient.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/stat.h>
#include <vector>

namespace pv {

namespace {

// libsmbclient keeps process-wide state (configuration, talloc stack frames)
// that contexts share without locking: two threads inside the library at once
// corrupt it even with one context each. Every call goes through this lock.
std::mutex &libraryMutex()
{
    static std::mutex mutex;
    return mutex;
}

// libsmbclient's own default. A controller without a time-out still needs one:
// a server that stops answering would otherwise hold the library lock forever.
constexpr int kDefaultTimeoutMs = 20000;

int errnoOr(int fallback)
{
    return errno != 0 ? errno : fallback;
}

bool isConnectionError(int err)
{
    switch (err) {
    case ECONNREFUSED:
    case ECONNRESET:
    case ECONNABORTED:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETUNREACH:
    case ENETDOWN:
    case EPIPE:
    case ENOTCONN:
        return true;
    default:
        return false;
    }
}

QDateTime dateFromTimespec(const struct timespec &ts)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

} // namespace

/// One libsmbclient context with its credentials: the connection of one
/// controller. Shared with the streams of that controller's transfers.
class SmbSession {
public:
    struct Entry {
        QString name;
        bool isDirectory = false;
        quint64 size = 0;
        struct timespec created = {};
        struct timespec modified = {};
    };

    SmbSession(QByteArray user, QByteArray password, QByteArray workgroup)
        : m_user(std::move(user)), m_password(std::move(password)),
          m_workgroup(std::move(workgroup))
    {}

    ~SmbSession()
    {
        if (m_ctx) {
            std::lock_guard lock(libraryMutex());
            smbc_free_context(m_ctx, 1);
        }
        m_password.fill('\0');
    }

    Q_DISABLE_COPY_MOVE(SmbSession)

    /// Creates the context; 0 or an errno.
    int init()
    {
        std::lock_guard lock(libraryMutex());
        errno = 0;
        SMBCCTX *ctx = smbc_new_context();
        if (!ctx)
            return errnoOr(ENOMEM);
        smbc_setDebug(ctx, 0);
        smbc_setOptionUserData(ctx, this);
        smbc_setFunctionAuthDataWithContext(ctx, &SmbSession::authData);
        // Log on with the destination's credentials only: no silent guest
        // fallback, no Kerberos tickets of whoever runs the application.
        smbc_setOptionNoAutoAnonymousLogin(ctx, m_user.isEmpty() ? 0 : 1);
        smbc_setOptionUseKerberos(ctx, 0);
        smbc_setOptionFallbackAfterKerberos(ctx, 1);
        smbc_setOptionUseCCache(ctx, 0);
        smbc_setOptionFullTimeNames(ctx, 1);
        if (!smbc_init_context(ctx)) {
            const int err = errnoOr(EIO);
            smbc_free_context(ctx, 1);
            return err;
        }
        m_ctx = ctx;
        return 0;
    }

    bool connected = false;
    /// When the last controller gave the session back, still connected.
    QElapsedTimer released;
    /// The folder last found to be one through this session; forgotten at any
    /// error. Trusted as long as the session itself is, so a burst of
    /// deliveries checks its destination once, not once per item.
    QByteArray confirmedFolder;

    /// How long a connection attempt or a request may take.
    void setTimeout(int ms)
    {
        std::lock_guard lock(libraryMutex());
        smbc_setTimeout(m_ctx, ms);
    }

    int stat(const QByteArray &url, struct stat *st)
    {
        std::lock_guard lock(libraryMutex());
        errno = 0;
        return smbc_getFunctionStat(m_ctx)(m_ctx, url.constData(), st) < 0 ? errnoOr(EIO) : 0;
    }

    int mkdir(const QByteArray &url)
    {
        std::lock_guard lock(libraryMutex());
        errno = 0;
        return smbc_getFunctionMkdir(m_ctx)(m_ctx, url.constData(), 0755) < 0 ? errnoOr(EIO) : 0;
    }

    int unlink(const QByteArray &url)
    {
        std::lock_guard lock(libraryMutex());
        errno = 0;
        return smbc_getFunctionUnlink(m_ctx)(m_ctx, url.constData()) < 0 ? errnoOr(EIO) : 0;
    }

    int rmdir(const QByteArray &url)
    {
        std::lock_guard lock(libraryMutex());
        errno = 0;
        return smbc_getFunctionRmdir(m_ctx)(m_ctx, url.constData()) < 0 ? errnoOr(EIO) : 0;
    }

    /// Renames, replacing an existing file at to.
    int rename(const QByteArray &from, const QByteArray &to)
    {
        std::lock_guard lock(libraryMutex());
        errno = 0;
        return smbc_getFunctionRename(m_ctx)(m_ctx, from.constData(), m_ctx, to.constData()) < 0
                   ? errnoOr(EIO)
                   : 0;
    }

    int open(const QByteArray &url, int flags, SMBCFILE **file)
    {
        std::lock_guard lock(libraryMutex());
        errno = 0;
        *file = smbc_getFunctionOpen(m_ctx)(m_ctx, url.constData(), flags, 0644);
        return *file ? 0 : errnoOr(EIO);
    }

    int fstat(SMBCFILE *file, struct stat *st)
    {
        std::lock_guard lock(libraryMutex());
        errno = 0;
        return smbc_getFunctionFstat(m_ctx)(m_ctx, file, st) < 0 ? errnoOr(EIO) : 0;
    }

    /// Count read, 0 at the end, -1 with *err set.
    qint64 read(SMBCFILE *file, char *buffer, qint64 length, int *err)
    {
        std::lock_guard lock(libraryMutex());
        errno = 0;
        const ssize_t n = smbc_getFunctionRead(m_ctx)(m_ctx, file, buffer, size_t(length));
        if (n < 0)
            *err = errnoOr(EIO);
        return n;
    }

    /// Count written, -1 with *err set.
    qint64 write(SMBCFILE *file, const char *buffer, qint64 length, int *err)
    {
        std::lock_guard lock(libraryMutex());
        errno = 0;
        const ssize_t n = smbc_getFunctionWrite(m_ctx)(m_ctx, file, buffer, size_t(length));
        if (n < 0)
            *err = errnoOr(EIO);
        return n;
    }

    int close(SMBCFILE *file)
    {
        std::lock_guard lock(libraryMutex());
        errno = 0;
        return smbc_getFunctionClose(m_ctx)(m_ctx, file) < 0 ? errnoOr(EIO) : 0;
    }

    /// The entries of a folder without "." and "..".
    int list(const QByteArray &url, std::vector<Entry> *entries)
    {
        SMBCFILE *dir = nullptr;
        {
            std::lock_guard lock(libraryMutex());
            errno = 0;
            dir = smbc_getFunctionOpendir(m_ctx)(m_ctx, url.constData());
            if (!dir)
                return errnoOr(EIO);
        }
        int result = 0;
        for (;;) {
            std::lock_guard lock(libraryMutex());
            struct stat st = {};
            errno = 0;
            const struct libsmb_file_info *info =
                smbc_getFunctionReaddirPlus2(m_ctx)(m_ctx, dir, &st);
            if (!info) {
                result = errno == 0 || errno == ENOENT ? 0 : errno;
                break;
            }
            if (!info->name || qstrcmp(info->name, ".") == 0 || qstrcmp(info->name, "..") == 0)
                continue;
            Entry e;
            e.name = QString::fromUtf8(info->name);
            e.isDirectory = (info->attrs & SMBC_DOS_MODE_DIRECTORY) != 0 || S_ISDIR(st.st_mode);
            e.size = info->size;
            e.created = info->btime_ts;
            e.modified = info->mtime_ts;
            entries->push_back(std::move(e));
        }
        std::lock_guard lock(libraryMutex());
        smbc_getFunctionClosedir(m_ctx)(m_ctx, dir);
        return result;
    }

    int utimes(const QByteArray &url, const struct timeval times[2])
    {
        std::lock_guard lock(libraryMutex());
        errno = 0;
        struct timeval tv[2] = {times[0], times[1]};
        return smbc_getFunctionUtimes(m_ctx)(m_ctx, url.constData(), tv) < 0 ? errnoOr(EIO) : 0;
    }

    /// Sets the creation and modification times (whole seconds; a negative one
    /// is left alone) in one call through the DOS attribute descriptor. The
    /// mode is given explicitly: libsmbclient would otherwise write back the
    /// Unix mode it read as if it were DOS attributes.
    int setDosTimes(const QByteArray &url, bool isDirectory, qint64 created, qint64 modified)
    {
        QByteArray value = QByteArray("MODE:") + (isDirectory ? "0x10" : "0x20");
        if (created >= 0)
            value += ",CREATE_TIME:" + QByteArray::number(created);
        if (modified >= 0)
            value += ",WRITE_TIME:" + QByteArray::number(modified);
        std::lock_guard lock(libraryMutex());
        errno = 0;
        return smbc_getFunctionSetxattr(m_ctx)(m_ctx, url.constData(), "system.dos_attr.*",
                                               value.constData(), size_t(value.size()), 0) < 0
                   ? errnoOr(EIO)
                   : 0;
    }

    /// Called by libsmbclient (under the library lock) whenever it logs on.
    static void authData(SMBCCTX *ctx, const char *, const char *, char *wg, int wglen, char *un,
                         int unlen, char *pw, int pwlen)
    {
        auto *self = static_cast<SmbSession *>(smbc_getOptionUserData(ctx));
        if (!self)
            return;
        if (!self->m_workgroup.isEmpty() && wglen > 0)
            qstrncpy(wg, self->m_workgroup.constData(), size_t(wglen));
        if (unlen > 0)
            qstrncpy(un, self->m_user.constData(), size_t(unlen));
        if (pwlen > 0)
            qstrncpy(pw, self->m_password.constData(), size_t(pwlen));
    }

private:
    SMBCCTX *m_ctx = nullptr;
    QByteArray m_user;
    QByteArray m_password;
    QByteArray m_workgroup;
};

namespace {

// Each read or write on the server is one request and one round trip, so the
// streams move data in batches as large as the link carries in well under a
// second: few round trips on a fast link, while on a slow one the abort question
// (asked between chunks) and other controllers (waiting for the library lock)
// still come in often.
constexpr qint64 kMinBatch = FileTransferController::kChunkSize;
constexpr qint64 kMaxBatch = 16 * FileTransferController::kChunkSize;

/// Turns an errno of the streams' item into the error the operation reports.
using ErrorFunction = std::function<TransferError(int)>;

void adaptBatch(qint64 *batch, qint64 moved, qint64 elapsedMs)
{
    if (moved >= *batch && elapsedMs < 150 && *batch < kMaxBatch)
        *batch *= 2;
    else if (elapsedMs > 600 && *batch > kMinBatch)
        *batch /= 2;
}

/// Writes an upload under a temporary name next to the target; finish() puts it
/// in place (place gives the name used), close() without finish() removes it.
class SmbUploadStream final : public OutputStream {
public:
    SmbUploadStream(std::shared_ptr<SmbSession> session, QByteArray tempURL,
                    StagedItem::Place place, ErrorFunction errorFor)
        : m_session(std::move(session)), m_tempURL(std::move(tempURL)), m_place(std::move(place)),
          m_errorFor(std::move(errorFor))
    {}
    ~SmbUploadStream() override { close(); }

    bool open() override
    {
        if (status() == Open)
            return true;
        const int err = m_session->open(m_tempURL, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, &m_file);
        if (err) {
            fail(m_errorFor(err));
            return false;
        }
        // libsmbclient reconnects for the removal when the connection was lost;
        // only a server that is gone leaves the file.
        m_staged.begin(QString::fromUtf8(m_tempURL), m_place,
                       [session = m_session, url = m_tempURL] { return session->unlink(url); });
        setStatus(Open);
        return true;
    }

    qint64 write(const char *buffer, qint64 length) override
    {
        if (!m_file)
            return -1;
        m_pending.insert(m_pending.end(), buffer, buffer + length);
        if (qint64(m_pending.size()) >= m_batch && !sendPending())
            return -1;
        return length;
    }

    bool finish() override
    {
        if (!m_file || !sendPending())
            return false;
        int err = m_session->close(m_file);
        m_file = nullptr;
        if (err)
            m_staged.discard();
        else
            err = m_staged.place();
        if (err) {
            fail(m_errorFor(err));
            return false;
        }
        setStatus(Closed);
        return true;
    }

    void close() override
    {
        if (m_file) {
            m_session->close(m_file);
            m_file = nullptr;
        }
        m_staged.discard();
        if (status() != Error)
            setStatus(Closed);
    }

    [[nodiscard]] QString placedName() const override { return m_staged.placed(); }

private:
    bool sendPending()
    {
        QElapsedTimer timer;
        timer.start();
        qint64 done = 0;
        const qint64 total = qint64(m_pending.size());
        while (done < total) {
            int err = 0;
            const qint64 n = m_session->write(m_file, m_pending.data() + done, total - done, &err);
            if (n <= 0) {
                fail(m_errorFor(n < 0 ? err : EIO));
                return false;
            }
            done += n;
        }
        m_pending.clear();
        adaptBatch(&m_batch, total, timer.elapsed());
        return true;
    }

    std::shared_ptr<SmbSession> m_session;
    QByteArray m_tempURL;
    StagedItem::Place m_place;
    ErrorFunction m_errorFor;
    StagedItem m_staged;
    SMBCFILE *m_file = nullptr;
    std::vector<char> m_pending;
    qint64 m_batch = kMinBatch;
};

/// Reads a file of the share.
class SmbDownloadStream final : public InputStream {
public:
    SmbDownloadStream(std::shared_ptr<SmbSession> session, QByteArray url, ErrorFunction errorFor)
        : m_session(std::move(session)), m_url(std::move(url)), m_errorFor(std::move(errorFor))
    {}
    ~SmbDownloadStream() override { close(); }

    bool open() override
    {
        if (status() == Open)
            return true;
        int err = m_session->open(m_url, O_RDONLY, &m_file);
        struct stat st = {};
        if (!err)
            err = m_session->fstat(m_file, &st);
        if (!err && S_ISDIR(st.st_mode))
            err = EISDIR;
        if (err) {
            close();
            fail(m_errorFor(err));
            return false;
        }
        m_length = qint64(st.st_size);
        setStatus(Open);
        return true;
    }

    void close() override
    {
        if (m_file) {
            m_session->close(m_file);
            m_file = nullptr;
        }
        if (status() != Error)
            setStatus(Closed);
    }

    qint64 read(char *buffer, qint64 maxLength) override
    {
        if (!m_file)
            return -1;
        if (m_offset == m_filled) {
            if (qint64(m_ahead.size()) < m_batch)
                m_ahead.resize(size_t(m_batch));
            QElapsedTimer timer;
            timer.start();
            int err = 0;
            const qint64 n = m_session->read(m_file, m_ahead.data(), m_batch, &err);
            m_offset = 0;
            m_filled = std::max<qint64>(n, 0);
            if (n < 0) {
                fail(m_errorFor(err));
                return -1;
            }
            if (n == 0) {
                setStatus(AtEnd);
                return 0;
            }
            adaptBatch(&m_batch, n, timer.elapsed());
        }
        const qint64 n = std::min(maxLength, m_filled - m_offset);
        memcpy(buffer, m_ahead.data() + m_offset, size_t(n));
        m_offset += n;
        return n;
    }

    [[nodiscard]] qint64 knownLength() const override { return m_length; }

private:
    std::shared_ptr<SmbSession> m_session;
    QByteArray m_url;
    ErrorFunction m_errorFor;
    SMBCFILE *m_file = nullptr;
    qint64 m_length = -1;
    std::vector<char> m_ahead;
    qint64 m_filled = 0;
    qint64 m_offset = 0;
    qint64 m_batch = kMinBatch;
};

// How long a session given back still connected is taken without checking its share again.
constexpr qint64 kTrustReleasedMs = 1000;

/// Sessions of ended controllers, for the next controller to the same share
/// with the same log-on.
using SessionPool = IdlePool<std::shared_ptr<SmbSession>>;

} // namespace

SMBTransferController::SMBTransferController() = default;

SMBTransferController::~SMBTransferController()
{
    // Only a session that reached its share is worth keeping; the next user
    // checks the share again before relying on it.
    if (m_session && m_session->connected && m_session.use_count() == 1) {
        m_session->connected = false;
        m_session->released.start();
        SessionPool::instance().give(sessionKey(), std::move(m_session));
    }
}

QByteArray SMBTransferController::sessionKey() const
{
    return idlePoolKey({serverURL(), m_sharePoint.toUtf8(),
                        baseURL().userName(QUrl::FullyDecoded).toUtf8(),
                        baseURL().password(QUrl::FullyDecoded).toUtf8()});
}

bool SMBTransferController::initWithBaseURL(const QUrl &url)
{
    if (!StreamTransferController::initWithBaseURL(url))
        return false;
    if (url.host().isEmpty())
        return false;
    const QStringList parts =
        url.path(QUrl::FullyDecoded).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return false;
    m_sharePoint = parts.first();
    m_subPath = parts.mid(1).join(QLatin1Char('/'));
    return true;
}

QByteArray SMBTransferController::serverURL() const
{
    QByteArray url = "smb://";
    const QString host = baseURL().host(QUrl::FullyEncoded);
    if (host.contains(QLatin1Char(':')))
        url += '[' + host.toUtf8() + ']';
    else
        url += host.toUtf8();
    if (baseURL().port() > 0)
        url += ':' + QByteArray::number(baseURL().port());
    return url;
}

QByteArray SMBTransferController::smbURLForRemotePath(const QString &remotePath) const
{
    QByteArray url = serverURL();
    const QStringList parts =
        absolutePathForRemotePath(remotePath).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts)
        url += '/' + QUrl::toPercentEncoding(part);
    // The share itself is named with a trailing slash.
    if (parts.size() == 1)
        url += '/';
    return url;
}

namespace {

QString displayURL(const QUrl &base, const QString &absolutePath)
{
    QString s = QStringLiteral("smb://") + base.host();
    if (base.port() > 0)
        s += QLatin1Char(':') + QString::number(base.port());
    return s + absolutePath;
}

} // namespace

void SMBTransferController::noteError(int err)
{
    // A lost connection is checked again (and reported as such) by the next operation.
    if (isConnectionError(err) && m_session)
        m_session->connected = false;
}

TransferError SMBTransferController::itemError(int err, const QString &remotePath)
{
    // The folder may be the cause: the next delivery checks it again.
    if (m_session)
        m_session->confirmedFolder.clear();
    // The share went away during the operation: said the same way as when it
    // cannot be reached at the start.
    if (isConnectionError(err)) {
        noteError(err);
        return notReachable(remotePath, QString(), unreachableReason(err, false));
    }
    return TransferError::posix(err, displayURL(baseURL(), absolutePathForRemotePath(remotePath)));
}

TransferError SMBTransferController::startAndFail(const TransferError &error)
{
    sendDidStart();
    return sendDidFail(error);
}

bool SMBTransferController::connectSession(const QString &reportPath, const QString &otherPath,
                                           TransferError *error)
{
    int err = 0;
    bool clientFailed = false;
    if (!m_session) {
        m_session = SessionPool::instance().take(sessionKey());
        // Given back a moment ago by a controller that met no connection
        // error: in a burst each file would otherwise cost a check of the
        // share (three requests).
        if (m_session && m_session->released.isValid() &&
            !m_session->released.hasExpired(kTrustReleasedMs))
            m_session->connected = true;
    }
    if (!m_session) {
        QString user = baseURL().userName(QUrl::FullyDecoded);
        QString workgroup;
        // "DOMAIN;user" (the smb URL form) or "DOMAIN\user" (the Windows form).
        const qsizetype sep =
            std::max(user.indexOf(QLatin1Char(';')), user.indexOf(QLatin1Char('\\')));
        if (sep > 0) {
            workgroup = user.left(sep);
            user = user.mid(sep + 1);
        }
        auto session = std::make_shared<SmbSession>(
            user.toUtf8(), baseURL().password(QUrl::FullyDecoded).toUtf8(), workgroup.toUtf8());
        err = session->init();
        clientFailed = err != 0;
        if (!err)
            m_session = std::move(session);
    }
    if (!err && m_session->connected)
        return true;
    if (!err)
        m_session->setTimeout(timeOut() > 0 ? int(timeOut() * 1000) : kDefaultTimeoutMs);

    const QByteArray shareURL = serverURL() + '/' + QUrl::toPercentEncoding(m_sharePoint) + '/';
    struct stat st = {};
    if (!err)
        err = m_session->stat(shareURL, &st);
    if (!err && !S_ISDIR(st.st_mode))
        err = ENOTDIR;
    if (!err) {
        m_session->connected = true;
        return true;
    }

    const QString why = unreachableReason(err, clientFailed);
    *error = notReachable(reportPath, otherPath, why);
    if (!clientFailed && err != EACCES && err != EPERM)
        error->markIfHostUnknown(baseURL().host());
    return false;
}

QString SMBTransferController::unreachableReason(int err, bool clientFailed) const
{
    const QString reason = QString::fromLocal8Bit(strerror(err));
    const QString server = displayURL(baseURL(), QString());
    QString why;
    switch (clientFailed ? 0 : err) {
    case 0:
        why = QStringLiteral("the SMB client library did not start (%1)").arg(reason);
        break;
    case EACCES:
    case EPERM:
        why = QStringLiteral("%1 refused the log-on: wrong user name or password, or no access "
                             "to the share \"%2\" (%3)")
                  .arg(server, m_sharePoint, reason);
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        why = QStringLiteral("%1 has no share \"%2\" (%3)").arg(server, m_sharePoint, reason);
        break;
    default:
        why = QStringLiteral("%1: %2").arg(server, reason);
        break;
    }
    pv::log(lcTransfer(), QStringLiteral("SMBTransferController: cannot reach %1/%2: %3")
                              .arg(server, m_sharePoint, why));
    return why;
}

TransferError SMBTransferController::notReachable(const QString &path, const QString &otherPath,
                                                  const QString &why) const
{
    TransferError error;
    const QString text =
        otherPath.isNull()
            ? QStringLiteral("\"%1\" is not reachable").arg(path)
            : QStringLiteral("\"%1\" or \"%2\" are not reachable").arg(path, otherPath);
    error.domain = QString::fromLatin1(kFileTransferControllerErrorDomain);
    error.code = -1;
    error.description = text;
    error.userInfo = {{QString::fromLatin1(kSMBErrorKey), why},
                      {QString::fromLatin1(kNSLocalizedDescriptionKey), text}};
    return error;
}

TransferResult<RemoteListing> SMBTransferController::contentsOfDirectoryAtPath(const QString &path)
{
    TransferError error;
    if (!connectSession(path, QString(), &error))
        return startAndFail(error);
    sendDidStart();
    std::vector<SmbSession::Entry> entries;
    if (const int err = m_session->list(smbURLForRemotePath(path), &entries)) {
        return sendDidFail(itemError(err, path));
    }
    RemoteListing listing;
    for (const SmbSession::Entry &e : entries) {
        RemoteItemAttributes attrs;
        attrs.insert(
            QString::fromLatin1(kNSFileType),
            QString::fromLatin1(e.isDirectory ? kNSFileTypeDirectory : kNSFileTypeRegular));
        attrs.insert(QString::fromLatin1(kNSFileSize), qint64(e.size));
        attrs.insert(QString::fromLatin1(kNSFileModificationDate), dateFromTimespec(e.modified));
        // A server that keeps no creation time reports 0.
        if (e.created.tv_sec != 0)
            attrs.insert(QString::fromLatin1(kNSFileCreationDate), dateFromTimespec(e.created));
        listing.insert(e.name, attrs);
    }
    sendDidSucceed();
    return listing;
}

Result SMBTransferController::checkFolderAtPath(const QString &path)
{
    TransferError error;
    if (!connectSession(path, QString(), &error))
        return error;
    const QByteArray url = smbURLForRemotePath(path);
    if (url == m_session->confirmedFolder && m_session->released.isValid() &&
        !m_session->released.hasExpired(kTrustReleasedMs))
        return {};
    struct stat st = {};
    int err = m_session->stat(url, &st);
    if (!err && !S_ISDIR(st.st_mode))
        err = ENOTDIR;
    if (err)
        return itemError(err, path);
    m_session->confirmedFolder = url;
    return {};
}

TransferResult<bool> SMBTransferController::itemExists(const QString &path)
{
    TransferError error;
    if (!connectSession(path, QString(), &error))
        return error;
    struct stat st = {};
    const int err = m_session->stat(smbURLForRemotePath(path), &st);
    if (!err)
        return true;
    if (err == ENOENT || err == ENOTDIR)
        return false;
    return itemError(err, path);
}

Result SMBTransferController::createDirectoryAtPath(const QString &path)
{
    m_uploadedFile.clear();
    TransferError error;
    if (!connectSession(path, QString(), &error))
        return startAndFail(error);
    sendDidStart();
    if (const int err = m_session->mkdir(smbURLForRemotePath(path))) {
        return sendDidFail(itemError(err, path));
    }
    sendDidSucceed();
    return Result();
}

int SMBTransferController::removeItem(const QByteArray &url, bool *aborted)
{
    struct stat st = {};
    int err = m_session->stat(url, &st);
    if (err == ENOENT)
        return 0;
    if (err)
        return err;
    if (!S_ISDIR(st.st_mode)) {
        err = m_session->unlink(url);
        return err == ENOENT ? 0 : err;
    }
    std::vector<SmbSession::Entry> entries;
    if ((err = m_session->list(url, &entries)))
        return err;
    for (const SmbSession::Entry &e : entries) {
        if (aborted && shouldAbort()) {
            *aborted = true;
            return 0;
        }
        const QByteArray child = url + '/' + QUrl::toPercentEncoding(e.name);
        if ((err = removeItem(child, aborted)))
            return err;
        if (aborted && *aborted)
            return 0;
    }
    err = m_session->rmdir(url);
    return err == ENOENT ? 0 : err;
}

Result SMBTransferController::deleteFileAtPath(const QString &path)
{
    m_uploadedFile.clear();
    TransferError error;
    if (!connectSession(path, QString(), &error))
        return startAndFail(error);
    sendDidStart();
    bool aborted = false;
    if (const int err = removeItem(smbURLForRemotePath(path), &aborted)) {
        return sendDidFail(itemError(err, path));
    }
    if (aborted)
        return Result::abandoned();
    sendDidSucceed();
    return Result();
}

Result SMBTransferController::deleteDirectoryRecursivelyAtPath(const QString &path)
{
    return deleteFileAtPath(path);
}

namespace {

bool sameItem(const struct stat &a, const struct stat &b)
{
    return a.st_ino != 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

} // namespace

std::optional<Result> SMBTransferController::prepareTarget(const QString &fromPath,
                                                           const QString &toPath, QByteArray *from,
                                                           QByteArray *to, bool *sameItemThere)
{
    m_uploadedFile.clear();
    TransferError error;
    if (!connectSession(fromPath, toPath, &error))
        return startAndFail(error);
    sendDidStart();
    *from = smbURLForRemotePath(fromPath);
    *to = smbURLForRemotePath(toPath);
    // The source must exist before anything at the target is removed, and a
    // target that is the source itself (same path, or another spelling on a
    // case-insensitive share) must not be removed at all.
    struct stat src = {};
    struct stat dst = {};
    if (const int err = m_session->stat(*from, &src))
        return sendDidFail(itemError(err, fromPath));
    const bool exists = m_session->stat(*to, &dst) == 0;
    *sameItemThere = exists && (sameItem(src, dst) || *from == *to);
    if (exists && !*sameItemThere) {
        bool aborted = false;
        if (const int err = removeItem(*to, &aborted))
            return sendDidFail(itemError(err, toPath));
        if (aborted)
            return Result::abandoned();
    }
    return std::nullopt;
}

Result SMBTransferController::movePath(const QString &fromPath, const QString &toPath)
{
    QByteArray from, to;
    bool same = false;
    if (const auto done = prepareTarget(fromPath, toPath, &from, &to, &same))
        return *done;
    if (from != to) {
        if (const int err = m_session->rename(from, to)) {
            return sendDidFail(itemError(err, toPath));
        }
    }
    sendDidSucceed();
    return Result();
}

int SMBTransferController::copyItem(const QByteArray &from, const QByteArray &to, bool *aborted)
{
    struct stat st = {};
    int err = m_session->stat(from, &st);
    if (err)
        return err;
    if (S_ISDIR(st.st_mode)) {
        if ((err = m_session->mkdir(to)))
            return err;
        std::vector<SmbSession::Entry> entries;
        if ((err = m_session->list(from, &entries)))
            return err;
        for (const SmbSession::Entry &e : entries) {
            if (shouldAbort()) {
                *aborted = true;
                return 0;
            }
            const QByteArray name = '/' + QUrl::toPercentEncoding(e.name);
            if ((err = copyItem(from + name, to + name, aborted)) || *aborted)
                return err;
        }
        return 0;
    }
    SMBCFILE *in = nullptr;
    SMBCFILE *out = nullptr;
    if ((err = m_session->open(from, O_RDONLY, &in)))
        return err;
    if ((err = m_session->open(to, O_WRONLY | O_CREAT | O_TRUNC, &out))) {
        m_session->close(in);
        return err;
    }
    std::vector<char> buffer(static_cast<size_t>(kChunkSize));
    for (;;) {
        if (shouldAbort()) {
            *aborted = true;
            break;
        }
        const qint64 n = m_session->read(in, buffer.data(), kChunkSize, &err);
        if (n <= 0)
            break;
        qint64 done = 0;
        while (done < n) {
            const qint64 w = m_session->write(out, buffer.data() + done, n - done, &err);
            if (w <= 0) {
                if (w == 0)
                    err = EIO;
                break;
            }
            done += w;
        }
        if (err)
            break;
    }
    m_session->close(in);
    const int closeErr = m_session->close(out);
    if (!err && !*aborted)
        err = closeErr;
    if (err || *aborted)
        m_session->unlink(to);
    return err;
}

Result SMBTransferController::copyPath(const QString &fromPath, const QString &toPath)
{
    QByteArray from, to;
    bool same = false;
    if (const auto done = prepareTarget(fromPath, toPath, &from, &to, &same))
        return *done;
    // Copying an item onto itself leaves it as it is.
    if (same) {
        sendDidSucceed();
        return Result();
    }
    bool aborted = false;
    if (const int err = copyItem(from, to, &aborted)) {
        return sendDidFail(itemError(err, toPath));
    }
    if (aborted)
        return Result::abandoned();
    sendDidSucceed();
    return Result();
}

FileTransferController::SiblingRenames SMBTransferController::renamesIn(const QByteArray &folderURL,
                                                                        const QString &folderPath)
{
    auto at = [folderURL](const QString &name) {
        return folderURL + QUrl::toPercentEncoding(name);
    };
    const std::shared_ptr<SmbSession> session = m_session;
    return {[session, at](const QString &from, const QString &to) {
                return session->rename(at(from), at(to));
            },
            [this, session, at, folderPath](const QString &from, const QString &to) {
                // The library's rename replaces a file in its way, so the name is
                // claimed first with a create that fails on anything existing; the
                // rename then replaces only that claim. The claim is noted before it
                // is made, and only for a name found free, so that what a later
                // start removes for a note is our own empty claim (a name taken
                // meanwhile makes the create fail, and its note is released at once).
                struct stat st = {};
                if (const int err = session->stat(at(to), &st); err != ENOENT)
                    return err == 0 ? EEXIST : err;
                const QString claimPath = folderPath + to;
                FileTransferControllerDelegate *const notes = delegate();
                if (notes && !notes->fileTransferControllerClaims(this, claimPath, true))
                    return EIO;
                SMBCFILE *claim = nullptr;
                int err = session->open(at(to), O_WRONLY | O_CREAT | O_EXCL, &claim);
                if (err == 0) {
                    session->close(claim);
                    killPointForTests("claimed");
                    err = session->rename(at(from), at(to));
                    // A claim that cannot be removed stays noted.
                    if (err && session->unlink(at(to)))
                        return err;
                } else if (err == EISDIR) {
                    err = EEXIST; // a folder has the name
                }
                if (notes)
                    notes->fileTransferControllerClaims(this, claimPath, false);
                return err;
            },
            [this, at](const QString &name) { return removeItem(at(name), nullptr); }};
}

Result SMBTransferController::_uploadFileToPath(const QString &remotePath, InputStream *stream)
{
    m_uploadedFile.clear();
    if (!stream || stream->status() != TransferStream::NotOpen)
        return TransferError::fileTransfer(QStringLiteral("Failed opening data stream"));
    TransferError error;
    if (!connectSession(remotePath, QString(), &error))
        return startAndFail(error);

    const QByteArray finalURL = smbURLForRemotePath(remotePath);
    const QByteArray folderURL = finalURL.left(finalURL.lastIndexOf('/') + 1);
    const QString name = lastPathComponent(absolutePathForRemotePath(remotePath));
    const QString temporary = temporaryNameFor(name);
    const QString folderPath = remotePath.left(remotePath.lastIndexOf(QLatin1Char('/')) + 1);
    auto place = [this, folderURL, folderPath, name, temporary](QString *placedName) {
        const int err = placeItem(renamesIn(folderURL, folderPath), temporary, name,
                                  replacesExistingItems(), placedName);
        // Known before the success message, whose receiver sets the dates.
        if (err == 0)
            m_uploadedFile = folderPath + *placedName;
        return err;
    };
    auto out = std::make_unique<SmbUploadStream>(
        m_session, folderURL + QUrl::toPercentEncoding(temporary), place,
        [this, remotePath](int err) { return itemError(err, remotePath); });
    Result result = runWriteStream(std::move(out), stream, QString(), true);
    if (result)
        m_uploadedFile = storedPath();
    return result;
}

Result SMBTransferController::moveIntoPlace(const QString &temporaryPath, const QString &finalPath)
{
    m_uploadedFile.clear();
    setStoredPath({});
    TransferError error;
    if (!connectSession(temporaryPath, finalPath, &error))
        return startAndFail(error);
    sendDidStart();
    const QByteArray finalURL = smbURLForRemotePath(finalPath);
    QString placed;
    const QString folderPath = finalPath.left(finalPath.lastIndexOf(QLatin1Char('/')) + 1);
    if (const int err =
            placeItem(renamesIn(finalURL.left(finalURL.lastIndexOf('/') + 1), folderPath),
                      lastPathComponent(absolutePathForRemotePath(temporaryPath)),
                      lastPathComponent(absolutePathForRemotePath(finalPath)),
                      replacesExistingItems(), &placed))
        return sendDidFail(itemError(err, finalPath));
    setStoredPath(finalPath.left(finalPath.lastIndexOf(QLatin1Char('/')) + 1) + placed);
    sendDidSucceed();
    return Result();
}

Result SMBTransferController::_downloadFileFromPath(const QString &remotePath, OutputStream *stream)
{
    TransferError error;
    if (!connectSession(remotePath, QString(), &error))
        return startAndFail(error);
    auto in = std::make_unique<SmbDownloadStream>(
        m_session, smbURLForRemotePath(remotePath),
        [this, remotePath](int err) { return itemError(err, remotePath); });
    if (!in->open())
        return startAndFail(in->error());
    setMaxLength(quint64(in->knownLength()));
    const auto result = runReadStream(std::move(in), stream, QString(), true);
    return result ? Result() : result.error();
}

QVariant SMBTransferController::processReadResultStream(OutputStream *, const QString &,
                                                        TransferError *)
{
    return true;
}

Result SMBTransferController::setItemDates(const QString &remotePath, const QDateTime &creationDate,
                                           const QDateTime &modificationDate)
{
    TransferError error;
    if (!connectSession(remotePath, QString(), &error))
        return error;
    const QByteArray url = smbURLForRemotePath(remotePath);
    // The file this controller has just stored needs no look-up; anything
    // else is asked for its type (the DOS mode) and its access time.
    struct stat st = {};
    const bool justStored = !m_uploadedFile.isEmpty() && remotePath == m_uploadedFile;
    if (justStored)
        st.st_mode = S_IFREG;
    else if (const int err = m_session->stat(url, &st))
        return itemError(err, remotePath);
    int err = 0;
    if (creationDate.isValid()) {
        // One request pair for both dates. The descriptor takes whole seconds:
        // libsmbclient writes the modification time back in whole seconds
        // whenever it sets the creation time anyway.
        err = m_session->setDosTimes(
            url, S_ISDIR(st.st_mode), creationDate.isValid() ? creationDate.toSecsSinceEpoch() : -1,
            modificationDate.isValid() ? modificationDate.toSecsSinceEpoch() : -1);
    } else if (modificationDate.isValid()) {
        const qint64 ms = modificationDate.toMSecsSinceEpoch();
        struct timeval tv[2];
        // A file just written was just accessed.
        const qint64 accessed =
            justStored ? QDateTime::currentMSecsSinceEpoch()
                       : qint64(st.st_atim.tv_sec) * 1000 + st.st_atim.tv_nsec / 1000000;
        tv[0].tv_sec = time_t(accessed / 1000);
        tv[0].tv_usec = suseconds_t((accessed % 1000) * 1000);
        tv[1].tv_sec = time_t(ms / 1000);
        tv[1].tv_usec = suseconds_t((ms % 1000) * 1000);
        err = m_session->utimes(url, tv);
    }
    if (err)
        return itemError(err, remotePath);
    return {};
}

} // namespace pv
