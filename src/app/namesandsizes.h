#pragma once

#include "core/sizetext.h"
#include "core/urlescape.h"

#include <QString>
#include <QVariantList>

namespace pv {

/// Size of a file or folder in kilobytes as `du -sk` counts them (allocated
/// blocks, folders included); 0 when du cannot read the path.
[[nodiscard]] qint64 sizeK(const QString &path);
/// Progress size text from a number with a unit letter ("512k", "3.5M").
[[nodiscard]] QString formatSize(const QString &text);
/// Speed text from bytes per second.
[[nodiscard]] QString formatSpeed(const QString &bytesPerSecond);

/// The delivered name of a source: "[" and "]" become "(" and ")", and
/// ".dmg" or ".zip" is appended for a package.
[[nodiscard]] QString composeFinalName(const QString &sourcePath, bool createDmg, bool zip);

/// What a source looks like on disk: its size and newest modification time,
/// for a folder the total and the newest over its tree (links not followed).
/// Two different states mean the source was written to in between.
[[nodiscard]] QVariantList sourceState(const QString &path);

} // namespace pv
