#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>

namespace pv::settings {

/// The user's settings file: $XDG_CONFIG_HOME/Tallowin/Parcelvane.conf.
/// Values written by hand come back as text, so read them with the record
/// readers (any number is a boolean). No defaults are registered: every
/// reader applies its own fallback.
[[nodiscard]] std::unique_ptr<QSettings> open();

[[nodiscard]] bool contains(const QString &key);
[[nodiscard]] QVariant value(const QString &key);
[[nodiscard]] bool boolValue(const QString &key, bool absent = false);
[[nodiscard]] qint64 intValue(const QString &key, qint64 absent = 0);
[[nodiscard]] QString stringValue(const QString &key, const QString &absent = QString());
void setValue(const QString &key, const QVariant &value);

} // namespace pv::settings
