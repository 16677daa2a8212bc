// SPDX-License-Identifier: MIT
// Range checks of the chunks and spaces that callers hand in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Base64_rfc2045::detail {

// Throws std::invalid_argument "Invalid bounds (off: %d, len: %d)".
[[noreturn]] void throw_bad_bounds(std::int64_t off, std::int64_t len);

// The test inline, the throw out of line: dst() and src() run it on every
// chunk or space, a few instructions.
inline void check_bounds(std::size_t size, std::int64_t off, std::int64_t len) {
  // A buffer cannot hold more than PTRDIFF_MAX bytes, so its size fits.
  const auto total = static_cast<std::int64_t>(size);
  if (off < 0 || len < 0 || off > total - len) throw_bad_bounds(off, len);
}

}  // namespace Base64_rfc2045::detail
