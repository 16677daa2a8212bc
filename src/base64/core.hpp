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

// A string of `size` bytes that `write(char*)` fills in full. With C++23's
// resize_and_overwrite the bytes are written once; otherwise they are zeroed
// first.
template <class Write>
std::string make_buffer(std::size_t size, Write&& write) {
  std::string buffer;
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
  return buffer;
}

// The output of a successful operation as a string of exactly its length,
// cut from the working buffer without a copy (the output starts at 0).
inline std::string take_output(Sub&& sub) {
  sub.buffer.resize(static_cast<std::size_t>(sub.len));
  return std::move(sub.buffer);
}

}  // namespace Base64::detail
