#include "core/dates.h"

#include <ctime>

namespace pv {

QString formatDate(const QDateTime &when, const char *format)
{
    const std::time_t t = std::time_t(when.toSecsSinceEpoch());
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[128];
    const size_t n = std::strftime(buf, sizeof buf, format, &tm);
    return QString::fromLocal8Bit(buf, qsizetype(n));
}

} // namespace pv
