#include "core/fileops.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace pv {

namespace {
void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}
QString errnoText(const QString &path)
{
    return QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
}
} // namespace

bool pathExists(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool removePath(const QString &path, QString *error)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) {
        if (QDir(path).removeRecursively())
            return true;
        setError(error, QStringLiteral("%1: could not remove the folder").arg(path));
        return false;
    }
    if (::remove(QFile::encodeName(path).constData()) == 0)
        return true;
    setError(error, errnoText(path));
    return false;
}

bool copyPath(const QString &from, const QString &to, QString *error)
{
    const QFileInfo info(from);
    if (info.isSymLink()) {
        if (QFile::link(info.symLinkTarget(), to))
            return true;
        setError(error, QStringLiteral("%1: could not create the link").arg(to));
        return false;
    }
    if (info.isDir()) {
        if (!QDir().mkdir(to)) {
            setError(error, QStringLiteral("%1: could not create the folder").arg(to));
            return false;
        }
        const QStringList entries = QDir(from).entryList(QDir::AllEntries | QDir::Hidden |
                                                         QDir::System | QDir::NoDotAndDotDot);
        for (const QString &entry : entries) {
            if (!copyPath(from + QLatin1Char('/') + entry, to + QLatin1Char('/') + entry, error))
                return false;
        }
        QFile::setPermissions(to, info.permissions());
        return true;
    }
    QFile src(from);
    if (!src.copy(to)) {
        setError(error, QStringLiteral("%1: %2").arg(from, src.errorString()));
        return false;
    }
    QFile dst(to);
    if (dst.open(QIODevice::ReadWrite))
        dst.setFileTime(info.lastModified(), QFileDevice::FileModificationTime);
    return true;
}

bool movePath(const QString &from, const QString &to, QString *error)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (errno != EXDEV) {
        setError(error, errnoText(from));
        return false;
    }
    if (!copyPath(from, to, error)) {
        QString ignored;
        (void)removePath(to, &ignored);
        return false;
    }
    return removePath(from, error);
}

quint64 pathSize(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return 0;
    if (!info.isDir())
        return quint64(info.size());
    quint64 total = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += quint64(it.fileInfo().size());
    }
    return total;
}

QString lastPathComponent(const QString &path)
{
    qsizetype end = path.size();
    while (end > 1 && path.at(end - 1) == QLatin1Char('/'))
        --end;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'), end - 1);
    return slash < 0 || end == 1 ? path.left(end) : path.mid(slash + 1, end - slash - 1);
}

QString numberedName(const QString &name, qint64 n)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot > 0 && dot < name.size() - 1 ? name.mid(dot) : QString();
    return QStringLiteral("%1_%2%3")
        .arg(name.left(name.size() - extension.size()))
        .arg(n)
        .arg(extension);
}

QString finalNameForOverwrite(const QString &finalName, const QStringList &names)
{
    if (!names.contains(finalName))
        return finalName;
    for (qint64 n = 1;; ++n) {
        const QString candidate = numberedName(finalName, n);
        if (!names.contains(candidate))
            return candidate;
    }
}

} // namespace pv
