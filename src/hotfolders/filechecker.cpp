#include "hotfolders/filechecker.h"

#include "core/log.h"
#include "hotfolders/hotfolderitem.h"
#include "hotfolders/hotfolderwatcher.h"

#include <QFile>
#include <QVariantList>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace pv {

namespace {

/// Calls visit(dirFd, name, stat) for every entry below the open directory
/// dirFd that is not itself a directory, at any depth, until visit answers
/// false. Takes over dirFd and closes it. Links are never followed. Returns
/// false when visit stopped the walk.
template <typename Visit> bool forEachFileBelow(int dirFd, const Visit &visit)
{
    DIR *dir = fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return true;
    }
    bool goOn = true;
    while (goOn) {
        const dirent *e = readdir(dir);
        if (!e)
            break;
        const char *name = e->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        struct stat st {};
        if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            const int sub =
                openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                goOn = forEachFileBelow(sub, visit);
        } else {
            goOn = visit(dirfd(dir), name, st);
        }
    }
    closedir(dir);
    return goOn;
}

/// The same for an entry by path: the entry itself when it is not a folder.
/// Returns false when the entry is gone.
template <typename Visit> bool forEachFile(const QByteArray &native, const Visit &visit)
{
    struct stat st {};
    if (lstat(native.constData(), &st) != 0)
        return errno != ENOENT && errno != ENOTDIR;
    if (!S_ISDIR(st.st_mode)) {
        visit(AT_FDCWD, native.constData(), st);
        return true;
    }
    const int fd = open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        forEachFileBelow(fd, visit);
    return true;
}

enum class Writers { None, Some, Unknown };

/// Asks the kernel whether any process has the file open for writing: a read
/// lease is refused with EAGAIN exactly then.
Writers writersByLease(int dirFd, const char *name, const struct stat &st)
{
    if (!S_ISREG(st.st_mode))
        return Writers::None;
    // Non-blocking: an open that would break another holder's lease fails
    // instead of waiting, and a file replaced by a pipe cannot hang us.
    const int fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EWOULDBLOCK)
            return Writers::Some; // someone holds a write lease on it
        return errno == ENOENT ? Writers::None : Writers::Unknown;
    }
    Writers answer = Writers::Unknown;
    // A writer opening the file while the lease is held makes the kernel
    // signal this process; SIGIO would end it, SIGURG is ignored by default.
    if (fcntl(fd, F_SETSIG, SIGURG) == 0) {
        if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
            (void)fcntl(fd, F_SETLEASE, F_UNLCK);
            answer = Writers::None;
        } else if (errno == EAGAIN) {
            answer = Writers::Some;
        }
    }
    ::close(fd);
    return answer;
}

/// Whether the open file described by /proc/PID/fdinfo/FD was opened for writing.
bool fdinfoSaysWriting(const QByteArray &fdinfo)
{
    const int fd = open(fdinfo.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[512];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    const char *flags = std::strstr(buf, "flags:");
    if (!flags)
        return false;
    const unsigned long mode = std::strtoul(flags + 6, nullptr, 8) & O_ACCMODE;
    return mode == O_WRONLY || mode == O_RDWR;
}

} // namespace

ProbeResult measureItemSize(const QString &path)
{
    return measureItemSize(QFile::encodeName(path));
}

ProbeResult measureItemSize(const QByteArray &nativePath)
{
    ProbeResult result;
    result.vanished = !forEachFile(nativePath, [&](int, const char *, const struct stat &st) {
        result.size += quint64(st.st_size);
        return true;
    });
    return result;
}

QSet<FileId> openForWritingAmong(const QSet<FileId> &wanted)
{
    QSet<FileId> found;
    DIR *proc = wanted.isEmpty() ? nullptr : opendir("/proc");
    if (!proc)
        return found;
    while (const dirent *p = readdir(proc)) {
        if (p->d_name[0] < '0' || p->d_name[0] > '9')
            continue;
        const QByteArray pidDir = QByteArray("/proc/") + p->d_name;
        // Processes of other users cannot be looked into: passed over.
        const int fdDir = open((pidDir + "/fd").constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDir < 0)
            continue;
        forEachFileBelow(fdDir, [&](int dirFd, const char *name, const struct stat &) {
            struct stat st {};
            if (fstatat(dirFd, name, &st, 0) != 0 || !S_ISREG(st.st_mode))
                return true;
            const FileId id(quint64(st.st_dev), quint64(st.st_ino));
            if (wanted.contains(id) && !found.contains(id) &&
                fdinfoSaysWriting(pidDir + "/fdinfo/" + name))
                found.insert(id);
            return true;
        });
    }
    closedir(proc);
    return found;
}

bool isOpenForWriting(const QByteArray &nativePath)
{
    bool writing = false;
    QSet<FileId> unknown;
    forEachFile(nativePath, [&](int dirFd, const char *name, const struct stat &st) {
        switch (writersByLease(dirFd, name, st)) {
        case Writers::Some:
            writing = true;
            return false;
        case Writers::Unknown:
            unknown.insert(FileId(quint64(st.st_dev), quint64(st.st_ino)));
            break;
        case Writers::None:
            break;
        }
        return true;
    });
    return writing || !openForWritingAmong(unknown).isEmpty();
}

FileChecker::FileChecker(const QVariantMap &item, HotfolderWatcher *controller)
    : QObject(controller), m_controller(controller), m_itemForQueue(item),
      m_itemPath(item.value(hk::path).toString()),
      m_nativePath(item.contains(hk::nativePath) ? item.value(hk::nativePath).toByteArray()
                                                 : QFile::encodeName(m_itemPath))
{}

void FileChecker::startProbingFileSizeForFile(std::chrono::milliseconds interval)
{
    m_probing = true;
    m_controller->scheduleProbes(this, interval, ++m_ticket);
}

void FileChecker::probe()
{
    if (m_done)
        return;
    const ProbeResult now = measureItemSize(m_nativePath);
    if (now.vanished) {
        // Nothing is left to deliver (typically a temporary file renamed by
        // the program that wrote it); handing it over would only record a
        // failed delivery.
        m_done = true;
        m_probing = false;
        m_controller->abandonChecker(this);
        return;
    }
    if (m_round == 0) {
        m_savedSize = now.size;
        m_round = 1;
        return;
    }
    if (now.size != m_savedSize) {
        m_savedSize = now.size;
        return;
    }
    // Equal sizes only say that the writer paused; one that still holds the
    // file open may go on writing.
    if (isOpenForWriting(m_nativePath)) {
        if (!m_waitLogged)
            log(lcHotfolders(),
                QStringLiteral("--> %1 is still open for writing; waiting").arg(m_itemPath));
        m_waitLogged = true;
        return;
    }
    m_done = true;
    m_probing = false;
    // Handed over, not kept: in a burst thousands of checkers wait for
    // their deletion at the end of the turn.
    QVariantMap item = std::exchange(m_itemForQueue, {});
    item.insert(hk::origSize, qint64(now.size));
    item.insert(hk::log, QVariantList());
    m_controller->addToQueueAndRemoveFromGuardList(this, item);
}

} // namespace pv
