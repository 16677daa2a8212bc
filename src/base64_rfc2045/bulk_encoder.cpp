// SPDX-License-Identifier: MIT
// encode_bytes: many input bytes per call, with the text that one encode()
// per byte gives.
//
// Where the encoder has no byte carried and is not waiting, the whole groups
// ahead are laid out from the current column: as many as the space holds,
// with CR LF before each group that starts a new line, exactly where encode()
// writes it (in front of the first byte of a group that meets a full line).
// Their characters are encoded by one kernel call into the end of that stretch
// of space and then moved down, line by line, to make room for the CR LF.
// The bytes left over (0 to 2, or the ones that meet too little space) go
// through encode() one by one, which alone stages output and answers Partial.
#include <base64_rfc2045/encoder.hpp>

#include "whole_groups.hpp"

#include <algorithm>
#include <cstring>

namespace Base64_rfc2045 {

struct detail::Encoder_bulk {
  using Cont = Encoder::Cont;
  using Step = Encoder::Step;
  static constexpr int line_length = Encoder::line_length;

  // A full line moved down over itself: all of it is loaded before any of it
  // is stored, in five 16-byte pieces (76 = 4 * 16 + 12: the last overlaps
  // the fourth), inline; a memmove of a constant size is still a call into
  // the C library with g++ 12. Pieces, not one 76-byte array: g++ copies an
  // array through the stack, and its overlapping stores there stall the load
  // that reads them back.
  static void move_line(char* to, const char* from) noexcept {
    static_assert(line_length == 4 * 16 + 12);
    struct Piece {
      char bytes[16];
    };
    Piece a, b, c, d, e;
    std::memcpy(&a, from, 16);
    std::memcpy(&b, from + 16, 16);
    std::memcpy(&c, from + 32, 16);
    std::memcpy(&d, from + 48, 16);
    std::memcpy(&e, from + 60, 16);
    std::memcpy(to, &a, 16);
    std::memcpy(to + 16, &b, 16);
    std::memcpy(to + 32, &c, 16);
    std::memcpy(to + 48, &d, 16);
    std::memcpy(to + 60, &e, 16);
  }

  // Writes the whole groups of in[0, n) that the space holds, with their line
  // breaks, from the current column on; returns the number of bytes taken (a
  // multiple of 3). Needs the Main step and no byte carried.
  static std::size_t put_groups(Encoder& e, const char* in, std::size_t n) {
    Encoder::State& s = e.state_;
    const std::int64_t room = e.room();
    const std::size_t groups = n / 3;
    constexpr std::size_t line_groups = line_length / 4;
    // The rest of the current line, then full lines of CR LF and 19 groups,
    // then a last line that is not full, each as far as groups and room go.
    std::size_t g = std::min({groups, static_cast<std::size_t>(line_length - s.column) / 4,
                              static_cast<std::size_t>(room / 4)});
    std::int64_t text = 4 * static_cast<std::int64_t>(g);
    if (s.column + static_cast<int>(text) == line_length) {
      constexpr std::int64_t full_line = 2 + line_length;
      const std::size_t lines =
          std::min((groups - g) / line_groups, static_cast<std::size_t>((room - text) / full_line));
      g += lines * line_groups;
      text += static_cast<std::int64_t>(lines) * full_line;
      if (room - text >= 2 + 4 && groups > g) {
        const std::size_t last = std::min(groups - g, static_cast<std::size_t>((room - text - 2) / 4));
        g += last;
        text += 2 + 4 * static_cast<std::int64_t>(last);
      }
    }
    if (g == 0) return 0;

    char* const base = s.out + s.out_pos;
    const char* from = base + (text - 4 * static_cast<std::int64_t>(g));
    encode_whole_groups(in, 3 * g, base + (text - 4 * static_cast<std::int64_t>(g)));
    // Front to back, every character moves down by the CR LF pairs before it:
    // it lands at or below its place, and the pairs still to come lie above
    // the destination, so nothing is overwritten before it has moved. First
    // the rest of the current line, then full lines (most of them), then a
    // last short line.
    char* to = base;
    std::size_t left = g;
    const auto move_groups = [&](std::size_t k) {
      std::memmove(to, from, 4 * k);
      to += 4 * k;
      from += 4 * k;
      left -= k;
      s.column += 4 * static_cast<int>(k);
    };
    const auto line_break = [&] {
      to[0] = '\r';
      to[1] = '\n';
      to += 2;
      s.column = 0;
    };
    if (s.column != line_length) move_groups(std::min(left, static_cast<std::size_t>(line_length - s.column) / 4));
    for (; left >= line_groups; left -= line_groups) {
      line_break();
      move_line(to, from);
      to += line_length;
      from += line_length;
      s.column = line_length;
    }
    if (left > 0) {
      line_break();
      move_groups(left);
    }
    s.out_pos += text;
    return 3 * g;
  }

  static Encode_result encode_bytes(Encoder& e, std::span<const char> bytes, std::size_t& taken) {
    taken = 0;
    Encoder::State& s = e.state_;
    if (s.step == Step::Await_output && encode(e, Await{}) == Encode_result::Partial) return Encode_result::Partial;
    const bool manual = e.destination_.kind() == Destination::Kind::Manual;
    const std::size_t n = bytes.size();
    while (taken < n) {
      if (s.step == Step::Main && s.carry_len == 0 && n - taken >= 3) {
        const std::size_t k = put_groups(e, bytes.data() + taken, n - taken);
        if (k > 0) {
          taken += k;
          if (!manual) {
            // One delivery for the whole stretch; a write that throws keeps
            // what it did not write, for encode(Await) to write again.
            e.deliver({.kind = Cont::Kind::K, .n = 0});
            continue;
          }
          if (e.room() == 0) {
            // As encode() leaves it after a group that filled the space: the
            // group joins the column when the Partial is answered.
            s.column -= 4;
            s.step = Step::Await_output;
            s.held = {.kind = Cont::Kind::K, .n = 4};
            return Encode_result::Partial;
          }
          continue;
        }
      }
      const auto byte = static_cast<std::uint8_t>(bytes[taken++]);
      for (Encode_result r = encode(e, Byte{byte}); r == Encode_result::Partial; r = encode(e, Await{}))
        if (e.room() == 0) return Encode_result::Partial;
    }
    return Encode_result::Ok;
  }
};

Encode_result encode_bytes(Encoder& e, std::span<const char> bytes, std::size_t& taken) {
  return detail::Encoder_bulk::encode_bytes(e, bytes, taken);
}

}  // namespace Base64_rfc2045
