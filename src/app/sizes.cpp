#include "app/sizes.h"

#include <QProcess>

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

QString setSizeStrFromK(qint64 k)
{
    if (k <= 1023)
        return QStringLiteral("%1 KB").arg(k);
    if (k <= 1048575)
        return QString::asprintf("%1.1f MB", double(float(k) / 1024.0f));
    return QString::asprintf("%1.2f GB", double(float(k) / 1048576.0f));
}

QString setSizeStr(quint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("1 KB");
    if (bytes <= 1048575)
        return QStringLiteral("%1 KB").arg(bytes / 1024);
    if (bytes <= 1073741823)
        return QString::asprintf("%1.1f MB", double(float(bytes) / 1048576.0f));
    return QString::asprintf("%1.2f GB", double(float(bytes) / 1073741824.0f));
}

} // namespace pv
