// SPDX-License-Identifier: MIT
// Tables derived from an alphabet for the fast loops of the scalar core:
// made at compile time for the two built-in alphabets, and on the stack, per
// call, for a caller's alphabet when the input is long enough to pay for them.
//
// Both layouts assume a little-endian store (the fast loops check
// std::endian::native and otherwise keep to the per-group code).
#pragma once

#include <base64/base64.hpp>

#include <array>
#include <cstdint>
#include <cstring>

namespace Base64::detail {

// The two characters of each 12-bit value, the first in the low byte:
// 12-bit value aaaaaabbbbbb -> 16 bits [emap[b]][emap[a]], stored as "ab".
struct Encode_pairs {
  std::array<std::uint16_t, 4096> pair;  // every entry written by fill_encode_pairs
};

constexpr void fill_encode_pairs(const Alphabet& alphabet, Encode_pairs& t) noexcept {
  const auto& emap = alphabet.emap();
  for (std::size_t hi = 0; hi < 64; ++hi)
    for (std::size_t lo = 0; lo < 64; ++lo)
      t.pair[hi * 64 + lo] = static_cast<std::uint16_t>(emap[hi] | emap[lo] << 8);
}

// For each position k of a character in its group of four, what the
// character adds to the group's three bytes, placed so that the OR of the
// four lookups is the three bytes in store order (byte 0 lowest):
//   byte 0 = aaaaaabb, byte 1 = bbbbcccc, byte 2 = ccdddddd.
// A character outside the alphabet sets bit 31, so one test of the OR
// validates the whole group.
struct Decode_quads {
  std::array<std::array<std::uint32_t, 256>, 4> at;  // every entry written by fill_decode_quads
};

inline constexpr std::uint32_t quad_invalid = 0x80000000u;

constexpr void fill_decode_quads(const Alphabet& alphabet, Decode_quads& t) noexcept {
  const auto& dmap = alphabet.dmap();
  for (std::size_t c = 0; c < 256; ++c) {
    if (dmap[c] < 0) {
      for (auto& column : t.at) column[c] = quad_invalid;
      continue;
    }
    const auto v = static_cast<std::uint32_t>(dmap[c]);
    t.at[0][c] = v << 2;
    t.at[1][c] = v >> 4 | (v & 0xF) << 12;
    t.at[2][c] = (v >> 2) << 8 | (v & 0x3) << 22;
    t.at[3][c] = v << 16;
  }
}

struct Builtin_tables {
  Encode_pairs encode;
  Decode_quads decode;
};

constexpr Builtin_tables make_builtin_tables(const Alphabet& alphabet) noexcept {
  Builtin_tables t;
  fill_encode_pairs(alphabet, t.encode);
  fill_decode_quads(alphabet, t.decode);
  return t;
}

extern const Builtin_tables standard_tables;
extern const Builtin_tables url_safe_tables;

// Whether `a` has the characters of `b`, in order (the tables follow from
// them). Eight 64-bit compares without a branch: this runs on every call.
inline bool same_alphabet(const Alphabet& a, const Alphabet& b) noexcept {
  std::uint64_t diff = 0;
  for (std::size_t k = 0; k < 64; k += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a.emap().data() + k, 8);
    std::memcpy(&y, b.emap().data() + k, 8);
    diff |= x ^ y;
  }
  return diff == 0;
}

// The compile-time tables when `alphabet` is one of the built-in ones.
inline const Builtin_tables* builtin_tables(const Alphabet& alphabet) noexcept {
  // An options record names a built-in alphabet by a tag and hands out the
  // library's own object for it: no compare needed then.
  if (&alphabet == &standard_alphabet) return &standard_tables;
  if (&alphabet == &url_safe_alphabet) return &url_safe_tables;
  if (same_alphabet(alphabet, standard_alphabet)) return &standard_tables;
  if (same_alphabet(alphabet, url_safe_alphabet)) return &url_safe_tables;
  return nullptr;
}

}  // namespace Base64::detail
