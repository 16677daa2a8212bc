// SPDX-License-Identifier: MIT
// Whole-string decoding, strict (RFC 4648 sections 3.3 and 4): every
// character is in the alphabet or is '=' padding where padding may stand.
//
// The range is cut into groups of four characters, the last one possibly
// reaching past the end. Each group is read from its last character to its
// first, so the first problem met counting from the end decides the error.
// With `pad` off, positions past the end read as '='. The first group that
// ends with padding ends the data: whatever follows it must be '=' and
// contributes no bytes.
//
// A kernel (kernels.hpp) first decodes the bulk: whole groups, all in the
// alphabet, before the last group. The code below goes on from where it
// stopped: a fast path for pairs of groups that are all in the alphabet, and
// the careful per-group path, the reference for padding, errors and their
// order, for everything else. The last group always takes the careful path.
#include <base64/base64.hpp>

#include <algorithm>
#include <bit>
#include <cstring>

#include "core.hpp"
#include "kernels.hpp"
#include "tables.hpp"

namespace Base64 {
namespace {

constexpr char padding = '=';

// From this many characters on, making the quad tables of a caller's
// alphabet (4 KiB) costs less than it saves.
constexpr std::size_t quad_table_threshold = 2048;

using Status = detail::Decode_status;

// Stores the 24 bits of four six-bit values as three bytes, high first:
// 00aaaaaa 00bbbbbb 00cccccc 00dddddd -> aaaaaabb bbbbcccc ccdddddd
inline void store(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d, char* out) noexcept {
  const std::uint32_t x = a << 18 | b << 12 | c << 6 | d;
  out[0] = static_cast<char>(x >> 16);
  out[1] = static_cast<char>(x >> 8);
  out[2] = static_cast<char>(x);
}

// The OR of the four lookups for the group at c (see Decode_quads).
inline std::uint32_t quad_of_bytes(const detail::Decode_quads& t, const std::uint8_t* c) noexcept {
  return t.at[0][c[0]] | t.at[1][c[1]] | t.at[2][c[2]] | t.at[3][c[3]];
}

// The same from one 32-bit load. It trades three loads for shifts: mixing
// the two forms keeps both the load ports and the ALUs busy (measured).
inline std::uint32_t quad_of_word(const detail::Decode_quads& t, const std::uint8_t* c) noexcept {
  std::uint32_t w;
  std::memcpy(&w, c, 4);
  return t.at[0][w & 0xFF] | t.at[1][(w >> 8) & 0xFF] | t.at[2][(w >> 16) & 0xFF] | t.at[3][w >> 24];
}

// Sixteen characters to twelve bytes per step while all four groups are in
// the alphabet, from `i` up to `end` (a multiple of 4 past i); returns where
// it stopped. The second 8-byte store of a step writes 2 bytes beyond the
// step's 12; they belong to the next group, whose own store comes later, so
// `end` must leave a group after it.
std::size_t decode_by_quads(const detail::Decode_quads& t, const std::uint8_t* in, std::size_t i,
                            std::size_t end, char* out) noexcept {
  out += i / 4 * 3;
  for (; end - i >= 16; i += 16, out += 12) {
    const std::uint8_t* c = in + i;
    const std::uint32_t x0 = quad_of_bytes(t, c), x1 = quad_of_word(t, c + 4);
    const std::uint32_t x2 = quad_of_bytes(t, c + 8), x3 = quad_of_word(t, c + 12);
    if ((x0 | x1 | x2 | x3) & detail::quad_invalid) break;
    const std::uint64_t first = x0 | std::uint64_t{x1} << 24, second = x2 | std::uint64_t{x3} << 24;
    std::memcpy(out, &first, 8);
    std::memcpy(out + 6, &second, 8);
  }
  return i;
}

class Group_decoder {
 public:
  // Stores nothing at or beyond out + capacity (see decode_text).
  Group_decoder(const Alphabet& alphabet, bool pad, const char* in, std::size_t len, char* out,
                std::size_t capacity) noexcept
      : alphabet_(alphabet), dmap_(alphabet.dmap()), pad_(pad), in_(in), len_(len), out_(out), capacity_(capacity) {}

  // Decodes every group from range position `i` (a multiple of 4) on; on
  // success `dropped` is the number of bytes at the end of the output that
  // are not part of the result, on failure `at` is the position where
  // decoding stopped. Every byte of the output below the capacity is then
  // written: those of the groups after a group that ended with padding are
  // zeroed.
  Status run(std::size_t i, std::size_t& dropped, std::size_t& at) noexcept {
    const std::size_t padded = (len_ + 3) / 4 * 4;
    dropped = 0;
    if (padded == 0 || i == padded) return Status::ok;
    i = fast_groups(i, std::min(padded - 4, quads_end()));
    for (; i < padded; i += 4) {
      const bool last = i + 4 == padded;
      // A group of four alphabet characters before the last group lies
      // before the trailing '=', so its bytes are below the capacity.
      if (!last && all_in_alphabet(i)) {
        store(value(i), value(i + 1), value(i + 2), value(i + 3), out_ + i / 4 * 3);
        continue;
      }
      unsigned p = 0;
      if (const Status s = careful_group(i, p, at); s != Status::ok) return s;
      if (last) {
        dropped = p == 4 ? 3 : p;
        return Status::ok;
      }
      if (p == 0) continue;
      if (p != 4 && pad_) {
        at = i + 4;
        return Status::too_much_input;
      }
      dropped = (p == 4 ? 3 : p) + 3 * ((len_ - (i + 4) + 3) / 4);
      at = first_not_padding(i + 4);
      if (at != len_) return Status::malformed;
      const std::size_t written = (i + 4) / 4 * 3, end = std::min(padded / 4 * 3, capacity_);
      if (written < end) std::memset(out_ + written, 0, end - written);
      return Status::ok;
    }
    return Status::ok;
  }

 private:
  // decode_by_quads stores 2 bytes beyond its last group: it may run up to
  // here.
  std::size_t quads_end() const noexcept { return capacity_ < 2 ? 0 : (capacity_ - 2) / 3 * 4; }

  // The fast path over whole groups before `last`; returns where the
  // careful path takes over.
  std::size_t fast_groups(std::size_t i, std::size_t last) const noexcept {
    if (last <= i) return i;
    if constexpr (std::endian::native == std::endian::little) {
      const auto* in = reinterpret_cast<const std::uint8_t*>(in_);
      if (const auto* builtin = detail::builtin_tables(alphabet_))
        return decode_by_quads(builtin->decode, in, i, last, out_);
      if (last - i >= quad_table_threshold) {
        detail::Decode_quads quads;
        detail::fill_decode_quads(alphabet_, quads);
        return decode_by_quads(quads, in, i, last, out_);
      }
    }
    return i;
  }

  std::uint32_t value(std::size_t t) const noexcept {
    return static_cast<std::uint32_t>(dmap_[static_cast<std::uint8_t>(in_[t])]);
  }

  // One test for the common case: a -1 entry anywhere sets the sign bit.
  bool all_in_alphabet(std::size_t i) const noexcept {
    const auto d = [&](std::size_t t) { return dmap_[static_cast<std::uint8_t>(in_[t])]; };
    return (d(i) | d(i + 1) | d(i + 2) | d(i + 3)) >= 0;
  }

  // Decodes the group at i from its last character to its first, taking
  // trailing '=' as padding; `p` is how many were. Its three bytes, as far
  // as the capacity goes, are stored; on failure `at` is where it stopped.
  Status careful_group(std::size_t i, unsigned& p, std::size_t& at) const noexcept {
    std::uint32_t v[4];
    for (unsigned k = 4; k-- > 0;) {
      const std::size_t t = i + k;
      char c = padding;
      if (t < len_) {
        c = in_[t];
      } else if (pad_) {
        at = len_;
        return Status::out_of_bounds;
      }
      const int d = dmap_[static_cast<std::uint8_t>(c)];
      if (d >= 0) {
        v[k] = static_cast<std::uint32_t>(d);
      } else if (c == padding && p == 3 - k) {
        v[k] = 0;
        p = 4 - k;
      } else {
        at = t;
        return Status::malformed;
      }
    }
    char bytes[3];
    store(v[0], v[1], v[2], v[3], bytes);
    const std::size_t j = i / 4 * 3;
    if (j < capacity_) std::memcpy(out_ + j, bytes, std::min<std::size_t>(3, capacity_ - j));
    return Status::ok;
  }

  std::size_t first_not_padding(std::size_t t) const noexcept {
    return static_cast<std::size_t>(std::find_if(in_ + t, in_ + len_, [](char c) { return c != padding; }) - in_);
  }

  const Alphabet& alphabet_;
  const std::array<std::int8_t, 256>& dmap_;
  bool pad_;
  const char* in_;
  std::size_t len_;
  char* out_;
  std::size_t capacity_;
};

Error_kind kind_of(Status status) noexcept {
  switch (status) {
    case Status::out_of_bounds: return Error_kind::Wrong_padding;
    case Status::malformed: return Error_kind::Malformed_input;
    case Status::too_much_input: return Error_kind::Too_much_input;
    case Status::ok: break;
  }
  return Error_kind::Malformed_input;
}

// Decodes a validated range of `size` bytes or fewer into out[0, capacity)
// and applies the canonical check when asked. `off` is where the range
// starts in the caller's input, for the error's offset.
Into_result decode_range_into(const detail::Kernel& kernel, const Options& options, std::string_view text,
                              std::size_t off, std::uint8_t* out, std::size_t capacity) noexcept {
  const Alphabet& alphabet = options.alphabet;
  const detail::Decode_outcome d = detail::decode_text(kernel, alphabet, options.pad, text, out, capacity);
  std::size_t at = d.at;
  Error_kind kind = kind_of(d.status);
  if (d.status == Status::ok) {
    if (!options.canonical) return d.len;
    at = detail::non_canonical_at(alphabet, options.pad, text, d.len);
    if (at == std::string_view::npos) return d.len;
    kind = Error_kind::Non_canonical;
  }
  // A character missing at the end of the range (Wrong_padding) has no byte.
  std::optional<std::uint8_t> byte;
  if (at < text.size()) byte = static_cast<std::uint8_t>(text[at]);
  return Error{.offset = off + at, .kind = kind, .byte = byte};
}

// Decodes the selected range into `buffer`, 3 bytes per started group.
detail::Filled decode_range(const detail::Kernel& kernel, std::string_view input, const Options& options,
                            std::string& buffer) {
  const auto range = detail::resolve_range(input.size(), options.off, options.len);
  if (!range) return {.len = 0, .error = "Invalid bounds"};

  const std::string_view text = input.substr(range->off, range->len);
  const std::size_t size = (range->len + 3) / 4 * 3;
  Into_result result = std::size_t{0};
  detail::fill_buffer(buffer, size, [&](char* out) {
    result = decode_range_into(kernel, options, text, range->off, reinterpret_cast<std::uint8_t*>(out), size);
  });
  if (!result) return {.len = 0, .error = message(result.error().kind).data()};
  return {.len = *result, .error = nullptr};
}

// The same with the dispatched kernel, as the public operations run it.
auto decoder(std::string_view input, const Options& options) {
  return [input, &options](std::string& buffer) {
    return decode_range(detail::dispatched_kernel(), input, options, buffer);
  };
}

}  // namespace

namespace detail {

std::size_t required_length(std::string_view text) noexcept {
  std::size_t k = text.size();
  while (k > 0 && text[k - 1] == padding) --k;
  return k / 4 * 3 + k % 4 * 3 / 4;
}

Decode_outcome decode_text(const Kernel& kernel, const Alphabet& alphabet, bool pad, std::string_view text,
                           std::uint8_t* out, std::size_t capacity) noexcept {
  // The kernel gets the whole groups: it stops at the first group that is
  // not all in the alphabet, so it never takes a group with padding, and
  // what it stores lies before the trailing '=', below the capacity.
  const auto* in = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t whole = text.size() / 4 * 4;
  const std::size_t done = whole == 0 ? 0 : kernel.decode(alphabet, in, whole, out, capacity);
  Decode_outcome d;
  std::size_t dropped = 0;
  Group_decoder decoder(alphabet, pad, text.data(), text.size(), reinterpret_cast<char*>(out), capacity);
  d.status = decoder.run(done, dropped, d.at);
  if (d.status == Status::ok) d.len = (text.size() + 3) / 4 * 3 - dropped;
  return d;
}

std::size_t non_canonical_at(const Alphabet& alphabet, bool pad, std::string_view text, std::size_t len) noexcept {
  // The length of the encoding of `len` bytes; `text` is never shorter.
  const std::size_t full = len / 3 * 4, rest = len % 3;
  const std::size_t canonical = rest == 0 ? full : pad ? full + 4 : full + rest + 1;
  if (text.size() > canonical) return canonical;
  // The last character of a short group carries bits that fall outside the
  // bytes: 4 after one byte, 2 after two. They must be zero.
  if (rest == 0) return std::string_view::npos;
  const std::size_t last = full + rest;
  const unsigned leftover = rest == 1 ? 0xF : 0x3;
  const auto v = static_cast<unsigned>(alphabet.dmap()[static_cast<std::uint8_t>(text[last])]);
  return (v & leftover) == 0 ? std::string_view::npos : last;
}

Decode_status decode_into(const Kernel& kernel, const Alphabet& alphabet, bool pad, std::string_view text,
                          std::uint8_t* out, std::size_t& len) noexcept {
  const Decode_outcome d = decode_text(kernel, alphabet, pad, text, out, (text.size() + 3) / 4 * 3);
  len = d.status == Status::ok ? d.len : (text.size() + 3) / 4 * 3;
  return d.status;
}

Result<Sub> decode_sub_with(const Kernel& kernel, std::string_view input, const Options& options) {
  return as_sub([&](std::string& buffer) { return decode_range(kernel, input, options, buffer); });
}

}  // namespace detail

std::string decode_exn(std::string_view input, const Options& options) {
  return detail::as_text_or_throw(decoder(input, options));
}

Result<Sub> decode_sub(std::string_view input, const Options& options) {
  return detail::as_sub(decoder(input, options));
}

Result<std::string> decode(std::string_view input, const Options& options) {
  return detail::as_text(decoder(input, options));
}

Into_result decoded_length(std::string_view input, const Options& options) {
  const auto range = detail::resolve_range(input.size(), options.off, options.len);
  if (!range) return Error{.kind = Error_kind::Invalid_bounds};
  return detail::required_length(input.substr(range->off, range->len));
}

Into_result decode_into(std::string_view input, std::span<char> out, const Options& options) {
  const auto range = detail::resolve_range(input.size(), options.off, options.len);
  if (!range) return Error{.kind = Error_kind::Invalid_bounds};
  const std::string_view text = input.substr(range->off, range->len);
  const std::size_t need = detail::required_length(text);
  if (out.size() < need) return Error{.kind = Error_kind::Output_too_small};
  return decode_range_into(detail::dispatched_kernel(), options, text, range->off,
                           reinterpret_cast<std::uint8_t*>(out.data()), need);
}

}  // namespace Base64
