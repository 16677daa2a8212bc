// Whole-string decoding, strict (RFC 4648 sections 3.3 and 4): every
// character is in the alphabet or is '=' padding where padding may stand.
//
// The range is cut into groups of four characters, the last one possibly
// reaching past the end. Each group is read from its last character to its
// first, so the first problem met counting from the end decides the error.
// With `pad` off, positions past the end read as '='. The first group that
// ends with padding ends the data: whatever follows it must be '=' and
// contributes no bytes.
#include <base64/base64.hpp>

#include <algorithm>

#include "core.hpp"

namespace Base64 {
namespace {

constexpr char padding = '=';

enum class Status { ok, out_of_bounds, malformed, too_much_input };

const char* message(Status status) {
  switch (status) {
    case Status::out_of_bounds: return "Wrong padding";
    case Status::malformed: return "Malformed input";
    case Status::too_much_input: return "Too much input";
    case Status::ok: break;
  }
  return "";
}

// Stores the 24 bits of four six-bit values as three bytes, high first:
// 00aaaaaa 00bbbbbb 00cccccc 00dddddd -> aaaaaabb bbbbcccc ccdddddd
inline void store(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d, char* out) noexcept {
  const std::uint32_t x = a << 18 | b << 12 | c << 6 | d;
  out[0] = static_cast<char>(x >> 16);
  out[1] = static_cast<char>(x >> 8);
  out[2] = static_cast<char>(x);
}

class Group_decoder {
 public:
  Group_decoder(const Alphabet& alphabet, bool pad, const char* in, std::size_t len, char* out) noexcept
      : dmap_(alphabet.dmap()), pad_(pad), in_(in), len_(len), out_(out) {}

  // Decodes every group; on success `dropped` is the number of bytes at the
  // end of the output that are not part of the result.
  Status run(std::size_t& dropped) noexcept {
    const std::size_t padded = (len_ + 3) / 4 * 4;
    dropped = 0;
    for (std::size_t i = 0; i < padded; i += 4) {
      const bool last = i + 4 == padded;
      if (!last && all_in_alphabet(i)) {
        store(value(i), value(i + 1), value(i + 2), value(i + 3), out_ + i / 4 * 3);
        continue;
      }
      unsigned p = 0;
      if (const Status s = careful_group(i, p); s != Status::ok) return s;
      if (last) {
        dropped = p == 4 ? 3 : p;
        return Status::ok;
      }
      if (p == 0) continue;
      if (p != 4 && pad_) return Status::too_much_input;
      dropped = (p == 4 ? 3 : p) + 3 * ((len_ - (i + 4) + 3) / 4);
      return only_padding_after(i + 4) ? Status::ok : Status::malformed;
    }
    return Status::ok;
  }

 private:
  std::uint32_t value(std::size_t t) const noexcept {
    return static_cast<std::uint32_t>(dmap_[static_cast<std::uint8_t>(in_[t])]);
  }

  // One test for the common case: a -1 entry anywhere sets the sign bit.
  bool all_in_alphabet(std::size_t i) const noexcept {
    const auto d = [&](std::size_t t) { return dmap_[static_cast<std::uint8_t>(in_[t])]; };
    return (d(i) | d(i + 1) | d(i + 2) | d(i + 3)) >= 0;
  }

  // Decodes the group at i from its last character to its first, taking
  // trailing '=' as padding; `p` is how many were.
  Status careful_group(std::size_t i, unsigned& p) const noexcept {
    std::uint32_t v[4];
    for (unsigned k = 4; k-- > 0;) {
      const std::size_t t = i + k;
      char c = padding;
      if (t < len_)
        c = in_[t];
      else if (pad_)
        return Status::out_of_bounds;
      const int d = dmap_[static_cast<std::uint8_t>(c)];
      if (d >= 0) {
        v[k] = static_cast<std::uint32_t>(d);
      } else if (c == padding && p == 3 - k) {
        v[k] = 0;
        p = 4 - k;
      } else {
        return Status::malformed;
      }
    }
    store(v[0], v[1], v[2], v[3], out_ + i / 4 * 3);
    return Status::ok;
  }

  bool only_padding_after(std::size_t t) const noexcept {
    return std::all_of(in_ + t, in_ + len_, [](char c) { return c == padding; });
  }

  const std::array<std::int8_t, 256>& dmap_;
  bool pad_;
  const char* in_;
  std::size_t len_;
  char* out_;
};

Result<Sub> decode_range(std::string_view input, const Options& options) {
  const auto range = detail::resolve_range(input.size(), options.off, options.len);
  if (!range) return Msg{"Invalid bounds"};

  std::string buffer((range->len + 3) / 4 * 3, '\0');
  std::size_t dropped = 0;
  Group_decoder decoder(options.alphabet, options.pad, input.data() + range->off, range->len, buffer.data());
  if (const Status s = decoder.run(dropped); s != Status::ok) return Msg{message(s)};
  const auto len = static_cast<std::int64_t>(buffer.size() - dropped);
  return Sub{std::move(buffer), 0, len};
}

}  // namespace

std::string decode_exn(std::string_view input, const Options& options) {
  auto sub = decode_range(input, options);
  if (!sub) throw std::invalid_argument(sub.error().text);
  return detail::take_output(std::move(*sub));
}

Result<Sub> decode_sub(std::string_view input, const Options& options) { return decode_range(input, options); }

Result<std::string> decode(std::string_view input, const Options& options) {
  auto sub = decode_range(input, options);
  if (!sub) return std::move(sub).error();
  return detail::take_output(std::move(*sub));
}

}  // namespace Base64
