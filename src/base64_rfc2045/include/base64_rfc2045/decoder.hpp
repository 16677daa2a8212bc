// The resumable MIME Base64 decoder.
//
// A decoder reads a body in the base64 Content-Transfer-Encoding of RFC 2045
// (section 6.8) from a source and is driven by repeated `decode` calls. Each
// call does as much work as the available input allows and returns one
// `Decode_result`: three decoded bytes, one stray byte that was stepped over,
// a request for more input (`Manual` sources only) or the end. Spaces, tabs
// and CR LF line breaks are skipped; the '=' padding is checked at the end.
#pragma once

#include <base64_rfc2045/common.hpp>

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace Base64_rfc2045 {

// What a decoder reads from: exactly one of three kinds.
class Source {
 public:
  // The caller hands in chunks with `src` whenever `decode` returns Await.
  struct Manual {};
  // The whole input, owned by the source (move it in to avoid a copy) and
  // read in place.
  struct String {
    std::string bytes;
  };
  // Bytes are read from the stream, up to stream_buffer_size at a time, until
  // a clean end of file. The caller keeps the stream alive while decoding.
  struct Channel {
    std::reference_wrapper<std::istream> stream;
  };

  using Kind = std::variant<Manual, String, Channel>;

  Source(Manual m) noexcept : kind_(m) {}
  Source(String s) noexcept : kind_(std::move(s)) {}
  Source(Channel c) noexcept : kind_(c) {}

  // The kind of the source with its payload.
  [[nodiscard]] const Kind& kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// Decoded bytes: 3 for each complete group of four Base64 characters, and one
// last Flush of 0, 1 or 2 bytes at the end of input. Owned by the caller.
struct Flush {
  std::string bytes;
  friend bool operator==(const Flush&, const Flush&) = default;
};

// One input byte that is not allowed where it stands (a CR not followed by LF
// is reported as "\r"). It has been consumed; decoding goes on after it.
struct Malformed {
  std::string bytes;
  friend bool operator==(const Malformed&, const Malformed&) = default;
};

// At the end of input, the number of '=' does not fit the last group. Every
// later `decode` returns End.
struct Wrong_padding {
  friend bool operator==(Wrong_padding, Wrong_padding) = default;
};

// What `decode` returns. Await: a Manual decoder has used up its chunk and
// wants `src`. End: the input is over (returned again on every later call).
using Decode_result = std::variant<Await, Flush, Malformed, Wrong_padding, End>;

namespace detail {
struct Decoder_machine;
}

// A decoder over one source, made by `decoder`, mutated by `decode` and `src`.
// Movable; a moved-from decoder returns End from every `decode`.
class Decoder {
 public:
  BASE64_RFC2045_API Decoder(Decoder&& other) noexcept;
  BASE64_RFC2045_API Decoder& operator=(Decoder&& other) noexcept;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder() = default;

 private:
  friend struct detail::Decoder_machine;
  explicit Decoder(Source source);

  enum class Step : std::uint8_t;   // where the next `decode` resumes
  enum class Chunk : std::uint8_t;  // which memory the current chunk lies in

  Source source_;
  std::unique_ptr<char[]> channel_buffer_;  // stream_buffer_size bytes, Channel only
  const char* caller_chunk_ = nullptr;      // first byte of the last `src` chunk
  std::int64_t input_pos_ = 0;              // next unread byte of the chunk
  std::int64_t input_len_ = 0;              // length of the chunk
  std::int64_t padding_count_ = 0;          // '=' consumed so far
  std::int64_t byte_count_ = 0;             // input bytes consumed so far
  std::int64_t line_length_ = 0;            // bytes consumed since the last CR LF
  std::uint32_t bits_ = 0;                  // 6-bit values of the group so far
  std::uint8_t size_ = 0;                   // characters in the group, 0-3
  bool input_ended_ = false;
  bool dangerous_ = false;
  Chunk chunk_;
  Step next_step_;
};

// A new decoder over the source. A Channel decoder allocates its read buffer
// of stream_buffer_size bytes here, once.
[[nodiscard]] BASE64_RFC2045_API Decoder decoder(Source source);

// Hands the decoder its next chunk: bytes off .. off+len-1 of chunk; len 0
// signals the end of input. Unread bytes of the previous chunk are dropped.
// The chunk is read in place: keep it alive and unchanged until `decode` has
// returned Await (or End). Throws std::invalid_argument "Invalid bounds (off:
// %d, len: %d)" unless 0 <= off, 0 <= len, off+len <= chunk.size(); the
// decoder is then unchanged.
BASE64_RFC2045_API void src(Decoder& d, std::string_view chunk, std::int64_t off, std::int64_t len);

// Runs the decoder until it has a result for the caller. No byte of input
// makes it throw; a Channel decoder lets the stream's exceptions through and
// throws std::ios_base::failure when a read fails other than at end of file.
[[nodiscard]] BASE64_RFC2045_API Decode_result decode(Decoder& d);

// Number of input bytes consumed so far, of every kind (not decoded bytes).
[[nodiscard]] BASE64_RFC2045_API std::int64_t decoder_byte_count(const Decoder& d) noexcept;

// The source the decoder was made with; it lives as long as the decoder.
[[nodiscard]] BASE64_RFC2045_API const Source& decoder_src(const Decoder& d) noexcept;

// True once some line was found longer than the 76 characters of RFC 2045
// section 6.8: 77 or more bytes before a CR LF, or over 78 without one. Sticky.
[[nodiscard]] BASE64_RFC2045_API bool decoder_dangerous(const Decoder& d) noexcept;

}  // namespace Base64_rfc2045
