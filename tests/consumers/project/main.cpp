// SPDX-License-Identifier: MIT
// Uses the libraries it was built with (CONSUMER_USES_BASE64,
// CONSUMER_USES_BASE64_RFC2045; both when neither is defined) the way a
// downstream program would; exits non-zero when a result is not the expected one.
#if !defined(CONSUMER_USES_BASE64) && !defined(CONSUMER_USES_BASE64_RFC2045)
#define CONSUMER_USES_BASE64
#define CONSUMER_USES_BASE64_RFC2045
#endif

#ifdef CONSUMER_USES_BASE64
#include <base64/base64.hpp>
#endif
#ifdef CONSUMER_USES_BASE64_RFC2045
#include <base64_rfc2045/base64_rfc2045.hpp>
#endif

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <variant>

namespace {

constexpr std::string_view message = "Hello from a consumer";
constexpr std::string_view encoded = "SGVsbG8gZnJvbSBhIGNvbnN1bWVy";

#ifdef CONSUMER_USES_BASE64
int use_base64() {
  if (Base64::encode_string(message) != encoded) return 1;
  if (Base64::decode_exn(encoded) != message) return 2;
  std::printf("base64: %s -> %s\n", std::string(message).c_str(), std::string(encoded).c_str());
  return 0;
}
#endif

#ifdef CONSUMER_USES_BASE64_RFC2045
int use_base64_rfc2045() {
  namespace mime = Base64_rfc2045;
  std::string body;
  mime::Encoder encoder = mime::encoder(mime::Destination::Buffer{body});
  for (const char c : message) mime::encode(encoder, mime::Byte{static_cast<std::uint8_t>(c)});
  mime::encode(encoder, mime::End{});
  if (body != encoded) return 3;

  mime::Decoder decoder = mime::decoder(mime::Source::String{body});
  std::string decoded;
  for (;;) {
    const mime::Decode_result result = mime::decode(decoder);
    if (const auto* flush = std::get_if<mime::Flush>(&result))
      decoded += flush->bytes;
    else if (std::holds_alternative<mime::End>(result))
      break;
    else
      return 4;
  }
  if (decoded != message) return 5;

  // The bulk calls, which reach the kernels of base64.
  std::string bulk_body;
  mime::Encoder bulk_encoder = mime::encoder(mime::Destination::Buffer{bulk_body});
  std::size_t taken = 0;
  if (mime::encode_bytes(bulk_encoder, message, taken) != mime::Encode_result::Ok || taken != message.size()) return 6;
  mime::encode(bulk_encoder, mime::End{});
  if (bulk_body != encoded) return 7;
  mime::Decoder bulk_decoder = mime::decoder(mime::Source::String{bulk_body});
  char out[64];
  const mime::Decoded bulk = mime::decode_into(bulk_decoder, out);
  if (bulk.stop != mime::Decode_stop::End || std::string_view(out, bulk.written) != message) return 8;
  std::printf("base64_rfc2045: %s -> %s\n", std::string(message).c_str(), body.c_str());
  return 0;
}
#endif

}  // namespace

int main() {
#ifdef CONSUMER_USES_BASE64
  if (const int failed = use_base64()) return failed;
#endif
#ifdef CONSUMER_USES_BASE64_RFC2045
  if (const int failed = use_base64_rfc2045()) return failed;
#endif
  return 0;
}
