#include "core/sizetext.h"

namespace pv {

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

QString formatSize(quint64 bytes)
{
    if (bytes <= 1048576)
        return QStringLiteral("%1 KB").arg(bytes / 1024);
    if (bytes >= 1073741824ULL)
        return QString::asprintf("%1.2f GB", double(bytes) / 1073741824.0);
    return QString::asprintf("%1.1f MB", double(bytes) / 1048576.0);
}

QString formatSpeed(double bytesPerSecond)
{
    if (bytesPerSecond < 1048576.0)
        return QStringLiteral("%1 KB/sec").arg(qint64(bytesPerSecond / 1024.0));
    return QString::asprintf("%1.1f MB/sec", bytesPerSecond / 1048576.0);
}

} // namespace pv
