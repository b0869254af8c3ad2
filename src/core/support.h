#pragma once

namespace pv {

/// The maker's support address named in user-facing texts.
inline constexpr const char *kSupportAddress = "support@tallowin.example";

} // namespace pv
