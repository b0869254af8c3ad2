#pragma once

#include <QString>

#include <exception>

namespace pv {

/// The maker's support address named in user-facing texts.
inline constexpr const char *kSupportAddress = "support@tallowin.example";

/// Runs f on a worker's outermost frame: the text of what it threw, or an
/// empty string when it returned, so the failure can be shown instead of
/// ending the process.
template <class F> QString exceptionTextOf(F &&f)
{
    try {
        f();
        return {};
    } catch (const std::exception &e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("unknown exception");
    }
}

} // namespace pv
