#pragma once

#include <QString>

namespace pv {

/// One diagnostic line on the log (standard error). Callers mask passwords
/// before they get here.
void log(const QString &line);

} // namespace pv
