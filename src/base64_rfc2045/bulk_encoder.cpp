// SPDX-License-Identifier: MIT
// encode_bytes: many input bytes per call, with the text that one encode()
// per byte gives.
//
// Where the encoder has no byte carried and is not waiting, the whole groups
// ahead are laid out from the current column: as many as the space holds,
// with CR LF before each group that starts a new line, exactly where encode()
// writes it (in front of the first byte of a group that meets a full line).
// They are written in one pass: full lines with their CR LF by the line
// kernels of `base64`, the pieces of line before and after them group by
// group. A Buffer gets them straight onto the end of its string; Channel and
// Manual in the space, as encode() writes them. The bytes left over (0 to
// 2, or the ones that meet too little space) go through encode() one by one,
// which alone stages output and answers Partial.
#include <base64_rfc2045/encoder.hpp>

#include "whole_groups.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <string>

namespace Base64_rfc2045 {

struct detail::Encoder_bulk {
  using Cont = Encoder::Cont;
  using Step = Encoder::Step;
  static constexpr int line_length = Encoder::line_length;
  static constexpr std::size_t line_groups = line_length / 4;

  // How many of `groups` whole groups fit in `room` bytes from `column` on,
  // with the CR LF before each group that starts a new line, and the length
  // of their text: the rest of the current line, then full lines of CR LF and
  // 19 groups, then a last line that is not full, each as far as groups and
  // room go.
  struct Plan {
    std::size_t groups = 0;
    std::int64_t text = 0;
  };
  static Plan plan(int column, std::size_t groups, std::int64_t room) noexcept {
    std::size_t g = std::min({groups, static_cast<std::size_t>(line_length - column) / 4,
                              static_cast<std::size_t>(room / 4)});
    std::int64_t text = 4 * static_cast<std::int64_t>(g);
    if (column + static_cast<int>(text) == line_length) {
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
    return {g, text};
  }

  // A piece of line, the rest of the current one or a last one that is not
  // full: a short one group by group (a kernel call costs more than that,
  // measured), a longer one by the kernels.
  static void put_piece(const char* in, std::size_t groups, char* to) {
    if (groups >= 8) {
      encode_whole_groups(in, 3 * groups, to);
      return;
    }
    const char* const chars = base64_alphabet.data();
    for (std::size_t k = 0; k < groups; ++k, in += 3, to += 4) {
      // aaaaaaaa bbbbbbbb cccccccc -> 00aaaaaa 00aabbbb 00bbbbcc 00cccccc
      const std::uint32_t q = static_cast<std::uint32_t>(static_cast<std::uint8_t>(in[0])) << 16 |
                              static_cast<std::uint32_t>(static_cast<std::uint8_t>(in[1])) << 8 |
                              static_cast<std::uint8_t>(in[2]);
      to[0] = chars[q >> 18];
      to[1] = chars[(q >> 12) & 63];
      to[2] = chars[(q >> 6) & 63];
      to[3] = chars[q & 63];
    }
  }

  // Writes the text of g groups of `in`, as plan() laid them out from
  // `column`, at `to` in one pass, and moves `column` on. After the rest of
  // the current line, every line is the CR LF that a group meeting a full
  // line writes first, then its groups; so the text from the first CR LF on
  // is whole lines each followed by CR LF (encode_whole_lines) and a last
  // line of 1 to 19 groups without one.
  static void write_groups(int& column, const char* in, std::size_t g, char* to) {
    if (column != line_length) {
      const std::size_t k = std::min(g, static_cast<std::size_t>(line_length - column) / 4);
      put_piece(in, k, to);
      in += 3 * k;
      to += 4 * k;
      g -= k;
      column += 4 * static_cast<int>(k);
    }
    if (g == 0) return;
    to[0] = '\r';
    to[1] = '\n';
    to += 2;
    const std::size_t last = (g - 1) % line_groups + 1;
    const std::size_t lines = (g - last) / line_groups;
    encode_whole_lines(in, lines, to);
    put_piece(in + 3 * line_groups * lines, last, to + (line_length + 2) * lines);
    column = 4 * static_cast<int>(last);
  }

  // Writes the whole groups of in[0, n) that the space holds, with their line
  // breaks, from the current column on; returns the number of bytes taken (a
  // multiple of 3). Needs the Main step and no byte carried.
  static std::size_t put_groups(Encoder& e, const char* in, std::size_t n) {
    Encoder::State& s = e.state_;
    // The own buffer of a Channel (or Buffer) in stretches that stay in the
    // first-level cache until they are written out: measured faster than
    // filling all 64 KiB before each write.
    constexpr std::int64_t own_stretch = 16 << 10;
    const bool own = e.destination_.kind() != Destination::Kind::Manual;
    const Plan p = plan(s.column, n / 3, own ? std::min(e.room(), own_stretch) : e.room());
    if (p.groups == 0) return 0;
    write_groups(s.column, in, p.groups, s.out + s.out_pos);
    s.out_pos += p.text;
    return 3 * p.groups;
  }

#if defined(__cpp_lib_string_resize_and_overwrite)
  // A Buffer with nothing waiting in the own buffer: all the whole groups of
  // in[0, n) straight onto the end of the string, in one pass, with the
  // result one append per group gives. Returns the number of bytes taken, 0
  // when the string cannot grow (the own buffer's path then meets the same
  // failure where one append per group would).
  static std::size_t append_groups(Encoder& e, std::string& text, const char* in, std::size_t n) {
    Encoder::State& s = e.state_;
    const Plan p = plan(s.column, n / 3, std::numeric_limits<std::int64_t>::max());
    const std::size_t size = text.size(), grown = size + static_cast<std::size_t>(p.text);
    try {
      // The operation returns `grown`, not the count it is handed: libstdc++
      // 12 hands it the grown capacity (GCC bug 109703).
      text.resize_and_overwrite(grown, [&](char* data, std::size_t) {
        write_groups(s.column, in, p.groups, data + size);
        return grown;
      });
    } catch (const std::exception&) {
      return 0;
    }
    s.held = {.kind = Cont::Kind::K, .n = 4};  // as the delivery of the last group leaves it
    return 3 * p.groups;
  }
#endif

  // The bytes that meet the end of a Manual space, from in[0, 3), when the
  // whole groups before them left 1 to 5 bytes of room: the state that
  // encode() on each of them leaves, with Await answering each Partial while
  // the space has room, written here at once. The space ends up full and the
  // call answers Partial. Returns the bytes taken: 1 when the first one waits
  // behind a CR LF that filled the space (its retry is held), else 3.
  static std::size_t fill_space(Encoder& e, const unsigned char* in) noexcept {
    Encoder::State& s = e.state_;
    std::int64_t room = e.room();
    char* to = s.out + s.out_pos;
    s.step = Step::Await_output;
    if (s.column == line_length) {
      // The line is full: the first byte puts CR LF in front of its group.
      s.column = 0;
      if (room == 1) {
        // The CR fits; the LF is staged, then the byte is retried.
        s.stage[0] = '\r';
        s.stage[1] = '\n';
        s.stage_next = 1;
        s.stage_last = 1;
        to[0] = '\r';
        s.out_pos += 1;
        s.held = {.kind = Cont::Kind::Retry, .staged = true, .byte = in[0]};
        return 1;
      }
      to[0] = '\r';
      to[1] = '\n';
      to += 2;
      s.out_pos += 2;
      room -= 2;
      if (room == 0) {
        s.held = {.kind = Cont::Kind::Retry, .byte = in[0]};
        return 1;
      }
    }
    // 1 to 3 bytes of room: the first two bytes are carried, the third makes
    // a group that is staged and copied out as far as the space goes.
    s.carry = (s.carry << 16) | static_cast<std::uint32_t>(in[0]) << 8 | in[1];
    s.stage = Encoder::group(s.carry, in[2]);
    std::memcpy(to, s.stage.data(), static_cast<std::size_t>(room));
    s.out_pos += room;
    s.stage_next = static_cast<int>(room);
    s.stage_last = 3;
    s.held = {.kind = Cont::Kind::K, .staged = true, .n = 4};
    return 3;
  }

  static Encode_result encode_bytes(Encoder& e, std::span<const char> bytes, std::size_t& taken) {
    taken = 0;
    Encoder::State& s = e.state_;
    const bool manual = e.destination_.kind() == Destination::Kind::Manual;
    if (s.step == Step::Await_output) {
      // The rest of a group staged at the end of the last space, when the new
      // one holds it: what encode(Await) does, without its calls.
      const Cont held = s.held;
      const int left = s.stage_last - s.stage_next + 1;
      if (manual && held.kind == Cont::Kind::K && held.staged && e.room() >= left) {
        e.blit(left);
        s.column += held.n;
        s.step = Step::Main;
      } else if (encode(e, Await{}) == Encode_result::Partial) {
        return Encode_result::Partial;
      }
    }
    const std::size_t n = bytes.size();
    while (taken < n) {
      if (s.step == Step::Main && s.carry_len == 0 && n - taken >= 3) {
#if defined(__cpp_lib_string_resize_and_overwrite)
        if (e.destination_.kind() == Destination::Kind::Buffer && s.out_pos == 0) {
          if (const std::size_t k = append_groups(e, *e.destination_.bytes(), bytes.data() + taken, n - taken)) {
            taken += k;
            continue;
          }
        }
#endif
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
          if (n - taken >= 3) {
            taken += fill_space(e, reinterpret_cast<const unsigned char*>(bytes.data() + taken));
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
