// What the encoder and the decoder share: range selection and handing out
// the output of a successful call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <base64/base64.hpp>

namespace Base64::detail {

struct Range {
  std::size_t off;
  std::size_t len;
};

// Resolves `off` (default 0) and `len` (default: the rest after `off`)
// against an input of `length` bytes. Empty when len < 0, off < 0 or
// off + len > length; no step can overflow, whatever the values.
std::optional<Range> resolve_range(std::size_t length, std::optional<std::int64_t> off,
                                   std::optional<std::int64_t> len) noexcept;

// The output of a successful operation as a string of exactly its length,
// cut from the working buffer without a copy (the output starts at 0).
inline std::string take_output(Sub&& sub) {
  sub.buffer.resize(static_cast<std::size_t>(sub.len));
  return std::move(sub.buffer);
}

}  // namespace Base64::detail
