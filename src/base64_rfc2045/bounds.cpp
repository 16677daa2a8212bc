// SPDX-License-Identifier: MIT
#include "bounds.hpp"

#include <stdexcept>
#include <string>

namespace Base64_rfc2045::detail {

void check_bounds(std::size_t size, std::int64_t off, std::int64_t len) {
  // A buffer cannot hold more than PTRDIFF_MAX bytes, so its size fits.
  const auto total = static_cast<std::int64_t>(size);
  if (off < 0 || len < 0 || off > total - len)
    throw std::invalid_argument("Invalid bounds (off: " + std::to_string(off) + ", len: " + std::to_string(len) + ")");
}

}  // namespace Base64_rfc2045::detail
