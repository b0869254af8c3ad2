#pragma once

#include <QDateTime>
#include <QString>

namespace pv {

/// The record and display date formats, strftime-style, local time.
inline constexpr const char *kQueueDateFormat = "%b %e/%y, %I:%M:%S %p";
inline constexpr const char *kLogDateFormat = "%b %e, %Y, %I:%M:%S %p";

/// Formats a moment in local time with a strftime pattern and the user's
/// locale for month names.
[[nodiscard]] QString formatDate(const QDateTime &when, const char *format);

} // namespace pv
