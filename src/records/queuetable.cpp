#include "records/queuetable.h"

#include "core/log.h"
#include "core/paths.h"
#include "core/record.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace pv {

namespace {

// Moves src to dst without replacing anything already at dst. Returns an
// error text, empty on success.
QString moveNoReplace(const QString &src, const QString &dst)
{
    const QByteArray from = QFile::encodeName(src);
    const QByteArray to = QFile::encodeName(dst);
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return {};
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // File systems without RENAME_NOREPLACE: check, then rename.
        struct stat st;
        if (::lstat(to.constData(), &st) == 0)
            err = EEXIST;
        else if (::rename(from.constData(), to.constData()) == 0)
            return {};
        else
            err = errno;
    }
    return QStringLiteral("\"%1\" could not be moved to \"%2\": %3")
        .arg(QFileInfo(src).fileName(), QFileInfo(dst).absolutePath(),
             QString::fromLocal8Bit(std::strerror(err)));
}

} // namespace

QueueTable::QueueTable(Alerter *alerter, const QString &filePath, QObject *parent)
    : RecordList(filePath.isEmpty() ? paths::appFile(QStringLiteral("Queue.xml")) : filePath,
                 {QStringLiteral("name"), QStringLiteral("dest"), QStringLiteral("size"),
                  QStringLiteral("date")},
                 alerter, parent)
{
    // The file mirrors the queue, which starts empty: replace last run's.
    writeItems();
}

void QueueTable::addItem(const QVariantMap &record)
{
    insertRecord(recBool(record, QStringLiteral("priority")) ? 0 : count(), record);
}

QVariantMap QueueTable::deleteFirstItem()
{
    const QVariantMap head = itemAt(0);
    removeRecords(0, 1);
    return head;
}

bool QueueTable::containsPath(const QString &path) const
{
    return m_pathCount.contains(path);
}

void QueueTable::recordEntered(const QVariantMap &record)
{
    ++m_pathCount[recString(record, QStringLiteral("path"))];
}

void QueueTable::recordLeft(const QVariantMap &record)
{
    const auto it = m_pathCount.find(recString(record, QStringLiteral("path")));
    if (it != m_pathCount.end() && --it.value() <= 0)
        m_pathCount.erase(it);
}

int QueueTable::minusBtn(int row)
{
    if (row < 0 || row >= count())
        return count() > 0 ? 0 : -1;
    const QVariantMap record = itemAt(row);
    removeRecords(row, 1);

    const QString path = recString(record, QStringLiteral("path"));
    const QString hotfolder = recString(record, QStringLiteral("hotfolder"));
    // Only the last component: a name must not lead the move out of Errors.
    QString name = QFileInfo(recString(record, QStringLiteral("name"))).fileName();
    if (name.isEmpty() || name == QLatin1String("..") || name == QLatin1String("."))
        name = QFileInfo(path).fileName();

    if (path.isEmpty() || hotfolder.isEmpty()) {
        // Handed over on the command line: there is no hot folder to tidy.
        log(lcRecords(),
            QStringLiteral("--> minusBtn: \"%1\" has no hot folder and stays where it is")
                .arg(path));
    } else if (containsPath(path) || (m_pathInUse && m_pathInUse(path))) {
        log(lcRecords(),
            QStringLiteral("--> minusBtn: %1 is still queued for another destination").arg(path));
    } else {
        const QString errors = QDir(hotfolder).filePath(QStringLiteral("Errors"));
        QString error;
        if (!QFileInfo(errors).isDir() && !QDir().mkdir(errors))
            error = QStringLiteral("The folder \"%1\" could not be created").arg(errors);
        else
            error = moveNoReplace(path, QDir(errors).filePath(name));
        if (!error.isEmpty()) {
            Alert a;
            a.title = QStringLiteral("Could not move file to Errors folder");
            a.text = QStringLiteral("The file has to be removed from hot folder manually\n\n"
                                    "Error: %1")
                         .arg(error);
            ask(a);
        }
    }
    return count() == 0 ? -1 : std::max(row - 1, 0);
}

bool QueueTable::clearQueue()
{
    Alert a;
    a.title = QStringLiteral("Do you really want to clear the queue?");
    a.text = QStringLiteral("The files will stay in their hot folders");
    a.buttons = {QStringLiteral("Clear Queue"), QStringLiteral("Cancel")};
    // Nobody to ask (headless): keep the records.
    a.defaultButton = 1;
    if (ask(a) != 0)
        return false;
    setRecords({});
    return true;
}

void QueueTable::setPathInUse(std::function<bool(const QString &)> inUse)
{
    m_pathInUse = std::move(inUse);
}

} // namespace pv
