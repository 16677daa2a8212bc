// SPDX-License-Identifier: MIT
// decode_into: the decoder's results written into the caller's span, with
// whole lines decoded in batches by the kernels of `base64`.
//
// A body of RFC 2045 is mostly lines of whole groups, each followed by CR LF.
// Where the decoder stands at the start of a group with no '=' seen, either
// at the start of a line or at the end of a line's characters before its
// CR LF, the run of lines ahead as long as that line is decoded in one pass
// by the kernels of `base64`, straight from the chunk into the span. Other
// lines ahead in the chunk (a line that the chunk cuts, lines of other
// lengths) are copied without their CR LF into a scratch buffer and decoded
// in one kernel call. The kernels check every character: a line they refuse
// is not committed, and the state machine takes that stretch a result at a
// time (as it takes everything else: spaces, stray bytes, '=', a CR LF split
// between chunks, lines longer than 76 characters, the end of input). Every
// result of the state machine is the one `decode` returns, so the results,
// the byte count and the line check agree with `decode` by construction; a
// run or a batch accounts its lines exactly as the state machine would have.
// So do the few steps taken here without it, for the common case of a Manual
// source fed in chunks that cut a line and a group: the groups of the cut
// line, the group that the chunk boundary cuts, and the Await when the chunk
// is used up.
//
// A Channel over a std::stringbuf (a std::istringstream) is read in place:
// each chunk is the stretch of the stream's own bytes that a read would have
// copied, taken where the stream buffer holds them (read_in_place in
// decoder.cpp). What is left unread of such a chunk when the call returns is
// copied into the read buffer then, so the stream is read as far as before.
#include <base64_rfc2045/decoder.hpp>

#include "decoder_steps.hpp"
#include "whole_groups.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <variant>

namespace Base64_rfc2045 {

namespace {

// For each of the four places in a group, what each byte adds to the group's
// three bytes, as a 32-bit word whose first three bytes in memory are the
// group's bytes: one OR of the four words is the group, ready to store. A
// byte that is not a Base64 character sets the word's fourth byte to all ones
// (not_a_group), which no Base64 character touches.
constexpr bool little_endian = std::endian::native == std::endian::little;
constexpr std::uint32_t not_a_group = little_endian ? 0xFF00'0000u : 0x0000'00FFu;

constexpr std::uint32_t group_word(std::uint32_t bits) {  // 24 bits, first byte highest
  const std::uint32_t b0 = bits >> 16 & 0xFF, b1 = bits >> 8 & 0xFF, b2 = bits & 0xFF;
  return little_endian ? b0 | b1 << 8 | b2 << 16 : b0 << 24 | b1 << 16 | b2 << 8;
}

using Group_table = std::array<std::uint32_t, 256>;

consteval std::array<Group_table, 4> make_group_tables() {
  std::array<Group_table, 4> tables{};
  for (int place = 0; place < 4; ++place)
    for (int byte = 0; byte < 256; ++byte) {
      const std::uint32_t value = detail::byte_class[static_cast<std::size_t>(byte)];
      tables[static_cast<std::size_t>(place)][static_cast<std::size_t>(byte)] =
          value < 64 ? group_word(value << (18 - 6 * place)) : not_a_group;
    }
  return tables;
}

constexpr std::array<Group_table, 4> group_tables = make_group_tables();

}  // namespace

struct detail::Decoder_bulk {
  using Step = Decoder::Step;

  // Scratch for the characters of a batch. A Channel decoder uses the end of
  // its read buffer: its reads are cut short by this much while it decodes
  // in bulk, so that it keeps one buffer of stream_buffer_size bytes.
  static constexpr std::int64_t scratch_size = 16 << 10;
  // The longest line that a batch takes, not counting its CR LF: longer
  // lines are dangerous and go through the state machine.
  static constexpr std::int64_t longest_line = 76;

  struct Span {
    char* at;
    std::size_t room;

    void put(const char* bytes, std::size_t n) noexcept {
      if (n == 0) return;
      std::memcpy(at, bytes, n);
      at += n;
      room -= n;
    }
  };

  // The scratch and its size.
  static char* scratch(Decoder& d, std::int64_t& capacity) {
    if (d.channel_buffer_) {
      char* const buffer = d.channel_buffer_.get();
      // The bytes of a chunk read into the buffer must stay as they are.
      const std::int64_t used = d.input_ == reinterpret_cast<const unsigned char*>(buffer) ? d.input_len_ : 0;
      capacity = stream_buffer_size - used;
      return buffer + used;
    }
    if (!d.scratch_) d.scratch_ = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(scratch_size));
    capacity = scratch_size;
    return d.scratch_.get();
  }

  // The bytes of a Flush into the span; those that do not fit are held for
  // the next call, before the step that the decoder goes on with.
  static void put_flush(Decoder& d, const char* bytes, std::size_t n, Span& out) noexcept {
    const std::size_t k = std::min(n, out.room);
    out.put(bytes, k);
    if (k == n) return;
    std::memcpy(d.held_.data(), bytes + k, n - k);
    d.held_len_ = static_cast<std::uint8_t>(n - k);
    d.held_step_ = d.next_step_;
    d.next_step_ = Step::held_flush;
  }

  // Held bytes into the span; true when none are left.
  static bool put_held(Decoder& d, Span& out) noexcept {
    const std::size_t k = std::min<std::size_t>(d.held_len_, out.room);
    out.put(d.held_.data(), k);
    std::memmove(d.held_.data(), d.held_.data() + k, d.held_len_ - k);
    d.held_len_ = static_cast<std::uint8_t>(d.held_len_ - k);
    if (d.held_len_ > 0) return false;
    d.next_step_ = d.held_step_;
    return true;
  }

  // The run of lines ahead, the bulk of a body: lines as long as the one
  // whose characters the decoder has just read (76 at the start of a line),
  // up to 76 characters and a multiple of 4, each all Base64 characters and
  // then CR LF, decoded in one pass into the span. Such lines leave the line
  // check as they found it. Like a batch, the run ends after its last group,
  // before that line's CR LF; false when it took nothing.
  static bool take_run(Decoder& d, Span& out) {
    const unsigned char* const start = d.input_ + d.input_pos_;
    const std::int64_t left = d.input_len_ - d.input_pos_;
    std::int64_t length = d.line_length_, skip = 2;  // skip: the CR LF of the line just read
    if (length == 0) {
      length = longest_line;
      skip = 0;
    } else if (length > longest_line || length % 4 != 0 || left < 2 || start[0] != '\r' || start[1] != '\n') {
      return false;
    }
    if (left - skip < length + 2 || out.room < static_cast<std::size_t>(length / 4 * 3)) return false;
    std::size_t written = 0;
    const auto read = static_cast<std::int64_t>(
        decode_whole_lines(reinterpret_cast<const char*>(start + skip), static_cast<std::size_t>(left - skip),
                           static_cast<std::size_t>(length), out.at, out.room, written));
    if (read == 0) return false;
    const std::int64_t consumed = skip + read - 2;
    out.at += written;
    out.room -= written;
    d.input_pos_ += consumed;
    d.byte_count_ += consumed;
    d.line_length_ = length;
    return true;
  }

  // The groups that follow, as long as there is room for their bytes: the
  // results that `decode` would give one at a time (take_group), in a tight
  // loop over locals. The counters move once, at the end: the line check
  // only grows with the line, and nothing returns in between. Each group is
  // one OR of four lookups in group_tables and, but for the last, one 4-byte
  // store whose fourth byte the next group overwrites.
  static void take_groups(Decoder& d, Span& out) noexcept {
    if (d.next_step_ != Step::decode_base64 || d.size_ != 0 || d.padding_count_ != 0) return;
    const unsigned char* const start = d.input_ + d.input_pos_;
    const std::int64_t most = std::min<std::int64_t>((d.input_len_ - d.input_pos_) / 4,
                                                     static_cast<std::int64_t>(out.room / 3));
    if (most == 0) return;
    const auto word = [](const unsigned char* p) {
      return group_tables[0][p[0]] | group_tables[1][p[1]] | group_tables[2][p[2]] | group_tables[3][p[3]];
    };
    const unsigned char* p = start;
    char* to = out.at;
    std::int64_t k = 0;
    for (; k + 1 < most; ++k, p += 4, to += 3) {
      const std::uint32_t w = word(p);
      if ((w & not_a_group) != 0) break;
      std::memcpy(to, &w, 4);
    }
    if (k + 1 == most) {
      // The last group the room allows: exactly its three bytes.
      const std::uint32_t w = word(p);
      if ((w & not_a_group) == 0) {
        std::memcpy(to, &w, 3);
        p += 4;
        to += 3;
      }
    }
    const std::int64_t n = p - start;
    d.input_pos_ += n;
    d.count(n);
    out.room -= static_cast<std::size_t>(to - out.at);
    out.at = to;
  }

  // The pieces of a line that a chunk boundary cuts, taken with
  // take_groups, which costs less than a kernel call for so few characters:
  // the rest of a line that the last chunk began, and, when the chunk ends
  // within a line, that line's CR LF and its first groups. The CR LF is
  // taken only with a group after it, as `decode` returns nothing between
  // the two. False when nothing was taken.
  static bool take_cut_line(Decoder& d, Span& out) noexcept {
    const unsigned char* const start = d.input_ + d.input_pos_;
    const std::int64_t left = d.input_len_ - d.input_pos_;
    if (out.room < 3) return false;
    if (d.line_length_ > 0 && left >= 4 && start[0] != '\r') {
      const char* const before = out.at;
      take_groups(d, out);
      return out.at != before;
    }
    if (left >= 6 && left < longest_line + 4 && start[0] == '\r' && start[1] == '\n' &&
        (detail::byte_class[start[2]] | detail::byte_class[start[3]] | detail::byte_class[start[4]] |
         detail::byte_class[start[5]]) < 64) {
      d.input_pos_ += 2;
      d.count(2);
      d.line_length_ = 0;
      take_groups(d, out);
      return true;
    }
    return false;
  }

  // The group that a chunk boundary cuts, in the common case of a Manual
  // source: its 1 to 3 characters at the end of one chunk and the rest at
  // the start of the next, taken as the state machine's run takes them (the
  // count checked only when the group is complete). Both need the
  // decode_base64 step with no '=' seen; false when the state machine has
  // to take the bytes.

  // The six bits of each of the n bytes at p appended to `bits`; false when
  // one of them is not a Base64 character.
  static bool append_bits(const unsigned char* p, std::int64_t n, std::uint32_t& bits) noexcept {
    for (std::int64_t k = 0; k < n; ++k) {
      const std::uint32_t value = detail::byte_class[p[k]];
      if (value >= 64) return false;
      bits = bits << 6 | value;
    }
    return true;
  }

  // The rest of a begun group, when the span has room for its bytes.
  static bool finish_group(Decoder& d, Span& out) noexcept {
    const std::int64_t need = 4 - d.size_;
    if (out.room < 3 || d.input_len_ - d.input_pos_ < need) return false;
    std::uint32_t bits = d.bits_;
    if (!append_bits(d.input_ + d.input_pos_, need, bits)) return false;
    d.bits_ = 0;
    d.size_ = 0;
    d.input_pos_ += need;
    d.count(need);
    const char group[3] = {static_cast<char>(bits >> 16), static_cast<char>(bits >> 8), static_cast<char>(bits)};
    out.put(group, 3);
    return true;
  }

  // The last 1 to 3 bytes of the chunk, when all are Base64 characters, as
  // the start of a group.
  static bool begin_group(Decoder& d) noexcept {
    const std::int64_t left = d.input_len_ - d.input_pos_;
    if (left < 1 || left > 3) return false;
    std::uint32_t bits = 0;
    if (!append_bits(d.input_ + d.input_pos_, left, bits)) return false;
    d.bits_ = bits;
    d.size_ = static_cast<std::uint8_t>(left);
    d.input_pos_ += left;
    d.byte_count_ += left;
    d.line_length_ += left;
    return true;
  }

  enum class Batch { taken, none, refused_line };

  // A batch: the lines ahead in the chunk, each a run of whole groups (up to
  // 76 characters) followed by CR LF, and the whole groups of a line that
  // the end of the chunk cuts, as many as the span, the scratch and
  // batch_limit_ allow, but at least one. The batch ends right after its
  // last group, where `decode` returns its last Flush: the CR LF and empty
  // lines after it are left for the next call. Gives none when no line lies
  // ahead or the decoder is not at the start of a group, and refused_line
  // when the kernel refused a batch of one line, which ends at `line_end`.
  static Batch take_lines(Decoder& d, Span& out, std::int64_t& line_end) {
    if (d.next_step_ != Step::decode_base64 || d.size_ != 0 || d.padding_count_ != 0) return Batch::none;
    if (take_run(d, out) || take_cut_line(d, out)) return Batch::taken;
    const unsigned char* const start = d.input_ + d.input_pos_;
    const unsigned char* const end = d.input_ + d.input_len_;
    if (end - start < 2) return Batch::none;
    std::int64_t capacity = 0;
    char* const chars = scratch(d, capacity);
    if (d.batch_limit_ == 0) d.batch_limit_ = capacity;
    const auto fits = static_cast<std::int64_t>(std::min<std::size_t>(out.room / 3 * 4, static_cast<std::size_t>(capacity)));
    const std::int64_t limit = std::min(fits, d.batch_limit_);

    const unsigned char* p = start;
    int lines = 0;
    std::int64_t n_chars = 0;
    std::int64_t line = d.line_length_;
    std::int64_t last_line = 0;  // the length of the last line before its CR LF
    bool dangerous = false;
    // Where the characters of the last line that has some end, with the
    // line's length and the line check up to there.
    const unsigned char* chars_end = nullptr;
    std::int64_t chars_line = 0;
    bool chars_dangerous = false;
    std::int64_t guess = longest_line;  // most lines are as long as the last whole one
    for (bool tail = false; !tail;) {
      std::int64_t n = guess;
      if (end - p < n + 2 || p[n] != '\r' || p[n + 1] != '\n') {
        const auto* cr = static_cast<const unsigned char*>(
            std::memchr(p, '\r', static_cast<std::size_t>(std::min<std::int64_t>(end - p, longest_line + 1))));
        if (cr == nullptr && end - p <= longest_line) {
          // The chunk ends inside the line: its whole groups, the line going
          // on in the next chunk. Not a last group with '=' in it, which
          // the kernel would refuse.
          n = (end - p) / 4 * 4;
          if (n >= 4 && p[n - 1] == '=') n -= 4;
          if (n == 0) break;
          tail = true;
        } else {
          if (cr == nullptr || end - cr < 2 || cr[1] != '\n') break;
          n = cr - p;
          if (n % 4 != 0) break;
        }
      }
      if (n_chars + n > (n_chars == 0 ? fits : limit)) break;
      if (n == longest_line)
        std::memcpy(chars + n_chars, p, longest_line);  // a constant size: inline
      else
        std::memcpy(chars + n_chars, p, static_cast<std::size_t>(n));
      n_chars += n;
      // The state machine counts a line's groups, then its CR LF, and checks
      // the length after each: the check after the CR LF sees the most. The
      // CR LF of the line before this one is counted here.
      if (lines > 0 && last_line + 2 > max_line_bytes) dangerous = true;
      if (line == 0) guess = n;
      last_line = line + n;
      line = 0;
      if (n > 0) {
        chars_end = p + n;
        chars_line = last_line;
        chars_dangerous = dangerous || last_line > max_line_bytes;
      }
      p += tail ? n : n + 2;
      ++lines;
      // A line like this one next: the batch ends here, and take_run
      // takes it and those after it.
      if (!tail && n > 0 && last_line <= longest_line && last_line % 4 == 0 && end - p >= last_line + 2 &&
          p[last_line] == '\r' && p[last_line + 1] == '\n')
        break;
    }
    if (lines == 0) return Batch::none;
    // The batch ends where `decode` returns: after the last group. Only
    // empty lines: before the last CR LF, which the state machine takes.
    if (chars_end == nullptr) {
      chars_end = p - 2;
      chars_line = last_line;
      chars_dangerous = dangerous;
    }
    const std::int64_t consumed = chars_end - start;
    if (consumed == 0) return Batch::none;
    if (n_chars > 0 && !decode_whole_groups(chars, static_cast<std::size_t>(n_chars), out.at)) {
      // Some line holds a stray byte or '=': the state machine finds it.
      // Batches of one line until the kernel accepts again.
      d.batch_limit_ = longest_line;
      line_end = p - d.input_;
      return lines == 1 || (lines == 2 && start[0] == '\r') ? Batch::refused_line : Batch::none;
    }
    d.batch_limit_ = std::min(capacity, 2 * d.batch_limit_);
    const std::size_t bytes = static_cast<std::size_t>(n_chars) / 4 * 3;
    out.at += bytes;
    out.room -= bytes;
    d.input_pos_ += consumed;
    d.byte_count_ += consumed;
    d.line_length_ = chars_line;
    if (chars_dangerous) d.dangerous_ = true;
    return Batch::taken;
  }

  // Whatever way decode_into returns or throws, a chunk read in place is
  // copied first: the caller may use the stream next.
  struct Keep_chunk {
    Decoder& d;
    explicit Keep_chunk(Decoder& decoder) noexcept : d(decoder) {}
    Keep_chunk(const Keep_chunk&) = delete;
    Keep_chunk& operator=(const Keep_chunk&) = delete;
    ~Keep_chunk() { keep_chunk(d); }
  };

  static Decoded decode_into(Decoder& d, std::span<char> span) {
    const Keep_chunk keep{d};
    Span out{span.data(), span.size()};
    const auto written = [&] { return static_cast<std::size_t>(out.at - span.data()); };
    if (d.channel_buffer_) d.read_limit_ = stream_buffer_size - scratch_size;
    // The scratch is made by the first call, whether or not it needs it yet:
    // no later call allocates.
    std::int64_t capacity = 0;
    (void)scratch(d, capacity);
    // Where the kernel last refused a line: the state machine alone goes
    // up to there (an estimate: a new chunk may start before it, which
    // costs at most a line of batching).
    const bool manual = std::holds_alternative<Source::Manual>(d.source_.kind());
    const unsigned char* refused_in = nullptr;
    std::int64_t refused_until = 0;
    for (;;) {
      if (d.next_step_ == Step::held_flush && !put_held(d, out)) return {written(), Decode_stop::Output_full};
      if (out.room == 0) return {written(), Decode_stop::Output_full};

      if (d.next_step_ == Step::decode_base64 && d.padding_count_ == 0) {
        if (d.size_ != 0 ? finish_group(d, out) : begin_group(d)) continue;
        // A Manual chunk used up: the state machine would ask for the next.
        if (manual && d.input_pos_ == d.input_len_ && !d.input_ended_) return {written(), Decode_stop::Await};
      }

      if (d.input_ != refused_in || d.input_pos_ >= refused_until) {
        std::int64_t line_end = 0;
        const Batch batch = take_lines(d, out, line_end);
        if (batch == Batch::taken) continue;
        if (batch == Batch::refused_line) {
          refused_in = d.input_;
          refused_until = line_end;
        }
      }

      // One result of the state machine, as `decode` gives it.
      std::uint32_t bits;
      if (d.take_group(bits)) {
        const char group[3] = {static_cast<char>(bits >> 16), static_cast<char>(bits >> 8), static_cast<char>(bits)};
        put_flush(d, group, 3, out);
        take_groups(d, out);
        continue;
      }
      Decode_result result;
      run_decoder_in_place(d, result);
      switch (result.index()) {
        case 0: return {written(), Decode_stop::Await};
        case 1: {
          const std::string& bytes = std::get<Flush>(result).bytes;
          put_flush(d, bytes.data(), bytes.size(), out);
          continue;
        }
        case 2: return {written(), Decode_stop::Malformed, std::get<Malformed>(result).bytes[0]};
        case 3: return {written(), Decode_stop::Wrong_padding};
        default: return {written(), Decode_stop::End};
      }
    }
  }
};

Decoded decode_into(Decoder& d, std::span<char> out) { return detail::Decoder_bulk::decode_into(d, out); }

}  // namespace Base64_rfc2045
