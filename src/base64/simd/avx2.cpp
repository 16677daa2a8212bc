// SPDX-License-Identifier: MIT
// AVX2 kernels: 24 bytes to 32 characters per step, and back.
//
// References:
// - W. Muła, D. Lemire, "Faster Base64 Encoding and Decoding Using AVX2
//   Instructions", ACM Transactions on the Web 12(3), 2018
//   (arXiv:1704.00605): the in-lane byte shuffle and the multiplies that
//   move the six-bit fields apart when encoding; validation by two nibble
//   lookups, translation by a per-nibble offset, and packing with
//   multiply-adds when decoding.
// - VPSHUFB as a 16-entry table lookup, and VPBLENDVB to choose among
//   lookups: four of them make the 64-entry table of any alphabet when
//   encoding; one per row of 16 codes makes the 256-entry one when decoding
//   an alphabet that is not made of runs of consecutive codes.
//
// Everything after the #includes is compiled for AVX2 through the target
// region of target_region.hpp, and lives in Base64::detail::avx2; nothing here
// runs unless cpu_has_avx2() said yes. The kernels obey the contract in
// kernels.hpp:
// every load and store is checked against the given bounds before it is
// made, and a decoding block is stored only once all its characters are
// known to be in the alphabet.
#include <immintrin.h>

#include <array>
#include <cstdint>
#include <optional>

#include "../kernels.hpp"
#include "../tables.hpp"
#include "target_region.hpp"

BASE64_TARGET_REGION_BEGIN("avx2")

namespace Base64::detail::avx2 {
namespace {

// ---------------------------------------------------------------- encoding

// 24 bytes, 12 per 128-bit lane, 3 per 32-bit word as [b a c b] from the
// group [a b c]: the order the multiplies below want. Reads in[0, 28).
inline __m256i load_groups(const std::uint8_t* in) noexcept {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
  const __m256i x = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
  const __m256i order = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                                         1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  return _mm256_shuffle_epi8(x, order);
}

// Per 32-bit word, from [b a c b] to the four six-bit values, one per byte
// in text order. As 16-bit halves:
//   low  aaaaaaaa bbbbbbbb: s0 = bits 15..10, s1 = bits 9..4
//   high bbbbbbbb cccccccc: s2 = bits 11..6,  s3 = bits 5..0
// mulhi by 2^6 and 2^10 brings s0 and s2 down to bit 0 of their half;
// mullo by 2^4 and 2^8 brings s1 and s3 up to bit 8.
inline __m256i split_sextets(__m256i x) noexcept {
  const __m256i s0_s2 = _mm256_mulhi_epu16(_mm256_and_si256(x, _mm256_set1_epi32(0x0FC0FC00)),
                                           _mm256_set1_epi32(0x04000040));
  const __m256i s1_s3 = _mm256_mullo_epi16(_mm256_and_si256(x, _mm256_set1_epi32(0x003F03F0)),
                                           _mm256_set1_epi32(0x01000010));
  return _mm256_or_si256(s0_s2, s1_s3);
}

// Six-bit values to the characters of the standard or URL-safe alphabet:
// each value is sent to a class, and the class's offset is added.
//   0..25 -> class 0 ('A'), 26..51 -> 1 ('a'), 52..61 -> 2..11 ('0'),
//   62 -> 12, 63 -> 13 (the two alphabets differ only there).
struct Builtin_encoder {
  __m256i offsets;

  __m256i operator()(__m256i v) const noexcept {
    __m256i cls = _mm256_subs_epu8(v, _mm256_set1_epi8(51));
    cls = _mm256_sub_epi8(cls, _mm256_cmpgt_epi8(v, _mm256_set1_epi8(25)));
    return _mm256_add_epi8(v, _mm256_shuffle_epi8(offsets, cls));
  }
};

Builtin_encoder builtin_encoder(char c62, char c63) noexcept {
  const auto a = static_cast<std::int8_t>('A'), lower = static_cast<std::int8_t>('a' - 26),
             digit = static_cast<std::int8_t>('0' - 52), o62 = static_cast<std::int8_t>(c62 - 62),
             o63 = static_cast<std::int8_t>(c63 - 63);
  const __m128i t = _mm_setr_epi8(a, lower, digit, digit, digit, digit, digit, digit, digit, digit, digit, digit,
                                  o62, o63, 0, 0);
  return {_mm256_broadcastsi128_si256(t)};
}

// Six-bit values to the characters of any alphabet: four 16-entry lookups,
// one per quarter of the table, and a choice by bits 4 and 5 of the value.
// A 16-bit left shift moves each byte's bit 4 (or 5) to its bit 7, where
// VPBLENDVB looks; what crosses into the next byte lands below its bit 7.
struct Any_encoder {
  __m256i quarter[4];

  __m256i operator()(__m256i v) const noexcept {
    const __m256i r0 = _mm256_shuffle_epi8(quarter[0], v);
    const __m256i r1 = _mm256_shuffle_epi8(quarter[1], v);
    const __m256i r2 = _mm256_shuffle_epi8(quarter[2], v);
    const __m256i r3 = _mm256_shuffle_epi8(quarter[3], v);
    const __m256i bit4 = _mm256_slli_epi16(v, 3);
    const __m256i bit5 = _mm256_slli_epi16(v, 2);
    return _mm256_blendv_epi8(_mm256_blendv_epi8(r0, r1, bit4), _mm256_blendv_epi8(r2, r3, bit4), bit5);
  }
};

Any_encoder any_encoder(const Alphabet& alphabet) noexcept {
  Any_encoder e;
  for (std::size_t k = 0; k < 4; ++k)
    e.quarter[k] = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(alphabet.emap().data() + 16 * k)));
  return e;
}

// 24 bytes to 32 characters per block, two blocks per step while there is
// room for both. A block at i reads in[i, i + 28) and stores
// out[4i/3, 4i/3 + 32).
template <class Translate>
std::size_t encode_blocks(const Translate& translate, const std::uint8_t* in, std::size_t len, char* out) noexcept {
  const auto block = [&](std::size_t at) {
    const __m256i text = translate(split_sextets(load_groups(in + at)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + at / 3 * 4), text);
  };
  std::size_t i = 0;
  for (; len - i >= 24 + 28; i += 48) {
    block(i);
    block(i + 24);
  }
  for (; len - i >= 28; i += 24) block(i);
  return i;
}

// ---------------------------------------------------------------- decoding

// Four six-bit values per 32-bit word, in text order, to the 24 bytes of
// eight groups, packed at the start of the register (the last 8 bytes zero):
//   00aaaaaa 00bbbbbb 00cccccc 00dddddd
//   -> 16-bit aaaaaabbbbbb, cccccc dddddd   (multiply-add by 64 and 1)
//   -> 32-bit aaaaaabb bbbbcccc ccdddddd    (multiply-add by 4096 and 1)
//   -> its three bytes high first, 12 per lane, then the lanes joined.
inline __m256i pack_groups(__m256i v) noexcept {
  const __m256i pairs = _mm256_maddubs_epi16(v, _mm256_set1_epi32(0x01400140));
  const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
  const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                         2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  return _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, order), _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
}

inline __m256i high_nibbles(__m256i c) noexcept {
  return _mm256_and_si256(_mm256_srli_epi32(c, 4), _mm256_set1_epi8(0x0F));
}
inline __m256i low_nibbles(__m256i c) noexcept { return _mm256_and_si256(c, _mm256_set1_epi8(0x0F)); }

inline __m256i broadcast(const std::array<std::uint8_t, 16>& t) noexcept {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data())));
}

// The decoding of alphabets made of runs: the standard and URL-safe ones,
// and any other whose characters, grouped by high nibble (a "row" of 16
// codes), meet two conditions:
// - validation: the rows have at most 8 distinct sets of members. Each set
//   gets a class bit; a character is outside the alphabet exactly when
//   row_class[high nibble] & col_forbid[low nibble] is not zero.
// - translation: within a row, every member's value is its code plus one
//   offset, shift[row], except at most one character in the whole alphabet,
//   `special`, whose offset sits in shift[special_slot], the slot of a row
//   without members.
struct Nibble_plan {
  std::array<std::uint8_t, 16> row_class{};
  std::array<std::uint8_t, 16> col_forbid{};
  std::array<std::uint8_t, 16> shift{};
  std::uint8_t special = '=';  // '=' is never in an alphabet: no special
  std::uint8_t special_slot = 0;
};

// Made at compile time for the built-in alphabets and per call for others,
// so it walks the 64 characters rather than the 256 codes.
constexpr std::optional<Nibble_plan> make_nibble_plan(const Alphabet& alphabet) noexcept {
  const auto& emap = alphabet.emap();
  const auto& dmap = alphabet.dmap();

  // Per row: its members, and their offsets (value - code), of which there
  // may be two, each with a count and the last code that had it.
  struct Offsets {
    std::uint8_t offset[2]{};
    unsigned count[2]{};
    std::uint8_t code[2]{};
  };
  std::array<std::uint16_t, 16> members{};
  std::array<Offsets, 16> offsets{};
  for (unsigned v = 0; v < 64; ++v) {
    const std::uint8_t code = emap[v];
    if (dmap[code] != static_cast<int>(v)) continue;  // a repeated character counts at its last position
    const unsigned row = code >> 4;
    members[row] = static_cast<std::uint16_t>(members[row] | 1u << (code & 15));
    const auto offset = static_cast<std::uint8_t>(v - code);
    Offsets& o = offsets[row];
    const unsigned k = o.count[0] == 0 || o.offset[0] == offset ? 0 : o.count[1] == 0 || o.offset[1] == offset ? 1 : 2;
    if (k == 2) return std::nullopt;
    o.offset[k] = offset;
    o.code[k] = code;
    ++o.count[k];
  }

  Nibble_plan plan;
  std::array<std::uint16_t, 8> sets{};
  unsigned classes = 0;
  for (unsigned row = 0; row < 16; ++row) {
    unsigned k = 0;
    while (k < classes && sets[k] != members[row]) ++k;
    if (k == classes) {
      if (classes == 8) return std::nullopt;
      sets[classes++] = members[row];
    }
    plan.row_class[row] = static_cast<std::uint8_t>(1u << k);
  }
  for (unsigned col = 0; col < 16; ++col)
    for (unsigned k = 0; k < classes; ++k)
      if ((static_cast<unsigned>(sets[k]) >> col & 1u) == 0)
        plan.col_forbid[col] = static_cast<std::uint8_t>(plan.col_forbid[col] | 1u << k);

  bool have_special = false;
  for (unsigned row = 0; row < 16; ++row) {
    const Offsets& o = offsets[row];
    plan.shift[row] = o.offset[0];
    if (o.count[1] == 0) continue;
    // Two offsets in the row: the one held by a single code is the special's.
    const unsigned single = o.count[1] == 1 ? 1 : o.count[0] == 1 ? 0 : 2;
    if (single == 2 || have_special) return std::nullopt;
    have_special = true;
    plan.shift[row] = o.offset[1 - single];
    plan.special = o.code[single];
  }
  if (have_special) {
    unsigned slot = 0;
    while (slot < 16 && members[slot] != 0) ++slot;
    if (slot == 16) return std::nullopt;
    plan.special_slot = static_cast<std::uint8_t>(slot);
    plan.shift[slot] = static_cast<std::uint8_t>(dmap[plan.special] - plan.special);
  }
  return plan;
}

constexpr std::size_t nibble_plan_threshold = 8192;

constexpr std::optional<Nibble_plan> standard_plan = make_nibble_plan(standard_alphabet);
constexpr std::optional<Nibble_plan> url_safe_plan = make_nibble_plan(url_safe_alphabet);
static_assert(standard_plan && url_safe_plan, "the built-in alphabets decode by nibbles");

// A decoder gives the six-bit values of 32 characters, and `outside`, whose
// bytes have one of the bits of `outside_bits` set where a character is not
// in the alphabet (the values are then meaningless).
struct Nibble_decoder {
  __m256i row_class, col_forbid, shift, special, special_slot;
  __m256i outside_bits = _mm256_set1_epi8(-1);

  explicit Nibble_decoder(const Nibble_plan& p) noexcept
      : row_class(broadcast(p.row_class)),
        col_forbid(broadcast(p.col_forbid)),
        shift(broadcast(p.shift)),
        special(_mm256_set1_epi8(static_cast<char>(p.special))),
        special_slot(_mm256_set1_epi8(static_cast<char>(p.special_slot))) {}

  __m256i operator()(__m256i c, __m256i& outside) const noexcept {
    const __m256i hi = high_nibbles(c);
    outside = _mm256_and_si256(_mm256_shuffle_epi8(row_class, hi), _mm256_shuffle_epi8(col_forbid, low_nibbles(c)));
    const __m256i slot = _mm256_blendv_epi8(hi, special_slot, _mm256_cmpeq_epi8(c, special));
    return _mm256_add_epi8(c, _mm256_shuffle_epi8(shift, slot));
  }
};

// The decoding of any alphabet: for each row (high nibble) that has
// members, a 16-entry lookup of its dmap entries by low nibble, kept where
// the high nibble matches. Codes outside the alphabet find -1, and codes of
// rows without members keep the initial -1; its top bit marks them.
struct Any_decoder {
  __m256i table[16];
  __m256i row[16];
  std::size_t rows = 0;
  __m256i outside_bits = _mm256_set1_epi8(static_cast<char>(0x80));

  explicit Any_decoder(const Alphabet& alphabet) noexcept {
    const auto* dmap = alphabet.dmap().data();
    for (std::size_t r = 0; r < 16; ++r) {
      const __m128i entries = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dmap + 16 * r));
      if (_mm_movemask_epi8(entries) == 0xFFFF) continue;  // no member in this row
      table[rows] = _mm256_broadcastsi128_si256(entries);
      row[rows] = _mm256_set1_epi8(static_cast<char>(r));
      ++rows;
    }
  }

  __m256i operator()(__m256i c, __m256i& outside) const noexcept {
    const __m256i hi = high_nibbles(c);
    const __m256i lo = low_nibbles(c);
    __m256i v = _mm256_set1_epi8(-1);
    for (std::size_t r = 0; r < rows; ++r)
      v = _mm256_blendv_epi8(v, _mm256_shuffle_epi8(table[r], lo), _mm256_cmpeq_epi8(hi, row[r]));
    outside = v;
    return v;
  }
};

// 32 characters to 24 bytes per block while the block is in the alphabet,
// two blocks per step while there is room for both. A block at i reads
// in[i, i + 32) and stores out[3i/4, 3i/4 + 32).
template <class Decoder>
std::size_t decode_blocks(const Decoder& decoder, const std::uint8_t* in, std::size_t len, std::uint8_t* out,
                          std::size_t out_capacity) noexcept {
  const auto load = [&](std::size_t at) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + at)); };
  const auto store = [&](std::size_t at, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + at / 4 * 3), pack_groups(v));
  };
  std::size_t i = 0;
  for (; len - i >= 64 && out_capacity - i / 4 * 3 >= 24 + 32; i += 64) {
    __m256i outside0, outside1;
    const __m256i v0 = decoder(load(i), outside0);
    const __m256i v1 = decoder(load(i + 32), outside1);
    if (!_mm256_testz_si256(_mm256_or_si256(outside0, outside1), decoder.outside_bits)) break;
    store(i, v0);
    store(i + 32, v1);
  }
  for (; len - i >= 32 && out_capacity - i / 4 * 3 >= 32; i += 32) {
    __m256i outside;
    const __m256i v = decoder(load(i), outside);
    if (!_mm256_testz_si256(outside, decoder.outside_bits)) break;
    store(i, v);
  }
  return i;
}

}  // namespace

std::size_t encode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, char* out) noexcept {
  if (len < 28) return 0;
  if (same_alphabet(alphabet, standard_alphabet))
    return encode_blocks(builtin_encoder('+', '/'), in, len, out);
  if (same_alphabet(alphabet, url_safe_alphabet))
    return encode_blocks(builtin_encoder('-', '_'), in, len, out);
  return encode_blocks(any_encoder(alphabet), in, len, out);
}

std::size_t decode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, std::uint8_t* out,
                   std::size_t out_capacity) noexcept {
  // A single block does not pay for setting up the decoder (measured).
  if (len < 64 || out_capacity < 32) return 0;
  if (same_alphabet(alphabet, standard_alphabet))
    return decode_blocks(Nibble_decoder(*standard_plan), in, len, out, out_capacity);
  if (same_alphabet(alphabet, url_safe_alphabet))
    return decode_blocks(Nibble_decoder(*url_safe_plan), in, len, out, out_capacity);
  // Making a plan costs about as much as decoding 4 KiB by it; below twice
  // that, the row lookups win (measured with a caller-made alphabet of six
  // rows).
  if (len >= nibble_plan_threshold)
    if (const auto plan = make_nibble_plan(alphabet))
      return decode_blocks(Nibble_decoder(*plan), in, len, out, out_capacity);
  return decode_blocks(Any_decoder(alphabet), in, len, out, out_capacity);
}

}  // namespace Base64::detail::avx2

BASE64_TARGET_REGION_END
