#pragma once

#include <QByteArray>

#include <cstddef>

namespace pv {

/// Base64 of length bytes (RFC 4648 standard alphabet, "=" padding, no line
/// breaks). The result's size excludes any terminator.
[[nodiscard]] QByteArray newBase64Encode(const void *bytes, std::size_t length);

} // namespace pv
