// SPDX-License-Identifier: MIT
// Whole-string encoding: every 3 input bytes become 4 characters; a final
// group of 1 or 2 bytes becomes 2 or 3 characters plus, when padding is on,
// "==" or "=" (RFC 4648 section 4).
//
// The work is split three ways: a kernel (kernels.hpp) encodes the bulk in
// whole blocks, then the scalar loops below encode the rest, six bytes per
// step while eight can be read and one group at a time after that, and
// finally the padding is written. The scalar code alone is complete: the
// scalar kernel leaves it everything.
#include <base64/base64.hpp>

#include <bit>
#include <cassert>
#include <cstring>

#include "core.hpp"
#include "kernels.hpp"
#include "tables.hpp"

namespace Base64 {
namespace {

constexpr char padding = '=';

// From this many input bytes on, making the pair table of a caller's
// alphabet (8 KiB) costs less than it saves.
constexpr std::size_t pair_table_threshold = 4096;

// aaaaaabb bbbbcccc ccdddddd -> a b c d, each through the alphabet.
// b2 and b3 are 0 for a short final group; their characters are then the
// alphabet's first one, which padding overwrites when it is on.
inline void emit(const std::array<std::uint8_t, 64>& emap, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                 char* out) noexcept {
  const char group[4] = {
      static_cast<char>(emap[b1 >> 2]),
      static_cast<char>(emap[((b1 << 4) | (b2 >> 4)) & 63]),
      static_cast<char>(emap[((b2 << 2) | (b3 >> 6)) & 63]),
      static_cast<char>(emap[b3 & 63]),
  };
  std::memcpy(out, group, 4);
}

// Twelve bytes to sixteen characters per step, two characters per table
// read: each big-endian 64-bit load puts six bytes in its top 48 bits, as
// four 12-bit values. The second load starts 6 bytes in, so a step reads 14
// bytes; the loop stops while 14 remain. Returns the number of bytes encoded
// (a multiple of 12).
std::size_t encode_by_pairs(const detail::Encode_pairs& t, const std::uint8_t* in, std::size_t len,
                            char* out) noexcept {
  const auto six = [&](std::size_t at, std::uint16_t* pairs) {
    std::uint64_t x;
    std::memcpy(&x, in + at, 8);
    x = __builtin_bswap64(x);
    pairs[0] = t.pair[x >> 52];
    pairs[1] = t.pair[(x >> 40) & 0xFFF];
    pairs[2] = t.pair[(x >> 28) & 0xFFF];
    pairs[3] = t.pair[(x >> 16) & 0xFFF];
  };
  std::size_t i = 0;
  for (; len - i >= 14; i += 12, out += 16) {
    std::uint16_t pairs[8];
    six(i, pairs);
    six(i + 6, pairs + 4);
    // Eight 2-byte stores: measured faster than merging them into two
    // 8-byte ones, which costs a shift and an OR per pair.
    for (std::size_t k = 0; k < 8; ++k) std::memcpy(out + 2 * k, &pairs[k], 2);
  }
  return i;
}

// A short last group of len < 3 bytes: 2 or 3 characters, nothing after
// them (none for no bytes).
inline void encode_short_group(const std::array<std::uint8_t, 64>& emap, const std::uint8_t* in, std::size_t len,
                               char* out) noexcept {
  if (len == 0) return;
  char group[4];
  emit(emap, in[0], len == 2 ? in[1] : std::uint8_t{0}, 0, group);
  std::memcpy(out, group, len + 1);
}

// Encodes `len` bytes into ceil(4 * len / 3) characters at `out`, no padding.
void encode_groups(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, char* out) noexcept {
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    if (const auto* builtin = detail::builtin_tables(alphabet)) {
      i = encode_by_pairs(builtin->encode, in, len, out);
    } else if (len >= pair_table_threshold) {
      detail::Encode_pairs pairs;
      detail::fill_encode_pairs(alphabet, pairs);
      i = encode_by_pairs(pairs, in, len, out);
    }
  }
  const auto& emap = alphabet.emap();
  out += i / 3 * 4;
  for (; len - i >= 3; i += 3, out += 4) emit(emap, in[i], in[i + 1], in[i + 2], out);
  encode_short_group(emap, in + i, len - i, out);
}

// Encodes the selected range into `buffer`.
detail::Filled encode_range(const detail::Kernel& kernel, std::string_view input, const Options& options,
                            std::string& buffer) {
  const auto range = detail::resolve_range(input.size(), options.off, options.len);
  if (!range) return {.len = 0, .error = "Invalid bounds"};

  const std::string_view bytes = input.substr(range->off, range->len);
  detail::Filled filled;
  detail::fill_buffer(buffer, (range->len + 2) / 3 * 4, [&](char* out) {
    filled.len = detail::encode_into(kernel, options.alphabet, options.pad, bytes, out);
  });
  return filled;
}

// The same with the dispatched kernel, as the public operations run it.
auto encoder(std::string_view input, const Options& options) {
  return [input, &options](std::string& buffer) {
    return encode_range(detail::dispatched_kernel(), input, options, buffer);
  };
}

}  // namespace

namespace detail {

std::size_t encode_text(const Kernel& kernel, const Alphabet& alphabet, bool pad, std::string_view input,
                        char* out) noexcept {
  const auto* in = reinterpret_cast<const std::uint8_t*>(input.data());
  const std::size_t len = input.size();
  const std::size_t done = kernel.encode(alphabet, in, len, out);
  // A SIMD kernel leaves at most the short last group: no table lookup for it.
  if (len - done < 3)
    encode_short_group(alphabet.emap(), in + done, len - done, out + done / 3 * 4);
  else
    encode_groups(alphabet, in + done, len - done, out + done / 3 * 4);

  const std::size_t full = len / 3 * 4, rest = len % 3;
  if (rest == 0) return full;
  if (!pad) return full + rest + 1;
  for (std::size_t k = full + rest + 1; k < full + 4; ++k) out[k] = padding;
  return full + 4;
}

std::size_t encode_into(const Kernel& kernel, const Alphabet& alphabet, bool pad, std::string_view input,
                        char* out) noexcept {
  const std::size_t text = encode_text(kernel, alphabet, pad, input, out);
  // Unpadded, the buffer of a short last group ends with the alphabet's
  // first character: the zero bits that padding would have covered.
  const std::size_t size = (input.size() + 2) / 3 * 4;
  for (std::size_t k = text; k < size; ++k) out[k] = static_cast<char>(alphabet.emap()[0]);
  return text;
}

Result<Sub> encode_sub_with(const Kernel& kernel, std::string_view input, const Options& options) {
  return as_sub([&](std::string& buffer) { return encode_range(kernel, input, options, buffer); });
}

}  // namespace detail

Result<Sub> encode_sub(std::string_view input, const Options& options) {
  return detail::as_sub(encoder(input, options));
}

Result<std::string> encode(std::string_view input, const Options& options) {
  return detail::as_text(encoder(input, options));
}

std::string encode_string(std::string_view input, const String_options& options) {
  std::string text;
  const detail::Filled filled = encoder(input, {.pad = options.pad, .alphabet = options.alphabet})(text);
  assert(!filled.error && "a whole string is always a valid range");
  text.resize(filled.len);
  return text;
}

std::string encode_exn(std::string_view input, const Options& options) {
  return detail::as_text_or_throw(encoder(input, options));
}

Into_result encode_into(std::string_view input, std::span<char> out, const Options& options) {
  const auto range = detail::resolve_range(input.size(), options.off, options.len);
  if (!range) return Error{.kind = Error_kind::Invalid_bounds};
  const std::size_t n = range->len;
  // n < 2^63, so neither length can overflow.
  const std::size_t size = options.pad ? (n + 2) / 3 * 4 : n / 3 * 4 + (n % 3 == 0 ? 0 : n % 3 + 1);
  if (out.size() < size) return Error{.kind = Error_kind::Output_too_small};
  return detail::encode_text(detail::dispatched_kernel(), options.alphabet, options.pad,
                             input.substr(range->off, n), out.data());
}

}  // namespace Base64
