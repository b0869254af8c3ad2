#pragma once

#include <QString>
#include <QStringList>

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

/// The last component of a slash-separated path, trailing slashes ignored
/// ("/a/b/" gives "b", "/" gives "/").
[[nodiscard]] QString lastPathComponent(const QString &path);
/// "base_N.ext" for name "base.ext" (a leading dot starts a hidden name, not
/// an extension).
[[nodiscard]] QString numberedName(const QString &name, qint64 n);
/// finalName when it is not among names, else its first numbered form that is
/// not: the name a delivery takes when it must not overwrite.
[[nodiscard]] QString finalNameForOverwrite(const QString &finalName, const QStringList &names);

} // namespace pv
