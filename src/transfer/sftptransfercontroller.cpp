#include "transfer/sftptransfercontroller.h"

#include "core/atomicfile.h"
#include "core/fileops.h"
#include "core/log.h"
#include "core/paths.h"
#include "transfer/idlepool.h"
#include "transfer/urlparameters.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

namespace pv {

namespace {

constexpr const char *kClass = "SFTPTransferController";
// Reads from the caller's stream, one progress step each.
constexpr qint64 kReadChunk = 32768;
// Bytes handed to the library per write. It sends them as many requests at
// once and returns as the first are acknowledged, so this much stays in flight:
// one request per round trip would cap a 20 ms link at about 1.6 MB/s.
constexpr qint64 kWriteWindow = 4 * 1024 * 1024;
// Reads ask for this much so the library keeps several read requests in flight.
constexpr qint64 kReadBuffer = 1024 * 1024;
// While data moves, blocked library calls return this often so the abort
// question and the idle time-out are looked at.
constexpr long kTransferPollMs = 1000;
// Without a time-out of its own a request still needs one: a server that
// stops answering would otherwise hold the delivery (and its Stop) for ever.
constexpr double kDefaultTimeout = 30;
// How long an idle pooled connection may take to prove it is alive.
constexpr long kProbeMs = 5000;

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { libssh2_init(0); });
}

QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

QByteArray sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

} // namespace

/// One SSH connection: socket, session, SFTP channel.
class SftpConnection {
public:
    SftpConnection() = default;
    ~SftpConnection()
    {
        if (sftp)
            libssh2_sftp_shutdown(sftp);
        if (session) {
            // Saying goodbye waits for the socket: not on one that is gone.
            if (!broken) {
                libssh2_session_set_timeout(session, 1000);
                libssh2_session_disconnect(session, "bye");
            }
            libssh2_session_free(session);
        }
        if (fd >= 0)
            ::close(fd);
    }
    Q_DISABLE_COPY_MOVE(SftpConnection)

    void setTimeout(double seconds)
    {
        // 0 waits for ever, as the library takes it.
        libssh2_session_set_timeout(session, seconds > 0 ? long(std::ceil(seconds * 1000.0)) : 0);
    }

    int fd = -1;
    LIBSSH2_SESSION *session = nullptr;
    LIBSSH2_SFTP *sftp = nullptr;
    // Set when a request failed for another reason than the server's answer:
    // the connection is made again by the next operation.
    bool broken = false;
    // OpenSSH's server never replaces anything when it renames (it links and
    // unlinks, or looks first), so an exclusive rename needs no look of its own.
    bool renameNeverReplaces = false;
};

namespace {

/// Connections of ended controllers, for the next controller to the same
/// server with the same log-on.
using ConnectionPool = IdlePool<std::unique_ptr<SftpConnection>>;

// ---------------------------------------------------------------------------
// Host keys

// Controllers on several threads may record keys at once.
std::mutex &knownHostsMutex()
{
    static std::mutex mutex;
    return mutex;
}

int knownHostKeyType(int hostKeyType)
{
    switch (hostKeyType) {
    case LIBSSH2_HOSTKEY_TYPE_RSA:
        return LIBSSH2_KNOWNHOST_KEY_SSHRSA;
    case LIBSSH2_HOSTKEY_TYPE_DSS:
        return LIBSSH2_KNOWNHOST_KEY_SSHDSS;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_256;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_384;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_521;
    case LIBSSH2_HOSTKEY_TYPE_ED25519:
        return LIBSSH2_KNOWNHOST_KEY_ED25519;
    default:
        return 0;
    }
}

/// Checks the session's host key against the known hosts, recording it when
/// the host is new. Empty on success, otherwise why the host is not trusted.
QString verifyHostKey(LIBSSH2_SESSION *session, const QString &hostIn, int port)
{
    size_t keyLength = 0;
    int type = 0;
    const char *key = libssh2_session_hostkey(session, &keyLength, &type);
    const int keyType = knownHostKeyType(type);
    const QString host = hostIn.toLower();
    // OpenSSH's way of naming a host on another port than 22.
    const QString hostSpec = port == 22 ? host : QStringLiteral("[%1]:%2").arg(host).arg(port);
    if (!key || keyType == 0)
        return QStringLiteral("%1 presented no host key of a known kind").arg(hostSpec);
    const QByteArray blob(key, qsizetype(keyLength));
    const QString presented = SFTPTransferController::fingerprint(blob);

    std::lock_guard lock(knownHostsMutex());
    const QString path = SFTPTransferController::knownHostsPath();
    LIBSSH2_KNOWNHOSTS *hosts = libssh2_knownhost_init(session);
    if (!hosts)
        return QStringLiteral("the known hosts could not be read (out of memory)");
    QByteArray content;
    QFile file(path);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            libssh2_knownhost_free(hosts);
            return QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString());
        }
        content = file.readAll();
        // Line by line: a line the library does not understand (a key type it
        // does not know, a marker) is kept in the file and skipped here.
        for (const QByteArray &line : content.split('\n')) {
            const QByteArray t = line.trimmed();
            if (t.isEmpty() || t.startsWith('#'))
                continue;
            if (libssh2_knownhost_readline(hosts, t.constData(), size_t(t.size()),
                                           LIBSSH2_KNOWNHOST_FILE_OPENSSH) != 0)
                pv::debug(lcTransfer(),
                          QStringLiteral("%1: skipped a line of %2").arg(kClass, path));
        }
    }

    const QByteArray name = hostSpec.toUtf8();
    const int plainRaw = LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW;
    struct libssh2_knownhost *known = nullptr;
    int check = libssh2_knownhost_check(hosts, name.constData(), key, keyLength, plainRaw | keyType,
                                        &known);
    // A host recorded with a key of another kind has changed too.
    if (check == LIBSSH2_KNOWNHOST_CHECK_NOTFOUND)
        check = libssh2_knownhost_check(hosts, name.constData(), key, keyLength, plainRaw, &known);
    QString why;
    if (check == LIBSSH2_KNOWNHOST_CHECK_MATCH) {
        // Trusted.
    } else if (check == LIBSSH2_KNOWNHOST_CHECK_MISMATCH) {
        QString recorded = QStringLiteral("unknown");
        if (known && known->key)
            recorded = SFTPTransferController::fingerprint(QByteArray::fromBase64(known->key));
        why = QStringLiteral("The host key of %1 has changed: it was %2 and is now %3. Either the "
                             "server was set up again or someone is intercepting the connection. "
                             "If the change is expected, remove the line of %1 from %4.")
                  .arg(hostSpec, recorded, presented, path);
    } else if (check == LIBSSH2_KNOWNHOST_CHECK_NOTFOUND) {
        struct libssh2_knownhost *added = nullptr;
        char line[16384];
        size_t lineLength = 0;
        if (libssh2_knownhost_addc(hosts, name.constData(), nullptr, key, keyLength, nullptr, 0,
                                   plainRaw | keyType, &added) != 0 ||
            libssh2_knownhost_writeline(hosts, added, line, sizeof line, &lineLength,
                                        LIBSSH2_KNOWNHOST_FILE_OPENSSH) != 0) {
            why = QStringLiteral("the host key of %1 could not be recorded").arg(hostSpec);
        } else {
            if (!content.isEmpty() && !content.endsWith('\n'))
                content += '\n';
            content += QByteArray(line, qsizetype(lineLength));
            QString error;
            QDir().mkpath(QFileInfo(path).path());
            if (!writeFileAtomically(path, content, &error))
                why = QStringLiteral("the host key of %1 could not be recorded in %2: %3")
                          .arg(hostSpec, path, error);
            else
                pv::log(lcTransfer(), QStringLiteral("%1: recorded the host key of %2 (%3)")
                                          .arg(kClass, hostSpec, presented));
        }
    } else {
        why = QStringLiteral("the host key of %1 could not be checked").arg(hostSpec);
    }
    libssh2_knownhost_free(hosts);
    return why;
}

// ---------------------------------------------------------------------------
// Connecting

/// A TCP socket connected to the first IPv4 address of host within timeout
/// seconds (0: the system's own); -1 with *why set on failure.
int connectedSocket(const QString &host, int port, double timeout, QString *why)
{
    addrinfo hints{};
    hints.ai_family = AF_INET; // IPv6 addresses are not used
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    const QByteArray service = QByteArray::number(port);
    const int gai = ::getaddrinfo(host.toUtf8().constData(), service.constData(), &hints, &res);
    if (gai != 0 || !res) {
        *why = QStringLiteral("the address of %1 could not be found (%2)")
                   .arg(host, QString::fromLocal8Bit(gai_strerror(gai)));
        pv::log(lcTransfer(),
                QStringLiteral("_CreateSocketConnectedToHost: resolving host \"%1\" failed with "
                               "error %2")
                    .arg(host)
                    .arg(gai));
        return -1;
    }
    sockaddr_in address{};
    std::memcpy(&address, res->ai_addr, sizeof address);
    ::freeaddrinfo(res);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = errnoText(errno);
        return -1;
    }
    int err = 0;
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int n;
            do {
                n = ::poll(&p, 1, timeout > 0 ? int(std::ceil(timeout * 1000.0)) : -1);
            } while (n < 0 && errno == EINTR);
            socklen_t len = sizeof err;
            if (n == 0)
                err = ETIMEDOUT;
            else if (n < 0)
                err = errno;
            else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
        }
    }
    if (err != 0) {
        ::close(fd);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
        *why = QStringLiteral("%1 (%2) port %3: %4")
                   .arg(host, QString::fromLatin1(text))
                   .arg(port)
                   .arg(errnoText(err));
        pv::log(lcTransfer(), QStringLiteral("%1: connecting failed: %2").arg(kClass, *why));
        return -1;
    }
    // The library waits on the socket itself.
    ::fcntl(fd, F_SETFL, flags);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

QString sessionMessage(LIBSSH2_SESSION *session, int *code = nullptr)
{
    char *msg = nullptr;
    int len = 0;
    const int c = libssh2_session_last_error(session, &msg, &len, 0);
    if (code)
        *code = c;
    return msg ? QString::fromUtf8(msg, len) : QString();
}

int errnoForStatus(unsigned long status)
{
    switch (status) {
    case LIBSSH2_FX_NO_SUCH_FILE:
    case LIBSSH2_FX_NO_SUCH_PATH:
        return ENOENT;
    case LIBSSH2_FX_PERMISSION_DENIED:
        return EACCES;
    case LIBSSH2_FX_FILE_ALREADY_EXISTS:
        return EEXIST;
    case LIBSSH2_FX_WRITE_PROTECT:
        return EROFS;
    case LIBSSH2_FX_NO_SPACE_ON_FILESYSTEM:
        return ENOSPC;
    case LIBSSH2_FX_QUOTA_EXCEEDED:
        return EDQUOT;
    case LIBSSH2_FX_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case LIBSSH2_FX_NOT_A_DIRECTORY:
        return ENOTDIR;
    case LIBSSH2_FX_OP_UNSUPPORTED:
        return ENOTSUP;
    default:
        return EIO;
    }
}

QString statusText(unsigned long status)
{
    switch (status) {
    case LIBSSH2_FX_EOF:
        return QStringLiteral("end of file");
    case LIBSSH2_FX_NO_SUCH_FILE:
    case LIBSSH2_FX_NO_SUCH_PATH:
        return QStringLiteral("no such file or folder");
    case LIBSSH2_FX_PERMISSION_DENIED:
        return QStringLiteral("permission denied");
    case LIBSSH2_FX_FAILURE:
        return QStringLiteral("the server refused the request");
    case LIBSSH2_FX_OP_UNSUPPORTED:
        return QStringLiteral("the server does not support the request");
    case LIBSSH2_FX_FILE_ALREADY_EXISTS:
        return QStringLiteral("the item exists already");
    case LIBSSH2_FX_WRITE_PROTECT:
        return QStringLiteral("the server's disk is write-protected");
    case LIBSSH2_FX_NO_SPACE_ON_FILESYSTEM:
        return QStringLiteral("no space left on the server's disk");
    case LIBSSH2_FX_QUOTA_EXCEEDED:
        return QStringLiteral("the quota on the server is exceeded");
    case LIBSSH2_FX_DIR_NOT_EMPTY:
        return QStringLiteral("the folder is not empty");
    case LIBSSH2_FX_NOT_A_DIRECTORY:
        return QStringLiteral("not a folder");
    default:
        return QStringLiteral("SFTP status %1").arg(status);
    }
}

QDateTime dateOf(const LIBSSH2_SFTP_ATTRIBUTES &a)
{
    return QDateTime::fromSecsSinceEpoch(qint64(a.mtime), Qt::UTC);
}

bool isDirectory(const LIBSSH2_SFTP_ATTRIBUTES &a)
{
    return (a.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) && LIBSSH2_SFTP_S_ISDIR(a.permissions);
}

} // namespace

// ---------------------------------------------------------------------------

SFTPTransferController::SFTPTransferController()
{
    initLibrary();
}

SFTPTransferController::~SFTPTransferController()
{
    if (m_conn && !m_conn->broken && m_conn->sftp)
        ConnectionPool::instance().give(poolKey(), std::move(m_conn));
}

bool SFTPTransferController::initWithBaseURL(const QUrl &url)
{
    if (!FileTransferController::initWithBaseURL(url))
        return false;
    return !url.host().isEmpty() && !url.userName().isEmpty() && !url.password().isEmpty();
}

QString SFTPTransferController::knownHostsPath()
{
    return paths::appFile(QStringLiteral("known_hosts"));
}

QString SFTPTransferController::fingerprint(const QByteArray &keyBlob)
{
    QByteArray b64 = sha256(keyBlob).toBase64();
    while (b64.endsWith('='))
        b64.chop(1);
    return QStringLiteral("SHA256:") + QString::fromLatin1(b64);
}

QByteArray SFTPTransferController::poolKey() const
{
    return idlePoolKey({baseURL().host().toLower().toUtf8(), QByteArray::number(baseURL().port(22)),
                        userByReplacingPercentEscapes(baseURL()).toUtf8(),
                        passwordByReplacingPercentEscapesSFTP(baseURL()).toUtf8()});
}

QString SFTPTransferController::displayPath(const QString &absolutePath) const
{
    QString s = QStringLiteral("sftp://") + baseURL().host();
    if (baseURL().port() > 0)
        s += QLatin1Char(':') + QString::number(baseURL().port());
    return s + absolutePath;
}

double SFTPTransferController::requestTimeout() const
{
    return timeOut() > 0 ? timeOut() : kDefaultTimeout;
}

void SFTPTransferController::disconnect()
{
    m_conn.reset();
}

bool SFTPTransferController::reconnect(TransferError *error)
{
    m_baseIsFolder = false;
    if (m_conn && m_conn->broken) {
        pv::log(lcTransfer(), QStringLiteral("%1: Connection was broken").arg(kClass));
        disconnect();
    }
    if (m_conn) {
        m_conn->setTimeout(requestTimeout());
        return true;
    }
    const QString host = baseURL().host();
    const int port = baseURL().port(22);

    // An idle connection may have been closed by the server meanwhile. What the
    // server says of the base folder proves it alive, and is kept, since it is
    // what a delivery asks first.
    if (std::unique_ptr<SftpConnection> pooled = ConnectionPool::instance().take(poolKey())) {
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        const QByteArray base = absolutePathForRemotePath({}).toUtf8();
        pooled->setTimeout(double(kProbeMs) / 1000.0);
        const bool answered =
            libssh2_sftp_stat_ex(pooled->sftp, base.constData(), unsigned(base.size()),
                                 LIBSSH2_SFTP_STAT, &attrs) == 0;
        int code = 0;
        if (!answered)
            sessionMessage(pooled->session, &code);
        if (answered || code == LIBSSH2_ERROR_SFTP_PROTOCOL) {
            m_conn = std::move(pooled);
            m_conn->setTimeout(requestTimeout());
            m_baseIsFolder = answered && isDirectory(attrs);
            return true;
        }
        pooled->broken = true;
    }

    QString why;
    auto conn = std::make_unique<SftpConnection>();
    conn->fd = connectedSocket(host, port, requestTimeout(), &why);
    if (conn->fd >= 0) {
        conn->session = libssh2_session_init_ex(nullptr, nullptr, nullptr, nullptr);
        if (!conn->session) {
            pv::log(lcTransfer(), QStringLiteral("%1: libssh2_session_init() failed").arg(kClass));
            why = QStringLiteral("the SSH library did not start");
        }
    }
    if (conn->session) {
        libssh2_session_set_blocking(conn->session, 1);
        conn->setTimeout(requestTimeout());
        int code = 0;
        if (libssh2_session_handshake(conn->session, conn->fd) != 0) {
            const QString msg = sessionMessage(conn->session, &code);
            pv::log(lcTransfer(),
                    QStringLiteral("%1: libssh2_session_startup() failed (error %2): %3")
                        .arg(kClass)
                        .arg(code)
                        .arg(msg));
            why = QStringLiteral("%1 port %2 did not start an SSH session: %3")
                      .arg(host)
                      .arg(port)
                      .arg(msg);
            conn->broken = true;
        } else if (const QString untrusted = verifyHostKey(conn->session, host, port);
                   !untrusted.isEmpty()) {
            pv::log(lcTransfer(), QStringLiteral("%1: %2").arg(kClass, untrusted));
            why = untrusted;
        } else {
            const QByteArray user = userByReplacingPercentEscapes(baseURL()).toUtf8();
            QByteArray password = passwordByReplacingPercentEscapesSFTP(baseURL()).toUtf8();
            const int rc = libssh2_userauth_password_ex(conn->session, user.constData(),
                                                        unsigned(user.size()), password.constData(),
                                                        unsigned(password.size()), nullptr);
            password.fill('\0');
            if (rc != 0) {
                const QString msg = sessionMessage(conn->session, &code);
                pv::log(lcTransfer(),
                        QStringLiteral("%1: libssh2_userauth_password() failed (error %2): %3")
                            .arg(kClass)
                            .arg(code)
                            .arg(msg));
                why = code == LIBSSH2_ERROR_AUTHENTICATION_FAILED
                          ? QStringLiteral("%1 refused the log-on of \"%2\": wrong user name or "
                                           "password (%3)")
                                .arg(host, QString::fromUtf8(user), msg)
                          : QStringLiteral("%1: log-on failed: %2").arg(host, msg);
            } else if (!(conn->sftp = libssh2_sftp_init(conn->session))) {
                const QString msg = sessionMessage(conn->session, &code);
                pv::log(lcTransfer(),
                        QStringLiteral("%1: libssh2_sftp_init() failed (error %2): %3")
                            .arg(kClass)
                            .arg(code)
                            .arg(msg));
                why = QStringLiteral("%1 offers no SFTP service: %2").arg(host, msg);
            }
        }
    }
    if (!conn->sftp) {
        const QString text =
            QStringLiteral("\"%1\" is not reachable")
                .arg(urlByDeletingUserAndPassword(baseURL()).toString(QUrl::PrettyDecoded));
        error->domain = QString::fromLatin1(kFileTransferControllerErrorDomain);
        error->code = -1;
        error->description = text;
        error->userInfo = {{QString::fromLatin1(kSSHErrorKey), why},
                           {QString::fromLatin1(kNSLocalizedDescriptionKey), text}};
        return false;
    }
    conn->setTimeout(requestTimeout());
    const char *banner = libssh2_session_banner_get(conn->session);
    conn->renameNeverReplaces = banner && std::strncmp(banner, "SSH-2.0-OpenSSH_", 16) == 0;
    pv::debug(lcTransfer(), QStringLiteral("%1: connected to %2 (%3)")
                                .arg(kClass, host, QString::fromUtf8(banner ? banner : "")));
    m_conn = std::move(conn);
    return true;
}

bool SFTPTransferController::begin(TransferError *error)
{
    sendDidStart();
    if (reconnect(error))
        return true;
    *error = sendDidFail(*error);
    return false;
}

TransferError SFTPTransferController::libssh2Error(const QString &remotePath)
{
    int code = 0;
    const QString message = m_conn ? sessionMessage(m_conn->session, &code) : QString();
    const unsigned long status = m_conn && m_conn->sftp && code == LIBSSH2_ERROR_SFTP_PROTOCOL
                                     ? libssh2_sftp_last_error(m_conn->sftp)
                                     : 0;
    TransferError error;
    error.domain = QString::fromLatin1(kLibssh2ErrorDomain);
    error.code = code;
    const QString where = displayPath(absolutePathForRemotePath(remotePath));
    if (code == LIBSSH2_ERROR_SFTP_PROTOCOL) {
        error.description = QStringLiteral("%1: %2").arg(where, statusText(status));
    } else {
        // Anything but the server's answer leaves the connection in doubt.
        if (m_conn)
            m_conn->broken = true;
        error.description =
            QStringLiteral("%1: the connection failed: %2")
                .arg(where, message.isEmpty() ? QStringLiteral("error %1").arg(code) : message);
    }
    error.userInfo = {{QString::fromLatin1(kNSLocalizedDescriptionKey), message}};
    if (status != 0)
        error.userInfo.append({QString::fromLatin1(kSFTPLastErrorKey), qulonglong(status)});
    return error;
}

int SFTPTransferController::lastErrno()
{
    int code = 0;
    sessionMessage(m_conn->session, &code);
    if (code != LIBSSH2_ERROR_SFTP_PROTOCOL) {
        m_conn->broken = true;
        return EIO;
    }
    return errnoForStatus(libssh2_sftp_last_error(m_conn->sftp));
}

// ---------------------------------------------------------------------------
// Listing and single requests

TransferResult<RemoteListing> SFTPTransferController::contentsOfDirectoryAtPath(const QString &path)
{
    TransferError error;
    if (!begin(&error))
        return error;
    const QByteArray p = absolutePathForRemotePath(path).toUtf8();
    LIBSSH2_SFTP_HANDLE *dir = libssh2_sftp_open_ex(m_conn->sftp, p.constData(), unsigned(p.size()),
                                                    0, 0, LIBSSH2_SFTP_OPENDIR);
    if (!dir)
        return sendDidFail(libssh2Error(path));
    RemoteListing listing;
    char name[1024];
    int rc;
    for (;;) {
        LIBSSH2_SFTP_ATTRIBUTES a{};
        rc = libssh2_sftp_readdir_ex(dir, name, sizeof name, nullptr, 0, &a);
        if (rc <= 0)
            break;
        const QString n = QString::fromUtf8(name, rc);
        if (n == QLatin1String(".") || n == QLatin1String(".."))
            continue;
        if (!(a.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) || LIBSSH2_SFTP_S_ISLNK(a.permissions))
            continue;
        RemoteItemAttributes attrs;
        const bool isDir = LIBSSH2_SFTP_S_ISDIR(a.permissions);
        attrs.insert(QString::fromLatin1(kNSFileType),
                     QString::fromLatin1(isDir ? kNSFileTypeDirectory : kNSFileTypeRegular));
        if (a.flags & LIBSSH2_SFTP_ATTR_ACMODTIME)
            attrs.insert(QString::fromLatin1(kNSFileModificationDate), dateOf(a));
        if (!isDir && (a.flags & LIBSSH2_SFTP_ATTR_SIZE))
            attrs.insert(QString::fromLatin1(kNSFileSize), qint64(a.filesize));
        listing.insert(n, attrs);
    }
    if (rc < 0) {
        const TransferError e = libssh2Error(path);
        libssh2_sftp_closedir(dir);
        sendDidFail(e);
        return e;
    }
    libssh2_sftp_closedir(dir);
    sendDidSucceed();
    return listing;
}

Result SFTPTransferController::checkFolderAtPath(const QString &path)
{
    TransferError error;
    if (!reconnect(&error))
        return error;
    const QByteArray p = absolutePathForRemotePath(path).toUtf8();
    // Just seen by the connection's probe.
    auto trimmed = [](QByteArray b) {
        while (b.size() > 1 && b.endsWith('/'))
            b.chop(1);
        return b;
    };
    if (m_baseIsFolder && trimmed(p) == trimmed(absolutePathForRemotePath({}).toUtf8()))
        return {};
    LIBSSH2_SFTP_ATTRIBUTES a{};
    if (libssh2_sftp_stat_ex(m_conn->sftp, p.constData(), unsigned(p.size()), LIBSSH2_SFTP_STAT,
                             &a) != 0)
        return libssh2Error(path);
    if (!isDirectory(a))
        return TransferError::withDescription(
            QString::fromLatin1(kLibssh2ErrorDomain), LIBSSH2_ERROR_SFTP_PROTOCOL,
            QStringLiteral("%1: not a folder").arg(displayPath(absolutePathForRemotePath(path))));
    return {};
}

TransferResult<bool> SFTPTransferController::itemExists(const QString &path)
{
    TransferError error;
    if (!reconnect(&error))
        return error;
    const QByteArray p = absolutePathForRemotePath(path).toUtf8();
    LIBSSH2_SFTP_ATTRIBUTES a{};
    if (libssh2_sftp_stat_ex(m_conn->sftp, p.constData(), unsigned(p.size()), LIBSSH2_SFTP_LSTAT,
                             &a) == 0)
        return true;
    const int err = lastErrno();
    if (err == ENOENT || err == ENOTDIR)
        return false;
    return libssh2Error(path);
}

Result SFTPTransferController::createDirectoryAtPath(const QString &path)
{
    TransferError error;
    if (!begin(&error))
        return error;
    const QByteArray p = absolutePathForRemotePath(path).toUtf8();
    if (libssh2_sftp_mkdir_ex(m_conn->sftp, p.constData(), unsigned(p.size()), 0755) != 0)
        return sendDidFail(libssh2Error(path));
    sendDidSucceed();
    return {};
}

Result SFTPTransferController::deleteFileAtPath(const QString &path)
{
    return deleteItem(path, false);
}

Result SFTPTransferController::deleteDirectoryAtPath(const QString &path)
{
    return deleteItem(path, true);
}

Result SFTPTransferController::deleteItem(const QString &path, bool folder)
{
    TransferError error;
    if (!begin(&error))
        return error;
    const QByteArray p = absolutePathForRemotePath(path).toUtf8();
    LIBSSH2_SFTP_ATTRIBUTES a{};
    // Nothing there is what was asked for.
    if (libssh2_sftp_stat_ex(m_conn->sftp, p.constData(), unsigned(p.size()), LIBSSH2_SFTP_LSTAT,
                             &a) != 0) {
        if (lastErrno() != ENOENT)
            return sendDidFail(libssh2Error(path));
    } else if ((folder ? libssh2_sftp_rmdir_ex(m_conn->sftp, p.constData(), unsigned(p.size()))
                       : libssh2_sftp_unlink_ex(m_conn->sftp, p.constData(), unsigned(p.size()))) !=
               0) {
        return sendDidFail(libssh2Error(path));
    }
    sendDidSucceed();
    return {};
}

int SFTPTransferController::removeItem(const QByteArray &path)
{
    LIBSSH2_SFTP *sftp = m_conn->sftp;
    LIBSSH2_SFTP_ATTRIBUTES a{};
    if (libssh2_sftp_stat_ex(sftp, path.constData(), unsigned(path.size()), LIBSSH2_SFTP_LSTAT,
                             &a) != 0) {
        const int err = lastErrno();
        return err == ENOENT ? 0 : err;
    }
    if (!isDirectory(a))
        return libssh2_sftp_unlink_ex(sftp, path.constData(), unsigned(path.size())) == 0
                   ? 0
                   : lastErrno();
    LIBSSH2_SFTP_HANDLE *dir = libssh2_sftp_open_ex(sftp, path.constData(), unsigned(path.size()),
                                                    0, 0, LIBSSH2_SFTP_OPENDIR);
    if (!dir)
        return lastErrno();
    QList<QByteArray> names;
    char name[1024];
    int rc;
    while ((rc = libssh2_sftp_readdir_ex(dir, name, sizeof name, nullptr, 0, &a)) > 0) {
        const QByteArray n(name, rc);
        if (n != "." && n != "..")
            names << n;
    }
    const int listErr = rc < 0 ? lastErrno() : 0;
    libssh2_sftp_closedir(dir);
    if (listErr)
        return listErr;
    for (const QByteArray &n : std::as_const(names))
        if (const int err = removeItem(path + '/' + n))
            return err;
    return libssh2_sftp_rmdir_ex(sftp, path.constData(), unsigned(path.size())) == 0 ? 0
                                                                                     : lastErrno();
}

Result SFTPTransferController::deleteDirectoryRecursivelyAtPath(const QString &path)
{
    TransferError error;
    if (!begin(&error))
        return error;
    if (removeItem(absolutePathForRemotePath(path).toUtf8()) != 0)
        return sendDidFail(libssh2Error(path));
    sendDidSucceed();
    return {};
}

FileTransferController::SiblingRenames SFTPTransferController::renamesIn(const QString &folderPath)
{
    const QByteArray folder = folderPath.toUtf8();
    auto at = [folder](const QString &name) {
        const QByteArray n = name.toUtf8();
        if (n.startsWith('/'))
            return n;
        return folder.endsWith('/') ? folder + n : folder + '/' + n;
    };
    auto exists = [this](const QByteArray &p) {
        LIBSSH2_SFTP_ATTRIBUTES a{};
        return libssh2_sftp_stat_ex(m_conn->sftp, p.constData(), unsigned(p.size()),
                                    LIBSSH2_SFTP_LSTAT, &a) == 0;
    };
    auto rename = [this](const QByteArray &from, const QByteArray &to) {
        return libssh2_sftp_rename_ex(m_conn->sftp, from.constData(), unsigned(from.size()),
                                      to.constData(), unsigned(to.size()),
                                      LIBSSH2_SFTP_RENAME_OVERWRITE | LIBSSH2_SFTP_RENAME_ATOMIC |
                                          LIBSSH2_SFTP_RENAME_NATIVE) == 0;
    };
    return {// Servers differ: some replace a file in the way, OpenSSH's never
            // does. What is in the way is reported, and the caller moves it aside.
            [this, at, exists, rename](const QString &from, const QString &to) {
                const QByteArray f = at(from), t = at(to);
                if (rename(f, t))
                    return 0;
                const int err = lastErrno();
                return err != EIO && err != EACCES ? err : exists(t) ? EEXIST : err;
            },
            // Never replaces: looked at first for servers whose rename would.
            [this, at, exists, rename](const QString &from, const QString &to) {
                const QByteArray f = at(from), t = at(to);
                if (!m_conn->renameNeverReplaces && exists(t))
                    return EEXIST;
                if (rename(f, t))
                    return 0;
                const int err = lastErrno();
                return err != EIO && err != EACCES ? err : exists(t) ? EEXIST : err;
            },
            [this, at](const QString &name) { return removeItem(at(name)); }};
}

Result SFTPTransferController::moveIntoPlace(const QString &temporaryPath, const QString &finalPath)
{
    setStoredPath({});
    TransferError error;
    if (!begin(&error))
        return error;
    const QString target = absolutePathForRemotePath(finalPath);
    QString placed;
    if (placeItem(renamesIn(target.left(target.lastIndexOf(QLatin1Char('/')) + 1)),
                  lastPathComponent(absolutePathForRemotePath(temporaryPath)),
                  lastPathComponent(target), replacesExistingItems(), &placed) != 0)
        return sendDidFail(libssh2Error(finalPath));
    setStoredPath(finalPath.left(finalPath.lastIndexOf(QLatin1Char('/')) + 1) + placed);
    sendDidSucceed();
    return {};
}

Result SFTPTransferController::movePath(const QString &fromPath, const QString &toPath)
{
    TransferError error;
    if (!begin(&error))
        return error;
    const QString from = absolutePathForRemotePath(fromPath);
    const QString to = absolutePathForRemotePath(toPath);
    if (from != to) {
        QString placed;
        if (placeItem(renamesIn(to.left(to.lastIndexOf(QLatin1Char('/')) + 1)), from,
                      lastPathComponent(to), true, &placed) != 0)
            return sendDidFail(libssh2Error(toPath));
    } else {
        LIBSSH2_SFTP_ATTRIBUTES a{};
        const QByteArray p = from.toUtf8();
        if (libssh2_sftp_stat_ex(m_conn->sftp, p.constData(), unsigned(p.size()),
                                 LIBSSH2_SFTP_LSTAT, &a) != 0)
            return sendDidFail(libssh2Error(fromPath));
    }
    sendDidSucceed();
    return {};
}

// ---------------------------------------------------------------------------
// Data

Result SFTPTransferController::_uploadFileToPath(const QString &remotePath, InputStream *stream)
{
    if (!stream || stream->status() != TransferStream::NotOpen)
        return TransferError::fileTransfer(QStringLiteral("Failed opening data stream"));
    if (!openInputStream(stream, true)) {
        // Reported, so a caller listening only to the delegate never takes a
        // missing file for a delivered one.
        sendDidStart();
        const TransferError e =
            stream->error().isNull()
                ? TransferError::fileTransfer(QStringLiteral("Failed reading from input stream"))
                : stream->error();
        return sendDidFail(e);
    }
    TransferError error;
    if (!begin(&error)) {
        closeInputStream(stream);
        return error;
    }

    const QString target = absolutePathForRemotePath(remotePath);
    const QString folder = target.left(target.lastIndexOf(QLatin1Char('/')) + 1);
    const QString name = lastPathComponent(target);
    const QByteArray temporary = (folder + temporaryNameFor(name)).toUtf8();
    LIBSSH2_SFTP_HANDLE *file = libssh2_sftp_open_ex(
        m_conn->sftp, temporary.constData(), unsigned(temporary.size()),
        LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, 0755, LIBSSH2_SFTP_OPENFILE);
    if (!file) {
        closeInputStream(stream);
        return sendDidFail(libssh2Error(remotePath));
    }

    m_conn->setTimeout(double(kTransferPollMs) / 1000.0);
    std::vector<char> buffer(static_cast<size_t>(kWriteWindow));
    qint64 filled = 0;
    qint64 sent = 0;
    quint64 total = 0;
    bool atEnd = false;
    bool abandoned = false;
    TransferError failure;
    double lastProgress = monotonicSeconds();
    while (failure.isNull() && !abandoned) {
        // Bytes the library has sent but not seen acknowledged must be handed
        // to it again at the front of the next write, so the window slides.
        if (sent >= kWriteWindow / 2) {
            std::memmove(buffer.data(), buffer.data() + sent, size_t(filled - sent));
            filled -= sent;
            sent = 0;
        }
        while (!atEnd && kWriteWindow - filled >= kReadChunk) {
            const qint64 n = readFromInputStream(stream, buffer.data() + filled, kReadChunk);
            if (n < 0) {
                failure =
                    TransferError::fileTransfer(QStringLiteral("Failed reading from input stream"));
                break;
            }
            if (n == 0)
                atEnd = true;
            filled += n;
            if (shouldAbort()) {
                abandoned = true;
                break;
            }
        }
        if (!failure.isNull() || abandoned)
            break;
        if (sent == filled) {
            if (atEnd)
                break;
            continue;
        }
        const ssize_t rc = libssh2_sftp_write(file, buffer.data() + sent, size_t(filled - sent));
        if (rc > 0) {
            sent += rc;
            total += quint64(rc);
            lastProgress = monotonicSeconds();
            setCurrentLength(total);
            if (shouldAbort())
                abandoned = true;
        } else if (rc == LIBSSH2_ERROR_EAGAIN || rc == LIBSSH2_ERROR_TIMEOUT) {
            // Blocked for a while: the same write goes on unless it is time to stop.
            if (timeOut() > 0 && monotonicSeconds() - lastProgress >= timeOut())
                failure = libssh2Error(remotePath);
            else if (shouldAbort())
                abandoned = true;
        } else {
            failure = libssh2Error(remotePath);
        }
    }
    closeInputStream(stream);

    // Closing waits for what is still in flight; a file the server could not
    // complete fails here.
    if (failure.isNull() && !abandoned && libssh2_sftp_close(file) != 0)
        failure = libssh2Error(remotePath);
    else if (!failure.isNull() || abandoned) {
        if (!m_conn->broken)
            libssh2_sftp_close(file);
    }
    file = nullptr;

    if (failure.isNull() && !abandoned) {
        m_conn->setTimeout(requestTimeout());
        QString placed;
        if (placeItem(renamesIn(folder), QString::fromUtf8(temporary), name,
                      replacesExistingItems(), &placed) == 0) {
            if (placed != name)
                setStoredPath(remotePath.left(remotePath.lastIndexOf(QLatin1Char('/')) + 1) +
                              placed);
            sendDidSucceed();
            return {};
        }
        failure = libssh2Error(remotePath);
    }

    // Best effort: a connection that is gone leaves the file, whose name says what it is.
    if (!m_conn->broken) {
        m_conn->setTimeout(timeOut() > 0 ? timeOut() : double(kProbeMs) / 1000.0);
        if (libssh2_sftp_unlink_ex(m_conn->sftp, temporary.constData(),
                                   unsigned(temporary.size())) != 0)
            pv::log(lcTransfer(), QStringLiteral("%1: could not remove the partial upload %2")
                                      .arg(kClass, QString::fromUtf8(temporary)));
        m_conn->setTimeout(requestTimeout());
    } else {
        pv::log(lcTransfer(), QStringLiteral("%1: the partial upload %2 stays on the server")
                                  .arg(kClass, QString::fromUtf8(temporary)));
    }
    if (abandoned)
        return Result::abandoned();
    return sendDidFail(failure);
}

Result SFTPTransferController::_downloadFileFromPath(const QString &remotePath,
                                                     OutputStream *stream)
{
    if (!stream || stream->status() != TransferStream::NotOpen)
        return TransferError::fileTransfer(QStringLiteral("Failed opening data stream"));
    TransferError error;
    if (!reconnect(&error)) {
        sendDidStart();
        return sendDidFail(error);
    }
    const QByteArray p = absolutePathForRemotePath(remotePath).toUtf8();
    LIBSSH2_SFTP_HANDLE *file =
        libssh2_sftp_open_ex(m_conn->sftp, p.constData(), unsigned(p.size()), LIBSSH2_FXF_READ, 0,
                             LIBSSH2_SFTP_OPENFILE);
    LIBSSH2_SFTP_ATTRIBUTES a{};
    if (!file || libssh2_sftp_fstat_ex(file, &a, 0) != 0 || !(a.flags & LIBSSH2_SFTP_ATTR_SIZE)) {
        const TransferError e = libssh2Error(remotePath);
        if (file && !m_conn->broken)
            libssh2_sftp_close(file);
        sendDidStart();
        return sendDidFail(e);
    }
    setMaxLength(quint64(a.filesize));
    if (!openOutputStream(stream, true)) {
        libssh2_sftp_close(file);
        sendDidStart();
        return sendDidFail(stream->error().isNull() ? TransferError::fileTransfer(QStringLiteral(
                                                          "Failed writing to output stream"))
                                                    : stream->error());
    }
    sendDidStart();
    m_conn->setTimeout(double(kTransferPollMs) / 1000.0);
    std::vector<char> buffer(static_cast<size_t>(kReadBuffer));
    quint64 total = 0;
    bool abandoned = false;
    TransferError failure;
    double lastProgress = monotonicSeconds();
    for (;;) {
        const ssize_t rc = libssh2_sftp_read(file, buffer.data(), buffer.size());
        if (rc > 0) {
            lastProgress = monotonicSeconds();
            if (!writeToOutputStream(stream, buffer.data(), rc)) {
                failure = stream->error().isNull() ? TransferError::fileTransfer(QStringLiteral(
                                                         "Failed writing to output stream"))
                                                   : stream->error();
                break;
            }
            total += quint64(rc);
            setCurrentLength(total);
            if (shouldAbort()) {
                abandoned = true;
                break;
            }
        } else if (rc == 0) {
            if (!flushOutputStream(stream))
                failure = stream->error().isNull() ? TransferError::fileTransfer(QStringLiteral(
                                                         "Failed flushing output stream"))
                                                   : stream->error();
            break;
        } else if (rc == LIBSSH2_ERROR_EAGAIN || rc == LIBSSH2_ERROR_TIMEOUT) {
            if (timeOut() > 0 && monotonicSeconds() - lastProgress >= timeOut()) {
                failure = libssh2Error(remotePath);
                break;
            }
            if (shouldAbort()) {
                abandoned = true;
                break;
            }
        } else {
            failure = libssh2Error(remotePath);
            break;
        }
    }
    closeOutputStream(stream);
    if (!m_conn->broken) {
        libssh2_sftp_close(file);
        m_conn->setTimeout(requestTimeout());
    }
    if (abandoned)
        return Result::abandoned();
    if (!failure.isNull())
        return sendDidFail(failure);
    sendDidSucceed();
    return {};
}

} // namespace pv
