// SPDX-License-Identifier: MIT
// What the encoder and the decoder share: range selection, the one output
// buffer, and handing out the output or the error in the form each
// operation returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <base64/base64.hpp>

#include "kernels.hpp"

namespace Base64::detail {

struct Range {
  std::size_t off;
  std::size_t len;
};

// Resolves `off` (default 0) and `len` (default: the rest after `off`)
// against an input of `length` bytes. Empty when len < 0, off < 0 or
// off + len > length; no step can overflow, whatever the values.
inline std::optional<Range> resolve_range(std::size_t length, std::optional<std::int64_t> off,
                                          std::optional<std::int64_t> len) noexcept {
  // A string cannot hold more than PTRDIFF_MAX bytes, so its length fits.
  const auto total = static_cast<std::int64_t>(length);
  const std::int64_t o = off.value_or(0);
  if (o < 0 || o > total) return std::nullopt;  // also keeps `total - o` below from overflowing
  const std::int64_t l = len.value_or(total - o);
  if (l < 0 || o > total - l) return std::nullopt;
  return Range{static_cast<std::size_t>(o), static_cast<std::size_t>(l)};
}

// Makes `buffer` a string of `size` bytes that `write(char*)` fills in
// full. With C++23's resize_and_overwrite the bytes are written once;
// otherwise they are zeroed first.
template <class Write>
void fill_buffer(std::string& buffer, std::size_t size, Write&& write) {
#if defined(__cpp_lib_string_resize_and_overwrite)
  // The operation returns `size`, not the count it is handed: libstdc++ 12
  // hands it the grown capacity (GCC bug 109703).
  buffer.resize_and_overwrite(size, [&](char* data, std::size_t) {
    write(data);
    return size;
  });
#else
  buffer.resize(size);
  write(buffer.data());
#endif
}

// What an operation did to its output buffer: the length of the output,
// which starts at 0, or the message of its failure.
struct Filled {
  std::size_t len = 0;
  const char* error = nullptr;  // a fixed message; null on success
};

// The forms an operation returns, each built in place in the object that is
// returned, around `run(std::string& buffer) -> Filled`, which sizes and
// fills the buffer: the buffer itself with the extent of the output, the
// output cut to its length, or that with the message thrown.
// (One return statement each, of the one result object, so that it is
// built where the caller wants it.)
template <class Run>
Result<Sub> as_sub(Run&& run) {
  Result<Sub> result{Sub{}};
  const Filled filled = run(result->buffer);
  if (filled.error)
    result = Msg{filled.error};
  else
    result->len = static_cast<std::int64_t>(filled.len);
  return result;
}

template <class Run>
Result<std::string> as_text(Run&& run) {
  Result<std::string> result{std::string()};
  const Filled filled = run(*result);
  if (filled.error)
    result = Msg{filled.error};
  else
    result->resize(filled.len);
  return result;
}

// Throws std::invalid_argument with the message on failure.
template <class Run>
std::string as_text_or_throw(Run&& run) {
  std::string text;
  const Filled filled = run(text);
  if (filled.error) throw std::invalid_argument(filled.error);
  text.resize(filled.len);
  return text;
}

// The cores of the _into calls, with a chosen kernel.

// Writes the text of all of `in` to out[0, n) and returns n; out holds
// encoded_length(in.size(), pad) bytes.
std::size_t encode_text(const Kernel& kernel, const Alphabet& alphabet, bool pad, std::string_view in,
                        char* out) noexcept;

struct Decode_outcome {
  Decode_status status = Decode_status::ok;
  std::size_t len = 0;  // on success, the decoded length
  std::size_t at = 0;   // on failure, the position in `text` where decoding stopped
};

// Decodes all of `text` to `out`, storing nothing at or beyond
// out + capacity. capacity is at least required_length(text): with exactly
// that, only the decoded bytes are written; with 3 * ceil(size / 4), every
// byte is, as decode_into does.
Decode_outcome decode_text(const Kernel& kernel, const Alphabet& alphabet, bool pad, std::string_view text,
                           std::uint8_t* out, std::size_t capacity) noexcept;

// The decoded length of `text` if it decodes, from its trailing '=' alone.
std::size_t required_length(std::string_view text) noexcept;

// Where the canonical form of `text`, which decoded to `len` bytes, first
// differs from it (a position in text), or npos when it is canonical.
std::size_t non_canonical_at(const Alphabet& alphabet, bool pad, std::string_view text, std::size_t len) noexcept;

}  // namespace Base64::detail
