// SPDX-License-Identifier: MIT
// Range checks of the chunks and spaces that callers hand in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Base64_rfc2045::detail {

// Throws std::invalid_argument "Invalid bounds (off: %d, len: %d)" unless
// 0 <= off, 0 <= len and off + len <= size. The check cannot overflow.
void check_bounds(std::size_t size, std::int64_t off, std::int64_t len);

}  // namespace Base64_rfc2045::detail
