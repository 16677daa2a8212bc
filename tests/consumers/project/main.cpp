// Uses both libraries the way a downstream program would; exits non-zero
// when a round trip does not give the input back.
#include <base64/base64.hpp>
#include <base64_rfc2045/base64_rfc2045.hpp>

#include <cstdio>
#include <string>
#include <string_view>
#include <variant>

namespace mime = Base64_rfc2045;

int main() {
  constexpr std::string_view message = "Hello from a consumer";
  const std::string text = Base64::encode_string(message);
  if (Base64::decode_exn(text) != message) return 1;

  std::string body;
  mime::Encoder encoder = mime::encoder(mime::Destination::Buffer{body});
  for (const char c : message) mime::encode(encoder, mime::Byte{static_cast<std::uint8_t>(c)});
  mime::encode(encoder, mime::End{});
  if (body != text) return 2;

  mime::Decoder decoder = mime::decoder(mime::Source::String{body});
  std::string decoded;
  for (;;) {
    const mime::Decode_result result = mime::decode(decoder);
    if (const auto* flush = std::get_if<mime::Flush>(&result))
      decoded += flush->bytes;
    else if (std::holds_alternative<mime::End>(result))
      break;
    else
      return 3;
  }
  if (decoded != message) return 4;
  std::printf("%s -> %s\n", std::string(message).c_str(), text.c_str());
  return 0;
}
