#pragma once

#include <QByteArray>
#include <QString>

namespace pv {

/// Replaces the file at path with data so that readers see either the old or
/// the new content, never a truncated file: the bytes go to a temporary file
/// in the same folder, are flushed, and the temporary file is renamed.
[[nodiscard]] bool writeFileAtomically(const QString &path, const QByteArray &data,
                                       QString *error = nullptr);

} // namespace pv
