// SPDX-License-Identifier: MIT
// Decodes a MIME base64 body (RFC 2045) from standard input, chunk by chunk,
// with a Manual decoder in bulk (decode_into): the program reads, the decoder
// asks for more with Await. Decoded bytes go to standard output; stray bytes, the end status and
// whether some line was too long go to standard error. When standard input is
// a terminal or empty, a built-in sample is decoded in 7-byte pieces instead.
//
//   printf 'Zm9v\r\nYmE*' | mime_decode
//   prints "fooba" and reports the stray '*' and the missing '=' (exit status 1)
#include <base64_rfc2045/base64_rfc2045.hpp>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <unistd.h>

namespace {

// "Many hands make light work." in lines of 16 characters, with a stray '*'.
constexpr std::string_view sample = "TWFueSBoYW5kcyBt\r\nYWtlIGxp*Z2h0IHdv\r\ncmsu\r\n";

// The chunks to decode: what each read of standard input gives, or pieces of
// the sample. An empty chunk is the end of the input.
class Chunks {
 public:
  Chunks() : from_stdin_(isatty(STDIN_FILENO) == 0) {}

  std::string_view next() {
    if (from_stdin_) {
      const std::string_view chunk = read_stdin();
      if (!chunk.empty() || read_some_) {
        read_some_ = true;
        return chunk;
      }
      from_stdin_ = false;
    }
    if (rest_.size() == sample.size()) std::fputs("(no input: decoding a built-in sample)\n", stderr);
    const std::string_view piece = rest_.substr(0, 7);
    rest_.remove_prefix(piece.size());
    return piece;
  }

 private:
  std::string_view read_stdin() {
    for (;;) {
      const ssize_t n = read(STDIN_FILENO, buffer_, sizeof buffer_);
      if (n >= 0) return {buffer_, static_cast<std::size_t>(n)};
      if (errno != EINTR) {
        std::perror("mime_decode: reading standard input");
        std::exit(2);
      }
    }
  }

  bool from_stdin_;
  bool read_some_ = false;
  std::string_view rest_ = sample;
  char buffer_[4096];
};

}  // namespace

int main() {
  using namespace Base64_rfc2045;
  Chunks chunks;
  // decode_into writes the decoded bytes into `out` and stops at whatever
  // needs the caller: a full span, the end of the chunk (Await), a stray
  // byte, the padding check, the end. The chunk handed to the decoder must
  // stay unchanged until the next Await, and it does: Chunks reads again
  // only when asked.
  Decoder d = decoder(Source::Manual{});
  std::array<char, 4096> out;
  std::int64_t decoded = 0;
  bool padding_ok = true;
  for (bool end = false; !end;) {
    const Decoded result = decode_into(d, out);
    std::fwrite(out.data(), 1, result.written, stdout);
    decoded += static_cast<std::int64_t>(result.written);
    switch (result.stop) {
      case Decode_stop::Output_full: break;
      case Decode_stop::Await: {
        const std::string_view chunk = chunks.next();
        src(d, chunk, 0, static_cast<std::int64_t>(chunk.size()));
        break;
      }
      case Decode_stop::Malformed:
        std::fprintf(stderr, "stray byte 0x%02x at input offset %lld\n", static_cast<unsigned char>(result.byte),
                     static_cast<long long>(decoder_byte_count(d) - 1));
        break;
      case Decode_stop::Wrong_padding: padding_ok = false; break;
      case Decode_stop::End: end = true; break;
    }
  }
  std::fflush(stdout);
  std::fprintf(stderr, "\nend: %s; %lld input bytes, %lld decoded; %s\n",
               padding_ok ? "padding right" : "wrong padding", static_cast<long long>(decoder_byte_count(d)),
               static_cast<long long>(decoded),
               decoder_dangerous(d) ? "dangerous: a line is longer than 76 characters" : "line lengths fine");
  return padding_ok ? 0 : 1;
}
