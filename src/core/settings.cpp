#include "core/settings.h"

#include "core/record.h"

namespace pv::settings {

std::unique_ptr<QSettings> open()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Tallowin"), QStringLiteral("Parcelvane"));
}

bool contains(const QString &key)
{
    return open()->contains(key);
}

QVariant value(const QString &key)
{
    return open()->value(key);
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
