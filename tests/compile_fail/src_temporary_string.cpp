// SPDX-License-Identifier: MIT
// Compiled, never run. As it stands it must compile: src takes a string that
// lives on, a literal and a string_view. With SRC_TEMPORARY_STRING defined it
// must not: a temporary string would be gone before decode reads it.
#include <base64_rfc2045/decoder.hpp>

#include <string>
#include <string_view>

namespace {
std::string next_line() { return "YWJj"; }
}  // namespace

void feed(Base64_rfc2045::Decoder& d) {
  const std::string line = next_line();
  Base64_rfc2045::src(d, line, 0, 4);
  Base64_rfc2045::src(d, "YWJj", 0, 4);
  Base64_rfc2045::src(d, std::string_view(line), 0, 4);
#if defined(SRC_TEMPORARY_STRING)
  Base64_rfc2045::src(d, next_line(), 0, 4);
#endif
}
