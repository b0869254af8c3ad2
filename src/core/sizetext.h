#pragma once

#include <QString>

namespace pv {

/// "%i KB" up to 1023 KB, "%1.1f MB" below 1 GB, "%1.2f GB" beyond.
[[nodiscard]] QString setSizeStrFromK(qint64 k);
/// Size text of a byte count; below one kilobyte it is always "1 KB".
[[nodiscard]] QString setSizeStr(quint64 bytes);

} // namespace pv
