// SPDX-License-Identifier: MIT
// What the MIME decoder and encoder of Base64_rfc2045 share: the export
// marker and the module's constants.
#pragma once

#include <cstdint>
#include <string_view>

// What the library exports. On Windows a DLL exports it while being built
// (base64_rfc2045_EXPORTS, set by CMake) and its users import it; a static
// library (BASE64_RFC2045_STATIC, set for its users by CMake and pkg-config)
// does neither. Elsewhere the library is built with hidden visibility and
// this is the one way out.
#if defined(_WIN32)
#if defined(BASE64_RFC2045_STATIC)
#define BASE64_RFC2045_API
#elif defined(base64_rfc2045_EXPORTS)
#define BASE64_RFC2045_API __declspec(dllexport)
#else
#define BASE64_RFC2045_API __declspec(dllimport)
#endif
#else
#define BASE64_RFC2045_API __attribute__((visibility("default")))
#endif

namespace Base64_rfc2045 {

// The Base64 alphabet of RFC 2045 (table 1): character i has the value i.
inline constexpr std::string_view base64_alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Size of the read buffer of a decoder over a stream and of the output
// buffer of an encoder to a stream or a string.
inline constexpr std::int64_t stream_buffer_size = 65536;

// Cases shared by the decoder's results and the encoder's inputs.
// Decoding: more input is needed (Await), or the input is over (End).
// Encoding: resume after a Partial (Await), or the input is complete (End).
struct Await {
  friend bool operator==(Await, Await) = default;
};
struct End {
  friend bool operator==(End, End) = default;
};

}  // namespace Base64_rfc2045
