#include "core/settings.h"

#include "core/record.h"

#include <QFile>

#include <sys/stat.h>

namespace pv::settings {

std::unique_ptr<QSettings> open()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Tallowin"), QStringLiteral("Parcelvane"));
}

namespace {

// The state of a file that changes with every rewrite.
QByteArray stampOf(const QByteArray &path)
{
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return QByteArrayLiteral("missing");
    QByteArray stamp;
    for (const long long v : {(long long)st.st_ino, (long long)st.st_size,
                              (long long)st.st_mtim.tv_sec, (long long)st.st_mtim.tv_nsec,
                              (long long)st.st_ctim.tv_sec, (long long)st.st_ctim.tv_nsec})
        stamp.append(reinterpret_cast<const char *>(&v), sizeof v);
    return stamp;
}

// Making a settings object, or syncing one (a lock file each time), costs
// far more than reading from it, and deliveries read a dozen values each:
// every thread keeps one for the file in use and syncs it only when the
// file changed on disk since.
QSettings &forReading()
{
    thread_local std::unique_ptr<QSettings> settings;
    thread_local QByteArray file;
    thread_local QByteArray stamp;
    if (!settings) {
        settings = open();
        file = QFile::encodeName(settings->fileName());
        stamp = stampOf(file);
        settings->sync(); // at least as new as the stamp

    } else if (QByteArray now = stampOf(file); now != stamp) {
        stamp = std::move(now);
        settings->sync();
    }
    return *settings;
}

} // namespace

bool contains(const QString &key)
{
    return forReading().contains(key);
}

QVariant value(const QString &key)
{
    return forReading().value(key);
}

bool boolValue(const QString &key, bool absent)
{
    const QVariant v = value(key);
    return v.isValid() ? pv::boolValue(v) : absent;
}

qint64 intValue(const QString &key, qint64 absent)
{
    const QVariant v = value(key);
    return v.isValid() ? pv::intValue(v) : absent;
}

QString stringValue(const QString &key, const QString &absent)
{
    const QVariant v = value(key);
    return v.isValid() ? v.toString() : absent;
}

void setValue(const QString &key, const QVariant &value)
{
    auto s = open();
    s->setValue(key, value);
    s->sync();
}

} // namespace pv::settings
