// SPDX-License-Identifier: MIT
// A Channel decoder over std::cin, as README shows it, for bench/mime_stdin.sh
// to feed from a file and through a pipe.
//
//   mime_stdin body <MiB>          writes a MIME body (76-character lines,
//                                  CR LF) of that many MiB of random bytes
//   mime_stdin decode [--unsync]   decodes standard input; --unsync first
//                                  calls std::ios::sync_with_stdio(false)
//
// decode prints "<input bytes> <seconds> <MB/s>" on standard output, MB/s in
// bytes of input, timed from the first decode to End.
#include <base64_rfc2045/base64_rfc2045.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <string_view>

namespace {

namespace mime = Base64_rfc2045;

int write_body(long mib) {
  std::string body;
  mime::Encoder e = mime::encoder(mime::Destination::Buffer{body});
  std::mt19937_64 rng(1);
  for (long i = 0; i < mib << 20; ++i) mime::encode(e, mime::Byte{static_cast<std::uint8_t>(rng())});
  mime::encode(e, mime::End{});
  return std::fwrite(body.data(), 1, body.size(), stdout) == body.size() ? 0 : 1;
}

int decode_stdin(bool unsync) {
  if (unsync) std::ios::sync_with_stdio(false);
  const auto start = std::chrono::steady_clock::now();
  mime::Decoder d = mime::decoder(mime::Source::Channel{std::cin});
  std::uint64_t sum = 0;  // of the decoded bytes, so that they are used
  for (;;) {
    const mime::Decode_result r = mime::decode(d);
    if (const auto* f = std::get_if<mime::Flush>(&r)) {
      for (const char c : f->bytes) sum += static_cast<unsigned char>(c);
    } else if (std::holds_alternative<mime::End>(r)) {
      break;
    } else {
      std::fprintf(stderr, "not a clean body\n");
      return 1;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto bytes = mime::decoder_byte_count(d);
  std::printf("%lld %.4f %.0f\n", static_cast<long long>(bytes), seconds, static_cast<double>(bytes) / seconds / 1e6);
  std::fprintf(stderr, "sum %llu\n", static_cast<unsigned long long>(sum));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view what = argc > 1 ? argv[1] : "";
  if (what == "body" && argc == 3) return write_body(std::atol(argv[2]));
  if (what == "decode" && argc <= 3) return decode_stdin(argc == 3 && std::string_view(argv[2]) == "--unsync");
  std::fprintf(stderr, "usage: mime_stdin body <MiB> | mime_stdin decode [--unsync]\n");
  return 2;
}
