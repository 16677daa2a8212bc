// SPDX-License-Identifier: MIT
// The MIME Base64 decoder: a resumable state machine over a byte source.
//
// `decode` runs the step stored in the decoder inside one `for (;;) switch`
// loop. A step either hands a result to the caller, storing the step to resume
// with, or stores the next step and goes round the loop. Consumed '=', spaces,
// tabs and CR LF pairs give the caller nothing, so they never end a call and
// never nest one: a body of a million of them is consumed by a single call at
// constant stack depth, without allocating.
//
// The most frequent case, a whole group of four Base64 characters, is decoded
// by `decode` itself, inline in the header (Decoder::take_group); the loop here
// runs every other case, and takes whole groups the same way when it meets
// them, for instance right after a line break.
//
// Input is read in place: the String source's own bytes, the caller's chunk
// handed in with `src`, or the decoder's read buffer for a Channel. Beside the
// pointer to the chunk the decoder remembers which of them it lies in: a move
// points it again at the String's bytes, which move with the decoder (a short
// String lives inside the decoder itself).
#include <base64_rfc2045/decoder.hpp>

#include "bounds.hpp"
#include "decoder_steps.hpp"

#include <algorithm>
#include <cstring>
#include <ios>
#include <istream>
#include <sstream>
#include <typeinfo>

#if defined(__GLIBCXX__) && defined(__GLIBC__)
#include <cstdio>
#include <ext/stdio_sync_filebuf.h>
#endif

namespace Base64_rfc2045 {

enum class Decoder::Chunk : std::uint8_t {
  none,     // no input yet, or the end of input was recorded
  string,   // the bytes of the String source
  channel,  // the decoder's own read buffer
  caller,   // the caller's chunk from the last `src`
  stream,   // a Channel's bytes where its stream buffer holds them, during
            // decode_into only (see read_in_place)
};

namespace {

using detail::byte_class;
constexpr std::uint8_t padding = detail::padding_class;
constexpr std::uint8_t whitespace = detail::whitespace_class;
constexpr std::uint8_t carriage_return = detail::carriage_return_class;

// Does the count of '=' fit a last group of `size` characters? Two characters
// take "==", three take "=", a complete group takes none; a single character
// can never make a byte (RFC 4648 section 4).
constexpr bool padding_fits(unsigned size, std::int64_t count) {
  return (size == 0 && count == 0) || (size == 2 && count == 2) || (size == 3 && count == 1);
}

Malformed malformed(unsigned char byte) { return Malformed{std::string(1, static_cast<char>(byte))}; }

char low_byte(std::uint32_t bits) { return static_cast<char>(bits & 0xff); }

// How many bytes a stream buffer without a get area can hand out at once,
// right after a peek, without waiting: at least the byte that peek got.
//
// std::cin, and the other standard streams while they are synchronised with
// C stdio (the default), read through such a buffer: with libstdc++ a
// stdio_sync_filebuf that takes every byte from the C FILE. The FILE itself
// has a buffer, which the read that brought the peeked byte filled with all
// that was there (up to a few KiB): those bytes are read as one block. glibc
// keeps the unread part of a FILE's buffer in [_IO_read_ptr, _IO_read_end).
std::streamsize ready_without_get_area([[maybe_unused]] std::istream& in,
                                       [[maybe_unused]] std::streamsize capacity) {
#if defined(__GLIBCXX__) && defined(__GLIBC__)
  if (auto* sync = dynamic_cast<__gnu_cxx::stdio_sync_filebuf<char>*>(in.rdbuf())) {
    const std::FILE* file = sync->file();
    return std::clamp<std::streamsize>(file->_IO_read_end - file->_IO_read_ptr, 1, capacity);
  }
#endif
  return 1;
}

// Reads what the stream has, waiting only while it has nothing: at least one
// byte and at most `capacity`. Returns 0 only at a clean end of file. The
// stream's own exceptions go through unchanged; a stream that fails without
// throwing (badbit, or a failed state that is not the end of file) makes this
// throw std::ios_base::failure instead of passing for the end of the input.
std::int64_t read_available(std::istream& in, char* buffer, std::streamsize capacity) {
  using traits = std::istream::traits_type;
  std::streamsize n = 0;
  if (in.good()) {
    n = in.readsome(buffer, capacity);  // what is buffered already
    if (n == 0 && in.good() && !traits::eq_int_type(in.peek(), traits::eof())) {
      // peek waited for a byte, which now sits in the stream buffer.
      n = in.readsome(buffer, capacity);
      if (n == 0) {  // a stream buffer without a get area shows nothing
        in.read(buffer, ready_without_get_area(in, capacity));
        n = in.gcount();
      }
    }
  }
  if (n > 0) return n;
  if (in.eof() && !in.bad()) return 0;
  throw std::ios_base::failure("Base64_rfc2045: reading the input stream failed");
}

// The get area of any stream buffer: the protected members of
// std::streambuf, reached through pointers to members formed here, in a
// class derived from it.
struct Get_area : std::streambuf {
  static constexpr auto next = &Get_area::gptr;
  static constexpr auto end = &Get_area::egptr;
  static constexpr auto bump = &Get_area::gbump;
};

#if defined(__GLIBCXX__)
// The count that gcount() reports, with libstdc++.
struct Extracted : std::istream {
  static constexpr auto count = &Extracted::_M_gcount;
};
#endif

// read_available without the copy, where it can be done so exactly: a
// std::stringbuf (that type, none derived from it) with bytes in its get
// area, on a good stream without a tied stream. readsome would take
// min(available, capacity) bytes out of the get area, and nothing else: no
// virtual call of the buffer, no change of state. The same bytes are taken
// here by moving the get pointer, and gcount() is set as readsome sets it;
// the bytes are returned where they lie, in `bytes`. They stay there until
// the stream is used again: the caller copies what it has not read by then.
// Returns the count, 0 when the stream is not of that kind (nothing done).
std::int64_t read_in_place([[maybe_unused]] std::istream& in, [[maybe_unused]] std::streamsize capacity,
                           [[maybe_unused]] const char*& bytes) {
#if defined(__GLIBCXX__)
  std::streambuf* const buffer = in.rdbuf();
  if (buffer == nullptr || !in.good() || in.tie() != nullptr || typeid(*buffer) != typeid(std::stringbuf)) return 0;
  char* const next = (buffer->*Get_area::next)();
  const std::streamsize n = std::min<std::streamsize>((buffer->*Get_area::end)() - next, capacity);
  if (n <= 0) return 0;
  (buffer->*Get_area::bump)(static_cast<int>(n));  // capacity is at most stream_buffer_size
  in.*Extracted::count = n;
  bytes = next;
  return n;
#else
  return 0;
#endif
}

}  // namespace

struct detail::Decoder_machine {
  using Step = Decoder::Step;
  using Chunk = Decoder::Chunk;

  static Decoder make(Source source) { return Decoder(std::move(source)); }
  static std::int64_t byte_count(const Decoder& d) noexcept { return d.byte_count_; }
  static const Source& source(const Decoder& d) noexcept { return d.source_; }
  static bool dangerous(const Decoder& d) noexcept { return d.dangerous_; }

  // Bytes left in the chunk: > 0 while some are unread, 0 when it is used up
  // and more may come, < 0 once the end of input was recorded.
  static std::int64_t bytes_left(const Decoder& d) noexcept {
    return d.input_ended_ ? -1 : d.input_len_ - d.input_pos_;
  }

  static const unsigned char* bytes_of(const char* bytes) noexcept {
    return reinterpret_cast<const unsigned char*>(bytes);
  }

  static const unsigned char* string_bytes(const Decoder& d) noexcept {
    return bytes_of(std::get_if<Source::String>(&d.source_.kind())->bytes.data());
  }

  static void set_chunk(Decoder& d, Chunk chunk, const unsigned char* bytes, std::int64_t len) noexcept {
    d.chunk_ = chunk;
    d.input_ = bytes;
    d.input_pos_ = 0;
    d.input_len_ = len;
    d.input_ended_ = false;
  }

  static void end_of_input(Decoder& d) noexcept {
    set_chunk(d, Chunk::none, nullptr, 0);
    d.input_ended_ = true;
  }

  // Adds n consumed bytes to the counters without the line check; only where
  // a check follows before the decoder returns anything but Await.
  static void count_unchecked(Decoder& d, std::int64_t n) noexcept {
    d.byte_count_ += n;
    d.line_length_ += n;
  }

  static void count(Decoder& d, std::int64_t n) noexcept { d.count(n); }

  static void src(Decoder& d, std::string_view chunk, std::int64_t off, std::int64_t len) {
    check_bounds(chunk.size(), off, len);
    if (len == 0)
      end_of_input(d);
    else
      set_chunk(d, Chunk::caller, bytes_of(chunk.data()) + off, len);
  }

  // Gets more input once the chunk is used up. Returns false for a Manual
  // source, whose caller must answer Await with `src`. A String has nothing
  // beyond its bytes; a Channel reads into the decoder's own buffer, never
  // into a chunk that the caller handed in, or, `in_place`, reads the bytes
  // where its stream buffer holds them when it can (read_in_place).
  static bool refill(Decoder& d, bool in_place) {
    const Source::Kind& kind = d.source_.kind();
    if (std::holds_alternative<Source::Manual>(kind)) return false;
    if (const auto* channel = std::get_if<Source::Channel>(&kind)) {
      const char* bytes = nullptr;
      if (in_place) {
        const std::int64_t n = read_in_place(channel->stream.get(), d.read_limit_, bytes);
        if (n > 0) {
          set_chunk(d, Chunk::stream, bytes_of(bytes), n);
          return true;
        }
      }
      const std::int64_t n = read_available(channel->stream.get(), d.channel_buffer_.get(), d.read_limit_);
      if (n > 0) {
        set_chunk(d, Chunk::channel, bytes_of(d.channel_buffer_.get()), n);
        return true;
      }
    }
    end_of_input(d);
    return true;
  }

  // The last group at the end of input. Two characters (12 bits) make one
  // byte, three (18 bits) make two; the bits below them are dropped. The
  // group's size stays for `finish` to check the padding.
  static Flush last_flush(const Decoder& d) {
    switch (d.size_) {
      case 2: return Flush{std::string(1, low_byte(d.bits_ >> 4))};
      case 3: return Flush{std::string{low_byte(d.bits_ >> 10), low_byte(d.bits_ >> 2)}};
      default: return Flush{};
    }
  }

  // The run: gathers Base64 characters into the group, from the unread byte
  // (one of them, with no '=' seen yet) up to the end of the group, of the
  // chunk or of the characters. The position and the counters are updated
  // once, at its exit. Returns true with `result` set when the caller gets a
  // result, false when decoding goes on (the group continues in the next
  // chunk, or the run ended at '=', a space, a tab or a CR).
  static bool run(Decoder& d, Decode_result& result) {
    const unsigned char* const start = d.input_ + d.input_pos_;
    const unsigned char* const end = d.input_ + d.input_len_;
    const unsigned char* p = start;
    std::uint32_t bits = d.bits_;
    unsigned size = d.size_;
    std::uint8_t value = byte_class[*p];
    for (;;) {
      bits = bits << 6 | value;
      ++p;
      if (++size == 4) {
        d.bits_ = 0;
        d.size_ = 0;
        d.input_pos_ += p - start;
        count(d, p - start);
        detail::put_group(result, bits);
        return true;
      }
      if (p == end) {
        d.bits_ = bits;
        d.size_ = static_cast<std::uint8_t>(size);
        d.input_pos_ += p - start;
        count_unchecked(d, p - start);
        return false;
      }
      value = byte_class[*p];
      if (value >= 64) break;
    }
    // *p ends the run: it is consumed with the characters before it.
    d.bits_ = bits;
    d.size_ = static_cast<std::uint8_t>(size);
    const std::int64_t n = p - start;
    d.input_pos_ += n + 1;
    switch (value) {
      case padding: ++d.padding_count_; count(d, n + 1); return false;
      case whitespace: count(d, n + 1); return false;
      case carriage_return:  // counted with the byte after it
        count_unchecked(d, n);
        d.next_step_ = Step::lf_after_cr;
        return false;
      default: count(d, n + 1); result = malformed(*p); return true;
    }
  }

  // A CR LF inside the chunk, the common case of decode_base64 after a
  // group: consumed and counted at once, with the outcome of the CR going to
  // lf_after_cr and finding the LF there.
  static bool take_line_break(Decoder& d) noexcept {
    if (d.input_len_ - d.input_pos_ < 2 || d.input_[d.input_pos_] != '\r' || d.input_[d.input_pos_ + 1] != '\n')
      return false;
    d.input_pos_ += 2;
    count(d, 2);
    d.line_length_ = 0;
    return true;
  }

  // Ends a chunk read in place: its unread bytes go to the decoder's own
  // read buffer, which they fit (they are at most read_limit_).
  static void keep_chunk(Decoder& d) noexcept {
    if (d.chunk_ != Chunk::stream) return;
    const std::int64_t left = d.input_len_ - d.input_pos_;
    if (left > 0) std::memcpy(d.channel_buffer_.get(), d.input_ + d.input_pos_, static_cast<std::size_t>(left));
    set_chunk(d, Chunk::channel, bytes_of(d.channel_buffer_.get()), left);
  }

  // Runs the steps until one has a result for the caller, in `result`
  // (which holds Await on entry and is left so for Await).
  static void decode(Decoder& d, Decode_result& result, bool in_place = false) {
    for (;;) {
      switch (d.next_step_) {
        case Step::decode_base64: {
          std::uint32_t bits;
          if (d.take_group(bits)) {
            detail::put_group(result, bits);
            return;
          }
          if (take_line_break(d)) continue;
          const std::int64_t left = bytes_left(d);
          if (left < 0) {
            d.next_step_ = Step::finish;
            count(d, 0);
            result = last_flush(d);
            return;
          }
          if (left == 0) {
            if (!refill(d, in_place)) return;  // Await
            continue;
          }
          const unsigned char byte = d.input_[d.input_pos_];
          const std::uint8_t value = byte_class[byte];
          if (value < 64 && d.padding_count_ == 0) {
            if (run(d, result)) return;
            continue;
          }
          ++d.input_pos_;
          switch (value) {
            case padding: ++d.padding_count_; count(d, 1); continue;
            case whitespace: count(d, 1); continue;
            case carriage_return: d.next_step_ = Step::lf_after_cr; continue;
            default:  // rejected, or a Base64 character after '='
              count(d, 1);
              result = malformed(byte);
              return;
          }
        }
        case Step::lf_after_cr: {
          const std::int64_t left = bytes_left(d);
          if (left == 0) {
            if (!refill(d, in_place)) return;  // Await
            continue;
          }
          d.next_step_ = Step::decode_base64;
          if (left > 0 && d.input_[d.input_pos_] == '\n') {
            ++d.input_pos_;
            count(d, 2);
            d.line_length_ = 0;
            continue;
          }
          count(d, 1);
          result = malformed('\r');
          return;
        }
        case Step::finish:
          if (padding_fits(d.size_, d.padding_count_)) {
            result = End{};
            return;
          }
          d.next_step_ = Step::over;
          result = Wrong_padding{};
          return;
        case Step::over: result = End{}; return;
        case Step::held_flush:
          result = Flush{std::string(d.held_.data(), d.held_len_)};
          d.held_len_ = 0;
          d.next_step_ = d.held_step_;
          return;
      }
    }
  }

  static void move(Decoder& to, Decoder& from) noexcept {
    to.source_ = std::move(from.source_);
    to.channel_buffer_ = std::move(from.channel_buffer_);
    to.input_ = from.chunk_ == Chunk::string ? string_bytes(to) : from.input_;
    to.input_pos_ = from.input_pos_;
    to.input_len_ = from.input_len_;
    to.padding_count_ = from.padding_count_;
    to.byte_count_ = from.byte_count_;
    to.line_length_ = from.line_length_;
    to.bits_ = from.bits_;
    to.size_ = from.size_;
    to.input_ended_ = from.input_ended_;
    to.dangerous_ = from.dangerous_;
    to.chunk_ = from.chunk_;
    to.next_step_ = from.next_step_;
    to.held_len_ = from.held_len_;
    to.held_ = from.held_;
    to.held_step_ = from.held_step_;
    to.read_limit_ = from.read_limit_;
    to.batch_limit_ = from.batch_limit_;
    to.scratch_ = std::move(from.scratch_);
    // The String bytes and the read buffer went with the move: the old
    // decoder keeps no input and is over.
    end_of_input(from);
    from.next_step_ = Step::over;
  }
};

Decoder::Decoder(Source source) : source_(std::move(source)), chunk_(Chunk::none), next_step_(Step::decode_base64) {
  if (std::holds_alternative<Source::Channel>(source_.kind()))
    channel_buffer_ = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(stream_buffer_size));
  else if (const auto* string = std::get_if<Source::String>(&source_.kind()))
    detail::Decoder_machine::set_chunk(*this, Chunk::string, detail::Decoder_machine::bytes_of(string->bytes.data()),
                                       static_cast<std::int64_t>(string->bytes.size()));
}

Decoder::Decoder(Decoder&& other) noexcept : source_(Source::Manual{}) { detail::Decoder_machine::move(*this, other); }

Decoder& Decoder::operator=(Decoder&& other) noexcept {
  if (this != &other) detail::Decoder_machine::move(*this, other);
  return *this;
}

Decoder decoder(Source source) { return detail::Decoder_machine::make(std::move(source)); }

void src(Decoder& d, std::string_view chunk, std::int64_t off, std::int64_t len) {
  detail::Decoder_machine::src(d, chunk, off, len);
}

void detail::run_decoder(Decoder& d, Decode_result& result) { detail::Decoder_machine::decode(d, result); }

void detail::run_decoder_in_place(Decoder& d, Decode_result& result) {
  detail::Decoder_machine::decode(d, result, true);
}

void detail::keep_chunk(Decoder& d) noexcept { detail::Decoder_machine::keep_chunk(d); }

std::int64_t decoder_byte_count(const Decoder& d) noexcept { return detail::Decoder_machine::byte_count(d); }

const Source& decoder_src(const Decoder& d) noexcept { return detail::Decoder_machine::source(d); }

bool decoder_dangerous(const Decoder& d) noexcept { return detail::Decoder_machine::dangerous(d); }

}  // namespace Base64_rfc2045
