// SPDX-License-Identifier: MIT
// AVX-512 VBMI kernels: 48 bytes to 64 characters per step, and back, for
// any alphabet at the speed of the standard one.
//
// References:
// - W. Muła, D. Lemire, "Base64 encoding and decoding at almost the speed of
//   a memory copy", Software: Practice and Experience 50(2), 2020
//   (arXiv:1910.05109): VPERMB to gather the groups and VPMULTISHIFTQB to
//   cut out the six-bit fields when encoding; multiply-adds and VPERMB to
//   pack the values when decoding.
// - VPERMB as a lookup in a 64-entry table (the alphabet's characters), and
//   VPERMI2B as one in a 128-entry table indexed by the low 7 bits of each
//   byte: two of them and a blend on the top bit give the 256-entry reverse
//   table of any alphabet.
//
// This file is built twice (avx512_intrinsics.hpp). For the library,
// everything after the #includes is compiled for AVX-512 F, BW and VBMI
// through the target region of target_region.hpp, and lives in
// Base64::detail::avx512_vbmi; nothing here runs unless
// cpu_has_avx512_vbmi() said yes. For the tests, the same code is emulated by
// SIMDe, at the baseline, in Base64::detail::avx512_vbmi_simde. The kernels
// obey the contract in kernels.hpp: every full-width load and store is
// checked against the given bounds before it is made, the last blocks are
// loaded and stored through masks of exactly their bytes (or, encoding 64
// bytes and more, as full blocks that end with the last whole group), and a
// decoding block is stored only once all its characters are known to be in
// the alphabet.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "../kernels.hpp"
#include "avx512_intrinsics.hpp"

BASE64_AVX512_VBMI_REGION_BEGIN

namespace Base64::detail::BASE64_AVX512_VBMI {
namespace {

// A mask of one bit per byte of a register (the compiler's __mmask64, where
// it has one).
using Mask = std::uint64_t;

// The first k bytes of a register, 0 <= k <= 64.
inline Mask first_bytes(std::size_t k) noexcept { return k >= 64 ? ~Mask{0} : (Mask{1} << k) - 1; }

// A VPERMB index: byte i of the result is byte at[i] of the source.
struct alignas(64) Byte_order {
  std::uint8_t at[64];
};

inline __m512i load(const Byte_order& order) noexcept { return _mm512_load_si512(order.at); }

// ---------------------------------------------------------------- encoding

// 48 bytes, 16 groups, 3 bytes per 32-bit word as [b a c b] from the group
// [a b c]: the order split_sextets wants.
constexpr Byte_order group_order = [] {
  Byte_order o{};
  for (unsigned g = 0; g < 16; ++g) {
    const auto a = static_cast<std::uint8_t>(3 * g);
    o.at[4 * g] = static_cast<std::uint8_t>(a + 1);
    o.at[4 * g + 1] = a;
    o.at[4 * g + 2] = static_cast<std::uint8_t>(a + 2);
    o.at[4 * g + 3] = static_cast<std::uint8_t>(a + 1);
  }
  return o;
}();

inline __m512i load_groups(__m512i order, __m512i bytes) noexcept { return _mm512_permutexvar_epi8(order, bytes); }

// Per 32-bit word, from [b a c b] to the four six-bit values, one per byte
// in text order. As 16-bit halves:
//   low  aaaaaaaa bbbbbbbb: s0 = bits 15..10, s1 = bits 9..4
//   high bbbbbbbb cccccccc: s2 = bits 11..6,  s3 = bits 5..0
// so in a 64-bit word of two groups the fields start at bits 10, 4, 22, 16,
// and 32 more for the second group. VPMULTISHIFTQB gives each byte the 8 bits
// that start at its field; the top two belong to a neighbour, and the lookup
// below ignores them.
inline __m512i split_sextets(__m512i x) noexcept {
  return _mm512_multishift_epi64_epi8(_mm512_set1_epi64(0x3036'242A'1016'040A), x);
}

// Six-bit values to characters: VPERMB reads only the low 6 bits of each
// index, so the 64 characters of any alphabet are one table.
inline __m512i translate(__m512i table, __m512i sextets) noexcept { return _mm512_permutexvar_epi8(sextets, table); }

// Whether a masked access to [p, p + 64) whose first n bytes are live,
// 1 <= n <= 64, stays in the pages of those n bytes. A masked-off byte in
// another page reads or writes nothing, but when that page is not mapped
// yet (the untouched end of a heap, a fresh mapping) the CPU takes a
// microcode assist on every such access, which costs more than the whole
// call.
inline bool stays_in_pages(const void* p, std::size_t n) noexcept {
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  return (a + 63) >> 12 == (a + n - 1) >> 12;
}

// 48 bytes to 64 characters per block: four blocks per step while there is
// room for them, one while 64 bytes can be loaded. A full block at i reads
// in[i, i + 64) and stores out[4i/3, 4i/3 + 64). Then the last groups: from
// 64 bytes of input on, out of the last 64 bytes, with full stores that end
// with the last whole group and may overwrite characters already stored
// with the same ones; below that, through masks.
std::size_t encode_blocks(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, char* out) noexcept {
  const __m512i table = _mm512_loadu_si512(alphabet.emap().data());
  const __m512i order = load(group_order);
  const auto block = [&](__m512i indices, __m512i bytes) {
    return translate(table, split_sextets(load_groups(indices, bytes)));
  };
  // The indices of a block that starts `skip` bytes into the register.
  const auto skipping = [&](std::size_t skip) {
    return _mm512_add_epi8(order, _mm512_set1_epi8(static_cast<std::int8_t>(skip)));
  };
  const auto text_of = [&](std::size_t i) { return out + i / 3 * 4; };

  std::size_t i = 0;
  for (; len - i >= 3 * 48 + 64; i += 4 * 48) {
    const __m512i t0 = block(order, _mm512_loadu_si512(in + i));
    const __m512i t1 = block(order, _mm512_loadu_si512(in + i + 48));
    const __m512i t2 = block(order, _mm512_loadu_si512(in + i + 2 * 48));
    const __m512i t3 = block(order, _mm512_loadu_si512(in + i + 3 * 48));
    _mm512_storeu_si512(text_of(i), t0);
    _mm512_storeu_si512(text_of(i) + 64, t1);
    _mm512_storeu_si512(text_of(i) + 2 * 64, t2);
    _mm512_storeu_si512(text_of(i) + 3 * 64, t3);
  }
  for (; len - i >= 64; i += 48) _mm512_storeu_si512(text_of(i), block(order, _mm512_loadu_si512(in + i)));

  const std::size_t whole = len / 3 * 3;  // at most 63 bytes after i
  if (whole == i) return i;
  if (len >= 64) {
    // A block at p, len - 64 <= p <= len - 48, lies in in[len - 64, len).
    const std::size_t last = len - 64;
    const __m512i bytes = _mm512_loadu_si512(in + last);
    if (whole - i > 48) {
      _mm512_storeu_si512(text_of(i), block(skipping(i - last), bytes));
      i += 48;
    }
    _mm512_storeu_si512(text_of(whole - 48), block(skipping(whole - 48 - last), bytes));
    return whole;
  }

  // Fewer than 64 bytes, 1 to 21 groups: one masked load, and the text in
  // one or two blocks. An access that would leave its pages is left to the
  // scalar core.
  const std::size_t chars = whole / 3 * 4;
  char* const last_store = chars > 64 ? out + 64 : out;
  const std::size_t last_chars = chars > 64 ? chars - 64 : chars;
  if (!stays_in_pages(in, whole) || (last_chars < 64 && !stays_in_pages(last_store, last_chars))) return 0;
  const __m512i bytes = _mm512_maskz_loadu_epi8(first_bytes(whole), in);
  if (chars >= 64) {
    _mm512_storeu_si512(out, block(order, bytes));
    if (chars > 64) _mm512_mask_storeu_epi8(out + 64, first_bytes(chars - 64), block(skipping(48), bytes));
  } else {
    _mm512_mask_storeu_epi8(out, first_bytes(chars), block(order, bytes));
  }
  return whole;
}

// ---------------------------------------------------------------- decoding

// The three bytes of each 32-bit word, high first, for the 16 words; the
// last 16 bytes of the result are left over.
constexpr Byte_order packed_order = [] {
  Byte_order o{};
  for (unsigned g = 0; g < 16; ++g) {
    o.at[3 * g] = static_cast<std::uint8_t>(4 * g + 2);
    o.at[3 * g + 1] = static_cast<std::uint8_t>(4 * g + 1);
    o.at[3 * g + 2] = static_cast<std::uint8_t>(4 * g);
  }
  return o;
}();

// Four six-bit values per 32-bit word, in text order, to the 48 bytes of 16
// groups at the start of the register:
//   00aaaaaa 00bbbbbb 00cccccc 00dddddd
//   -> 16-bit aaaaaabbbbbb, ccccccdddddd   (multiply-add by 64 and 1)
//   -> 32-bit aaaaaabb bbbbcccc ccdddddd   (multiply-add by 4096 and 1)
//   -> its three bytes high first, across the whole register.
inline __m512i pack_groups(__m512i order, __m512i v) noexcept {
  const __m512i pairs = _mm512_maddubs_epi16(v, _mm512_set1_epi32(0x01400140));
  const __m512i words = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00011000));
  return _mm512_permutexvar_epi8(order, words);
}

// A lookup gives the six-bit values of 64 characters by the alphabet's
// dmap, and flags: a register whose bytes have the top bit set exactly for
// the characters that are not in the alphabet (whose values are then
// meaningless). The flags of two blocks are ORed before they become a mask.

// Alphabets whose codes are all below 128, the built-in ones among them: one
// 128-entry lookup by the low 7 bits of the code. A code outside the
// alphabet has the top bit set in its entry (-1) or in itself (128 and up).
struct Ascii_lookup {
  __m512i low0, low1;  // dmap[0, 64) and dmap[64, 128)

  __m512i operator()(__m512i c, __m512i& flags) const noexcept {
    const __m512i v = _mm512_permutex2var_epi8(low0, c, low1);
    flags = _mm512_or_si512(v, c);
    return v;
  }
};

// Any alphabet: a 128-entry lookup in each half of the dmap, chosen by the
// top bit of the code. A code outside the alphabet finds -1.
struct Any_lookup {
  __m512i low0, low1, high0, high1;  // dmap[0, 64), ... dmap[192, 256)

  __m512i operator()(__m512i c, __m512i& flags) const noexcept {
    const __m512i low = _mm512_permutex2var_epi8(low0, c, low1);
    const __m512i high = _mm512_permutex2var_epi8(high0, c, high1);
    flags = _mm512_mask_blend_epi8(_mm512_movepi8_mask(c), low, high);
    return flags;
  }
};

// The characters a block's flags mark as outside the alphabet.
inline Mask outside(__m512i flags) noexcept { return _mm512_movepi8_mask(flags); }

// The 48 bytes of a packed block, and not one more: for the last block
// when the output ends within 64 bytes of it.
inline void store_48(std::uint8_t* out, __m512i packed) noexcept {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_castsi512_si256(packed));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm512_extracti32x4_epi32(packed, 2));
}

// 64 characters to 48 bytes per block while the block is in the alphabet:
// two blocks per step while there is room for both, then one. A full block
// at i reads in[i, i + 64) and stores out[3i/4, 3i/4 + 64), or only its 48
// bytes where the output ends sooner. Then the last groups: from 64
// characters of input on, as the block of the last 64 characters before the
// end of the whole groups, which decodes some characters again to the same
// bytes; below that, through masks.
template <class Lookup>
std::size_t decode_blocks(const Lookup& lookup, const std::uint8_t* in, std::size_t len, std::uint8_t* out,
                          std::size_t out_capacity) noexcept {
  const __m512i order = load(packed_order);
  const std::size_t whole = len / 4 * 4;
  // Whether the 48 bytes of a block at i fit.
  const auto fits = [&](std::size_t i) { return out_capacity - i / 4 * 3 >= 48; };
  const auto store_block = [&](std::size_t i, __m512i v) {
    const std::size_t at = i / 4 * 3;
    if (out_capacity - at >= 64)
      _mm512_storeu_si512(out + at, pack_groups(order, v));
    else
      store_48(out + at, pack_groups(order, v));
  };
  std::size_t i = 0;
  for (; len - i >= 128 && out_capacity - i / 4 * 3 >= 48 + 64; i += 128) {
    __m512i flags0, flags1;
    const __m512i v0 = lookup(_mm512_loadu_si512(in + i), flags0);
    const __m512i v1 = lookup(_mm512_loadu_si512(in + i + 64), flags1);
    if (outside(_mm512_or_si512(flags0, flags1)) != 0) break;
    _mm512_storeu_si512(out + i / 4 * 3, pack_groups(order, v0));
    _mm512_storeu_si512(out + i / 4 * 3 + 48, pack_groups(order, v1));
  }
  for (; len - i >= 64 && fits(i); i += 64) {
    __m512i flags;
    const __m512i v = lookup(_mm512_loadu_si512(in + i), flags);
    if (outside(flags) != 0) return i;
    store_block(i, v);
  }
  if (whole == i) return i;
  if (len >= 64) {
    if (!fits(whole - 64)) return i;
    __m512i flags;
    const __m512i v = lookup(_mm512_loadu_si512(in + whole - 64), flags);
    if (outside(flags) != 0) return i;
    store_block(whole - 64, v);
    return whole;
  }

  // Fewer than 64 characters, 1 to 15 groups: one masked load and store. An
  // access that would leave its pages is left to the scalar core.
  const std::size_t bytes = whole / 4 * 3;
  if (out_capacity < bytes) return 0;
  const bool full_store = out_capacity >= 64;
  if (!stays_in_pages(in, whole) || (!full_store && !stays_in_pages(out, bytes))) return 0;
  const Mask lanes = first_bytes(whole);
  __m512i flags;
  const __m512i v = lookup(_mm512_maskz_loadu_epi8(lanes, in), flags);
  if ((outside(flags) & lanes) != 0) return 0;
  if (full_store)
    _mm512_storeu_si512(out, pack_groups(order, v));
  else
    _mm512_mask_storeu_epi8(out, first_bytes(bytes), pack_groups(order, v));
  return whole;
}

}  // namespace

std::size_t encode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, char* out) noexcept {
  if (len < 3) return 0;
  return encode_blocks(alphabet, in, len, out);
}

std::size_t decode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, std::uint8_t* out,
                   std::size_t out_capacity) noexcept {
  if (len < 4) return 0;
  const std::int8_t* dmap = alphabet.dmap().data();
  const __m512i low0 = _mm512_loadu_si512(dmap), low1 = _mm512_loadu_si512(dmap + 64);
  const __m512i high0 = _mm512_loadu_si512(dmap + 128), high1 = _mm512_loadu_si512(dmap + 192);
  // Every code from 128 up outside the alphabet: all those entries are -1.
  if (_mm512_movepi8_mask(_mm512_and_si512(high0, high1)) == ~Mask{0})
    return decode_blocks(Ascii_lookup{low0, low1}, in, len, out, out_capacity);
  return decode_blocks(Any_lookup{low0, low1, high0, high1}, in, len, out, out_capacity);
}

// ---------------------------------------------------------------- lines

namespace {

// The shape of a line: `full` blocks of 48 bytes from its first byte on,
// each stored as 64 characters, and a last block of the rest (0 to 45
// bytes), rest_chars characters, with the line end blended in behind them:
//
//   76 characters, CR LF:  | 64 chars (bytes 0..47) | 12 chars CR LF ~~~~~~ |
//
// Every store is a full one; the lanes after the line end (~) are scratch
// that the next line's stores overwrite. A line is done only while all its
// loads lie in the input and all its stores in the output; the lines after
// that are left to the caller, which writes their whole text.
struct Line_shape {
  std::size_t length, end_size, line_bytes, line_text, full, rest_chars;

  constexpr explicit Line_shape(const Line_layout& layout) noexcept
      : length(layout.length),
        end_size(layout.end == Line_end::crlf ? 2 : 1),
        line_bytes(length / 4 * 3),
        line_text(length + end_size),
        full(line_bytes / 48),
        rest_chars(line_bytes % 48 / 3 * 4) {}
};

// The line end in every lane, to be blended in from an even lane: CR LF in
// each 16-bit lane, or LF in each byte.
inline __m512i line_ends(std::size_t end_size) noexcept {
  return end_size == 2 ? _mm512_set1_epi16(0x0A0D) : _mm512_set1_epi8('\n');
}

// Lines of 64 characters and a short rest (68 to 76 characters: one full
// block and 1 to 3 groups), four per step. Each line's first 64 characters
// are a block as usual; the rests of the four lines share one block, 16
// lanes each, gathered from the four lines' registers by two VPERMI2B (lines
// 0 and 1, lines 2 and 3: the same index, each pair's half kept) and stored
// as 16 bytes behind each line, the line end in them. A rest's scratch lanes
// fall on the next line's first characters, stored after it. Returns the
// bytes of the lines done.
constexpr Byte_order rest_order = [] {
  Byte_order o{};
  for (unsigned lane = 0; lane < 64; ++lane) {
    const unsigned g = lane % 16 / 4, odd = lane / 16 % 2;
    const unsigned a = 48 + 3 * g + 64 * odd;
    constexpr unsigned pick[4] = {1, 0, 2, 1};  // [b a c b], as group_order
    o.at[lane] = static_cast<std::uint8_t>(a + pick[lane % 4]);
  }
  return o;
}();

[[gnu::always_inline]] inline std::size_t encode_lines_by_four(const Alphabet& alphabet, const std::uint8_t* in,
                                                               std::size_t len, const Line_shape& line,
                                                               char* out) noexcept {
  const std::size_t out_size = len / line.line_bytes * line.line_text;
  const std::size_t reach_in = 3 * line.line_bytes + 64, reach_out = 3 * line.line_text + 64 + 16;
  const __m512i table = _mm512_loadu_si512(alphabet.emap().data());
  const __m512i order = load(group_order), rests = load(rest_order);
  const __m512i ends = line_ends(line.end_size);
  Mask end_lanes = 0;
  for (std::size_t k = 0; k < 4; ++k) end_lanes |= ((Mask{1} << line.end_size) - 1) << (16 * k + line.rest_chars);
  const auto text = [&](__m512i groups) { return translate(table, split_sextets(groups)); };

  std::size_t i = 0, o = 0;
  for (; len - i >= reach_in && out_size - o >= reach_out; i += 4 * line.line_bytes, o += 4 * line.line_text) {
    const __m512i r0 = _mm512_loadu_si512(in + i), r1 = _mm512_loadu_si512(in + i + line.line_bytes);
    const __m512i r2 = _mm512_loadu_si512(in + i + 2 * line.line_bytes);
    const __m512i r3 = _mm512_loadu_si512(in + i + 3 * line.line_bytes);
    const __m512i gathered = _mm512_mask_blend_epi8(0xFFFF'FFFF'0000'0000, _mm512_permutex2var_epi8(r0, rests, r1),
                                                    _mm512_permutex2var_epi8(r2, rests, r3));
    const __m512i tails = _mm512_mask_blend_epi8(end_lanes, text(gathered), ends);
    char* const at = out + o;
    const std::size_t t = line.line_text;
    _mm512_storeu_si512(at, text(load_groups(order, r0)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 64), _mm512_castsi512_si128(tails));
    _mm512_storeu_si512(at + t, text(load_groups(order, r1)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at + t + 64), _mm512_extracti32x4_epi32(tails, 1));
    _mm512_storeu_si512(at + 2 * t, text(load_groups(order, r2)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 2 * t + 64), _mm512_extracti32x4_epi32(tails, 2));
    _mm512_storeu_si512(at + 3 * t, text(load_groups(order, r3)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 3 * t + 64), _mm512_extracti32x4_epi32(tails, 3));
  }
  return i;
}

// The last lines of that shape, one at a time, with no access outside the
// ranges: each from one register loaded from the line's first byte or, near
// the end, from the input's last 64 bytes; its first 64 characters as one
// full store, the 16 that end the characters as another (overlapping the
// first), and the line end. Needs 64 bytes of input in all.
[[gnu::always_inline]] inline std::size_t encode_last_lines(const Alphabet& alphabet, const std::uint8_t* in,
                                                            std::size_t len, const Line_shape& line,
                                                            char* out) noexcept {
  if (len < 64) return 0;
  const __m512i table = _mm512_loadu_si512(alphabet.emap().data());
  const __m512i order = load(group_order);
  const auto text = [&](__m512i bytes, std::size_t skip) {
    return translate(table, split_sextets(load_groups(
                                _mm512_add_epi8(order, _mm512_set1_epi8(static_cast<std::int8_t>(skip))), bytes)));
  };
  const std::size_t last16 = 48 + line.rest_chars;  // where the last 16 characters start
  const char line_end[2] = {line.end_size == 2 ? '\r' : '\n', '\n'};
  std::size_t i = 0;
  for (char* at = out; i < len; i += line.line_bytes, at += line.line_text) {
    const std::size_t from = std::min(i, len - 64), skip = i - from;
    const __m512i bytes = _mm512_loadu_si512(in + from);
    _mm512_storeu_si512(at, text(bytes, skip));
    const __m512i last = text(bytes, skip + last16 / 4 * 3);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at + last16), _mm512_castsi512_si128(last));
    std::memcpy(at + line.length, line_end, line.end_size);
  }
  return i;
}

// Lines of 68 to 76 characters: four per step, then the last ones. Inline,
// so that for MIME lines every division by the line's size is one by a
// constant: a division by a variable costs about as much as a line.
[[gnu::always_inline]] inline std::size_t encode_lines_with_rests(const Alphabet& alphabet, const std::uint8_t* in,
                                                                  std::size_t len, const Line_shape& line,
                                                                  char* out) noexcept {
  const std::size_t i = encode_lines_by_four(alphabet, in, len, line, out);
  return i + encode_last_lines(alphabet, in + i, len - i, line, out + i / line.line_bytes * line.line_text);
}

// Any lines, one at a time.
std::size_t encode_lines_one_by_one(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len,
                                    const Line_shape& line, char* out) noexcept {
  const std::size_t full = line.full, rest_chars = line.rest_chars, end_size = line.end_size;
  const std::size_t out_size = len / line.line_bytes * line.line_text;
  // How far past its start a line reads and stores.
  const std::size_t reach_in = rest_chars != 0 ? full * 48 + 64 : full * 48 + 16;
  const std::size_t reach_out = rest_chars != 0 ? full * 64 + 64 : full * 64 + end_size;

  const __m512i table = _mm512_loadu_si512(alphabet.emap().data());
  const __m512i order = load(group_order);
  const auto block = [&](const std::uint8_t* at) {
    return translate(table, split_sextets(load_groups(order, _mm512_loadu_si512(at))));
  };
  const __m512i ends = line_ends(end_size);
  const Mask end_lanes = ((Mask{1} << end_size) - 1) << rest_chars;
  const char line_end[2] = {end_size == 2 ? '\r' : '\n', '\n'};

  std::size_t i = 0, o = 0;
  for (; len - i >= reach_in && out_size - o >= reach_out; i += line.line_bytes, o += line.line_text) {
    for (std::size_t b = 0; b < full; ++b) _mm512_storeu_si512(out + o + 64 * b, block(in + i + 48 * b));
    if (rest_chars != 0)
      _mm512_storeu_si512(out + o + 64 * full, _mm512_mask_blend_epi8(end_lanes, block(in + i + 48 * full), ends));
    else
      std::memcpy(out + o + line.length, line_end, end_size);
  }
  return i;
}

}  // namespace

std::size_t encode_lines(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, const Line_layout& layout,
                         char* out) noexcept {
  if (layout.length == 76 && layout.end == Line_end::crlf) {
    constexpr Line_shape mime{Line_layout{}};
    return encode_lines_with_rests(alphabet, in, len, mime, out);
  }
  const Line_shape line(layout);
  if (line.full == 1 && line.rest_chars != 0 && line.rest_chars + line.end_size <= 16)
    return encode_lines_with_rests(alphabet, in, len, line, out);
  return encode_lines_one_by_one(alphabet, in, len, line, out);
}

// ---------------------------------------------------------------- lines: decoding

namespace {

// Whole lines of 64 characters and more, read as one stream of characters:
// block j holds characters [64j, 64j + 64) of the lines without their line
// ends, so that every block does full work and the bytes of block j go to
// out[48j, 48j + 48), as when decoding text with no line ends. With lines of
// 64 characters and more, a block meets at most one line end: its first r
// characters, up to the end of the current line, are the r bytes at its
// input position s, the rest follow the line end, e bytes further on. Two
// full loads, at s and at s + e, and a blend give the block:
//   lanes [0, r) from in[s, s + r), lanes [r, 64) from in[s + r + e, s + 64 + e)
// Both loads stay inside the line the block ends in and its line end. The
// line end between the two parts is checked with one compare. A block is
// stored once all its characters and its line end are checked; the kernel
// returns the lines that the stored blocks cover in full.
// Inline, so that for MIME lines every division by the line's size is one
// by a constant: a division by a variable costs about as much as a block.
template <class Lookup>
[[gnu::always_inline]] inline std::size_t decode_line_blocks(const Lookup& lookup, const std::uint8_t* in,
                                                             std::size_t len, const Line_layout& layout,
                                                             std::uint8_t* out, std::size_t out_capacity) noexcept {
  const std::size_t chars = layout.length;
  const bool lf = layout.end == Line_end::lf;
  const std::size_t e = lf ? 1 : 2, stride = chars + e;
  constexpr auto crlf = static_cast<std::uint16_t>('\r' | '\n' << 8);
  // Whether the line end at p is the layout's.
  const auto ends_line = [&](const std::uint8_t* p) {
    if (lf) return *p == '\n';
    std::uint16_t two;
    std::memcpy(&two, p, 2);
    return two == crlf;
  };
  const std::size_t lines = len / stride;
  const std::size_t blocks = std::min(lines * chars / 64, out_capacity < 64 ? 0 : (out_capacity - 64) / 48 + 1);
  const __m512i order = load(packed_order);
  std::size_t j = 0, s = 0, phase = 0;  // block, its input position, its first character's place in its line
  for (; j < blocks; ++j) {
    const std::size_t r = chars - phase;  // characters left in the current line, 1 or more
    __m512i flags;
    __m512i c = _mm512_loadu_si512(in + s);
    bool ended = true;
    if (r <= 64) {
      ended = ends_line(in + s + r);
      if (r < 64) c = _mm512_mask_blend_epi8(~Mask{0} << r, c, _mm512_loadu_si512(in + s + e));
    }
    const __m512i v = lookup(c, flags);
    if (outside(flags) != 0 || !ended) break;
    _mm512_storeu_si512(out + 48 * j, pack_groups(order, v));
    if (r <= 64) {
      s += 64 + e;
      phase = 64 - r;
    } else {
      s += 64;
      phase += 64;
    }
  }
  const std::size_t total = lines * chars;  // characters of all the lines
  // Only right after the last full block, with characters left.
  if (j != total / 64 || j * 64 == total) return j * 64 / chars * stride;

  // The characters after the last full block, fewer than 64: one block of
  // the last 64 characters, whose first bytes are stored again with the same
  // values. It meets the end of the line it starts in and that of the last
  // line, which it ends with.
  const std::size_t first = total - 64, at = first / 4 * 3;
  phase = first % chars;
  s = first / chars * stride + phase;
  const std::size_t r = chars - phase;  // 64 or fewer
  __m512i c = _mm512_loadu_si512(in + s);
  if (r < 64) c = _mm512_mask_blend_epi8(~Mask{0} << r, c, _mm512_loadu_si512(in + s + e));
  __m512i flags;
  const __m512i v = lookup(c, flags);
  if (outside(flags) != 0 || !ends_line(in + s + r) || !ends_line(in + lines * stride - e)) return j * 64 / chars * stride;
  if (out_capacity - at >= 64)
    _mm512_storeu_si512(out + at, pack_groups(order, v));
  else if (stays_in_pages(out + at, 48))
    _mm512_mask_storeu_epi8(out + at, first_bytes(48), pack_groups(order, v));
  else
    return j * 64 / chars * stride;
  return lines * stride;
}

// MIME's 76 characters and CR LF, unrolled: 16 lines are 19 blocks exactly,
// and block b's place in its lines is a constant: no bookkeeping per block,
// and one test per 16 lines. The blocks of a group are stored as they are
// made; when a group has a fault anywhere, the kernel returns its start and
// what it stored there is scratch.
constexpr std::size_t mime_chars = 76, mime_stride = 78, mime_group_lines = 16, mime_group_blocks = 19;

// Makes the compiler compute `v` at this point of the program.
inline void pin(__m512i& v) noexcept {
#if defined(BASE64_SIMDE)
  (void)v;
#else
  asm("" : "+v"(v));
#endif
}

template <std::size_t b, class Lookup>
inline __m512i mime_block(const Lookup& lookup, __m512i order, const std::uint8_t* in, std::uint8_t* out) noexcept {
  constexpr std::size_t first = 64 * b, phase = first % mime_chars, r = mime_chars - phase;
  constexpr std::size_t s = first / mime_chars * mime_stride + phase;
  __m512i c = _mm512_loadu_si512(in + s);
  if constexpr (r < 64) c = _mm512_mask_blend_epi8(~Mask{0} << r, c, _mm512_loadu_si512(in + s + 2));
  __m512i flags;
  const __m512i v = lookup(c, flags);
  _mm512_storeu_si512(out + 48 * b, pack_groups(order, v));
  return flags;
}

template <class Lookup, std::size_t... b>
inline bool mime_group(const Lookup& lookup, __m512i order, const std::uint8_t* in, std::uint8_t* out,
                       std::index_sequence<b...>) noexcept {
  // In block order: each store reaches 16 bytes into the next block's. Each
  // block's flags join the others right after it (pinned there): left to
  // itself, the compiler takes all 19 after the last block and keeps every
  // block's registers until then, spilled to the stack.
  __m512i flags = _mm512_setzero_si512();
  const auto gather = [&](__m512i f) {
    flags = _mm512_or_si512(flags, f);
    pin(flags);
  };
  (gather(mime_block<b>(lookup, order, in, out)), ...);
  constexpr auto crlf = static_cast<std::uint32_t>('\r' | '\n' << 8);
  std::uint32_t ends = 0;
  for (std::size_t i = 0; i < mime_group_lines; ++i) {
    std::uint16_t two;
    std::memcpy(&two, in + i * mime_stride + mime_chars, 2);
    ends |= two ^ crlf;
  }
  return ends == 0 && outside(flags) == 0;
}

template <class Lookup>
std::size_t decode_mime_lines(const Lookup& lookup, const std::uint8_t* in, std::size_t len, std::uint8_t* out,
                              std::size_t out_capacity) noexcept {
  const __m512i order = load(packed_order);
  constexpr std::size_t group_in = mime_group_lines * mime_stride, group_out = mime_group_blocks * 48;
  std::size_t i = 0, at = 0;
  for (; len - i >= group_in && out_capacity - at >= group_out + 16; i += group_in, at += group_out)
    if (!mime_group(lookup, order, in + i, out + at, std::make_index_sequence<mime_group_blocks>{})) break;
  return i;
}

}  // namespace

std::size_t decode_lines(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, const Line_layout& layout,
                         std::uint8_t* out, std::size_t out_capacity) noexcept {
  // Shorter lines are the core's: a block would reach into the next line.
  if (layout.length < 64 || layout.length % 4 != 0) return 0;
  const std::int8_t* dmap = alphabet.dmap().data();
  const __m512i low0 = _mm512_loadu_si512(dmap), low1 = _mm512_loadu_si512(dmap + 64);
  const __m512i high0 = _mm512_loadu_si512(dmap + 128), high1 = _mm512_loadu_si512(dmap + 192);
  const bool mime = layout.length == mime_chars && layout.end == Line_end::crlf;
  const auto run = [&](const auto& lookup) {
    if (!mime) return decode_line_blocks(lookup, in, len, layout, out, out_capacity);
    // Whole groups of 16 MIME lines, then the rest block by block.
    constexpr Line_layout mime_layout{};
    const std::size_t done = decode_mime_lines(lookup, in, len, out, out_capacity);
    const std::size_t at = done / mime_stride * 57;
    return done + decode_line_blocks(lookup, in + done, len - done, mime_layout, out + at, out_capacity - at);
  };
  if (_mm512_movepi8_mask(_mm512_and_si512(high0, high1)) == ~Mask{0}) return run(Ascii_lookup{low0, low1});
  return run(Any_lookup{low0, low1, high0, high1});
}

}  // namespace Base64::detail::BASE64_AVX512_VBMI

BASE64_AVX512_VBMI_REGION_END
