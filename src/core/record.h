#pragma once

#include <QString>
#include <QVariantMap>

namespace pv {

/// Typed readers for property-list records. Stored files mix booleans and the
/// integers 0/1, so any number reads as a boolean and a boolean as 0/1; a
/// missing key reads as 0, NO or "".
[[nodiscard]] bool boolValue(const QVariant &v);
[[nodiscard]] qint64 intValue(const QVariant &v);

[[nodiscard]] inline bool recBool(const QVariantMap &r, const QString &key)
{
    return boolValue(r.value(key));
}
[[nodiscard]] inline qint64 recInt(const QVariantMap &r, const QString &key)
{
    return intValue(r.value(key));
}
[[nodiscard]] inline QString recString(const QVariantMap &r, const QString &key)
{
    const QVariant v = r.value(key);
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
}

} // namespace pv
