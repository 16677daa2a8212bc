// SPDX-License-Identifier: MIT
#include "bounds.hpp"

#include <stdexcept>
#include <string>

namespace Base64_rfc2045::detail {

void throw_bad_bounds(std::int64_t off, std::int64_t len) {
  throw std::invalid_argument("Invalid bounds (off: " + std::to_string(off) + ", len: " + std::to_string(len) + ")");
}

}  // namespace Base64_rfc2045::detail
