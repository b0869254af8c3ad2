#pragma once

#include <QString>

namespace pv {

/// "%i KB" up to 1023 KB, "%1.1f MB" below 1 GB, "%1.2f GB" beyond.
[[nodiscard]] QString setSizeStrFromK(qint64 k);
/// Size text of a byte count; below one kilobyte it is always "1 KB".
[[nodiscard]] QString setSizeStr(quint64 bytes);
/// Progress size text: "%i KB" up to 1 MiB, "%1.2f GB" from 1 GiB, "%1.1f MB" between.
[[nodiscard]] QString formatSize(quint64 bytes);
/// "%i KB/sec" below 1 MiB per second, else "%1.1f MB/sec".
[[nodiscard]] QString formatSpeed(double bytesPerSecond);

} // namespace pv
