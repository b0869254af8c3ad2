#include "transfer/localtransfercontroller.h"

#include "core/log.h"

#include <QDateTime>
#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace pv {

namespace fs = std::filesystem;

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

fs::path fsPath(const QString &path)
{
    return fs::path(encoded(path).toStdString());
}

QDateTime fromTimespec(qint64 sec, qint64 nsec)
{
    return QDateTime::fromMSecsSinceEpoch(sec * 1000 + nsec / 1000000, Qt::UTC);
}

// Type, size and dates of path (symbolic links followed); false when the
// attributes cannot be read.
bool attributesOf(const QString &path, RemoteItemAttributes *out, int *err)
{
    struct statx sx {};
    if (::statx(AT_FDCWD, encoded(path).constData(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) !=
        0) {
        *err = errno;
        return false;
    }
    const bool isDir = S_ISDIR(sx.stx_mode);
    out->insert(QString::fromLatin1(kNSFileType),
                QString::fromLatin1(isDir ? kNSFileTypeDirectory : kNSFileTypeRegular));
    out->insert(QString::fromLatin1(kNSFileSize), qint64(sx.stx_size));
    out->insert(QString::fromLatin1(kNSFileModificationDate),
                fromTimespec(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec));
    if (sx.stx_mask & STATX_BTIME)
        out->insert(QString::fromLatin1(kNSFileCreationDate),
                    fromTimespec(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec));
    return true;
}

// Removes whatever exists at path (a folder with its content). Nothing there
// counts as success.
bool removeItem(const QString &path, int *err)
{
    struct stat st {};
    if (::lstat(encoded(path).constData(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        *err = errno;
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlink(encoded(path).constData()) != 0 && errno != ENOENT) {
            *err = errno;
            return false;
        }
        return true;
    }
    std::error_code ec;
    fs::remove_all(fsPath(path), ec);
    if (ec) {
        *err = ec.value();
        return false;
    }
    return true;
}

} // namespace

QString LocalTransferController::localPathForRemotePath(const QString &remotePath) const
{
    const QUrl url = absoluteURLForRemotePath(remotePath);
    if (!url.isValid())
        return {};
    // A file URL names this machine when its host is empty, "localhost" or one of
    // this machine's names; anything else cannot be opened here.
    const QString host = url.host();
    if (!host.isEmpty() && !isThisMachine(host))
        return {};
    return url.path(QUrl::FullyDecoded);
}

std::optional<RemoteListing> LocalTransferController::contentsOfDirectoryAtPath(const QString &path)
{
    sendDidStart();
    const QString dir = localPathForRemotePath(path);
    if (dir.isEmpty()) {
        failNotReachable(path);
        return std::nullopt;
    }
    DIR *d = ::opendir(encoded(dir).constData());
    if (!d) {
        sendDidFail(TransferError::posix(errno, dir));
        return std::nullopt;
    }
    RemoteListing listing;
    const QString prefix = dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
    while (dirent *e = ::readdir(d)) {
        const QString name = QFile::decodeName(e->d_name);
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        RemoteItemAttributes attrs;
        int err = 0;
        if (!attributesOf(prefix + name, &attrs, &err)) {
            log(QStringLiteral("LocalTransferController: cannot read attributes of \"%1\": %2")
                    .arg(prefix + name, QString::fromLocal8Bit(std::strerror(err))));
            continue;
        }
        listing.insert(name, attrs);
    }
    ::closedir(d);
    sendDidSucceed();
    return listing;
}

bool LocalTransferController::createDirectoryAtPath(const QString &path)
{
    sendDidStart();
    const QString target = localPathForRemotePath(path);
    if (target.isEmpty()) {
        failNotReachable(path);
        return false;
    }
    if (::mkdir(encoded(target).constData(), 0777) != 0) {
        sendDidFail(TransferError::posix(errno, target));
        return false;
    }
    sendDidSucceed();
    return true;
}

bool LocalTransferController::deleteFileAtPath(const QString &path)
{
    sendDidStart();
    const QString target = localPathForRemotePath(path);
    if (target.isEmpty()) {
        failNotReachable(path);
        return false;
    }
    int err = 0;
    if (!removeItem(target, &err)) {
        sendDidFail(TransferError::posix(err, target));
        return false;
    }
    sendDidSucceed();
    return true;
}

bool LocalTransferController::deleteDirectoryRecursivelyAtPath(const QString &path)
{
    return deleteFileAtPath(path);
}

std::optional<bool> LocalTransferController::beginMoveOrCopy(const QString &fromPath,
                                                             const QString &toPath, QString *from,
                                                             QString *to)
{
    sendDidStart();
    *from = localPathForRemotePath(fromPath);
    *to = localPathForRemotePath(toPath);
    if (from->isEmpty() || to->isEmpty()) {
        failNotReachable(fromPath, toPath);
        return false;
    }
    struct stat st {};
    if (::lstat(encoded(*from).constData(), &st) != 0) {
        sendDidFail(TransferError::posix(errno, *from));
        return false;
    }
    // Onto itself: nothing to do, and removing the target would lose the item.
    if (*from == *to) {
        sendDidSucceed();
        return true;
    }
    int err = 0;
    if (!removeItem(*to, &err)) {
        sendDidFail(TransferError::posix(err, *to));
        return false;
    }
    return std::nullopt;
}

bool LocalTransferController::movePath(const QString &fromPath, const QString &toPath)
{
    QString from, to;
    int err = 0;
    if (const auto done = beginMoveOrCopy(fromPath, toPath, &from, &to))
        return *done;
    if (::rename(encoded(from).constData(), encoded(to).constData()) != 0) {
        if (errno != EXDEV) {
            sendDidFail(TransferError::posix(errno, to));
            return false;
        }
        // Another file system: copy, then remove the original.
        std::error_code ec;
        fs::copy(fsPath(from), fsPath(to),
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (ec) {
            removeItem(to, &err);
            sendDidFail(TransferError::posix(ec.value(), to));
            return false;
        }
        if (!removeItem(from, &err)) {
            sendDidFail(TransferError::posix(err, from));
            return false;
        }
    }
    sendDidSucceed();
    return true;
}

bool LocalTransferController::copyPath(const QString &fromPath, const QString &toPath)
{
    QString from, to;
    if (const auto done = beginMoveOrCopy(fromPath, toPath, &from, &to))
        return *done;
    std::error_code ec;
    fs::copy(fsPath(from), fsPath(to),
             fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) {
        sendDidFail(TransferError::posix(ec.value(), to));
        return false;
    }
    sendDidSucceed();
    return true;
}

bool LocalTransferController::_uploadFileToPath(const QString &remotePath, InputStream *stream)
{
    if (!stream || stream->status() != TransferStream::NotOpen)
        return false;
    // The decoded path keeps a "?" (or "#") in a file name as part of the name.
    const QString target = localPathForRemotePath(remotePath);
    if (target.isEmpty()) {
        sendDidStart();
        failNotReachable(remotePath);
        return false;
    }
    return runWriteStream(std::make_unique<FileOutputStream>(target, true), stream,
                          QStringLiteral("PUT"), true);
}

bool LocalTransferController::_downloadFileFromPath(const QString &remotePath, OutputStream *stream)
{
    if (!stream || stream->status() != TransferStream::NotOpen)
        return false;
    const QString source = localPathForRemotePath(remotePath);
    if (source.isEmpty()) {
        sendDidStart();
        failNotReachable(remotePath);
        return false;
    }
    struct stat st {};
    if (::stat(encoded(source).constData(), &st) == 0)
        setMaxLength(quint64(st.st_size));
    return runReadStream(std::make_unique<FileInputStream>(source), stream, QStringLiteral("GET"),
                         true)
        .isValid();
}

QVariant LocalTransferController::processReadResultStream(OutputStream *, const QString &,
                                                          TransferError *)
{
    return true;
}

} // namespace pv
