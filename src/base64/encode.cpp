// Whole-string encoding: every 3 input bytes become 4 characters; a final
// group of 1 or 2 bytes becomes 2 or 3 characters plus, when padding is on,
// "==" or "=" (RFC 4648 section 4).
#include <base64/base64.hpp>

#include <cassert>
#include <cstring>

#include "core.hpp"

namespace Base64 {
namespace {

constexpr char padding = '=';

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

// Encodes `len` bytes into 4 * ceil(len / 3) characters at `out`.
void encode_groups(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, char* out) noexcept {
  const auto& emap = alphabet.emap();
  std::size_t i = 0;
  for (; len - i >= 3; i += 3, out += 4) emit(emap, in[i], in[i + 1], in[i + 2], out);
  switch (len - i) {
    case 2: emit(emap, in[i], in[i + 1], 0, out); break;
    case 1: emit(emap, in[i], 0, 0, out); break;
    default: break;
  }
}

Result<Sub> encode_range(std::string_view input, const Options& options) {
  const auto range = detail::resolve_range(input.size(), options.off, options.len);
  if (!range) return Msg{"Invalid bounds"};

  const std::size_t groups = (range->len + 2) / 3;
  const std::size_t missing = groups * 3 - range->len;  // bytes short of a full last group
  std::string buffer(groups * 4, '\0');
  encode_groups(options.alphabet, reinterpret_cast<const std::uint8_t*>(input.data()) + range->off, range->len,
                buffer.data());

  auto text_len = static_cast<std::int64_t>(buffer.size());
  if (options.pad)
    std::memset(buffer.data() + buffer.size() - missing, padding, missing);
  else
    text_len -= static_cast<std::int64_t>(missing);
  return Sub{std::move(buffer), 0, text_len};
}

}  // namespace

Result<Sub> encode_sub(std::string_view input, const Options& options) { return encode_range(input, options); }

Result<std::string> encode(std::string_view input, const Options& options) {
  auto sub = encode_range(input, options);
  if (!sub) return std::move(sub).error();
  return detail::take_output(std::move(*sub));
}

std::string encode_string(std::string_view input, const String_options& options) {
  auto sub = encode_range(input, {.pad = options.pad, .alphabet = options.alphabet});
  assert(sub.has_value() && "a whole string is always a valid range");
  return detail::take_output(std::move(*sub));
}

std::string encode_exn(std::string_view input, const Options& options) {
  auto sub = encode_range(input, options);
  if (!sub) throw std::invalid_argument(sub.error().text);
  return detail::take_output(std::move(*sub));
}

}  // namespace Base64
