// SPDX-License-Identifier: MIT
// Over the into-buffer calls of `base64`: straight into `out`, nothing
// allocated.
#include "whole_groups.hpp"

#include <base64/base64.hpp>

#include <span>
#include <string_view>

namespace Base64_rfc2045::detail {
namespace {

// The options of every call, made once: a record made per call is zeroed
// whole first (its alphabet's storage too), which costs more than encoding a
// short piece of line.
const Base64::Options standard_options{};
constexpr Base64::Line_layout mime_lines{};  // RFC 2045: 76 characters, CR LF
const Base64::Alphabet_choice standard_alphabet{};

}  // namespace

void encode_whole_groups(const char* in, std::size_t n, char* out) {
  // A whole range of whole groups into exactly its room cannot fail and
  // needs no padding.
  (void)Base64::encode_into(std::string_view(in, n), std::span<char>(out, n / 3 * 4), standard_options);
}

void encode_whole_lines(const char* in, std::size_t lines, char* out) {
  // Whole lines into exactly their room are all written.
  (void)Base64::encode_lines_into(std::string_view(in, lines * 57), std::span<char>(out, lines * 78), mime_lines,
                                  standard_alphabet);
}

bool decode_whole_groups(const char* in, std::size_t n, char* out) {
  const Base64::Into_result bytes = Base64::decode_into(std::string_view(in, n), std::span<char>(out, n / 4 * 3));
  // With padding on, a run of whole groups that ends in '=' decodes too, to
  // fewer bytes: only the full count means that every character was valid.
  return bytes.has_value() && *bytes == n / 4 * 3;
}

std::size_t decode_whole_lines(const char* in, std::size_t n, std::size_t length, char* out, std::size_t room,
                               std::size_t& written) {
  // The alphabet named, not defaulted: a defaulted Alphabet_choice is
  // value-initialised, which zeroes its room for a caller's alphabet.
  const Base64::Lines_progress p = Base64::decode_lines_into(
      std::string_view(in, n), std::span<char>(out, room), {length, Base64::Line_end::crlf}, Base64::standard_alphabet);
  written = p.written;
  return p.read;
}

}  // namespace Base64_rfc2045::detail
