#include "core/settings.h"

#include "core/record.h"

namespace pv::settings {

std::unique_ptr<QSettings> open()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Tallowin"), QStringLiteral("Parcelvane"));
}

namespace {

// Making a settings object costs far more than reading from it (paths, file
// lookup), and deliveries read a dozen values each: every thread keeps one
// for the file in use and syncs it before each read, which reads the file
// again only when it changed on disk.
QSettings &forReading()
{
    thread_local std::unique_ptr<QSettings> settings;
    thread_local QByteArray madeFor;
    const QByteArray where = qgetenv("XDG_CONFIG_HOME") + '\0' + qgetenv("HOME");
    if (!settings || where != madeFor) {
        settings = open();
        madeFor = where;
    } else {
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
