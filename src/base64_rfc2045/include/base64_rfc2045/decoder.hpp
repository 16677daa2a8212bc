// SPDX-License-Identifier: MIT
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

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
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
  // Each read takes what the stream has buffered, or waits for one byte and
  // takes what came with it; it never waits for more. For std::cin, call
  // std::ios::sync_with_stdio(false) before any input: while synchronised
  // with C stdio (the default) its stream buffer hands out what the C FILE
  // holds, a few KiB per read with libstdc++ and glibc and one byte per read
  // elsewhere, at half the speed or far less.
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

class Decoder;

// Why `decode_into` stopped. Each but Output_full is the result that `decode`
// would have returned next, once the Flush results before it are taken.
enum class Decode_stop : std::uint8_t {
  Output_full,    // the span is full; call again with more room
  Await,          // Manual only: hand in the next chunk with `src`
  Malformed,      // a stray byte, in Decoded::byte; decoding goes on after it
  Wrong_padding,  // the '=' count does not fit the last group; End follows
  End,            // the input is over
};

// What one `decode_into` call did: `written` decoded bytes at the start of
// the span, then the reason it stopped.
struct Decoded {
  std::size_t written = 0;
  Decode_stop stop = Decode_stop::Output_full;
  char byte = 0;  // the stray byte when stop is Malformed (as Malformed::bytes[0])
  friend bool operator==(const Decoded&, const Decoded&) = default;
};

namespace detail {
struct Decoder_machine;
struct Decoder_bulk;

// Byte classes of RFC 2045 section 6.8. Values 0-63 are the Base64
// characters of table 1, standing for themselves; the others mark the bytes
// that the decoder treats apart. Every byte not listed (LF, NUL, 128-255, ...)
// is rejected.
inline constexpr std::uint8_t padding_class = 64;
inline constexpr std::uint8_t whitespace_class = 65;
inline constexpr std::uint8_t carriage_return_class = 66;
inline constexpr std::uint8_t rejected_class = 255;

consteval std::array<std::uint8_t, 256> make_byte_class() {
  std::array<std::uint8_t, 256> table{};
  table.fill(rejected_class);
  for (std::size_t i = 0; i < base64_alphabet.size(); ++i)
    table[static_cast<unsigned char>(base64_alphabet[i])] = static_cast<std::uint8_t>(i);
  table['='] = padding_class;
  table[' '] = whitespace_class;
  table['\t'] = whitespace_class;
  table['\r'] = carriage_return_class;
  return table;
}

inline constexpr std::array<std::uint8_t, 256> byte_class = make_byte_class();

// RFC 2045 section 6.8: lines of at most 76 characters. The CR LF that ends a
// line is counted with it, so a line is too long once it passes 78 bytes.
inline constexpr std::int64_t max_line_bytes = 76 + 2;

// Makes `result` the Flush of a complete group: the four 6-bit values in the
// low 24 bits give three bytes, aaaaaabb bbbbcccc ccdddddd. The string is
// built where it stays, in its small-string storage: nothing is allocated,
// copied or moved. The three bytes go in with a fourth, dropped at once, so
// that one 4-byte store writes them: a caller that copies them out reads them
// back at once, where three separate stores would stall its loads.
inline void put_group(Decode_result& result, std::uint32_t bits) {
  const std::uint32_t in_memory_order = std::endian::native == std::endian::little
                                            ? (bits >> 16 & 0xff) | (bits & 0xff00) | (bits & 0xff) << 16
                                            : bits << 8;
  char four[4];
  std::memcpy(four, &in_memory_order, sizeof four);
  std::string& bytes = result.emplace<Flush>().bytes;
  bytes.append(four, sizeof four);
  bytes.pop_back();
}

// The decoder's state machine, for every case that the inline `decode` does
// not take itself. Sets `result`, which holds Await on entry, unless the
// result is Await.
BASE64_RFC2045_API void run_decoder(Decoder& d, Decode_result& result);
}  // namespace detail

// A decoder over one source, made by `decoder`, mutated by `decode` and `src`.
// Movable; a moved-from decoder returns End from every `decode`.
//
// `decode` is inline for its common case (take_group), so what that reads and
// writes is part of this header's contract with the compiled library: the
// fields next_step_, input_, input_pos_, input_len_, size_, padding_count_,
// byte_count_, line_length_ and dangerous_, the values of Step, and
// detail::byte_class. Changing any of them changes the library's ABI.
class Decoder {
 public:
  BASE64_RFC2045_API Decoder(Decoder&& other) noexcept;
  BASE64_RFC2045_API Decoder& operator=(Decoder&& other) noexcept;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder() = default;

 private:
  friend struct detail::Decoder_machine;
  friend struct detail::Decoder_bulk;
  friend Decode_result decode(Decoder& d);
  explicit Decoder(Source source);

  // The steps of the decoder and what each waits for:
  //
  //            Base64 character, '=', space, tab: stay
  //            +------+
  //            |      v      CR
  //   new --> decode_base64 ------> lf_after_cr
  //              |      ^--------------'   LF: a line break; any other byte
  //              |                         or the end: Malformed "\r"
  //              | end of input: the last Flush
  //              v
  //            finish --- padding does not fit: Wrong_padding ---> over
  //              |  padding fits: End, stays
  //
  // A Manual decoder that runs out of input returns Await and resumes in the
  // same step after `src`; a String decoder then records the end of input,
  // and a Channel decoder reads its stream, without leaving the step.
  enum class Step : std::uint8_t {
    // Waits for a byte. Base64 characters join the group (a run takes as
    // many as the chunk holds, up to the end of the group) and a complete
    // group is returned as Flush; '=' is counted, space and tab skipped; any
    // other byte but CR is returned as Malformed. All of these stay here. CR
    // goes to lf_after_cr. At the end of input, returns the last Flush of 0
    // to 2 bytes and goes to finish.
    decode_base64,
    // A CR has been consumed but not yet counted. Waits for the byte after
    // it: LF makes a line break; any other byte (left unread) or the end of
    // input makes the CR Malformed. Goes back to decode_base64.
    lf_after_cr,
    // The last Flush has been returned; reads no more input. Returns End and
    // stays when the count of '=' fits the last group, else returns
    // Wrong_padding and goes to over.
    finish,
    // Decoding is over after Wrong_padding, or the decoder was moved from:
    // returns End forever.
    over,
    // `decode_into` ran out of room in the middle of a Flush: the rest of its
    // bytes wait in held_. Returns them (to `decode` as a Flush, to
    // `decode_into` first in its span) and goes back to held_step_.
    held_flush,
  };
  enum class Chunk : std::uint8_t;  // which memory the current chunk lies in

  // Adds n consumed bytes to the counters and notes a line that is too long.
  void count(std::int64_t n) noexcept {
    byte_count_ += n;
    line_length_ += n;
    if (line_length_ > detail::max_line_bytes) dangerous_ = true;
  }

  // The common case of decode_base64: no group begun, no '=' seen, and four
  // Base64 characters ahead in the chunk. Consumes and counts them and gives
  // their 24 bits, as the state machine would; otherwise returns false and
  // changes nothing. After the end of input the chunk is empty, so the
  // length test alone keeps this from reading past it.
  bool take_group(std::uint32_t& bits) noexcept {
    if (next_step_ != Step::decode_base64 || size_ != 0 || padding_count_ != 0 || input_len_ - input_pos_ < 4)
      return false;
    const unsigned char* const p = input_ + input_pos_;
    const std::uint32_t a = detail::byte_class[p[0]], b = detail::byte_class[p[1]],
                        c = detail::byte_class[p[2]], e = detail::byte_class[p[3]];
    if ((a | b | c | e) >= 64) return false;  // some byte is not a Base64 character
    input_pos_ += 4;
    count(4);
    bits = a << 18 | b << 12 | c << 6 | e;
    return true;
  }

  Source source_;
  std::unique_ptr<char[]> channel_buffer_;  // stream_buffer_size bytes, Channel only
  const unsigned char* input_ = nullptr;    // first byte of the current chunk
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
  // What only `decode_into` uses.
  std::uint8_t held_len_ = 0;                // bytes waiting in held_
  std::array<char, 3> held_{};               //   the rest of a Flush that did not fit
  Step held_step_ = Step::decode_base64;     //   and the step to go on with
  std::int64_t read_limit_ = stream_buffer_size;  // Channel: bytes per read; the rest
                                                  //   of the read buffer is scratch
  std::int64_t batch_limit_ = 0;             // characters per kernel call; smaller
                                             //   after a batch with a stray byte
  std::unique_ptr<char[]> scratch_;          // String, Manual: made by the first decode_into
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

namespace detail {
template <class T>
inline constexpr bool is_std_string = false;
template <class Allocator>
inline constexpr bool is_std_string<std::basic_string<char, std::char_traits<char>, Allocator>> = true;
}  // namespace detail

// A temporary string as the chunk does not compile: it would be destroyed at
// the end of the call, before `decode` reads it. Keep the string in a
// variable that outlives the decoding of the chunk, or move it into a
// Source::String.
template <class Chunk>
  requires(!std::is_lvalue_reference_v<Chunk> && detail::is_std_string<std::remove_cv_t<Chunk>>)
void src(Decoder& d, Chunk&& chunk, std::int64_t off, std::int64_t len) = delete;

// Runs the decoder until it has a result for the caller. No byte of input
// makes it throw; a Channel decoder lets the stream's exceptions through and
// throws std::ios_base::failure when a read fails other than at end of file.
// A whole group of four Base64 characters is decoded right here, inline
// (forced, so that the caller's size cannot keep it out); everything else is
// left to the library's state machine.
[[nodiscard, gnu::always_inline]] inline Decode_result decode(Decoder& d) {
  Decode_result result;
  std::uint32_t bits;
  if (d.take_group(bits))
    detail::put_group(result, bits);
  else
    detail::run_decoder(d, result);
  return result;
}

// Decodes into `out` as much as the input and the room allow, with exactly
// the results of `decode`: the bytes of its Flush results go into `out`, in
// order, and the first other result stops the call (Await, Malformed with its
// byte, Wrong_padding, End), as does a full span. A Flush that does not fit
// whole is split: its first bytes fill the span, the rest comes first on the
// next call (or as a Flush from `decode`). `decoder_byte_count` and
// `decoder_dangerous` then read as after the same results from `decode`, and
// the two calls may be mixed freely on one decoder. Whole lines are decoded
// in batches by the kernels of `base64`; everything else goes through the
// state machine. Bytes of `out` after the `written` ones may have been
// overwritten. The first call on a String or Manual decoder makes a
// scratch buffer of 16 KiB that the decoder keeps; a Channel decoder uses
// the end of its read buffer. Throws what `decode` throws.
BASE64_RFC2045_API Decoded decode_into(Decoder& d, std::span<char> out);

// Number of input bytes consumed so far, of every kind (not decoded bytes).
[[nodiscard]] BASE64_RFC2045_API std::int64_t decoder_byte_count(const Decoder& d) noexcept;

// The source the decoder was made with; it lives as long as the decoder.
[[nodiscard]] BASE64_RFC2045_API const Source& decoder_src(const Decoder& d) noexcept;

// True once some line was found longer than the 76 characters of RFC 2045
// section 6.8: 77 or more bytes before a CR LF, or over 78 without one. Sticky.
[[nodiscard]] BASE64_RFC2045_API bool decoder_dangerous(const Decoder& d) noexcept;

}  // namespace Base64_rfc2045
