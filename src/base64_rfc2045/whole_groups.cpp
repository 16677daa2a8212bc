// SPDX-License-Identifier: MIT
// Over the into-buffer calls of `base64`: straight into `out`, nothing
// allocated.
#include "whole_groups.hpp"

#include <base64/base64.hpp>

#include <span>
#include <string_view>

namespace Base64_rfc2045::detail {

void encode_whole_groups(const char* in, std::size_t n, char* out) {
  // A whole range of whole groups into exactly its room cannot fail and
  // needs no padding.
  (void)Base64::encode_into(std::string_view(in, n), std::span<char>(out, n / 3 * 4));
}

void encode_whole_lines(const char* in, std::size_t lines, char* out) {
  // The default layout is RFC 2045's: 76 characters, CR LF. Whole lines into
  // exactly their room are all written.
  (void)Base64::encode_lines_into(std::string_view(in, lines * 57), std::span<char>(out, lines * 78));
}

bool decode_whole_groups(const char* in, std::size_t n, char* out) {
  const Base64::Into_result bytes = Base64::decode_into(std::string_view(in, n), std::span<char>(out, n / 4 * 3));
  // With padding on, a run of whole groups that ends in '=' decodes too, to
  // fewer bytes: only the full count means that every character was valid.
  return bytes.has_value() && *bytes == n / 4 * 3;
}

}  // namespace Base64_rfc2045::detail
