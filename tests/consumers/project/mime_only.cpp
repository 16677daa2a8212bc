// Uses only base64_rfc2045, in bulk: its dependency on base64 must come with
// it (CMake target, pkg-config file). Exits non-zero on a wrong round trip.
#include <base64_rfc2045/base64_rfc2045.hpp>

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

namespace mime = Base64_rfc2045;

int main() {
  std::string data;
  for (int i = 0; i < 1000; ++i) data += static_cast<char>(i * 7);
  std::string body;
  mime::Encoder e = mime::encoder(mime::Destination::Buffer{body});
  std::size_t taken = 0;
  if (mime::encode_bytes(e, data, taken) != mime::Encode_result::Ok || taken != data.size()) return 1;
  mime::encode(e, mime::End{});

  mime::Decoder d = mime::decoder(mime::Source::String{body});
  std::array<char, 2000> out;
  const mime::Decoded r = mime::decode_into(d, out);
  if (r.stop != mime::Decode_stop::End || std::string_view(out.data(), r.written) != data) return 2;
  std::printf("%zu bytes -> %zu characters and back\n", data.size(), body.size());
  return 0;
}
