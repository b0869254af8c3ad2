#pragma once

#include <QString>

namespace pv {

/// Escapes a user name, password or path for a URL: standard URL escaping in
/// UTF-8, then also "@", "$", ":", "&", ";", "?", "/" and "~".
[[nodiscard]] QString addMissingPercentEscapes(const QString &text);
/// The same for a composed link, leaving "@", ":" and "/" so it keeps its
/// structure.
[[nodiscard]] QString addMissingPercentEscapesForURL(const QString &text);

/// URL text with the password of its user information replaced by "<passw>",
/// for log lines and summaries; text without one comes back unchanged.
[[nodiscard]] QString maskedURL(const QString &url);

} // namespace pv
