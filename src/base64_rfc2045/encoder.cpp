// SPDX-License-Identifier: MIT
// The MIME encoder: one input value per call, driven by a loop over
// continuations.
//
// How output moves. Characters are written straight into the output space:
// the caller's space for a Manual encoder, the encoder's own 65536-byte buffer
// for a Channel or Buffer. A group of 4 characters, or a CR LF, that meets too
// little room is staged whole in `stage` and copied out piece by piece, each
// piece to the place it would have been written directly. Every finished group
// is delivered at once: written or appended (Channel, Buffer), or handed back
// with Partial (Manual), in which case the work left is stored as a
// continuation and the next encode(Await) runs it.
//
// run() is that work loop. It holds the current continuation `c`; every step
// either returns a result to the caller or replaces `c` and goes round again,
// so the call depth never grows with the amount of output.
//
// encode() in the header takes the most frequent cases itself, inline (a byte
// carried, a group that goes straight out: take_group, take_await), and hands
// every other input to run_encoder() here, which alone decides the rest.
#include <base64_rfc2045/encoder.hpp>

#include "bounds.hpp"

#include <cstring>
#include <ios>
#include <ostream>
#include <stdexcept>

namespace Base64_rfc2045 {

namespace {

constexpr char line_break[2] = {'\r', '\n'};
constexpr char padding = '=';

char encoded(unsigned value) noexcept { return base64_alphabet[value & 63u]; }

// The padded last group, RFC 2045 section 6.8 (the same as RFC 4648 section 4).
std::array<char, 4> last_group(std::uint32_t carry, int carry_len) noexcept {
  if (carry_len == 1) {
    const unsigned x = carry & 0xffu;
    return {encoded(x >> 2), encoded((x & 3u) << 4), padding, padding};
  }
  const unsigned x = (carry >> 8) & 0xffu;
  const unsigned y = carry & 0xffu;
  return {encoded(x >> 2), encoded(((x & 3u) << 4) | (y >> 4)), encoded((y & 15u) << 2), padding};
}

}  // namespace

Encoder::Encoder(Destination destination) : destination_(destination) {
  if (destination_.kind() == Destination::Kind::Manual) return;
  own_ = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(stream_buffer_size));
  state_.out = own_.get();
  state_.out_len = stream_buffer_size;
}

Encoder encoder(Destination destination) { return Encoder(destination); }

const Destination& encoder_dst(const Encoder& e) { return e.destination_; }

void dst(Encoder& e, std::span<char> space, std::int64_t off, std::int64_t len) {
  // A Channel or Buffer encoder delivers out of its own buffer. Another space
  // would only add ways to lose output (bytes kept after a failed write) or to
  // stall (a space of length 0 could never make room).
  if (e.destination_.kind() != Destination::Kind::Manual)
    throw std::invalid_argument("dst: output space is handed in only to a Manual encoder");
  detail::check_bounds(space.size(), off, len);
  e.state_.out = space.data() + off;
  e.state_.out_pos = 0;
  e.state_.out_len = len;
}

Encode_result detail::run_encoder(Encoder& e, Encode_input input) {
  if (e.state_.step == Encoder::Step::Await_output) {
    if (!std::holds_alternative<Await>(input)) throw std::invalid_argument("Expected `Await encode");
    return e.resume();
  }
  if (const Byte* byte = std::get_if<Byte>(&input))
    return e.run({.kind = Encoder::Cont::Kind::Retry, .byte = byte->value});
  if (std::holds_alternative<End>(input)) return e.end();
  return Encode_result::Ok;  // Await with nothing to resume
}

// Writes n bytes into the space when they fit (true); otherwise stages them
// all (false), for a t_flush continuation to copy out.
bool Encoder::put(const char* bytes, int n) noexcept {
  State& s = state_;
  if (room() >= n) {
    std::memcpy(s.out + s.out_pos, bytes, static_cast<std::size_t>(n));
    s.out_pos += n;
    return true;
  }
  std::memcpy(s.stage.data(), bytes, static_cast<std::size_t>(n));
  s.stage_next = 0;
  s.stage_last = n - 1;
  return false;
}

// Copies the next n staged bytes into the space. A space of length 0 may have
// no storage at all (an empty vector's data() is null), and memcpy must not
// be given a null pointer even for 0 bytes: nothing to copy, no call.
void Encoder::blit(int n) noexcept {
  if (n == 0) return;
  State& s = state_;
  std::memcpy(s.out + s.out_pos, s.stage.data() + s.stage_next, static_cast<std::size_t>(n));
  s.out_pos += n;
  s.stage_next += n;
}

// Hands over the bytes written into the space; `c` is the work left after it.
// Manual: stores `c` for encode(Await) and returns false (answer Partial).
// Channel, Buffer: writes or appends them and returns true (run `c` now). The
// encoder waits in Await_output during the write, so if the write throws, `c`
// and the unwritten bytes are kept and encode(Await) tries again.
bool Encoder::deliver(Cont c) {
  State& s = state_;
  s.step = Step::Await_output;
  s.held = c;
  switch (destination_.kind()) {
    case Destination::Kind::Manual:
      return false;
    case Destination::Kind::Channel:
      write_to_stream();
      break;
    case Destination::Kind::Buffer:
      destination_.bytes()->append(s.out, static_cast<std::size_t>(s.out_pos));
      break;
  }
  s.out_pos = 0;
  s.step = Step::Main;
  return true;
}

// Writes the bytes of the space like std::ostream::write, but counts what the
// stream buffer took: those bytes are dropped from the space before any
// failure is reported, so that a retry sends each byte exactly once. A stream
// left failed (badbit or failbit) is reported as std::ios_base::failure.
void Encoder::write_to_stream() {
  State& s = state_;
  std::ostream& os = *destination_.stream();
  const auto n = static_cast<std::streamsize>(s.out_pos);
  std::streamsize written = 0;
  {
    const std::ostream::sentry ok(os);
    if (ok) {
      try {
        written = os.rdbuf()->sputn(s.out, n);
      } catch (...) {
        // What the stream buffer took before it threw is unknown: keep all.
        try {
          os.setstate(std::ios_base::badbit);
        } catch (const std::ios_base::failure&) {
        }
        if (os.exceptions() & std::ios_base::badbit) throw;
      }
    }
  }
  if (written > 0) {
    if (written < n) std::memmove(s.out, s.out + written, static_cast<std::size_t>(n - written));
    s.out_pos = n - written;
  }
  if (written != n) os.setstate(std::ios_base::badbit);  // throws if the stream asks for it
  if (os.fail()) throw std::ios_base::failure("Base64_rfc2045: writing the encoded text to the stream failed");
}

// encode(Await) in Await_output: run the stored continuation, after writing
// again what a throwing delivery left behind (Channel, Buffer).
Encode_result Encoder::resume() {
  const Cont c = state_.held;
  if (destination_.kind() == Destination::Kind::Manual)
    state_.step = Step::Main;
  else
    deliver(c);
  return run(c);
}

// End: the padded last group, when bytes are carried. With nothing carried,
// including a full last line, nothing is written: the text never ends with
// CR LF, and bytes encoded afterwards start with the line break as usual.
Encode_result Encoder::end() {
  State& s = state_;
  if (s.carry_len == 0) return Encode_result::Ok;
  const auto chars = last_group(s.carry, s.carry_len);
  s.carry_len = 0;
  const Cont c{.kind = Cont::Kind::K, .staged = !put(chars.data(), 4), .n = 4};
  return deliver(c) ? run(c) : Encode_result::Partial;
}

Encode_result Encoder::run(Cont c) {
  State& s = state_;
  for (;;) {
    if (c.staged) {  // t_flush
      const auto left = s.stage_last - s.stage_next + 1;
      if (room() < left) {
        blit(static_cast<int>(room()));
        if (!deliver(c)) return Encode_result::Partial;
        continue;
      }
      blit(left);
      c.staged = false;
    }
    if (c.kind == Cont::Kind::K) {
      s.column += c.n;
      return Encode_result::Ok;
    }

    // The Main step on a byte. The room test comes first: a Manual encoder
    // without room answers Partial before it even carries the byte.
    const std::uint8_t z = c.byte;
    if (room() < 1) {
      if (!deliver(c)) return Encode_result::Partial;
      continue;
    }
    if (s.column == line_length) {
      // A line break goes out together with the group that follows it; it
      // is delivered on its own only from the stage of a Manual encoder.
      c.staged = !put(line_break, 2);
      s.column = 0;
      continue;
    }
    if (s.carry_len < 2) {
      carry_byte(z);
      return Encode_result::Ok;
    }
    const auto chars = group(s.carry, z);
    s.carry_len = 0;
    c = {.kind = Cont::Kind::K, .staged = !put(chars.data(), 4), .n = 4};
    if (!deliver(c)) return Encode_result::Partial;
  }
}

}  // namespace Base64_rfc2045
