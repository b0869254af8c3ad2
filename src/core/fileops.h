#pragma once

#include <QString>

namespace pv {

/// Removes a file, a symbolic link (not its target) or a folder tree.
[[nodiscard]] bool removePath(const QString &path, QString *error = nullptr);
/// Copies a file or a folder tree (symbolic links as links), keeping
/// permissions and modification dates.
[[nodiscard]] bool copyPath(const QString &from, const QString &to, QString *error = nullptr);
/// Moves a file or folder; across file systems it copies, then removes the
/// original only once the copy is complete.
[[nodiscard]] bool movePath(const QString &from, const QString &to, QString *error = nullptr);
/// True when something (even a dangling link) is at path.
[[nodiscard]] bool pathExists(const QString &path);
/// Bytes of a file or of all files below a folder; links are not followed.
[[nodiscard]] quint64 pathSize(const QString &path);

} // namespace pv
