#include "app/namesandsizes.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

#include <sys/stat.h>

namespace pv {

qint64 sizeK(const QString &path)
{
    QProcess du;
    du.start(QStringLiteral("du"), {QStringLiteral("-sk"), QStringLiteral("--"), path});
    if (!du.waitForFinished(-1) || du.exitStatus() != QProcess::NormalExit)
        return 0;
    const QByteArray out = du.readAllStandardOutput();
    bool ok = false;
    const qint64 k = out.left(out.indexOf('\t')).trimmed().toLongLong(&ok);
    return ok ? k : 0;
}

QString formatSize(const QString &text)
{
    if (text.isEmpty())
        return text;
    const QString number = text.left(text.size() - 1);
    if (text.endsWith(QLatin1Char('M')))
        return QStringLiteral("%1 MB").arg(number);
    const double v = number.toDouble();
    if (v > 1024)
        return QString::asprintf("%1.1f MB", v / 1024);
    return QStringLiteral("%1 KB").arg(number == QLatin1String("0") ? QStringLiteral("1") : number);
}

QString formatSpeed(const QString &bytesPerSecond)
{
    const double v = bytesPerSecond.toDouble();
    if (v < 1048576)
        return QStringLiteral("%1 KB/sec").arg(qint64(v / 1024));
    return QString::asprintf("%1.1f MB/sec", v / 1048576);
}

QString composeFinalName(const QString &sourcePath, bool createDmg, bool zip)
{
    QString p = sourcePath;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    QString name = QFileInfo(p).fileName();
    name.replace(QLatin1Char('['), QLatin1Char('('));
    name.replace(QLatin1Char(']'), QLatin1Char(')'));
    if (createDmg)
        name += QStringLiteral(".dmg");
    else if (zip)
        name += QStringLiteral(".zip");
    return name;
}

QVariantList sourceState(const QString &path)
{
    qint64 size = 0;
    qint64 newest = 0;
    auto add = [&](const QString &p) {
        struct stat st {};
        if (::lstat(QFile::encodeName(p).constData(), &st) != 0)
            return;
        if (S_ISREG(st.st_mode))
            size += st.st_size;
        newest = qMax<qint64>(newest, qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);
    };
    add(path);
    // Folders count too: their times change when an item is added or removed.
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        add(it.next());
    return {size, newest};
}

} // namespace pv
