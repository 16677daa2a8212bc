// SPDX-License-Identifier: MIT
// Encodes standard input as a MIME base64 body (RFC 2045) on standard output:
// lines of 76 characters separated by CR LF, ended here by a last CR LF. When
// standard input is a terminal or empty, a built-in sample is encoded instead.
//
// The encoder is a Manual one with a deliberately small 10-byte output space,
// so the whole protocol shows: encode_bytes() takes each chunk read as far as
// the space allows and answers Partial when the space is full; the program
// writes it out, hands the space in again with dst() and goes on with the
// bytes not taken yet. End finishes, answered the same way.
//
//   printf 'Man' | mime_encode      prints "TWFu" and CR LF
#include <base64_rfc2045/base64_rfc2045.hpp>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <unistd.h>

namespace {

constexpr std::string_view sample =
    "Man is distinguished, not only by his reason, but by this singular passion from other animals, "
    "which is a lust of the mind.";

class Mime_writer {
 public:
  Mime_writer() { Base64_rfc2045::dst(encoder_, space_, 0, static_cast<std::int64_t>(space_.size())); }
  Mime_writer(const Mime_writer&) = delete;  // the encoder refers to space_
  Mime_writer& operator=(const Mime_writer&) = delete;

  void put(std::string_view bytes) {
    for (;;) {
      std::size_t taken = 0;
      const auto result = Base64_rfc2045::encode_bytes(encoder_, bytes, taken);
      bytes.remove_prefix(taken);
      if (result == Base64_rfc2045::Encode_result::Ok) return;
      drain();  // Partial: the space is full
    }
  }

  void end() {
    auto result = Base64_rfc2045::encode(encoder_, Base64_rfc2045::End{});
    while (result == Base64_rfc2045::Encode_result::Partial) {
      drain();
      result = Base64_rfc2045::encode(encoder_, Base64_rfc2045::Await{});
    }
  }

  // Writes out what the space holds and hands it in again, empty.
  void drain() {
    const auto written = static_cast<std::int64_t>(space_.size()) - Base64_rfc2045::o_rem(encoder_);
    written_ += written;
    if (std::fwrite(space_.data(), 1, static_cast<std::size_t>(written), stdout) != static_cast<std::size_t>(written)) {
      std::perror("mime_encode: write");
      std::exit(EXIT_FAILURE);
    }
    Base64_rfc2045::dst(encoder_, space_, 0, static_cast<std::int64_t>(space_.size()));
  }

  std::int64_t written() const { return written_; }

 private:
  Base64_rfc2045::Encoder encoder_ = Base64_rfc2045::encoder(Base64_rfc2045::Destination::Manual{});
  std::array<char, 10> space_{};
  std::int64_t written_ = 0;
};

}  // namespace

int main() {
  Mime_writer out;
  bool any_input = false;
  if (isatty(STDIN_FILENO) == 0) {
    std::array<char, 4096> chunk;
    for (std::size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), stdin)) > 0;) {
      any_input = true;
      out.put(std::string_view(chunk.data(), n));
    }
    if (std::ferror(stdin)) {
      std::perror("mime_encode: read");
      return EXIT_FAILURE;
    }
  }
  if (!any_input) out.put(sample);

  out.end();
  out.drain();  // the last bytes: after the Ok that answers End
  if (out.written() > 0) std::fputs("\r\n", stdout);
  return std::fflush(stdout) == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
