// SPDX-License-Identifier: MIT
// The resumable MIME Base64 encoder: bytes handed in one at a time become a
// body in the base64 Content-Transfer-Encoding of RFC 2045 (section 6.8):
// lines of 76 characters separated by CR LF, the last group padded with '='.
#pragma once

#include <base64_rfc2045/common.hpp>

#include <array>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <variant>

namespace Base64_rfc2045 {

// Where an encoder writes its text. The caller keeps the stream or string
// alive for as long as the encoder may write to it.
class Destination {
 public:
  // The caller hands in output space with dst() and takes the text out of it
  // whenever encode() answers Partial.
  struct Manual {};
  // The text is written to the stream: one write per group of 4 characters,
  // with the CR LF that precedes it, if any.
  struct Channel {
    std::ostream& stream;
  };
  // The text is appended to the string, one append per group (as for Channel).
  struct Buffer {
    std::string& bytes;
  };
  enum class Kind : std::uint8_t { Manual, Channel, Buffer };

  // Implicit, so that encoder(Destination::Channel{std::cout}) reads as it says.
  Destination(Manual) noexcept {}
  Destination(Channel channel) noexcept : kind_(Kind::Channel), stream_(&channel.stream) {}
  Destination(Buffer buffer) noexcept : kind_(Kind::Buffer), bytes_(&buffer.bytes) {}

  // Which of the three kinds this is.
  Kind kind() const noexcept { return kind_; }
  // The stream of a Channel destination; nullptr for the other kinds.
  std::ostream* stream() const noexcept { return stream_; }
  // The string of a Buffer destination; nullptr for the other kinds.
  std::string* bytes() const noexcept { return bytes_; }

 private:
  Kind kind_ = Kind::Manual;
  std::ostream* stream_ = nullptr;
  std::string* bytes_ = nullptr;
};

// One input byte for encode().
struct Byte {
  std::uint8_t value;
  friend bool operator==(Byte, Byte) = default;
};

// What encode() takes: the next byte; End, the input is complete (write the
// padded last group); Await, resume after a Partial (otherwise a no-op).
using Encode_input = std::variant<Byte, End, Await>;

// Ok: the input value was taken, go on with the next one. Partial (Manual
// destinations only): output waits in the space; take it out, optionally hand
// in new space with dst(), then call encode() with Await. Without a new dst()
// the encoder goes on writing into the same space, behind what it wrote.
enum class Encode_result : std::uint8_t { Ok, Partial };

class Encoder;

namespace detail {
// The encoder's state machine, for every case that the inline `encode` does
// not take itself.
BASE64_RFC2045_API Encode_result run_encoder(Encoder& e, Encode_input input);
struct Encoder_bulk;
}  // namespace detail

// A new encoder writing to `destination`; it writes nothing yet. Channel and
// Buffer encoders allocate their 65536-byte output buffer here, once.
BASE64_RFC2045_API Encoder encoder(Destination destination);

// Takes one input value. Throws std::invalid_argument "Expected `Await encode"
// for Byte or End while the encoder waits after a Partial (nothing changes).
// On a Channel, throws std::ios_base::failure when a write leaves the stream
// failed: the input was taken and the unwritten bytes are kept; repair the
// stream and call encode() with Await to write them and go on. Exceptions
// from appending to a Buffer's string are handled the same way.
// The common cases (a byte carried, a group that goes straight out) are taken
// right here, inline (forced, so that the caller's size cannot keep them out);
// everything else is left to the library's state machine.
inline Encode_result encode(Encoder& e, Encode_input input);

// Encodes the bytes in order, exactly as encode(e, Byte{b}) for each of them
// would, answering each Partial with Await while the space has room: the same
// text at the same places, the same o_rem. Sets `taken` to the number of
// bytes taken (updated before every write, so that it is right also when a
// write throws). Channel and Buffer take every byte and answer Ok. Manual
// answers Ok once every byte is taken, or Partial when the space is full: take
// the text out, hand in space with dst(), and call again with the bytes not
// taken (or encode(e, Await{})); a waiting encoder is first resumed as
// encode(e, Await{}) would. Runs of whole groups are encoded by the kernels of
// `base64`, many lines per call with their CR LF in one pass, straight into
// the space (Manual), the string (Buffer) or the own buffer (Channel). End stays the way to finish; bulk and per-byte calls may be mixed
// freely.
BASE64_RFC2045_API Encode_result encode_bytes(Encoder& e, std::span<const char> bytes, std::size_t& taken);

// The destination given to encoder().
BASE64_RFC2045_API const Destination& encoder_dst(const Encoder& e);

// Hands a Manual encoder space[off .. off+len-1] as its output space. The
// encoder refers to it without copying and may write into it from any later
// encode() call until the space is replaced by the next dst() or the encoder
// holding it is destroyed (a move hands the space on to the new encoder):
// keep it alive that long, and write nothing into it. Taking the text out at
// a Partial does not end that use; to free or reuse the space before then,
// hand in another one first (a space of length 0 will do). Throws
// std::invalid_argument "Invalid bounds (off: %d, len: %d)" for a bad range,
// or when `e` writes to a Channel or Buffer (those use their own buffer); the
// encoder is then unchanged.
BASE64_RFC2045_API void dst(Encoder& e, std::span<char> space, std::int64_t off, std::int64_t len);

// Room left in the output space: 0 for a new Manual encoder; for a Channel or
// Buffer encoder 65536, less a CR LF that waits to go out with the next group.
// Inline: a Manual caller asks for it at every Partial.
inline std::int64_t o_rem(const Encoder& e) noexcept;

// The state of one encoding, mutated in place by encode() and dst(). Movable;
// a moved-from encoder is left as a new Manual encoder without space.
//
// encode() and o_rem() are inline for their common cases (a byte carried,
// take_group, take_await), so what they read and write is part of this
// header's contract with the compiled library: the layout of State, Step,
// Cont and Destination, and the meaning of their fields. Changing any of them
// changes the library's ABI.
class Encoder {
 public:
  Encoder(Encoder&& other) noexcept
      : destination_(std::exchange(other.destination_, Destination::Manual{})),
        own_(std::move(other.own_)),
        state_(std::exchange(other.state_, State{})) {}
  Encoder& operator=(Encoder&& other) noexcept {
    if (this != &other) {
      destination_ = std::exchange(other.destination_, Destination::Manual{});
      own_ = std::move(other.own_);
      state_ = std::exchange(other.state_, State{});
    }
    return *this;
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;
  ~Encoder() = default;

 private:
  // Steps, held in state_.step between calls.
  //
  //   Main          waits for any input. Byte: carried, or completes a group
  //                 (4 characters, after CR LF when the line is full) that is
  //                 delivered at once. End: the padded last group, if bytes
  //                 are carried. Await: nothing. Stays in Main, or goes to
  //                 Await_output when a delivery has to wait for the caller.
  //   Await_output  waits for Await: a Manual caller has taken the output out
  //                 after a Partial, or a Channel/Buffer caller has repaired
  //                 what made a delivery throw. Runs state_.held and goes back
  //                 to Main, or stays here on a further Partial. Byte and End
  //                 are refused.
  //
  //            Byte/End, output to deliver
  //   Main ---------------------------------> Await_output
  //        <---------------------------------  (Await runs held)
  //            held finished
  enum class Step : std::uint8_t { Main, Await_output };

  // A continuation: the work left once the output written so far has been
  // delivered.
  //   K        k(n): add n characters to the column; the call answers Ok.
  //   Retry    retry(Byte b): run the Main step on `byte` again.
  //   staged   t_flush(...) around either: first copy the staged bytes into
  //            the space, delivering whenever it is full.
  struct Cont {
    enum class Kind : std::uint8_t { K, Retry };
    Kind kind = Kind::K;
    bool staged = false;
    std::uint8_t n = 0;     // K
    std::uint8_t byte = 0;  // Retry
  };

  // Everything but the destination and the owned buffer. The defaults are a
  // new Manual encoder with no space.
  struct State {
    char* out = nullptr;        // start of the output space
    std::int64_t out_pos = 0;   // bytes written into it since dst() or the last delivery
    std::int64_t out_len = 0;   // its length
    int column = 0;             // characters on the current line, 0..76, a multiple of 4
    int carry_len = 0;          // bytes of the current group held in carry, 0..2
    std::uint32_t carry = 0;    // those bytes, the latest in the low 8 bits (an
                                //   integer, not bytes: stores of it alias nothing)
    int stage_next = 1;         // next staged byte to copy out; staged bytes
    int stage_last = 0;         //   left: stage_last - stage_next + 1
    std::array<char, 4> stage{};  // a group or a CR LF that met too little room
    Step step = Step::Main;
    Cont held{};                // what Await runs in Await_output
  };

  explicit Encoder(Destination destination);

  // RFC 2045, section 6.8: encoded lines are no more than 76 characters long.
  // Each line here holds exactly 76, 19 groups made from 57 input bytes.
  static constexpr int line_length = 76;

  // The group of the two carried bytes x, y and the byte z:
  // xxxxxxxx yyyyyyyy zzzzzzzz -> 00xxxxxx 00xxyyyy 00yyyyzz 00zzzzzz
  static std::array<char, 4> group(std::uint32_t carry, std::uint8_t z) noexcept {
    const std::uint32_t q = (carry & 0xffffu) << 8 | z;
    return {base64_alphabet[q >> 18], base64_alphabet[(q >> 12) & 63u], base64_alphabet[(q >> 6) & 63u],
            base64_alphabet[q & 63u]};
  }

  void carry_byte(std::uint8_t z) noexcept {
    state_.carry = state_.carry << 8 | z;
    ++state_.carry_len;
  }

  std::int64_t room() const noexcept { return state_.out_len - state_.out_pos; }

  // Main, with room in the space and a line that is not full: a byte here is
  // carried, or completes a group (run() makes the same tests, in this order).
  bool byte_fits_line() const noexcept {
    return state_.step == Step::Main && room() >= 1 && state_.column != line_length;
  }

  // A byte that completes a group (byte_fits_line, two bytes carried), in the
  // cases where the group goes straight out, with the outcome that run()
  // gives them: the group is written into a Manual space with room for it
  // (Partial), or appended to a Buffer string whose capacity already holds it,
  // so that the append can neither reallocate nor throw. Returns false and
  // changes nothing in every other case: too little room, a Channel, a string
  // without spare capacity, or a line break waiting in the own buffer.
  [[gnu::always_inline]] bool take_group(std::uint8_t z, Encode_result& result) noexcept {
    State& s = state_;
    const std::array<char, 4> chars = group(s.carry, z);
    const Cont added{.kind = Cont::Kind::K, .n = 4};
    switch (destination_.kind()) {
      case Destination::Kind::Manual:
        // Partial hands the group over; the Await that answers it adds the
        // group to the column (take_await).
        if (room() < 4) return false;
        std::memcpy(s.out + s.out_pos, chars.data(), chars.size());
        s.out_pos += 4;
        s.step = Step::Await_output;
        s.held = added;
        result = Encode_result::Partial;
        break;
      case Destination::Kind::Buffer: {
        std::string& text = *destination_.bytes();
        if (s.out_pos != 0 || text.capacity() - text.size() < chars.size()) return false;
        text.append(chars.data(), chars.size());
        s.held = added;  // as the delivery leaves it
        s.column += 4;
        result = Encode_result::Ok;
        break;
      }
      case Destination::Kind::Channel:
        return false;
    }
    s.carry_len = 0;
    return true;
  }

  // Await, when nothing waits (Ok), or when a Manual caller answers the
  // Partial of a group written straight into its space: the group joins the
  // column and the encoder is back in Main, as resume() would leave it.
  // Returns false and changes nothing in every other case.
  [[gnu::always_inline]] bool take_await(Encode_result& result) noexcept {
    State& s = state_;
    if (s.step == Step::Await_output) {
      if (destination_.kind() != Destination::Kind::Manual || s.held.kind != Cont::Kind::K || s.held.staged)
        return false;
      s.column += s.held.n;
      s.step = Step::Main;
    }
    result = Encode_result::Ok;
    return true;
  }

  Encode_result run(Cont c);
  Encode_result end();
  Encode_result resume();
  bool put(const char* bytes, int n) noexcept;
  void blit(int n) noexcept;
  bool deliver(Cont c);
  void write_to_stream();

  // Exported functions are befriended with their export attribute, which a
  // Windows compiler wants on every declaration. GCC ignores attributes on
  // friends and warns that the dllimport is dropped; a call then goes through
  // the import library's stub to the same function in the DLL.
#if defined(_WIN32) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
#endif
  friend struct detail::Encoder_bulk;
  friend BASE64_RFC2045_API Encoder encoder(Destination destination);
  friend Encode_result encode(Encoder& e, Encode_input input);
  friend BASE64_RFC2045_API Encode_result detail::run_encoder(Encoder& e, Encode_input input);
  friend BASE64_RFC2045_API const Destination& encoder_dst(const Encoder& e);
  friend BASE64_RFC2045_API void dst(Encoder& e, std::span<char> space, std::int64_t off, std::int64_t len);
  friend std::int64_t o_rem(const Encoder& e) noexcept;
#if defined(_WIN32) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

  Destination destination_;
  std::unique_ptr<char[]> own_;  // 65536 bytes for Channel and Buffer; moves with the encoder
  State state_;
};

inline std::int64_t o_rem(const Encoder& e) noexcept { return e.room(); }

[[gnu::always_inline]] inline Encode_result encode(Encoder& e, Encode_input input) {
  Encode_result result = Encode_result::Ok;
  if (const Byte* byte = std::get_if<Byte>(&input)) {
    const std::uint8_t z = byte->value;
    if (e.byte_fits_line()) {
      if (e.state_.carry_len < 2) {  // carried: nothing is written yet
        e.carry_byte(z);
        return Encode_result::Ok;
      }
      if (e.take_group(z, result)) return result;
    }
    return detail::run_encoder(e, Byte{z});
  }
  if (std::holds_alternative<Await>(input) && e.take_await(result)) return result;
  return detail::run_encoder(e, input);
}

}  // namespace Base64_rfc2045
