#pragma once

#include <QString>

namespace pv {

/// Size of a file or folder in kilobytes as `du -sk` counts them (allocated
/// blocks, folders included); 0 when du cannot read the path.
[[nodiscard]] qint64 sizeK(const QString &path);
/// "%i KB" up to 1023 KB, "%1.1f MB" below 1 GB, "%1.2f GB" beyond.
[[nodiscard]] QString setSizeStrFromK(qint64 k);
/// Size text of a byte count; below one kilobyte it is always "1 KB".
[[nodiscard]] QString setSizeStr(quint64 bytes);
/// Progress size text from a number with a unit letter ("512k", "3.5M").
[[nodiscard]] QString formatSize(const QString &text);
/// Speed text from bytes per second.
[[nodiscard]] QString formatSpeed(const QString &bytesPerSecond);

/// The delivered name of a source: "[" and "]" become "(" and ")", and
/// ".dmg" or ".zip" is appended for a package.
[[nodiscard]] QString composeFinalName(const QString &sourcePath, bool createDmg, bool zip);
/// The first numbered form "base_N.ext" of finalName not among present.
[[nodiscard]] QString finalNameForOverwrite(const QString &finalName, const QStringList &present);

/// Escapes a user name, password or path for a URL: standard URL escaping in
/// UTF-8, then also "@", "$", ":", "&", ";", "?", "/" and "~".
[[nodiscard]] QString addMissingPercentEscapes(const QString &text);
/// The same for a composed link, leaving "@", ":" and "/" so it keeps its
/// structure.
[[nodiscard]] QString addMissingPercentEscapesForURL(const QString &text);

} // namespace pv
