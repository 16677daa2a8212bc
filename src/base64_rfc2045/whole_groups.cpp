// Over the public calls of `base64` that return a fresh buffer: correct, but
// each call allocates that buffer and its bytes are copied once more. The
// into-buffer calls, once `base64` has them, write straight to `out`.
#include "whole_groups.hpp"

#include <base64/base64.hpp>

#include <cstring>
#include <string_view>

namespace Base64_rfc2045::detail {

void encode_whole_groups(const char* in, std::size_t n, char* out) {
  const Base64::Result<Base64::Sub> text = Base64::encode_sub(std::string_view(in, n));
  // A whole range of whole groups cannot fail and needs no padding.
  std::memcpy(out, text->buffer.data() + text->off, n / 3 * 4);
}

bool decode_whole_groups(const char* in, std::size_t n, char* out) {
  const Base64::Result<Base64::Sub> bytes = Base64::decode_sub(std::string_view(in, n));
  // With padding on, a run of whole groups that ends in '=' decodes too, to
  // fewer bytes: only the full count means that every character was valid.
  if (!bytes.has_value() || static_cast<std::size_t>(bytes->len) != n / 4 * 3) return false;
  std::memcpy(out, bytes->buffer.data() + bytes->off, n / 4 * 3);
  return true;
}

}  // namespace Base64_rfc2045::detail
