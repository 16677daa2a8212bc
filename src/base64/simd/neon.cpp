// SPDX-License-Identifier: MIT
// NEON kernels (AArch64 Advanced SIMD): 48 bytes to 64 characters per step,
// and back.
//
// References:
// - Arm Architecture Reference Manual for A-profile, the A64 instructions
//   LD3/ST3 and LD4/ST4 (multiple structures): they split 48 or 64 bytes by
//   their position in a group of three or four, and interleave them back,
//   so that each register holds one position of 16 groups and the shifts
//   between positions need no shuffle.
// - The same manual, TBL and TBX with a list of four registers: a lookup in
//   a 64-entry table, where an index past the table gives 0 (TBL) or leaves
//   the destination byte as it was (TBX). One TBL is the whole encoding
//   table of any alphabet; a TBL and a TBX on the index less 64 cover the
//   codes 0..127 of the decoding table, and two more TBX the codes
//   128..255 when the alphabet has characters there.
// - W. Muła, D. Lemire, "Faster Base64 Encoding and Decoding Using AVX2
//   Instructions", ACM Transactions on the Web 12(3), 2018: validating a
//   whole block with one test of the OR of its looked-up values.
//
// Advanced SIMD is part of every AArch64 CPU, so this kernel needs no
// run-time check, no flags of its own and no target region
// (simd/target_region.hpp): the baseline already has it. The kernels obey the contract in
// kernels.hpp: every load and store is checked against the given bounds
// before it is made, and a decoding block is stored only once all its
// characters are known to be in the alphabet. The speed of this file has
// not been measured on hardware (see bench/README.md).
//
// On other machines the internal build for the tests and the fuzzers
// compiles this same code against SIMDe's portable NEON (see
// CMakeLists.txt), so that it runs under the sanitizers and valgrind too.
#if defined(__aarch64__)
#include <arm_neon.h>
#else
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/arm/neon.h>
#endif

#include <cstdint>

#include "../kernels.hpp"

namespace Base64::detail::neon {
namespace {

// ---------------------------------------------------------------- encoding

// 48 bytes as 16 groups [a b c]: val[0] holds every a, val[1] every b,
// val[2] every c. Reads in[0, 48).
inline uint8x16x3_t load_groups(const std::uint8_t* in) noexcept { return vld3q_u8(in); }

// Per group, aaaaaabb bbbbcccc ccdddddd -> 00aaaaaa 00bbbbbb 00cccccc
// 00dddddd, the four six-bit values in text order, one register each.
inline uint8x16x4_t split_sextets(uint8x16x3_t g) noexcept {
  const uint8x16_t low6 = vdupq_n_u8(63);
  uint8x16x4_t s;
  s.val[0] = vshrq_n_u8(g.val[0], 2);
  s.val[1] = vandq_u8(vorrq_u8(vshlq_n_u8(g.val[0], 4), vshrq_n_u8(g.val[1], 4)), low6);
  s.val[2] = vandq_u8(vorrq_u8(vshlq_n_u8(g.val[1], 2), vshrq_n_u8(g.val[2], 6)), low6);
  s.val[3] = vandq_u8(g.val[2], low6);
  return s;
}

// Six-bit values to the characters of any alphabet: one 64-entry lookup.
struct Any_encoder {
  uint8x16x4_t table;

  uint8x16x4_t operator()(uint8x16x4_t s) const noexcept {
    for (auto& v : s.val) v = vqtbl4q_u8(table, v);
    return s;
  }
};

Any_encoder any_encoder(const Alphabet& alphabet) noexcept {
  const std::uint8_t* emap = alphabet.emap().data();
  return {{{vld1q_u8(emap), vld1q_u8(emap + 16), vld1q_u8(emap + 32), vld1q_u8(emap + 48)}}};
}

// 48 bytes to 64 characters per block. A block at i reads in[i, i + 48) and
// stores out[4i/3, 4i/3 + 64).
std::size_t encode_blocks(const Any_encoder& translate, const std::uint8_t* in, std::size_t len,
                          char* out) noexcept {
  std::size_t i = 0;
  for (; len - i >= 48; i += 48) {
    const uint8x16x4_t text = translate(split_sextets(load_groups(in + i)));
    vst4q_u8(reinterpret_cast<std::uint8_t*>(out + i / 3 * 4), text);
  }
  return i;
}

// ---------------------------------------------------------------- decoding

// 64 characters as 16 groups: val[k] holds character k of every group.
// Reads in[0, 64).
inline uint8x16x4_t load_characters(const std::uint8_t* in) noexcept { return vld4q_u8(in); }

// Per group, 00aaaaaa 00bbbbbb 00cccccc 00dddddd -> aaaaaabb bbbbcccc
// ccdddddd, the three bytes in store order, one register each.
inline uint8x16x3_t pack_groups(uint8x16x4_t v) noexcept {
  uint8x16x3_t b;
  b.val[0] = vorrq_u8(vshlq_n_u8(v.val[0], 2), vshrq_n_u8(v.val[1], 4));
  b.val[1] = vorrq_u8(vshlq_n_u8(v.val[1], 4), vshrq_n_u8(v.val[2], 2));
  b.val[2] = vorrq_u8(vshlq_n_u8(v.val[2], 6), v.val[3]);
  return b;
}

// The decoding of any alphabet by its dmap, 64 entries per table. The value
// of a code outside the alphabet is 0xFF (dmap's -1); codes from 128 on
// find 0 when `high_half` is off, and their own top bit marks them instead.
// So the top bit of `outside` is set, in some byte, exactly when some
// character is not in the alphabet.
template <bool high_half>
struct Any_decoder {
  uint8x16x4_t table[high_half ? 4 : 2];

  explicit Any_decoder(const Alphabet& alphabet) noexcept {
    const auto* dmap = reinterpret_cast<const std::uint8_t*>(alphabet.dmap().data());
    for (auto& t : table) {
      t = {{vld1q_u8(dmap), vld1q_u8(dmap + 16), vld1q_u8(dmap + 32), vld1q_u8(dmap + 48)}};
      dmap += 64;
    }
  }

  uint8x16_t value(uint8x16_t c) const noexcept {
    // An index past 63 leaves the byte as it was: each round sees only its
    // quarter of the codes (c - 64k wraps around for the others).
    uint8x16_t v = vqtbl4q_u8(table[0], c);
    v = vqtbx4q_u8(v, table[1], vsubq_u8(c, vdupq_n_u8(64)));
    if constexpr (high_half) {
      v = vqtbx4q_u8(v, table[2], vsubq_u8(c, vdupq_n_u8(128)));
      v = vqtbx4q_u8(v, table[3], vsubq_u8(c, vdupq_n_u8(192)));
    }
    return v;
  }

  uint8x16x4_t operator()(uint8x16x4_t c, uint8x16_t& outside) const noexcept {
    uint8x16x4_t v;
    for (std::size_t k = 0; k < 4; ++k) v.val[k] = value(c.val[k]);
    outside = vorrq_u8(vorrq_u8(v.val[0], v.val[1]), vorrq_u8(v.val[2], v.val[3]));
    if constexpr (!high_half)
      outside = vorrq_u8(outside, vorrq_u8(vorrq_u8(c.val[0], c.val[1]), vorrq_u8(c.val[2], c.val[3])));
    return v;
  }
};

// 64 characters to 48 bytes per block while the block is in the alphabet. A
// block at i reads in[i, i + 64) and stores out[3i/4, 3i/4 + 48).
template <class Decoder>
std::size_t decode_blocks(const Decoder& decoder, const std::uint8_t* in, std::size_t len, std::uint8_t* out,
                          std::size_t out_capacity) noexcept {
  std::size_t i = 0;
  for (; len - i >= 64 && out_capacity - i / 4 * 3 >= 48; i += 64) {
    uint8x16_t outside;
    const uint8x16x4_t v = decoder(load_characters(in + i), outside);
    if (vmaxvq_u8(outside) >= 0x80) break;
    vst3q_u8(out + i / 4 * 3, pack_groups(v));
  }
  return i;
}

// Whether some character of the alphabet has a code from 128 on.
bool has_high_characters(const Alphabet& alphabet) noexcept {
  const std::uint8_t* emap = alphabet.emap().data();
  const uint8x16_t any = vorrq_u8(vorrq_u8(vld1q_u8(emap), vld1q_u8(emap + 16)),
                                  vorrq_u8(vld1q_u8(emap + 32), vld1q_u8(emap + 48)));
  return vmaxvq_u8(any) >= 0x80;
}

}  // namespace

std::size_t encode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, char* out) noexcept {
  if (len < 48) return 0;
  return encode_blocks(any_encoder(alphabet), in, len, out);
}

std::size_t decode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, std::uint8_t* out,
                   std::size_t out_capacity) noexcept {
  if (len < 64 || out_capacity < 48) return 0;
  if (has_high_characters(alphabet))
    return decode_blocks(Any_decoder<true>(alphabet), in, len, out, out_capacity);
  return decode_blocks(Any_decoder<false>(alphabet), in, len, out, out_capacity);
}

}  // namespace Base64::detail::neon
