#include "transfer/localtransfercontroller.h"

#include "core/log.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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
    const QByteArray name = encoded(path);
    const unsigned mask = STATX_BASIC_STATS | STATX_BTIME;
    // A link that leads nowhere is described by itself: its name is taken too.
    if (::statx(AT_FDCWD, name.constData(), 0, mask, &sx) != 0 &&
        ((errno != ENOENT && errno != ELOOP) ||
         ::statx(AT_FDCWD, name.constData(), AT_SYMLINK_NOFOLLOW, mask, &sx) != 0)) {
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

// Renames from to to only when nothing at all is at to: 0, EEXIST, or another errno.
int renameExclusive(const QString &from, const QString &to)
{
    const QByteArray f = encoded(from), t = encoded(to);
    if (::renameat2(AT_FDCWD, f.constData(), AT_FDCWD, t.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    int err = errno;
    if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP)
        return err;
    // File systems without it (network mounts, some FUSE ones): claim the name with
    // a call that fails on anything existing, then replace only that claim.
    struct stat st {};
    if (::lstat(f.constData(), &st) != 0)
        return errno;
    const bool isDir = S_ISDIR(st.st_mode);
    const int fd = isDir ? ::mkdir(t.constData(), 0700)
                         : ::open(t.constData(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    if (fd < 0)
        return errno;
    if (!isDir)
        ::close(fd);
    if (::rename(f.constData(), t.constData()) == 0)
        return 0;
    err = errno;
    (void)(isDir ? ::rmdir(t.constData()) : ::unlink(t.constData()));
    return err == ENOTEMPTY ? EEXIST : err;
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

TransferResult<RemoteListing>
LocalTransferController::contentsOfDirectoryAtPath(const QString &path)
{
    sendDidStart();
    const QString dir = localPathForRemotePath(path);
    if (dir.isEmpty()) {
        return failNotReachable(path);
    }
    DIR *d = ::opendir(encoded(dir).constData());
    if (!d) {
        return sendDidFail(TransferError::posix(errno, dir));
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
            log(lcTransfer(),
                QStringLiteral("LocalTransferController: cannot read attributes of \"%1\": %2")
                    .arg(prefix + name, QString::fromLocal8Bit(std::strerror(err))));
            continue;
        }
        listing.insert(name, attrs);
    }
    ::closedir(d);
    sendDidSucceed();
    return listing;
}

Result LocalTransferController::checkFolderAtPath(const QString &path)
{
    const QString dir = localPathForRemotePath(path);
    if (dir.isEmpty())
        return FileTransferController::checkFolderAtPath(path);
    DIR *d = ::opendir(encoded(dir).constData());
    if (!d)
        return TransferError::posix(errno, dir);
    ::closedir(d);
    return {};
}

TransferResult<bool> LocalTransferController::itemExists(const QString &path)
{
    const QString local = localPathForRemotePath(path);
    if (local.isEmpty())
        return FileTransferController::itemExists(path);
    struct stat st {};
    if (::lstat(encoded(local).constData(), &st) == 0)
        return true;
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR)
        return false;
    return TransferError::posix(err, local);
}

Result LocalTransferController::createDirectoryAtPath(const QString &path)
{
    sendDidStart();
    const QString target = localPathForRemotePath(path);
    if (target.isEmpty()) {
        return failNotReachable(path);
    }
    if (::mkdir(encoded(target).constData(), 0777) != 0) {
        return sendDidFail(TransferError::posix(errno, target));
    }
    sendDidSucceed();
    return {};
}

Result LocalTransferController::deleteFileAtPath(const QString &path)
{
    sendDidStart();
    const QString target = localPathForRemotePath(path);
    if (target.isEmpty()) {
        return failNotReachable(path);
    }
    int err = 0;
    if (!removeItem(target, &err)) {
        return sendDidFail(TransferError::posix(err, target));
    }
    sendDidSucceed();
    return {};
}

Result LocalTransferController::deleteDirectoryRecursivelyAtPath(const QString &path)
{
    return deleteFileAtPath(path);
}

std::optional<Result> LocalTransferController::beginMoveOrCopy(const QString &fromPath,
                                                               const QString &toPath, QString *from,
                                                               QString *to)
{
    sendDidStart();
    *from = localPathForRemotePath(fromPath);
    *to = localPathForRemotePath(toPath);
    if (from->isEmpty() || to->isEmpty()) {
        return failNotReachable(fromPath, toPath);
    }
    struct stat st {};
    if (::lstat(encoded(*from).constData(), &st) != 0) {
        return sendDidFail(TransferError::posix(errno, *from));
    }
    // Onto itself: nothing to do, and removing the target would lose the item.
    if (*from == *to) {
        sendDidSucceed();
        return Result();
    }
    int err = 0;
    if (!removeItem(*to, &err)) {
        return sendDidFail(TransferError::posix(err, *to));
    }
    return std::nullopt;
}

Result LocalTransferController::movePath(const QString &fromPath, const QString &toPath)
{
    QString from, to;
    int err = 0;
    if (const auto done = beginMoveOrCopy(fromPath, toPath, &from, &to))
        return *done;
    if (::rename(encoded(from).constData(), encoded(to).constData()) != 0) {
        if (errno != EXDEV) {
            return sendDidFail(TransferError::posix(errno, to));
        }
        // Another file system: copy, then remove the original.
        std::error_code ec;
        fs::copy(fsPath(from), fsPath(to),
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (ec) {
            removeItem(to, &err);
            return sendDidFail(TransferError::posix(ec.value(), to));
        }
        if (!removeItem(from, &err)) {
            return sendDidFail(TransferError::posix(err, from));
        }
    }
    sendDidSucceed();
    return {};
}

Result LocalTransferController::copyPath(const QString &fromPath, const QString &toPath)
{
    QString from, to;
    if (const auto done = beginMoveOrCopy(fromPath, toPath, &from, &to))
        return *done;
    std::error_code ec;
    fs::copy(fsPath(from), fsPath(to),
             fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) {
        return sendDidFail(TransferError::posix(ec.value(), to));
    }
    sendDidSucceed();
    return {};
}

FileTransferController::SiblingRenames LocalTransferController::renamesIn(const QString &dir)
{
    auto at = [dir](const QString &name) { return dir + QLatin1Char('/') + name; };
    return {
        [at](const QString &from, const QString &to) {
            return ::rename(encoded(at(from)).constData(), encoded(at(to)).constData()) == 0
                       ? 0
                       : errno;
        },
        [at](const QString &from, const QString &to) { return renameExclusive(at(from), at(to)); },
        [at](const QString &name) {
            int err = 0;
            return removeItem(at(name), &err) ? 0 : err;
        }};
}

Result LocalTransferController::_uploadFileToPath(const QString &remotePath, InputStream *stream)
{
    if (!stream || stream->status() != TransferStream::NotOpen)
        return TransferError::fileTransfer(QStringLiteral("Failed opening data stream"));
    // The decoded path keeps a "?" (or "#") in a file name as part of the name.
    const QString target = localPathForRemotePath(remotePath);
    if (target.isEmpty()) {
        sendDidStart();
        return failNotReachable(remotePath);
    }
    const QFileInfo info(target);
    auto place = [this, dir = info.path(), name = info.fileName()](const QString &temporary,
                                                                   QString *placedPath) {
        QString placed;
        const int err = placeItem(renamesIn(dir), QFileInfo(temporary).fileName(), name,
                                  replacesExistingItems(), &placed);
        *placedPath = dir + QLatin1Char('/') + placed;
        return err;
    };
    return runWriteStream(std::make_unique<FileOutputStream>(target, true, place), stream,
                          QStringLiteral("PUT"), true);
}

Result LocalTransferController::moveIntoPlace(const QString &temporaryPath,
                                              const QString &finalPath)
{
    setStoredPath({});
    sendDidStart();
    const QString from = localPathForRemotePath(temporaryPath);
    const QString to = localPathForRemotePath(finalPath);
    if (from.isEmpty() || to.isEmpty()) {
        return failNotReachable(temporaryPath, finalPath);
    }
    const QFileInfo target(to);
    QString placed;
    if (const int err = placeItem(renamesIn(target.path()), QFileInfo(from).fileName(),
                                  target.fileName(), replacesExistingItems(), &placed)) {
        return sendDidFail(TransferError::posix(err, to));
    }
    setStoredPath(finalPath.left(finalPath.lastIndexOf(QLatin1Char('/')) + 1) + placed);
    sendDidSucceed();
    return {};
}

Result LocalTransferController::_downloadFileFromPath(const QString &remotePath,
                                                      OutputStream *stream)
{
    if (!stream || stream->status() != TransferStream::NotOpen)
        return TransferError::fileTransfer(QStringLiteral("Failed opening data stream"));
    const QString source = localPathForRemotePath(remotePath);
    if (source.isEmpty()) {
        sendDidStart();
        return failNotReachable(remotePath);
    }
    struct stat st {};
    if (::stat(encoded(source).constData(), &st) == 0)
        setMaxLength(quint64(st.st_size));
    const auto result = runReadStream(std::make_unique<FileInputStream>(source), stream,
                                      QStringLiteral("GET"), true);
    return result ? Result() : result.error();
}

Result LocalTransferController::setItemDates(const QString &remotePath, const QDateTime &,
                                             const QDateTime &modificationDate)
{
    const QString path = localPathForRemotePath(remotePath);
    if (path.isEmpty())
        return TransferError::fileTransfer(
            QStringLiteral("\"%1\" is not reachable").arg(remotePath));
    if (!modificationDate.isValid())
        return {};
    const qint64 ms = modificationDate.toMSecsSinceEpoch();
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    times[1].tv_nsec = long((ms - qint64(times[1].tv_sec) * 1000) * 1000000);
    if (::utimensat(AT_FDCWD, encoded(path).constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return TransferError::posix(errno, path);
    return {};
}

Result LocalTransferController::setItemTag(const QString &remotePath, const QString &tag)
{
    const QString path = localPathForRemotePath(remotePath);
    if (path.isEmpty())
        return TransferError::fileTransfer(
            QStringLiteral("\"%1\" is not reachable").arg(remotePath));
    // The attribute holds a comma-separated list: writing one name makes it the
    // item's only tag.
    const QByteArray value = tag.toUtf8();
    if (::setxattr(encoded(path).constData(), "user.xdg.tags", value.constData(),
                   size_t(value.size()), 0) != 0)
        return TransferError::posix(errno, path);
    return {};
}

QVariant LocalTransferController::processReadResultStream(OutputStream *, const QString &,
                                                          TransferError *)
{
    return true;
}

} // namespace pv
