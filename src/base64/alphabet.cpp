// SPDX-License-Identifier: MIT
#include <base64/base64.hpp>

#include "tables.hpp"

namespace Base64 {

std::string alphabet(const Alphabet& a) {
  const auto& emap = a.emap();
  return std::string(emap.begin(), emap.end());
}

namespace detail {

constexpr Builtin_tables standard_tables = make_builtin_tables(standard_alphabet);
constexpr Builtin_tables url_safe_tables = make_builtin_tables(url_safe_alphabet);

}  // namespace detail
}  // namespace Base64
