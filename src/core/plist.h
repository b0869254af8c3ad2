#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

namespace pv::plist {

/// Deepest nesting of arrays and dictionaries that parse() accepts.
inline constexpr int kMaxDepth = 512;

/// Parses an XML or binary property list. Dictionaries become QVariantMap,
/// arrays QVariantList, integers qlonglong, reals double, booleans bool,
/// dates QDateTime (UTC) and data QByteArray. Returns an invalid QVariant and
/// fills *error when the bytes are not a property list.
[[nodiscard]] QVariant parse(const QByteArray &bytes, QString *error = nullptr);

/// Reads and parses a whole file; invalid QVariant when missing or malformed.
[[nodiscard]] QVariant readFile(const QString &path, QString *error = nullptr);

/// Serialises to an Apple-style XML property list. Values that have no
/// property-list form (null, unknown types) are left out of their container.
[[nodiscard]] QByteArray toXml(const QVariant &value);

/// Writes the XML form atomically (temporary file, then rename).
[[nodiscard]] bool writeFile(const QString &path, const QVariant &value, QString *error = nullptr);

} // namespace pv::plist
