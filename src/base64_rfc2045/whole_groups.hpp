// SPDX-License-Identifier: MIT
// The one place where this library calls the whole-string codec of `base64`:
// its kernels convert long runs of whole groups far faster than a group at a
// time. Everything about lines, spaces, stray bytes, padding and the end of
// input stays with the state machines of decoder.cpp and encoder.cpp; these
// calls only ever see whole groups.
#pragma once

#include <cstddef>

namespace Base64_rfc2045::detail {

// Encodes n bytes (a multiple of 3) of `in` to the 4n/3 characters of the
// RFC 2045 alphabet at `out`, with no padding and no line break.
void encode_whole_groups(const char* in, std::size_t n, char* out);

// Encodes `lines` full lines of 57 bytes of `in` to out: each line's 76
// characters and CR LF after them, 78 * lines bytes in all.
void encode_whole_lines(const char* in, std::size_t lines, char* out);

// Decodes n characters (a multiple of 4) of `in` to 3n/4 bytes at `out` when
// every one of them is in the alphabet, and returns true. Returns false for
// any other byte, '=' included; `out` then holds unspecified bytes.
bool decode_whole_groups(const char* in, std::size_t n, char* out);

// Decodes the lines at the start of in[0, n), each `length` characters of
// the alphabet (a multiple of 4, no '=') and CR LF, in one pass, as many as
// there are and as fit in out[0, room). Returns the bytes read, whole lines
// with their CR LF, and sets `written` to the bytes decoded; out beyond
// those holds unspecified bytes.
std::size_t decode_whole_lines(const char* in, std::size_t n, std::size_t length, char* out, std::size_t room,
                               std::size_t& written);

}  // namespace Base64_rfc2045::detail
