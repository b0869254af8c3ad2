#pragma once

#include <QString>

namespace pv {

/// User-info key of an FTP failure's status code (the last reply of the server).
inline constexpr const char *kFTPStatusCodeKey = "kCFFTPStatusCodeKey";

/// A short explanation of an FTP status code for the failure details, or an
/// empty string for codes without one.
[[nodiscard]] QString ftpErrorExplanation(qint64 code);

} // namespace pv
