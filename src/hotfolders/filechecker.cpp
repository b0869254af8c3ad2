#include "hotfolders/filechecker.h"

#include "hotfolders/hotfolderitem.h"
#include "hotfolders/hotfolderwatcher.h"

#include <QFile>
#include <QVariantList>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pv {

namespace {

/// Adds up the non-directory entries below the open directory dirFd, which
/// it takes over and closes. Links are measured, never followed.
quint64 sumTree(int dirFd)
{
    DIR *dir = fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return 0;
    }
    quint64 total = 0;
    while (const dirent *e = readdir(dir)) {
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
                total += sumTree(sub);
        } else {
            total += quint64(st.st_size);
        }
    }
    closedir(dir);
    return total;
}

} // namespace

ProbeResult measureItemSize(const QString &path)
{
    ProbeResult result;
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (lstat(native.constData(), &st) != 0) {
        result.vanished = errno == ENOENT || errno == ENOTDIR;
        return result;
    }
    if (!S_ISDIR(st.st_mode)) {
        result.size = quint64(st.st_size);
        return result;
    }
    const int fd = open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        result.size = sumTree(fd);
    return result;
}

FileChecker::FileChecker(const QVariantMap &item, HotfolderWatcher *controller)
    : QObject(controller), m_controller(controller), m_itemForQueue(item),
      m_itemPath(item.value(hk::path).toString())
{
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &FileChecker::probe);
}

void FileChecker::startProbingFileSizeForFile(std::chrono::milliseconds interval)
{
    m_timer.start(interval);
}

void FileChecker::probe()
{
    if (m_done)
        return;
    const ProbeResult now = measureItemSize(m_itemPath);
    if (now.vanished) {
        // Nothing is left to deliver (typically a temporary file renamed by
        // the program that wrote it); handing it over would only record a
        // failed delivery.
        m_done = true;
        m_timer.stop();
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
    m_done = true;
    m_timer.stop();
    m_itemForQueue.insert(hk::origSize, qint64(now.size));
    m_itemForQueue.insert(hk::log, QVariantList());
    m_controller->addToQueueAndRemoveFromGuardList(this, m_itemForQueue);
}

} // namespace pv
