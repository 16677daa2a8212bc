// SPDX-License-Identifier: MIT
#include <base64_rfc2045/base64_rfc2045.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ios>
#include <limits>
#include <optional>
#include <set>
#include <span>
#include <tuple>
#include <random>
#include <span>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace Base64_rfc2045;
using Inputs = std::vector<Encode_input>;

// ---- References and drivers ------------------------------------------------

// Padded RFC 4648 encoding, written here independently of the library.
std::string rfc4648(std::string_view in) {
  static constexpr char chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  for (const char ch : in) {
    bits = (bits << 8) | static_cast<unsigned char>(ch);
    count += 8;
    while (count >= 6) {
      count -= 6;
      out += chars[(bits >> count) & 63];
    }
  }
  if (count > 0) out += chars[(bits << (6 - count)) & 63];
  while (out.size() % 4 != 0) out += '=';
  return out;
}

std::string without_crlf(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
      ++i;
    else
      out += text[i];
  }
  return out;
}

// Lines separated by CR LF; every line but the last exactly 76 characters,
// the last 4 to 76 and a multiple of 4; no lone CR or LF; no CR LF at the end.
testing::AssertionResult mime_lines(std::string_view text) {
  if (text.empty()) return testing::AssertionSuccess();
  std::size_t start = 0;
  for (int line = 1;; ++line) {
    const auto end = text.find("\r\n", start);
    const auto body = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (body.find_first_of("\r\n") != std::string_view::npos)
      return testing::AssertionFailure() << "lone CR or LF in line " << line;
    if (end == std::string_view::npos) {
      if (body.empty() || body.size() > 76 || body.size() % 4 != 0)
        return testing::AssertionFailure() << "last line " << line << " has " << body.size() << " characters";
      return testing::AssertionSuccess();
    }
    if (body.size() != 76)
      return testing::AssertionFailure() << "line " << line << " has " << body.size() << " characters";
    start = end + 2;
  }
}

// Segments of input, each followed by End.
Inputs segments(const std::vector<std::string>& parts) {
  Inputs in;
  for (const auto& part : parts) {
    for (const char ch : part) in.push_back(Byte{static_cast<std::uint8_t>(ch)});
    in.push_back(End{});
  }
  return in;
}

std::string bytes_from(int first, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += static_cast<char>((first + i) & 255);
  return s;
}

std::string encode_to_buffer(const Inputs& in) {
  std::string out;
  auto e = encoder(Destination::Buffer{out});
  for (const auto& v : in) EXPECT_EQ(encode(e, v), Encode_result::Ok);
  return out;
}

std::string encode_to_channel(const Inputs& in) {
  std::ostringstream out;
  auto e = encoder(Destination::Channel{out});
  for (const auto& v : in) EXPECT_EQ(encode(e, v), Encode_result::Ok);
  return out.str();
}

// How the Manual driver hands in space: a fresh one at every Partial, or
// only once the space is full (the encoder then writes behind what it wrote).
enum class Hand_in { Every_partial, When_full };

struct Manual_options {
  std::size_t space = 1;
  Hand_in hand_in = Hand_in::Every_partial;
  bool space_before_first = true;  // else the first Byte meets no space at all
  bool poke = false;               // at every Partial, check Byte and End are refused
};

// Drives a Manual encoder as a caller would. The space sits inside a larger
// buffer whose guard bytes must never change.
std::string encode_manual(const Inputs& in, const Manual_options& opt) {
  constexpr std::size_t guard = 3;
  constexpr char guard_byte = '#';
  std::vector<char> buffer(opt.space + 2 * guard, guard_byte);
  const auto off = static_cast<std::int64_t>(guard);
  const auto len = static_cast<std::int64_t>(opt.space);
  std::string text;
  bool has_space = false;
  auto e = encoder(Destination::Manual{});
  EXPECT_EQ(o_rem(e), 0);

  const auto hand_in = [&] {
    if (has_space) {
      const auto written = static_cast<std::size_t>(len - o_rem(e));
      text.append(buffer.data() + guard, written);
      std::fill(buffer.begin() + off, buffer.begin() + off + len, '?');
    }
    dst(e, buffer, off, len);
    has_space = true;
  };
  const auto guards_intact = [&] {
    return std::all_of(buffer.begin(), buffer.begin() + off, [](char c) { return c == guard_byte; }) &&
           std::all_of(buffer.end() - off, buffer.end(), [](char c) { return c == guard_byte; });
  };

  if (opt.space_before_first) hand_in();
  for (const auto& v : in) {
    auto r = encode(e, v);
    // One input value produces at most CR LF and a group: 6 bytes, so a few
    // Partials per byte of space at worst.
    for (int rounds = 0; r == Encode_result::Partial; ++rounds) {
      if (rounds > 16) {
        ADD_FAILURE() << "endless Partial";
        return text;
      }
      if (opt.poke) {
        const auto rem = o_rem(e);
        for (const Encode_input refused : {Encode_input{Byte{'x'}}, Encode_input{End{}}}) {
          try {
            encode(e, refused);
            ADD_FAILURE() << "refused input was taken";
          } catch (const std::invalid_argument& err) {
            EXPECT_STREQ(err.what(), "Expected `Await encode");
          }
        }
        EXPECT_EQ(o_rem(e), rem);
      }
      if (!has_space || opt.hand_in == Hand_in::Every_partial || o_rem(e) == 0) hand_in();
      r = encode(e, Await{});
    }
    EXPECT_TRUE(guards_intact());
  }
  if (has_space) text.append(buffer.data() + guard, static_cast<std::size_t>(len - o_rem(e)));
  return text;
}

// ---- Known texts ----------------------------------------------------------

// Bytes 0..56: exactly one full line.
const std::string line_0_56 =
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4";

struct Known {
  const char* name;
  std::vector<std::string> parts;  // each followed by End
  std::string text;
};

const std::vector<Known>& known_texts() {
  static const std::vector<Known> cases = {
      {"no input", {""}, ""},
      {"M", {"M"}, "TQ=="},
      {"Ma", {"Ma"}, "TWE="},
      {"Man", {"Man"}, "TWFu"},
      {"foobar", {"foobar"}, "Zm9vYmFy"},
      {"fooba", {"fooba"}, "Zm9vYmE="},
      {"all bits", {"\xfb\xff\xff\xfe"}, "+////g=="},
      {"56 bytes: one line ending in =", {bytes_from(0, 56)}, line_0_56.substr(0, 72) + "Njc="},
      {"57 bytes: a full last line gets no CR LF", {bytes_from(0, 57)}, line_0_56},
      {"58 bytes", {bytes_from(0, 58)}, line_0_56 + "\r\nOQ=="},
      {"text goes on after End", {"M", "Man"}, "TQ==TWFu"},
      {"End twice", {"M", ""}, "TQ=="},
      {"End twice on a full line", {bytes_from(0, 57), ""}, line_0_56},
      {"bytes after End on a full line", {bytes_from(0, 57), "M"}, line_0_56 + "\r\nTQ=="},
      // The column counts the padded group: the line is full 54 bytes later.
      {"End keeps the column", {"M", bytes_from(0, 54) + "Man"}, "TQ==" + line_0_56.substr(0, 72) + "\r\nTWFu"},
  };
  return cases;
}

// ---- Tests ------------------------------------------------------------------

TEST(KnownTexts, EveryDestinationAndSpaceSize) {
  const std::size_t sizes[] = {1, 2, 3, 4, 5, 6, 7, 76, 77, 78, 200};
  for (const auto& c : known_texts()) {
    SCOPED_TRACE(c.name);
    const Inputs in = segments(c.parts);
    EXPECT_EQ(encode_to_buffer(in), c.text);
    EXPECT_EQ(encode_to_channel(in), c.text);
    for (const auto size : sizes) {
      SCOPED_TRACE("space " + std::to_string(size));
      EXPECT_EQ(encode_manual(in, {.space = size}), c.text);
      EXPECT_EQ(encode_manual(in, {.space = size, .hand_in = Hand_in::When_full, .space_before_first = false}),
                c.text);
    }
  }
}

// Every length up to a few lines, every small space size: one text, which
// is RFC 4648 once the line breaks are gone, in lines of 76.
TEST(SameTextEverywhere, LengthsAndSpaceSizes) {
  std::mt19937 rng(2045);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int n = 0; n <= 240; ++n) {
    std::string data;
    for (int i = 0; i < n; ++i) data += static_cast<char>(byte(rng));
    SCOPED_TRACE("length " + std::to_string(n));
    const Inputs in = segments({data});
    const std::string text = encode_to_buffer(in);
    ASSERT_EQ(without_crlf(text), rfc4648(data));
    ASSERT_TRUE(mime_lines(text));
    ASSERT_EQ(encode_to_channel(in), text);
    for (std::size_t size = 1; size <= 80; ++size) {
      ASSERT_EQ(encode_manual(in, {.space = size, .poke = size < 8}), text) << "space " << size;
      ASSERT_EQ(encode_manual(in, {.space = size, .hand_in = Hand_in::When_full}), text) << "space " << size;
    }
  }
}

// Several Ends in one stream: each segment is padded on its own and the
// lines run on across them.
TEST(SameTextEverywhere, SegmentsSeparatedByEnd) {
  std::mt19937 rng(6);
  std::uniform_int_distribution<int> length(0, 70);
  for (int round = 0; round < 60; ++round) {
    std::vector<std::string> parts(static_cast<std::size_t>(1 + round % 5));
    std::string expected_flat;
    for (auto& p : parts) {
      p = bytes_from(round * 7, length(rng));
      expected_flat += rfc4648(p);
    }
    const Inputs in = segments(parts);
    const std::string text = encode_to_buffer(in);
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(without_crlf(text), expected_flat);
    ASSERT_TRUE(mime_lines(text));
    ASSERT_EQ(encode_to_channel(in), text);
    for (const std::size_t size : {1u, 2u, 3u, 5u, 64u}) ASSERT_EQ(encode_manual(in, {.space = size}), text);
  }
}

TEST(SameTextEverywhere, EveryByteValue) {
  std::string data;
  for (int round = 0; round < 3; ++round)
    for (int b = 0; b < 256; ++b) data += static_cast<char>(b ^ (round * 85));
  const Inputs in = segments({data});
  const std::string text = encode_to_buffer(in);
  EXPECT_EQ(without_crlf(text), rfc4648(data));
  EXPECT_TRUE(mime_lines(text));
  EXPECT_EQ(encode_to_channel(in), text);
  EXPECT_EQ(encode_manual(in, {.space = 3}), text);
}

// A stream buffer that records every write with the encode call it came from.
class Recording_buf : public std::streambuf {
 public:
  struct Write {
    int call;
    std::string bytes;
    friend bool operator==(const Write&, const Write&) = default;
  };
  std::vector<Write> writes;
  int call = 0;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    writes.push_back({call, std::string(s, static_cast<std::size_t>(n))});
    return n;
  }
  int_type overflow(int_type ch) override {
    if (!traits_type::eq_int_type(ch, traits_type::eof()))
      writes.push_back({call, std::string(1, traits_type::to_char_type(ch))});
    return traits_type::not_eof(ch);
  }
};

void PrintTo(const Recording_buf::Write& w, std::ostream* os) { *os << "{call " << w.call << ", \"" << w.bytes << "\"}"; }

// Channel gets one write per group, in the call that completes it; a Buffer
// grows at the same calls by the same bytes.
TEST(Delivery, OneWritePerGroupInTheCallThatCompletesIt) {
  using W = Recording_buf::Write;
  std::vector<W> sixty;  // bytes 0..59 then End; calls numbered from 1
  for (int g = 0; g < 19; ++g) sixty.push_back({3 * (g + 1), line_0_56.substr(static_cast<std::size_t>(4 * g), 4)});
  sixty.push_back({60, "\r\nOTo7"});
  const struct {
    const char* name;
    std::string input;
    std::vector<W> writes;
  } cases[] = {
      {"no input", "", {}},
      {"M at End", "M", {{2, "TQ=="}}},
      {"Ma at End", "Ma", {{3, "TWE="}}},
      {"Man at n", "Man", {{3, "TWFu"}}},
      {"60 bytes", bytes_from(0, 60), sixty},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recording_buf buf;
    std::ostream os(&buf);
    std::string appended;
    auto channel = encoder(Destination::Channel{os});
    auto buffer = encoder(Destination::Buffer{appended});
    const Inputs in = segments({c.input});
    std::string delivered;
    for (std::size_t i = 0; i < in.size(); ++i) {
      buf.call = static_cast<int>(i + 1);
      EXPECT_EQ(encode(channel, in[i]), Encode_result::Ok);
      EXPECT_EQ(encode(buffer, in[i]), Encode_result::Ok);
      EXPECT_GE(o_rem(channel), stream_buffer_size - 2);  // at most a CR LF waits for its group
      for (const auto& w : buf.writes)
        if (w.call == buf.call) delivered += w.bytes;
      EXPECT_EQ(appended, delivered) << "after call " << i + 1;
    }
    EXPECT_EQ(buf.writes, c.writes);
  }
}

TEST(Delivery, NewEncoders) {
  std::ostringstream os;
  std::string s;
  auto channel = encoder(Destination::Channel{os});
  auto buffer = encoder(Destination::Buffer{s});
  auto manual = encoder(Destination::Manual{});
  EXPECT_EQ(encoder_dst(channel).kind(), Destination::Kind::Channel);
  EXPECT_EQ(encoder_dst(channel).stream(), &os);
  EXPECT_EQ(encoder_dst(buffer).kind(), Destination::Kind::Buffer);
  EXPECT_EQ(encoder_dst(buffer).bytes(), &s);
  EXPECT_EQ(encoder_dst(manual).kind(), Destination::Kind::Manual);
  for (Encoder* e : {&channel, &buffer, &manual}) {
    const auto room = e == &manual ? 0 : stream_buffer_size;
    EXPECT_EQ(o_rem(*e), room);
    EXPECT_EQ(encode(*e, Await{}), Encode_result::Ok);
    EXPECT_EQ(o_rem(*e), room);
  }
  EXPECT_TRUE(os.str().empty());
  EXPECT_TRUE(s.empty());
}

// ---- The Manual protocol --------------------------------------------------

TEST(ManualProtocol, PartialAfterEveryGroupWhateverTheRoom) {
  std::vector<char> space(400);
  auto e = encoder(Destination::Manual{});
  dst(e, space, 0, 400);
  const std::string data = "Many hands make light work. Many hands make light work! 57+3 bytes";
  std::vector<Encode_result> results;
  for (const char ch : data) {
    results.push_back(encode(e, Byte{static_cast<std::uint8_t>(ch)}));
    if (results.back() == Encode_result::Partial) {
      EXPECT_EQ(encode(e, Await{}), Encode_result::Ok);
    }
  }
  for (std::size_t i = 0; i < data.size(); ++i)
    EXPECT_EQ(results[i], i % 3 == 2 ? Encode_result::Partial : Encode_result::Ok) << "byte " << i;
  EXPECT_EQ(encode(e, End{}), Encode_result::Ok);  // 66 bytes: nothing carried
  const auto written = static_cast<std::size_t>(400 - o_rem(e));
  EXPECT_EQ(std::string(space.data(), written), rfc4648(data.substr(0, 57)) + "\r\n" + rfc4648(data.substr(57)));
}

TEST(ManualProtocol, ShortInputs) {
  std::vector<char> space(8, '.');
  auto e = encoder(Destination::Manual{});
  EXPECT_EQ(encode(e, Await{}), Encode_result::Ok);  // nothing to resume
  EXPECT_EQ(o_rem(e), 0);
  // No space yet: Partial before the byte is even carried.
  EXPECT_EQ(encode(e, Byte{'M'}), Encode_result::Partial);
  dst(e, space, 0, 8);
  EXPECT_EQ(encode(e, Await{}), Encode_result::Ok);
  EXPECT_EQ(o_rem(e), 8);
  EXPECT_EQ(encode(e, End{}), Encode_result::Partial);
  EXPECT_EQ(encode(e, Await{}), Encode_result::Ok);
  EXPECT_EQ(std::string(space.data(), 8), "TQ==....");
  EXPECT_EQ(o_rem(e), 4);

  // Without a new dst the encoder writes behind the bytes already there.
  for (const char ch : std::string("Ma")) EXPECT_EQ(encode(e, Byte{static_cast<std::uint8_t>(ch)}), Encode_result::Ok);
  EXPECT_EQ(encode(e, Byte{'n'}), Encode_result::Partial);
  EXPECT_EQ(encode(e, Await{}), Encode_result::Ok);
  EXPECT_EQ(encode(e, End{}), Encode_result::Ok);
  EXPECT_EQ(std::string(space.data(), 8), "TQ==TWFu");
  EXPECT_EQ(o_rem(e), 0);
}

// The space may start anywhere in the caller's buffer, also for bytes that
// pass through the stage.
TEST(ManualProtocol, SpaceAtAnOffset) {
  std::vector<char> s(20, '.');
  auto e = encoder(Destination::Manual{});
  dst(e, s, 5, 10);
  EXPECT_EQ(o_rem(e), 10);
  for (const char ch : std::string("Man")) encode(e, Byte{static_cast<std::uint8_t>(ch)});
  EXPECT_EQ(encode(e, Await{}), Encode_result::Ok);
  EXPECT_EQ(std::string(s.begin(), s.end()), ".....TWFu...........");

  // Two bytes of room: the group is staged, Partial comes before any of it
  // is copied, then two characters per space.
  std::fill(s.begin(), s.end(), '.');
  dst(e, s, 5, 2);
  for (const char ch : std::string("Ma")) encode(e, Byte{static_cast<std::uint8_t>(ch)});
  EXPECT_EQ(encode(e, End{}), Encode_result::Partial);
  EXPECT_EQ(o_rem(e), 2);
  EXPECT_EQ(encode(e, Await{}), Encode_result::Partial);
  EXPECT_EQ(std::string(s.begin(), s.end()), ".....TW.............");
  EXPECT_EQ(o_rem(e), 0);
  dst(e, s, 5, 2);
  EXPECT_EQ(encode(e, Await{}), Encode_result::Ok);
  EXPECT_EQ(std::string(s.begin(), s.end()), ".....E=.............");
}

// A line break meeting one byte of room: CR now, LF in the next space, then
// the byte that asked for the break.
TEST(ManualProtocol, LineBreakThroughTheStage) {
  std::vector<char> first(77), second(8, '.');
  auto e = encoder(Destination::Manual{});
  dst(e, first, 0, 77);
  for (int i = 0; i < 57; ++i)
    if (encode(e, Byte{static_cast<std::uint8_t>(i)}) == Encode_result::Partial) encode(e, Await{});
  EXPECT_EQ(encode(e, End{}), Encode_result::Ok);
  EXPECT_EQ(o_rem(e), 1);
  EXPECT_EQ(encode(e, Byte{57}), Encode_result::Partial);
  EXPECT_EQ(std::string(first.begin(), first.end()), line_0_56 + "\r");
  dst(e, second, 0, 8);
  EXPECT_EQ(encode(e, Await{}), Encode_result::Ok);
  EXPECT_EQ(encode(e, End{}), Encode_result::Partial);
  EXPECT_EQ(encode(e, Await{}), Encode_result::Ok);
  EXPECT_EQ(std::string(second.begin(), second.end()), "\nOQ==...");
}

// While waiting, Byte and End are refused and change nothing: resuming
// afterwards gives the same text as if they had never been tried. (The
// Manual driver checks the same at every Partial of its runs.)
TEST(ManualProtocol, RefusalChangesNothing) {
  std::vector<char> space(3, '.');
  auto e = encoder(Destination::Manual{});
  dst(e, space, 0, 3);
  encode(e, Byte{'M'});
  encode(e, Byte{'a'});
  ASSERT_EQ(encode(e, Byte{'n'}), Encode_result::Partial);  // staged: t_flush(k(4))
  for (int i = 0; i < 3; ++i) {
    EXPECT_THROW(
        {
          try {
            encode(e, i == 0 ? Encode_input{End{}} : Encode_input{Byte{'x'}});
          } catch (const std::invalid_argument& err) {
            EXPECT_STREQ(err.what(), "Expected `Await encode");
            throw;
          }
        },
        std::invalid_argument);
  }
  EXPECT_EQ(o_rem(e), 3);
  EXPECT_EQ(encode(e, Await{}), Encode_result::Partial);
  EXPECT_EQ(std::string(space.begin(), space.end()), "TWF");
  dst(e, space, 0, 3);
  EXPECT_EQ(encode(e, Await{}), Encode_result::Ok);
  EXPECT_EQ(space[0], 'u');
  EXPECT_EQ(o_rem(e), 2);
  EXPECT_EQ(encode(e, End{}), Encode_result::Ok);  // nothing carried: the refused values left no trace
}

// ---- dst --------------------------------------------------------------------

TEST(Dst, Bounds) {
  constexpr auto max = std::numeric_limits<std::int64_t>::max();
  constexpr auto min = std::numeric_limits<std::int64_t>::min();
  const struct {
    std::size_t size;
    std::int64_t off, len;
    const char* error;  // nullptr: accepted
  } cases[] = {
      {4, 0, 4, nullptr},
      {4, 4, 0, nullptr},
      {4, 0, 0, nullptr},
      {0, 0, 0, nullptr},
      {4, 2, 3, "Invalid bounds (off: 2, len: 3)"},
      {4, -1, 0, "Invalid bounds (off: -1, len: 0)"},
      {4, -1, 4, "Invalid bounds (off: -1, len: 4)"},
      {4, 0, -1, "Invalid bounds (off: 0, len: -1)"},
      {4, 5, 0, "Invalid bounds (off: 5, len: 0)"},
      {4, max, max, "Invalid bounds (off: 9223372036854775807, len: 9223372036854775807)"},
      {4, 1, max, "Invalid bounds (off: 1, len: 9223372036854775807)"},
      {4, max, 1, "Invalid bounds (off: 9223372036854775807, len: 1)"},
      {4, min, 4, "Invalid bounds (off: -9223372036854775808, len: 4)"},
      {4, 0, min, "Invalid bounds (off: 0, len: -9223372036854775808)"},
      {4, min, min, "Invalid bounds (off: -9223372036854775808, len: -9223372036854775808)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.off) + ", " + std::to_string(c.len));
    std::vector<char> previous(8, '.');
    std::vector<char> s(c.size);
    auto e = encoder(Destination::Manual{});
    dst(e, previous, 0, 8);
    if (c.error == nullptr) {
      dst(e, s, c.off, c.len);
      EXPECT_EQ(o_rem(e), c.len);
      continue;
    }
    try {
      dst(e, s, c.off, c.len);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& err) {
      EXPECT_STREQ(err.what(), c.error);
    }
    // Unchanged: still writing into the previous space.
    EXPECT_EQ(o_rem(e), 8);
    for (const char ch : std::string("Man")) encode(e, Byte{static_cast<std::uint8_t>(ch)});
    EXPECT_EQ(encode(e, Await{}), Encode_result::Ok);
    EXPECT_EQ(std::string(previous.begin(), previous.end()), "TWFu....");
  }
}

// Channel and Buffer encoders write out of their own buffer; space handed in
// (even a zero-length one, which could never make room) is refused.
TEST(Dst, RefusedOnChannelAndBuffer) {
  std::ostringstream os;
  std::string appended;
  std::vector<char> space(16);
  for (const Destination d : {Destination(Destination::Channel{os}), Destination(Destination::Buffer{appended})}) {
    auto e = encoder(d);
    encode(e, Byte{'M'});
    for (const std::int64_t len : {0, 1, 16}) {
      try {
        dst(e, space, 0, len);
        ADD_FAILURE() << "accepted a space of " << len;
      } catch (const std::invalid_argument& err) {
        EXPECT_STREQ(err.what(), "dst: output space is handed in only to a Manual encoder");
      }
      EXPECT_EQ(o_rem(e), stream_buffer_size);
    }
    EXPECT_EQ(encode(e, End{}), Encode_result::Ok);
  }
  EXPECT_EQ(os.str(), "TQ==");
  EXPECT_EQ(appended, "TQ==");
}

// Any sequence of calls on a Channel or Buffer encoder comes back with Ok:
// there is no state in which encode could wait for room that never comes.
TEST(Dst, NoCallSequenceStallsChannelOrBuffer) {
  std::mt19937 rng(76);
  std::uniform_int_distribution<int> pick(0, 99);
  std::vector<char> space(8);
  for (int round = 0; round < 20; ++round) {
    std::ostringstream os;
    std::string appended;
    auto channel = encoder(Destination::Channel{os});
    auto buffer = encoder(Destination::Buffer{appended});
    std::vector<std::string> parts(1);
    for (int call = 0; call < 500; ++call) {
      const int p = pick(rng);
      Encode_input v = Await{};
      if (p < 80) {
        const auto b = static_cast<std::uint8_t>(pick(rng));
        parts.back() += static_cast<char>(b);
        v = Byte{b};
      } else if (p < 88) {
        parts.emplace_back();
        v = End{};
      } else if (p < 94) {
        EXPECT_THROW(dst(channel, space, 0, p % 3), std::invalid_argument);
        EXPECT_THROW(dst(buffer, space, 0, p % 3), std::invalid_argument);
      }
      ASSERT_EQ(encode(channel, v), Encode_result::Ok);
      ASSERT_EQ(encode(buffer, v), Encode_result::Ok);
    }
    encode(channel, End{});
    encode(buffer, End{});
    std::string flat;
    for (const auto& part : parts) flat += rfc4648(part);
    EXPECT_EQ(without_crlf(appended), flat);
    EXPECT_TRUE(mime_lines(appended));
    EXPECT_EQ(os.str(), appended);
  }
}

// A Manual caller may hand in spaces of length 0, also ones without any
// storage (an empty vector or span, whose data() is null): it gets Partial
// again, and nothing is lost or repeated. Spaces of 0 to 5 bytes meet groups
// and line breaks half staged, the final group's included.
TEST(Dst, ZeroLengthSpacesOnManual) {
  const std::string data = bytes_from(100, 130);
  std::mt19937 rng(0);
  std::uniform_int_distribution<int> size(0, 5);
  std::vector<char> space(5);
  std::string text;
  auto e = encoder(Destination::Manual{});
  std::int64_t len = 0;
  const auto take_out_and_hand_in = [&] {
    text.append(space.data(), static_cast<std::size_t>(len - o_rem(e)));
    len = size(rng);
    if (len == 0 && rng() % 2 == 0)
      dst(e, std::span<char>(), 0, 0);
    else
      dst(e, space, 0, len);
  };
  Inputs in = segments({data});
  for (const auto& v : in) {
    auto r = encode(e, v);
    for (int rounds = 0; r == Encode_result::Partial; ++rounds) {
      ASSERT_LT(rounds, 1000);
      take_out_and_hand_in();
      r = encode(e, Await{});
    }
  }
  text.append(space.data(), static_cast<std::size_t>(len - o_rem(e)));
  EXPECT_EQ(text, encode_to_buffer(in));
}

// A group staged and half copied out, then spaces without storage (an empty
// vector, an empty span): the encoder copies nothing into them (no call with a
// null pointer, which UBSan reports) and goes on when real space comes.
TEST(Dst, NoStorageWhileAGroupIsStaged) {
  struct Case {
    const char* name;
    Inputs in;
    std::string text;
  };
  const Case cases[] = {
      {"group", {Byte{'a'}, Byte{'b'}, Byte{'c'}}, "YWJj"},
      {"final group at End", {Byte{'a'}, End{}}, "YQ=="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto e = encoder(Destination::Manual{});
    std::vector<char> space(2), none;
    dst(e, space, 0, 2);
    std::string text;
    bool storage = true;
    int partials = 0;
    for (const auto& v : c.in) {
      for (auto r = encode(e, v); r == Encode_result::Partial; r = encode(e, Await{})) {
        ASSERT_LT(++partials, 10);
        if (storage) text.append(space.data(), static_cast<std::size_t>(2 - o_rem(e)));
        // Partial 1: the group is staged; 2: two characters copied out.
        storage = partials != 2 && partials != 3;
        if (partials == 2) dst(e, none, 0, 0);
        if (partials == 3) dst(e, std::span<char>(), 0, 0);
        if (storage) dst(e, space, 0, 2);
      }
    }
    text.append(space.data(), static_cast<std::size_t>(2 - o_rem(e)));
    EXPECT_EQ(partials, 4);
    EXPECT_EQ(text, c.text);
  }
}

// ---- Moves ------------------------------------------------------------------

TEST(Move, EncoderKeepsWorkingAfterAMove) {
  const std::string data = bytes_from(0, 58);
  const std::string expected = line_0_56 + "\r\nOQ==";
  {
    std::ostringstream os;
    auto a = encoder(Destination::Channel{os});
    for (int i = 0; i < 20; ++i) encode(a, Byte{static_cast<std::uint8_t>(data[static_cast<std::size_t>(i)])});
    Encoder b = std::move(a);  // two bytes carried
    EXPECT_EQ(encoder_dst(a).kind(), Destination::Kind::Manual);
    EXPECT_EQ(o_rem(a), 0);
    for (int i = 20; i < 40; ++i) encode(b, Byte{static_cast<std::uint8_t>(data[static_cast<std::size_t>(i)])});
    a = std::move(b);
    for (int i = 40; i < 58; ++i) encode(a, Byte{static_cast<std::uint8_t>(data[static_cast<std::size_t>(i)])});
    encode(a, End{});
    EXPECT_EQ(os.str(), expected);
  }
  {
    // A Manual encoder moved while it waits with a group in the stage.
    std::vector<char> space(2);
    std::string text;
    std::optional<Encoder> holder(encoder(Destination::Manual{}));
    dst(*holder, space, 0, 2);
    for (const char ch : data) {
      auto r = encode(*holder, Byte{static_cast<std::uint8_t>(ch)});
      while (r == Encode_result::Partial) {
        Encoder moved = std::move(*holder);
        holder.reset();
        text.append(space.data(), static_cast<std::size_t>(2 - o_rem(moved)));
        dst(moved, space, 0, 2);
        r = encode(moved, Await{});
        holder.emplace(std::move(moved));
      }
    }
    ASSERT_EQ(encode(*holder, End{}), Encode_result::Partial);
    while (true) {
      text.append(space.data(), static_cast<std::size_t>(2 - o_rem(*holder)));
      dst(*holder, space, 0, 2);
      if (encode(*holder, Await{}) == Encode_result::Ok) break;
    }
    text.append(space.data(), static_cast<std::size_t>(2 - o_rem(*holder)));
    EXPECT_EQ(text, expected);
  }
}

// ---- A failing stream ---------------------------------------------------------

// Takes at most `budget` bytes, then fails every write until given more:
// by taking fewer bytes than asked, or by throwing.
class Flaky_buf : public std::streambuf {
 public:
  std::string data;
  std::streamsize budget = 0;
  bool throw_when_spent = false;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (budget == 0 && throw_when_spent) throw std::runtime_error("device gone");
    const auto k = std::max<std::streamsize>(0, std::min(n, budget));
    data.append(s, static_cast<std::size_t>(k));
    budget -= k;
    return k;
  }
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    const char c = traits_type::to_char_type(ch);
    return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
  }
};

// A failed write throws; the input value was taken, and Byte and End are
// refused until encode(Await), after the stream is repaired, writes what was
// left. Each byte reaches the stream exactly once, whatever the write took.
TEST(FailingStream, ResumeAfterRepairLosesAndRepeatsNothing) {
  const Inputs in = segments({bytes_from(0, 131), "M"});
  const std::string expected = encode_to_buffer(in);
  const struct {
    const char* name;
    std::streamsize budget;  // bytes taken after each repair
    bool throws;             // the stream buffer throws once its budget is spent
    bool badbit_exceptions;  // os.exceptions(badbit)
    bool failed_beforehand;
  } cases[] = {
      {"1 byte per repair", 1, false, false, false},
      {"2 bytes per repair", 2, false, false, false},
      {"3 bytes per repair", 3, false, false, false},
      {"5 bytes per repair", 5, false, false, false},
      {"7 bytes per repair", 7, false, false, false},
      {"badbit in exceptions()", 5, false, true, false},
      {"stream buffer throws", 8, true, false, false},
      {"stream buffer throws, badbit in exceptions()", 8, true, true, false},
      {"stream failed before the first write", 1000, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Flaky_buf buf;
    buf.throw_when_spent = c.throws;
    std::ostream os(&buf);
    if (c.badbit_exceptions) os.exceptions(std::ios_base::badbit);
    buf.budget = c.failed_beforehand ? 1000 : c.budget;
    if (c.failed_beforehand) os.setstate(std::ios_base::failbit);

    auto e = encoder(Destination::Channel{os});
    int ios_failures = 0;
    int buffer_exceptions = 0;
    for (const auto& v : in) {
      Encode_input next = v;
      for (int rounds = 0;; ++rounds) {
        ASSERT_LT(rounds, 20);
        try {
          ASSERT_EQ(encode(e, next), Encode_result::Ok);
          break;
        } catch (const std::ios_base::failure&) {
          ++ios_failures;
        } catch (const std::runtime_error& err) {
          EXPECT_STREQ(err.what(), "device gone");
          ++buffer_exceptions;
        }
        EXPECT_TRUE(os.bad() || os.fail());
        EXPECT_THROW(encode(e, Byte{'x'}), std::invalid_argument);
        EXPECT_THROW(encode(e, End{}), std::invalid_argument);
        os.clear();
        buf.budget = c.budget;
        next = Await{};
      }
    }
    EXPECT_EQ(buf.data, expected);
    if (c.failed_beforehand) {
      EXPECT_EQ(ios_failures, 1);
    }
    EXPECT_GT(ios_failures + buffer_exceptions, 0);
    // The stream buffer's own exception reaches the caller only when the
    // stream asks for exceptions on badbit, as with std::ostream::write.
    EXPECT_EQ(buffer_exceptions > 0, c.throws && c.badbit_exceptions);
  }
}

// ---- encode_bytes against encode ---------------------------------------------

// An encoder over one destination and what it wrote so far. A Manual space of
// the given size sits between guard bytes and is handed in again once full.
class Encoding {
 public:
  Encoding(Destination::Kind kind, std::size_t space)
      : kind_(kind), space_(space + 2, '#'), e_(make(kind)) {
    if (kind_ == Destination::Kind::Manual) dst(e_, space_, 1, static_cast<std::int64_t>(space));
  }
  Encoding(const Encoding&) = delete;

  Encoder& encoder() { return e_; }
  std::int64_t len() const { return static_cast<std::int64_t>(space_.size() - 2); }
  std::size_t written() const { return static_cast<std::size_t>(len() - o_rem(e_)); }

  // The whole text so far, and its length.
  std::string text() const {
    switch (kind_) {
      case Destination::Kind::Buffer: return appended_;
      case Destination::Kind::Channel: return stream_.str();
      case Destination::Kind::Manual: break;
    }
    return taken_out_ + std::string(space_.data() + 1, written());
  }
  std::size_t text_size() {
    switch (kind_) {
      case Destination::Kind::Buffer: return appended_.size();
      case Destination::Kind::Channel: return static_cast<std::size_t>(stream_.tellp());
      case Destination::Kind::Manual: break;
    }
    return taken_out_.size() + written();
  }

  // Takes the text out of a full space and hands it in again.
  void hand_in_if_full() {
    if (kind_ != Destination::Kind::Manual || o_rem(e_) != 0) return;
    taken_out_.append(space_.data() + 1, written());
    dst(e_, space_, 1, len());
  }
  bool guards_intact() const { return space_.front() == '#' && space_.back() == '#'; }

 private:
  Encoder make(Destination::Kind kind) {
    switch (kind) {
      case Destination::Kind::Buffer: return Base64_rfc2045::encoder(Destination::Buffer{appended_});
      case Destination::Kind::Channel: return Base64_rfc2045::encoder(Destination::Channel{stream_});
      case Destination::Kind::Manual: break;
    }
    return Base64_rfc2045::encoder(Destination::Manual{});
  }

  Destination::Kind kind_;
  std::string appended_;
  std::ostringstream stream_;
  std::vector<char> space_;
  std::string taken_out_;
  Encoder e_;
};

// Where a caller got control: bytes taken, text written, room left.
using Enc_point = std::tuple<std::size_t, std::size_t, std::int64_t>;

struct Enc_run {
  std::string text;
  std::set<Enc_point> points;
};

// Every input value through encode(), each Partial answered with Await.
Enc_run per_byte(Destination::Kind kind, std::size_t space, const Inputs& in) {
  Encoding x(kind, space);
  Enc_run run;
  std::size_t taken = 0;
  run.points.insert({0, 0, o_rem(x.encoder())});
  for (const auto& v : in) {
    if (std::holds_alternative<Byte>(v)) ++taken;
    auto r = encode(x.encoder(), v);
    run.points.insert({taken, x.text_size(), o_rem(x.encoder())});
    for (int rounds = 0; r == Encode_result::Partial && rounds < 20; ++rounds) {
      x.hand_in_if_full();
      r = encode(x.encoder(), Await{});
      run.points.insert({taken, x.text_size(), o_rem(x.encoder())});
    }
    EXPECT_EQ(r, Encode_result::Ok);
  }
  run.text = x.text();
  return run;
}

// The same input, runs of bytes of random lengths through encode_bytes,
// the rest (End, and some bytes) through encode(); a Partial of
// encode_bytes is answered by calling it again or, at random, by Await.
Enc_run in_bulk(Destination::Kind kind, std::size_t space, const Inputs& in, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Encoding x(kind, space);
  Enc_run run;
  std::size_t taken = 0;
  for (std::size_t i = 0; i < in.size();) {
    std::string bytes;
    const std::size_t most = std::array<std::size_t, 5>{0, 1, 2, 5, 1000}[rng() % 5];
    for (; i < in.size() && bytes.size() < most && std::holds_alternative<Byte>(in[i]); ++i)
      bytes += static_cast<char>(std::get<Byte>(in[i]).value);
    if (bytes.empty() && i < in.size()) {
      if (std::holds_alternative<Byte>(in[i])) ++taken;
      auto r = encode(x.encoder(), in[i++]);
      for (int rounds = 0; r == Encode_result::Partial && rounds < 20; ++rounds) {
        x.hand_in_if_full();
        r = encode(x.encoder(), Await{});
      }
      EXPECT_EQ(r, Encode_result::Ok);
      run.points.insert({taken, x.text_size(), o_rem(x.encoder())});
      continue;
    }
    std::size_t off = 0;
    for (int rounds = 0; rounds < 100000; ++rounds) {
      std::size_t now = 0;
      const Encode_result r = encode_bytes(x.encoder(), std::span<const char>(bytes).subspan(off), now);
      EXPECT_LE(now, bytes.size() - off);
      off += now;
      taken += now;
      run.points.insert({taken, x.text_size(), o_rem(x.encoder())});
      EXPECT_TRUE(x.guards_intact());
      if (r == Encode_result::Ok) {
        EXPECT_EQ(off, bytes.size()) << "Ok before every byte was taken";
        break;
      }
      EXPECT_EQ(o_rem(x.encoder()), 0) << "Partial with room left";
      x.hand_in_if_full();
      if (rng() % 2 == 0) {
        // The Partial answered with Await, as a per-call caller would,
        // before the bytes left go on in bulk.
        const Encode_result a = encode(x.encoder(), Await{});
        run.points.insert({taken, x.text_size(), o_rem(x.encoder())});
        if (a == Encode_result::Partial) x.hand_in_if_full();
      }
    }
  }
  run.text = x.text();
  return run;
}

// The same text on every destination and space size, and every point where
// encode_bytes returned is one where encode() did.
void expect_bulk_agrees(const Inputs& in, const std::vector<std::size_t>& spaces, std::uint32_t seeds) {
  for (const auto kind : {Destination::Kind::Buffer, Destination::Kind::Channel, Destination::Kind::Manual}) {
    for (const std::size_t space : kind == Destination::Kind::Manual ? spaces : std::vector<std::size_t>{0}) {
      const Enc_run expected = per_byte(kind, space, in);
      for (std::uint32_t seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE("destination " + std::to_string(static_cast<int>(kind)) + ", space " + std::to_string(space) +
                     ", seed " + std::to_string(seed));
        const Enc_run bulk = in_bulk(kind, space, in, seed);
        ASSERT_EQ(bulk.text, expected.text);
        for (const Enc_point& p : bulk.points)
          ASSERT_TRUE(expected.points.count(p)) << "no such point from encode(): taken " << std::get<0>(p)
                                                << ", text " << std::get<1>(p) << ", o_rem " << std::get<2>(p);
      }
    }
  }
}

TEST(EncodeBytes, KnownTextsEveryDestinationAndSpaceSize) {
  std::vector<std::size_t> spaces;
  for (std::size_t size = 1; size <= 80; ++size) spaces.push_back(size);
  spaces.push_back(4096);
  for (const auto& c : known_texts()) {
    SCOPED_TRACE(c.name);
    expect_bulk_agrees(segments(c.parts), spaces, 3);
  }
}

// Random lengths and segments (several Ends), so that runs start and stop
// at every column and with 0 to 2 bytes carried.
TEST(EncodeBytes, RandomInputsAgreeWithEncode) {
  std::mt19937 rng(57);
  const std::vector<std::size_t> spaces = {1, 2, 3, 4, 5, 6, 7, 8, 13, 76, 77, 78, 79, 80, 81, 200, 4096};
  for (int round = 0; round < 40; ++round) {
    std::vector<std::string> parts(1 + rng() % 3);
    for (auto& part : parts) {
      part.resize(rng() % (round % 4 == 0 ? 2000 : 300));
      for (char& c : part) c = static_cast<char>(rng());
    }
    SCOPED_TRACE("round " + std::to_string(round));
    expect_bulk_agrees(segments(parts), spaces, 2);
    if (testing::Test::HasFatalFailure()) return;
  }
}

// A failed write on a Channel: `taken` counts what was taken, the unwritten
// text is kept, and after a repair encode(Await) writes it and the caller
// goes on from `taken`: each byte reaches the stream once.
TEST(EncodeBytes, FailingStreamLosesAndRepeatsNothing) {
  const std::string data = bytes_from(3, 200'000);
  const std::string expected = encode_to_buffer(segments({data}));
  for (const bool throws : {false, true}) {
    SCOPED_TRACE(throws ? "stream buffer throws" : "stream buffer takes less");
    Flaky_buf buf;
    buf.throw_when_spent = throws;
    std::ostream os(&buf);
    auto e = encoder(Destination::Channel{os});
    std::size_t off = 0;
    int failures = 0;
    bool waiting = false;
    for (int rounds = 0; rounds < 1000 && (off < data.size() || waiting); ++rounds) {
      buf.budget = 50'000;
      os.clear();
      try {
        if (waiting) {
          ASSERT_EQ(encode(e, Await{}), Encode_result::Ok);
          waiting = false;
        }
        std::size_t taken = 0;
        try {
          ASSERT_EQ(encode_bytes(e, std::span<const char>(data).subspan(off), taken), Encode_result::Ok);
        } catch (...) {
          off += taken;
          throw;
        }
        off += taken;
      } catch (const std::exception&) {
        ++failures;
        waiting = true;
        EXPECT_THROW(encode(e, End{}), std::invalid_argument);
      }
    }
    buf.budget = 1000;
    EXPECT_EQ(encode(e, End{}), Encode_result::Ok);
    EXPECT_GT(failures, 0);
    EXPECT_TRUE(buf.data == expected) << buf.data.size() << " bytes written, " << expected.size() << " expected";
  }
}

// Long inputs in one call, from every column: a Channel or Buffer encoder
// goes through its own buffer in several stretches, a Manual one through many
// spaces. The text and the room left at the end are those of encode().
TEST(EncodeBytes, LongRunsInOneCall) {
  for (const std::size_t head : std::vector<std::size_t>{0, 1, 2, 5, 56}) {
    const std::string data = bytes_from(static_cast<int>(head), 100'000 + static_cast<int>(head));
    const Inputs in = segments({data});
    for (const auto kind : {Destination::Kind::Buffer, Destination::Kind::Channel, Destination::Kind::Manual}) {
      for (const std::size_t space : kind == Destination::Kind::Manual ? std::vector<std::size_t>{77, 4096, 70'000}
                                                                      : std::vector<std::size_t>{0}) {
        SCOPED_TRACE("head " + std::to_string(head) + ", destination " + std::to_string(static_cast<int>(kind)) +
                     ", space " + std::to_string(space));
        const Enc_run expected = per_byte(kind, space, in);
        Encoding x(kind, space);
        for (std::size_t i = 0; i < head; ++i) {
          auto r = encode(x.encoder(), Byte{static_cast<std::uint8_t>(data[i])});
          for (; r == Encode_result::Partial; r = encode(x.encoder(), Await{})) x.hand_in_if_full();
        }
        std::size_t off = head;
        for (int rounds = 0; rounds < 10'000; ++rounds) {
          std::size_t now = 0;
          const Encode_result r = encode_bytes(x.encoder(), std::span<const char>(data).subspan(off), now);
          off += now;
          if (r == Encode_result::Ok) break;
          x.hand_in_if_full();
        }
        ASSERT_EQ(off, data.size());
        for (auto r = encode(x.encoder(), End{}); r == Encode_result::Partial; r = encode(x.encoder(), Await{}))
          x.hand_in_if_full();
        EXPECT_EQ(x.text(), expected.text);
        EXPECT_TRUE(expected.points.count({data.size(), x.text_size(), o_rem(x.encoder())}));
        EXPECT_TRUE(x.guards_intact());
      }
    }
  }
}

// ---- With the decoder -------------------------------------------------------

// Collects Flush payloads until anything else; returns that other result.
Decode_result decode_until_not_flush(Decoder& d, std::string& out) {
  for (int i = 0; i < 100000; ++i) {
    auto r = decode(d);
    if (const auto* f = std::get_if<Flush>(&r))
      out += f->bytes;
    else
      return r;
  }
  ADD_FAILURE() << "decoder never stopped flushing";
  return End{};
}

TEST(RoundTrip, DecoderReadsTheTextBack) {
  std::mt19937 rng(4648);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int n = 0; n <= 400; n += n < 12 ? 1 : 19) {
    std::string data;
    for (int i = 0; i < n; ++i) data += static_cast<char>(byte(rng));
    SCOPED_TRACE("length " + std::to_string(n));
    const std::string text = encode_to_buffer(segments({data}));
    auto d = decoder(Source::String{text});
    std::string out;
    const auto last = decode_until_not_flush(d, out);
    EXPECT_TRUE(std::holds_alternative<End>(last)) << "result index " << last.index();
    EXPECT_EQ(out, data);
    EXPECT_FALSE(decoder_dangerous(d));
    EXPECT_EQ(decoder_byte_count(d), static_cast<std::int64_t>(text.size()));
  }
}

// Encoder and decoder chained through small spaces: every piece of text the
// Manual encoder hands back is the Manual decoder's next chunk.
TEST(RoundTrip, ManualEncoderFeedsManualDecoder) {
  const std::string data = bytes_from(7, 300);
  for (const std::int64_t size : {1, 2, 5, 7, 80}) {
    SCOPED_TRACE("space " + std::to_string(size));
    std::vector<char> space(static_cast<std::size_t>(size));
    auto e = encoder(Destination::Manual{});
    auto d = decoder(Source::Manual{});
    std::string out;
    std::string chunk;
    ASSERT_TRUE(std::holds_alternative<Await>(decode_until_not_flush(d, out)));
    const auto pass_on = [&] {
      chunk.assign(space.data(), static_cast<std::size_t>(size - o_rem(e)));
      dst(e, space, 0, size);
      if (chunk.empty()) return;  // a zero-length chunk would end the decoder's input
      src(d, chunk, 0, static_cast<std::int64_t>(chunk.size()));
      const auto r = decode_until_not_flush(d, out);
      EXPECT_TRUE(std::holds_alternative<Await>(r)) << "result index " << r.index();
    };
    dst(e, space, 0, size);
    for (const auto& v : segments({data})) {
      for (auto r = encode(e, v); r == Encode_result::Partial; r = encode(e, Await{})) pass_on();
    }
    pass_on();
    src(d, "", 0, 0);
    EXPECT_TRUE(std::holds_alternative<End>(decode_until_not_flush(d, out)));
    EXPECT_EQ(out, data);
  }
}

}  // namespace
