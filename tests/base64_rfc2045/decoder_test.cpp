// SPDX-License-Identifier: MIT
// Tests of the resumable MIME decoder. Most cases go through
// decode_every_way, which runs one input from a String, from streams that
// hand out everything, a few bytes or one byte per read, and as Manual chunks
// of every size, and expects the same results from all of them.
#include <base64_rfc2045/base64_rfc2045.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#if defined(__GLIBCXX__) && defined(__GLIBC__)
#include <ext/stdio_sync_filebuf.h>
#include <unistd.h>
#endif

// Counts the allocations of this test program, to show that decoding
// allocates nothing per byte.
namespace {
std::int64_t allocation_count = 0;
}

// Not inlined, so that the compiler sees new and delete as a pair rather than
// malloc meeting delete.
[[gnu::noinline]] void* operator new(std::size_t size) {
  ++allocation_count;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace Base64_rfc2045 {

// Readable results in failure messages.
std::string escaped(std::string_view bytes) {
  std::string out = "\"";
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 32 && b < 127 && c != '"' && c != '\\') {
      out += c;
    } else {
      static constexpr char hex[] = "0123456789abcdef";
      out += "\\x";
      out += hex[b >> 4];
      out += hex[b & 15];
    }
  }
  return out + "\"";
}
void PrintTo(const Await&, std::ostream* os) { *os << "Await"; }
void PrintTo(const End&, std::ostream* os) { *os << "End"; }
void PrintTo(const Wrong_padding&, std::ostream* os) { *os << "Wrong_padding"; }
void PrintTo(const Flush& f, std::ostream* os) { *os << "Flush " << escaped(f.bytes); }
void PrintTo(const Malformed& m, std::ostream* os) { *os << "Malformed " << escaped(m.bytes); }

}  // namespace Base64_rfc2045

namespace {

using namespace Base64_rfc2045;
using namespace std::string_literals;
using Results = std::vector<Decode_result>;

std::string repeat(std::string_view s, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += s;
  return out;
}

// What a whole decoding shows: every result but Await, up to End, and the
// counters afterwards.
struct Outcome {
  Results results;
  std::int64_t byte_count = 0;
  bool dangerous = false;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "{";
  for (const Decode_result& r : o.results) *os << testing::PrintToString(r) << ", ";
  *os << "byte_count " << o.byte_count << ", dangerous " << o.dangerous << "}";
}

// Calls decode until End; each Await is answered by feed(), which returns
// false when it has nothing to give (a failure: no Await was due).
template <class Feed>
Outcome drive(Decoder& d, std::size_t max_calls, Feed feed) {
  Outcome out;
  for (std::size_t call = 0;; ++call) {
    if (call == max_calls) {
      ADD_FAILURE() << "no End after " << max_calls << " calls";
      break;
    }
    Decode_result r = decode(d);
    if (std::holds_alternative<Await>(r)) {
      if (!feed()) {
        ADD_FAILURE() << "unexpected Await";
        break;
      }
      continue;
    }
    const bool end = std::holds_alternative<End>(r);
    out.results.push_back(std::move(r));
    if (end) {
      EXPECT_EQ(decode(d), Decode_result{End{}}) << "End is final";
      break;
    }
  }
  out.byte_count = decoder_byte_count(d);
  out.dangerous = decoder_dangerous(d);
  return out;
}

std::size_t call_limit(std::size_t input_size) { return 4 * input_size + 16; }

Outcome run_string(const std::string& input) {
  Decoder d = decoder(Source::String{input});
  return drive(d, call_limit(input.size()), [] { return false; });
}

Outcome run_channel(std::istream& in, std::size_t input_size) {
  Decoder d = decoder(Source::Channel{in});
  return drive(d, call_limit(input_size), [] { return false; });
}

// Manual chunks of `size` bytes. Odd sizes lie in exact-size heap buffers (a
// sanitizer catches a read past them); even sizes are handed in with an
// offset, between '*' bytes that would show up as Malformed if read.
Outcome run_manual(const std::string& input, std::size_t size) {
  Decoder d = decoder(Source::Manual{});
  std::unique_ptr<char[]> chunk;
  std::size_t next = 0;
  bool ended = false;
  auto feed = [&] {
    if (next == input.size()) {
      if (ended) return false;
      ended = true;
      src(d, {}, 0, 0);
      return true;
    }
    const std::size_t n = std::min(size, input.size() - next);
    const std::size_t pad = size % 2 == 0 ? 1 : 0;
    chunk = std::make_unique<char[]>(n + 2 * pad);
    std::fill_n(chunk.get(), n + 2 * pad, '*');
    std::copy_n(input.data() + next, n, chunk.get() + pad);
    src(d, std::string_view(chunk.get(), n + 2 * pad), static_cast<std::int64_t>(pad), static_cast<std::int64_t>(n));
    next += n;
    return true;
  };
  return drive(d, call_limit(input.size()), feed);
}

// A stream buffer that hands out `step` bytes per read, as a pipe does.
class Trickle_buf : public std::streambuf {
 public:
  Trickle_buf(std::string bytes, std::size_t step) : bytes_(std::move(bytes)), step_(step) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (next_ == bytes_.size()) return traits_type::eof();
    const std::size_t n = std::min(step_, bytes_.size() - next_);
    char* p = bytes_.data() + next_;
    setg(p, p, p + n);
    next_ += n;
    return traits_type::to_int_type(*p);
  }

 private:
  std::string bytes_;
  std::size_t step_;
  std::size_t next_ = 0;
};

// A stream buffer without a get area: nothing shows as available, every byte
// goes through underflow and uflow.
class Unbuffered_buf : public std::streambuf {
 public:
  explicit Unbuffered_buf(std::string bytes) : bytes_(std::move(bytes)) {}

 protected:
  int_type underflow() override {
    return next_ < bytes_.size() ? traits_type::to_int_type(bytes_[next_]) : traits_type::eof();
  }
  int_type uflow() override {
    const int_type c = underflow();
    if (!traits_type::eq_int_type(c, traits_type::eof())) ++next_;
    return c;
  }

 private:
  std::string bytes_;
  std::size_t next_ = 0;
};

// ---------------------------------------------------------------------------
// decode_into against decode. Both runs record the decoded bytes, every
// result that is not a Flush (with the bytes decoded before it and the
// counters at that point) and every point where the caller got control.

struct Stop_point {
  Decode_stop stop;
  char byte;
  std::size_t total;  // bytes decoded so far
  std::int64_t byte_count;
  bool dangerous;
  friend bool operator==(const Stop_point&, const Stop_point&) = default;
};

void PrintTo(const Stop_point& p, std::ostream* os) {
  *os << "{stop " << static_cast<int>(p.stop) << ", byte " << escaped(std::string(1, p.byte)) << ", total " << p.total
      << ", byte_count " << p.byte_count << ", dangerous " << p.dangerous << "}";
}

struct Trace {
  std::string bytes;
  std::vector<Stop_point> events;  // Await, Malformed, Wrong_padding, End in order
  std::vector<Stop_point> points;  // where the caller got control (Flush: Output_full)
};

Stop_point point_of(const Decode_result& r, std::size_t total, const Decoder& d) {
  Stop_point p{Decode_stop::Output_full, 0, total, decoder_byte_count(d), decoder_dangerous(d)};
  switch (r.index()) {
    case 0: p.stop = Decode_stop::Await; break;
    case 2: p.stop = Decode_stop::Malformed; p.byte = std::get<Malformed>(r).bytes.at(0); break;
    case 3: p.stop = Decode_stop::Wrong_padding; break;
    case 4: p.stop = Decode_stop::End; break;
    default: break;
  }
  return p;
}

// Hands a Manual decoder the input in chunks of the given sizes, in turn,
// then the end. Each chunk lies in an exact-size heap buffer.
class Chunk_feeder {
 public:
  Chunk_feeder(const std::string& input, std::vector<std::size_t> sizes) : input_(input), sizes_(std::move(sizes)) {}
  bool operator()(Decoder& d) {
    if (next_ == input_.size()) {
      if (ended_) return false;
      ended_ = true;
      src(d, {}, 0, 0);
      return true;
    }
    const std::size_t n = std::min(sizes_[turn_++ % sizes_.size()], input_.size() - next_);
    chunk_ = std::make_unique<char[]>(n);
    std::copy_n(input_.data() + next_, n, chunk_.get());
    src(d, std::string_view(chunk_.get(), n), 0, static_cast<std::int64_t>(n));
    next_ += n;
    return true;
  }

 private:
  const std::string& input_;
  std::vector<std::size_t> sizes_;
  std::size_t turn_ = 0, next_ = 0;
  bool ended_ = false;
  std::unique_ptr<char[]> chunk_;
};

// One call of either kind, recorded into `t`; false once End came.
template <class Feed>
bool per_call_step(Decoder& d, Feed& feed, Trace& t) {
  Decode_result r = decode(d);
  if (const auto* f = std::get_if<Flush>(&r)) {
    t.bytes += f->bytes;
    t.points.push_back(point_of(r, t.bytes.size(), d));
    return true;
  }
  t.events.push_back(point_of(r, t.bytes.size(), d));
  t.points.push_back(t.events.back());
  if (std::holds_alternative<Await>(r)) {
    if (!feed(d)) ADD_FAILURE() << "unexpected Await";
    return true;
  }
  return !std::holds_alternative<End>(r);
}

template <class Feed>
bool bulk_step(Decoder& d, Feed& feed, Trace& t, std::size_t space) {
  constexpr char guard = '#';
  static std::vector<char> buffer;
  buffer.assign(space + 2, guard);
  const Decoded r = decode_into(d, std::span<char>(buffer.data() + 1, space));
  EXPECT_LE(r.written, space);
  EXPECT_EQ(buffer.front(), guard);
  EXPECT_EQ(buffer.back(), guard);
  t.bytes.append(buffer.data() + 1, std::min(r.written, space));
  Stop_point p{r.stop, r.stop == Decode_stop::Malformed ? r.byte : '\0', t.bytes.size(), decoder_byte_count(d),
               decoder_dangerous(d)};
  t.points.push_back(p);
  if (r.stop == Decode_stop::Output_full) {
    EXPECT_EQ(r.written, space) << "Output_full with room left";
    return true;
  }
  t.events.push_back(p);
  if (r.stop == Decode_stop::Await && !feed(d)) ADD_FAILURE() << "unexpected Await";
  return r.stop != Decode_stop::End;
}

// How a run calls: `decode` only (spaces empty), decode_into with the
// spaces in turn, or a seeded mix of both.
template <class Feed>
Trace trace(Decoder& d, Feed& feed, const std::vector<std::size_t>& spaces, std::size_t max_calls,
            std::mt19937* mix = nullptr) {
  Trace t;
  t.points.push_back({Decode_stop::Output_full, 0, 0, 0, false});
  std::size_t turn = 0;
  for (std::size_t call = 0; call < max_calls; ++call) {
    const bool bulk = !spaces.empty() && (mix == nullptr || (*mix)() % 3 != 0);
    if (!(bulk ? bulk_step(d, feed, t, spaces[turn++ % spaces.size()]) : per_call_step(d, feed, t))) return t;
  }
  ADD_FAILURE() << "no End after " << max_calls << " calls";
  return t;
}

// Same bytes and results; every point where a bulk call returned is one
// where `decode` returned (for a full span, up to the 2 bytes of a split
// Flush further on).
void expect_same_trace(const Trace& bulk, const Trace& expected) {
  EXPECT_TRUE(bulk.bytes == expected.bytes) << bulk.bytes.size() << " bytes decoded, " << expected.bytes.size()
                                            << " expected, first difference at "
                                            << std::mismatch(bulk.bytes.begin(), bulk.bytes.end(), expected.bytes.begin(),
                                                             expected.bytes.end())
                                                       .first -
                                                   bulk.bytes.begin();
  EXPECT_EQ(bulk.events, expected.events);
  for (const Stop_point& p : bulk.points) {
    auto q = std::lower_bound(expected.points.begin(), expected.points.end(), p.total,
                              [](const Stop_point& a, std::size_t total) { return a.total < total; });
    bool found = false;
    for (; q != expected.points.end() && q->total <= p.total + 2 && !found; ++q)
      found = q->byte_count == p.byte_count && q->dangerous == p.dangerous;
    EXPECT_TRUE(found) << "no such point from decode: " << testing::PrintToString(p);
  }
}

enum class Kind { String, Channel, Manual };

// A fresh decoder of the kind over the input, and the run of it.
template <class Run>
auto with_decoder(Kind kind, const std::string& input, const std::vector<std::size_t>& chunks, Run run) {
  std::istringstream stream(input);
  Decoder d = kind == Kind::String    ? decoder(Source::String{input})
              : kind == Kind::Channel ? decoder(Source::Channel{stream})
                                      : decoder(Source::Manual{});
  Chunk_feeder feed(input, chunks);
  return run(d, feed);
}

// decode_into on the input from every source, with every chunk size and
// every space size from 1 up (paired, for long inputs a selection), and
// mixed with decode, must agree with decode.
void expect_bulk_agrees(const std::string& input) {
  const std::size_t limit = call_limit(input.size()) + input.size();
  const bool small = input.size() <= 200;
  std::vector<std::size_t> sizes = {1, 7, 78, 4096, 65536, 1u << 20};
  if (small) {
    sizes.clear();
    for (std::size_t size = 1; size <= input.size() + 4; ++size) sizes.push_back(size);
    sizes.push_back(1u << 20);
  }
  const auto expected_for = [&](Kind kind, const std::vector<std::size_t>& chunks) {
    return with_decoder(kind, input, chunks, [&](Decoder& d, Chunk_feeder& feed) { return trace(d, feed, {}, limit); });
  };
  const Trace expected = expected_for(Kind::String, {1});
  for (const Kind kind : {Kind::String, Kind::Channel}) {
    for (const std::size_t space : sizes) {
      SCOPED_TRACE("source " + std::to_string(static_cast<int>(kind)) + ", space " + std::to_string(space));
      expect_same_trace(with_decoder(kind, input, {1},
                                     [&](Decoder& d, Chunk_feeder& feed) { return trace(d, feed, {space}, limit); }),
                        expected);
    }
  }
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::vector<std::size_t> chunks = {sizes[i]};
    const Trace manual = expected_for(Kind::Manual, chunks);
    for (const std::size_t space : {sizes[i], sizes[(i * 7 + 3) % sizes.size()], std::size_t{1} << 20}) {
      SCOPED_TRACE("Manual chunks of " + std::to_string(sizes[i]) + ", space " + std::to_string(space));
      expect_same_trace(
          with_decoder(Kind::Manual, input, chunks, [&](Decoder& d, Chunk_feeder& feed) { return trace(d, feed, {space}, limit); }),
          manual);
    }
  }
  for (unsigned seed = 0; seed < 3; ++seed) {
    SCOPED_TRACE("mixed with decode, seed " + std::to_string(seed));
    const std::vector<std::size_t> chunks = {3, 1, 77, 5, 4096};
    std::mt19937 mix(seed);
    expect_same_trace(with_decoder(Kind::Manual, input, chunks,
                                   [&](Decoder& d, Chunk_feeder& feed) {
                                     return trace(d, feed, {1, 2, 3, 7, 80, 5000}, limit, &mix);
                                   }),
                      expected_for(Kind::Manual, chunks));
  }
}

// Runs the input from every source kind and every cut, expects the same
// outcome as from a String source, and returns it.
Outcome decode_every_way(const std::string& input) {
  const Outcome expected = run_string(input);
  {
    SCOPED_TRACE("istringstream");
    std::istringstream in(input);
    EXPECT_EQ(run_channel(in, input.size()), expected);
  }
  for (const std::size_t step : {1u, 2u, 3u, 5u}) {
    SCOPED_TRACE("stream handing out " + std::to_string(step) + " bytes per read");
    Trickle_buf buf(input, step);
    std::istream in(&buf);
    EXPECT_EQ(run_channel(in, input.size()), expected);
  }
  {
    SCOPED_TRACE("unbuffered stream");
    Unbuffered_buf buf(input);
    std::istream in(&buf);
    EXPECT_EQ(run_channel(in, input.size()), expected);
  }
  std::vector<std::size_t> sizes;
  if (input.size() <= 200) {
    for (std::size_t size = 1; size <= input.size() + 1; ++size) sizes.push_back(size);
  } else {
    sizes = {1, 2, 3, 4, 5, 77, 78, 4096, 65535, 65536, input.size()};
  }
  for (const std::size_t size : sizes) {
    SCOPED_TRACE("Manual chunks of " + std::to_string(size));
    EXPECT_EQ(run_manual(input, size), expected);
  }
  expect_bulk_agrees(input);
  return expected;
}

// The decoded bytes of an outcome, all Flush payloads joined.
std::string flushed(const Outcome& o) {
  std::string out;
  for (const Decode_result& r : o.results)
    if (const auto* f = std::get_if<Flush>(&r)) out += f->bytes;
  return out;
}

// A plain reference encoder for round trips, with CR LF after every
// `line` characters.
std::string encode_lines(std::string_view bytes, std::size_t line) {
  static constexpr std::string_view chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 3; ++j)
      group = group << 8 | (i + j < bytes.size() ? static_cast<unsigned char>(bytes[i + j]) : 0u);
    const std::size_t chars_out = std::min<std::size_t>(4, (bytes.size() - i) * 4 / 3 + 1);
    for (std::size_t j = 0; j < 4; ++j) text += j < chars_out ? chars[group >> (18 - 6 * j) & 63] : '=';
  }
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += line) out += text.substr(i, line) + "\r\n";
  return out;
}

// ---------------------------------------------------------------------------

// Test names from the `name` of each case.
template <class Case>
std::string case_name(const testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

struct Vector {
  const char* name;
  std::string input;
  Results expected;
};
void PrintTo(const Vector& v, std::ostream* os) { *os << v.name; }

// Results, byte count and the line check for one input, from every source
// and every cut. Every input byte is consumed, whatever its class.
class DecoderVectors : public testing::TestWithParam<Vector> {};

TEST_P(DecoderVectors, SameResultsFromEverySourceAndCut) {
  const Vector& v = GetParam();
  const Outcome o = decode_every_way(v.input);
  EXPECT_EQ(o.results, v.expected);
  EXPECT_EQ(o.byte_count, static_cast<std::int64_t>(v.input.size()));
  EXPECT_FALSE(o.dangerous);
}

const Flush none{""};

INSTANTIATE_TEST_SUITE_P(
    Groups, DecoderVectors,
    testing::Values(
        Vector{"empty", "", {none, End{}}},
        Vector{"one_group", "YWJj", {Flush{"abc"}, none, End{}}},
        Vector{"two_groups", "Zm9vYmFy", {Flush{"foo"}, Flush{"bar"}, none, End{}}},
        Vector{"all_zero_and_all_one_bits", "AAAA////", {Flush{"\0\0\0"s}, Flush{"\xff\xff\xff"}, none, End{}}},
        Vector{"whole_alphabet",
               std::string(base64_alphabet),
               {Flush{"\x00\x10\x83"s}, Flush{"\x10\x51\x87"}, Flush{"\x20\x92\x8b"}, Flush{"\x30\xd3\x8f"},
                Flush{"\x41\x14\x93"}, Flush{"\x51\x55\x97"}, Flush{"\x61\x96\x9b"}, Flush{"\x71\xd7\x9f"},
                Flush{"\x82\x18\xa3"}, Flush{"\x92\x59\xa7"}, Flush{"\xa2\x9a\xab"}, Flush{"\xb2\xdb\xaf"},
                Flush{"\xc3\x1c\xb3"}, Flush{"\xd3\x5d\xb7"}, Flush{"\xe3\x9e\xbb"}, Flush{"\xf3\xdf\xbf"}, none,
                End{}}},
        Vector{"space_inside_group", "YW Jj", {Flush{"abc"}, none, End{}}},
        Vector{"spaces_and_tabs_everywhere", " \tY W\tJ j \t", {Flush{"abc"}, none, End{}}},
        Vector{"line_break_inside_group", "YW\r\nJj", {Flush{"abc"}, none, End{}}},
        Vector{"line_breaks_only", "\r\n\r\n", {none, End{}}}),
    case_name<Vector>);

INSTANTIATE_TEST_SUITE_P(
    Padding, DecoderVectors,
    testing::Values(
        Vector{"two_equals_after_two", "YWJjZA==", {Flush{"abc"}, Flush{"d"}, End{}}},
        Vector{"one_equals_after_three", "YWI=", {Flush{"ab"}, End{}}},
        Vector{"two_equals_alone", "YQ==", {Flush{"a"}, End{}}},
        Vector{"stray_low_bits_ignored_after_two", "QR==", {Flush{"A"}, End{}}},
        Vector{"stray_low_bits_ignored_after_three", "YWJ=", {Flush{"ab"}, End{}}},
        Vector{"equals_split_by_line_break", "YQ=\r\n=", {Flush{"a"}, End{}}},
        Vector{"space_after_padding", "YQ== \t", {Flush{"a"}, End{}}},
        Vector{"too_few_equals", "YQ=", {Flush{"a"}, Wrong_padding{}, End{}}},
        Vector{"no_equals_after_two", "YQ", {Flush{"a"}, Wrong_padding{}, End{}}},
        Vector{"no_equals_after_three", "YWI", {Flush{"ab"}, Wrong_padding{}, End{}}},
        Vector{"too_many_equals_after_three", "YWI==", {Flush{"ab"}, Wrong_padding{}, End{}}},
        Vector{"single_character", "Y", {none, Wrong_padding{}, End{}}},
        Vector{"single_character_padded", "Y===", {none, Wrong_padding{}, End{}}},
        Vector{"equals_only", "====", {none, Wrong_padding{}, End{}}},
        Vector{"equals_after_complete_group", "YWJj=", {Flush{"abc"}, none, Wrong_padding{}, End{}}},
        Vector{"characters_after_padding", "YQ==YWJj",
               {Malformed{"Y"}, Malformed{"W"}, Malformed{"J"}, Malformed{"j"}, Flush{"a"}, End{}}},
        Vector{"equals_inside_group_then_more", "YW=Jj",
               {Malformed{"J"}, Malformed{"j"}, Flush{"a"}, Wrong_padding{}, End{}}}),
    case_name<Vector>);

INSTANTIATE_TEST_SUITE_P(
    StrayBytes, DecoderVectors,
    testing::Values(
        Vector{"star_inside_group", "YW*Jj", {Malformed{"*"}, Flush{"abc"}, none, End{}}},
        Vector{"nul_inside_group", "YW\0Jj"s, {Malformed{"\0"s}, Flush{"abc"}, none, End{}}},
        Vector{"byte_255_first", "\xffYWJj", {Malformed{"\xff"}, Flush{"abc"}, none, End{}}},
        Vector{"byte_128", "YWJj\x80", {Flush{"abc"}, Malformed{"\x80"}, none, End{}}},
        Vector{"lone_lf", "YWJj\n", {Flush{"abc"}, Malformed{"\n"}, none, End{}}},
        Vector{"lone_cr_at_end", "YWJj\r", {Flush{"abc"}, Malformed{"\r"}, none, End{}}},
        Vector{"lone_cr_then_group", "YWJj\rYWJj", {Flush{"abc"}, Malformed{"\r"}, Flush{"abc"}, none, End{}}},
        Vector{"cr_inside_group", "YW\rJj", {Malformed{"\r"}, Flush{"abc"}, none, End{}}},
        Vector{"cr_cr_lf", "YWJj\r\r\n", {Flush{"abc"}, Malformed{"\r"}, none, End{}}},
        Vector{"lf_cr", "\n\rYWJj", {Malformed{"\n"}, Malformed{"\r"}, Flush{"abc"}, none, End{}}},
        Vector{"cr_then_stray", "\r*", {Malformed{"\r"}, Malformed{"*"}, none, End{}}},
        Vector{"cr_then_equals", "YWI\r=", {Malformed{"\r"}, Flush{"ab"}, End{}}},
        Vector{"lone_cr_after_padding", "YQ==\r", {Malformed{"\r"}, Flush{"a"}, End{}}},
        Vector{"url_safe_characters", "-_YWJj", {Malformed{"-"}, Malformed{"_"}, Flush{"abc"}, none, End{}}}),
    case_name<Vector>);

// Long inputs: crossing the 65536-byte read buffer and every chunk size.
TEST(DecoderRoundTrip, AllByteValuesOverManyLines) {
  std::string bytes;
  for (int round = 0; round < 500; ++round)
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>((b * 7 + round) & 0xff);
  bytes += "xy";  // the last group has two bytes
  const std::string body = encode_lines(bytes, 76);
  ASSERT_GT(body.size(), static_cast<std::size_t>(2 * stream_buffer_size));
  const Outcome o = decode_every_way(body);
  EXPECT_EQ(flushed(o), bytes);
  EXPECT_EQ(o.results.back(), Decode_result{End{}});
  EXPECT_EQ(o.byte_count, static_cast<std::int64_t>(body.size()));
  EXPECT_FALSE(o.dangerous);
}

// ---------------------------------------------------------------------------
// Line length: RFC 2045 section 6.8 allows 76 characters per line.

struct Line_case {
  const char* name;
  std::string input;
  bool dangerous;
};
void PrintTo(const Line_case& c, std::ostream* os) { *os << c.name; }

class DecoderLineLength : public testing::TestWithParam<Line_case> {};

TEST_P(DecoderLineLength, DangerousOnlyAfterAnOverlongLine) {
  const Line_case& c = GetParam();
  const Outcome o = decode_every_way(c.input);
  EXPECT_EQ(o.dangerous, c.dangerous);
  EXPECT_EQ(o.byte_count, static_cast<std::int64_t>(c.input.size()));
}

const std::string line76 = repeat("YWJj", 19);

INSTANTIATE_TEST_SUITE_P(
    Lines, DecoderLineLength,
    testing::Values(Line_case{"76_then_crlf", line76 + "\r\n", false},
                    Line_case{"many_76_lines", repeat(line76 + "\r\n", 10), false},
                    Line_case{"78_bytes_without_break", line76 + "  ", false},
                    Line_case{"79_bytes_without_break", line76 + "   ", true},
                    Line_case{"80_without_break", line76 + "YWJj", true},
                    Line_case{"77_then_crlf", line76 + " \r\n", true},
                    Line_case{"group_goes_on_after_break_at_78", line76 + "YW\r\nJj", true},
                    Line_case{"long_line_then_short_lines", line76 + "YWJj\r\nYWJj\r\nYWJj\r\n", true},
                    Line_case{"lone_lf_is_not_a_break", repeat("YWJj", 10) + "\n" + repeat("YWJj", 10), true},
                    Line_case{"lone_cr_is_not_a_break", repeat("YWJj", 10) + "\r" + repeat("YWJj", 10), true},
                    Line_case{"stray_bytes_count", repeat("YWJj", 18) + repeat("*", 5) + "\r\n", true},
                    Line_case{"lone_cr_before_crlf_counts", line76 + "\r\r\n" + line76, true}),
    case_name<Line_case>);

TEST(DecoderLineLength, SetAtTheFlushThatPassesTheLimit) {
  Decoder d = decoder(Source::String{repeat("YWJj", 20)});
  for (int group = 1; group <= 20; ++group) {
    ASSERT_EQ(decode(d), Decode_result{Flush{"abc"}});
    EXPECT_EQ(decoder_dangerous(d), group == 20) << "after group " << group;
  }
}

TEST(DecoderLineLength, SetWhenTheLineBreakIsCounted) {
  const std::string input = line76 + "YW\r\nJj";
  Decoder d = decoder(Source::String{input});
  for (int group = 0; group < 19; ++group) ASSERT_EQ(decode(d), Decode_result{Flush{"abc"}});
  EXPECT_FALSE(decoder_dangerous(d));
  EXPECT_EQ(decode(d), Decode_result{Flush{"abc"}});
  EXPECT_TRUE(decoder_dangerous(d));
  EXPECT_EQ(decoder_byte_count(d), 82);
}

TEST(DecoderRoundTrip, SeventySevenCharacterLinesAreDangerous) {
  const std::string bytes(300, 'x');
  const Outcome o = decode_every_way(encode_lines(bytes, 77));
  EXPECT_EQ(flushed(o), bytes);
  EXPECT_TRUE(o.dangerous);
}

// ---------------------------------------------------------------------------
// Manual sources: when Await comes, and what src does.

// Decodes the chunks in order, then signals the end; records every result.
Results script(const std::vector<std::string>& chunks, Decoder& d) {
  Results out;
  std::size_t next = 0;
  for (int call = 0; call < 64; ++call) {
    Decode_result r = decode(d);
    const bool await = std::holds_alternative<Await>(r);
    const bool end = std::holds_alternative<End>(r);
    out.push_back(std::move(r));
    if (end) break;
    if (await) {
      if (next < chunks.size()) {
        src(d, chunks[next], 0, static_cast<std::int64_t>(chunks[next].size()));
        ++next;
      } else {
        src(d, "", 0, 0);
      }
    }
  }
  return out;
}

TEST(DecoderManual, AwaitsBetweenChunks) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    Results expected;
    std::int64_t byte_count;
  };
  const Case cases[] = {
      {"no_input", {}, {Await{}, none, End{}}, 0},
      {"group_across_chunks", {"YW", "Jj"}, {Await{}, Await{}, Flush{"abc"}, Await{}, none, End{}}, 4},
      {"crlf_across_chunks",
       {"YWJj\r", "\nYWJj"},
       {Await{}, Flush{"abc"}, Await{}, Flush{"abc"}, Await{}, none, End{}},
       10},
      {"lone_cr_at_chunk_end", {"YWJj\r", "YWJj"},
       {Await{}, Flush{"abc"}, Await{}, Malformed{"\r"}, Flush{"abc"}, Await{}, none, End{}}, 9},
      {"padding_in_last_chunk", {"YW", "I", "="}, {Await{}, Await{}, Await{}, Await{}, Flush{"ab"}, End{}}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoder d = decoder(Source::Manual{});
    EXPECT_EQ(script(c.chunks, d), c.expected);
    EXPECT_EQ(decoder_byte_count(d), c.byte_count);
    EXPECT_EQ(decode(d), Decode_result{End{}});
  }
}

TEST(DecoderManual, NewDecoderAwaitsAndCountsNothing) {
  Decoder d = decoder(Source::Manual{});
  EXPECT_EQ(decode(d), Decode_result{Await{}});
  EXPECT_EQ(decode(d), Decode_result{Await{}});
  EXPECT_EQ(decoder_byte_count(d), 0);
  EXPECT_FALSE(decoder_dangerous(d));
}

TEST(DecoderManual, SrcSelectsTheRangeAndReplacesTheChunk) {
  {
    SCOPED_TRACE("off and len select the bytes");
    Decoder d = decoder(Source::Manual{});
    src(d, "**YWJj**", 2, 4);
    EXPECT_EQ(decode(d), Decode_result{Flush{"abc"}});
    src(d, "**YWJj**", 8, 0);  // off at the very end, len 0: the end of input
    EXPECT_EQ(decode(d), Decode_result{none});
    EXPECT_EQ(decode(d), Decode_result{End{}});
  }
  {
    SCOPED_TRACE("unread bytes of the previous chunk are dropped");
    Decoder d = decoder(Source::Manual{});
    src(d, "YWJjZm9v", 0, 8);
    EXPECT_EQ(decode(d), Decode_result{Flush{"abc"}});
    src(d, "Zg==", 0, 4);
    EXPECT_EQ(decode(d), Decode_result{Await{}});
    src(d, "", 0, 0);
    EXPECT_EQ(decode(d), Decode_result{Flush{"f"}});
    EXPECT_EQ(decode(d), Decode_result{End{}});
    EXPECT_EQ(decoder_byte_count(d), 8);
  }
  {
    SCOPED_TRACE("a chunk after the end was signalled, before decode saw it, replaces the end");
    Decoder d = decoder(Source::Manual{});
    src(d, "", 0, 0);
    src(d, "YWJj", 0, 4);
    EXPECT_EQ(decode(d), Decode_result{Flush{"abc"}});
  }
  {
    SCOPED_TRACE("input after the last Flush is ignored");
    Decoder d = decoder(Source::Manual{});
    src(d, "", 0, 0);
    EXPECT_EQ(decode(d), Decode_result{none});
    src(d, "YWJj", 0, 4);
    EXPECT_EQ(decode(d), Decode_result{End{}});
    EXPECT_EQ(decode(d), Decode_result{End{}});
    EXPECT_EQ(decoder_byte_count(d), 0);
  }
}

// A chunk handed to a String decoder is read in place of the rest of the
// string; after it, the String source has nothing more.
TEST(DecoderManual, SrcOnAStringDecoder) {
  Decoder d = decoder(Source::String{"YWJjZm9v"});
  EXPECT_EQ(decode(d), Decode_result{Flush{"abc"}});
  src(d, "YQ==", 0, 4);
  EXPECT_EQ(decode(d), Decode_result{Flush{"a"}});
  EXPECT_EQ(decode(d), Decode_result{End{}});
  EXPECT_EQ(decoder_byte_count(d), 8);
}

// ---------------------------------------------------------------------------

TEST(DecoderBounds, RefusedWithTheRangeInTheMessageAndNothingChanged) {
  constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
  struct Case {
    std::int64_t off, len;
    const char* message;
  };
  const Case cases[] = {
      {-1, 4, "Invalid bounds (off: -1, len: 4)"},
      {2, 3, "Invalid bounds (off: 2, len: 3)"},
      {0, -1, "Invalid bounds (off: 0, len: -1)"},
      {5, 0, "Invalid bounds (off: 5, len: 0)"},
      {-1, 0, "Invalid bounds (off: -1, len: 0)"},
      {min, 0, "Invalid bounds (off: -9223372036854775808, len: 0)"},
      {0, min, "Invalid bounds (off: 0, len: -9223372036854775808)"},
      {max, max, "Invalid bounds (off: 9223372036854775807, len: 9223372036854775807)"},
      {1, max, "Invalid bounds (off: 1, len: 9223372036854775807)"},
      {max, 1, "Invalid bounds (off: 9223372036854775807, len: 1)"},
      {min, max, "Invalid bounds (off: -9223372036854775808, len: 9223372036854775807)"},
      {max, min, "Invalid bounds (off: 9223372036854775807, len: -9223372036854775808)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    // Part way through a string, with a group left open.
    Decoder d = decoder(Source::String{"YWJjZm9vY\r\nQ=="});
    ASSERT_EQ(decode(d), Decode_result{Flush{"abc"}});
    try {
      src(d, "YWJj", c.off, c.len);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(decoder_byte_count(d), 4);
    EXPECT_EQ(decode(d), Decode_result{Flush{"foo"}});
    EXPECT_EQ(decode(d), Decode_result{Flush{"a"}});
    EXPECT_EQ(decode(d), Decode_result{End{}});
  }
}

// ---------------------------------------------------------------------------
// Channel sources.

TEST(DecoderChannel, EmptyStream) {
  std::istringstream in("");
  Decoder d = decoder(Source::Channel{in});
  EXPECT_EQ(decode(d), Decode_result{none});
  EXPECT_EQ(decode(d), Decode_result{End{}});
}

// With failbit in the exception mask, a naive read to end of file would
// throw; the end of the stream must still be a clean end of input.
TEST(DecoderChannel, EndOfFileWithExceptionsEnabled) {
  std::istringstream in("YWI=");
  in.exceptions(std::ios::failbit | std::ios::badbit);
  Decoder d = decoder(Source::Channel{in});
  EXPECT_EQ(decode(d), Decode_result{Flush{"ab"}});
  EXPECT_EQ(decode(d), Decode_result{End{}});
}

// Hands out one segment per read, and only the segments let through so far:
// asking for more stands for a read that would wait for data.
class Gated_buf : public std::streambuf {
 public:
  explicit Gated_buf(std::vector<std::string> segments) : segments_(std::move(segments)) {}
  std::size_t open = 0;  // segments that have arrived; == size: end of file too

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (next_ >= open) {
      ADD_FAILURE() << "read waits for segment " << next_;
      return traits_type::eof();
    }
    if (next_ == segments_.size()) return traits_type::eof();
    std::string& s = segments_[next_++];
    setg(s.data(), s.data(), s.data() + s.size());
    return traits_type::to_int_type(s[0]);
  }

 private:
  std::vector<std::string> segments_;
  std::size_t next_ = 0;
};

TEST(DecoderChannel, DecodesWhatHasArrivedWithoutWaitingForMore) {
  Gated_buf buf({"YWJjZm", "9v", "YQ=", "="});
  std::istream in(&buf);
  Decoder d = decoder(Source::Channel{in});
  buf.open = 1;
  EXPECT_EQ(decode(d), Decode_result{Flush{"abc"}});
  buf.open = 2;
  EXPECT_EQ(decode(d), Decode_result{Flush{"foo"}});
  buf.open = 5;
  EXPECT_EQ(decode(d), Decode_result{Flush{"a"}});
  EXPECT_EQ(decode(d), Decode_result{End{}});
}

#if defined(__GLIBCXX__) && defined(__GLIBC__)
// std::cin, synchronised with C stdio as it is by default, reads through a
// stdio_sync_filebuf over the C FILE `stdin`; these streams are the same
// over a FILE of the test's own.
class Stdio_stream {
 public:
  explicit Stdio_stream(std::FILE* file) : file_(file), buf_(file), in_(&buf_) {}
  ~Stdio_stream() { std::fclose(file_); }
  std::istream& in() { return in_; }
  std::FILE* file() const { return file_; }

 private:
  std::FILE* file_;
  __gnu_cxx::stdio_sync_filebuf<char> buf_;
  std::istream in_;
};

// Such a stream has no get area: the decoder reads what the FILE has
// buffered as one block (it read byte by byte once, at a few MB/s).
TEST(DecoderChannel, StdioSynchronisedStreamIsReadInBlocks) {
  const std::string text = repeat("YWJjZGVm\r\n", 4000) + "YQ==";
  Stdio_stream stream(std::tmpfile());
  ASSERT_NE(stream.file(), nullptr);
  ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), stream.file()), text.size());
  std::rewind(stream.file());
  Decoder d = decoder(Source::Channel{stream.in()});
  EXPECT_EQ(decode(d), Decode_result{Flush{"abc"}});
  EXPECT_GE(std::ftell(stream.file()), 1024);  // taken from the FILE at once
  Outcome whole = run_string(text);
  whole.results.erase(whole.results.begin());
  EXPECT_EQ(drive(d, call_limit(text.size()), [] { return false; }), whole);
}

// Over a pipe, the decoder takes what has arrived and decodes it without
// waiting for more: the writer sends the rest only once the reader has
// decoded the first part (or after 10 s, to end a test that failed).
TEST(DecoderChannel, StdioSynchronisedPipeIsDecodedAsItArrives) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  Stdio_stream stream(fdopen(fds[0], "r"));
  std::promise<void> first_part_decoded;
  std::thread writer([&, done = first_part_decoded.get_future()] {
    ASSERT_EQ(write(fds[1], "YWJj\r\nZm9v", 10), 10);
    EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the decoder waited";
    ASSERT_EQ(write(fds[1], "YQ==", 4), 4);
    close(fds[1]);
  });
  Decoder d = decoder(Source::Channel{stream.in()});
  EXPECT_EQ(decode(d), Decode_result{Flush{"abc"}});
  EXPECT_EQ(decode(d), Decode_result{Flush{"foo"}});
  first_part_decoded.set_value();
  EXPECT_EQ(decode(d), Decode_result{Flush{"a"}});
  EXPECT_EQ(decode(d), Decode_result{End{}});
  writer.join();
}
#endif

// The caller's chunk is read in place; when it is used up, the stream is
// read into the decoder's own buffer, never into the caller's chunk.
TEST(DecoderChannel, SrcChunkIsNeverWrittenTo) {
  std::istringstream in("Zm9vYmFy");
  Decoder d = decoder(Source::Channel{in});
  const std::string chunk = "YWJj";
  src(d, chunk, 0, 4);
  EXPECT_EQ(decode(d), Decode_result{Flush{"abc"}});
  EXPECT_EQ(decode(d), Decode_result{Flush{"foo"}});
  EXPECT_EQ(decode(d), Decode_result{Flush{"bar"}});
  EXPECT_EQ(decode(d), Decode_result{none});
  EXPECT_EQ(chunk, "YWJj");
}

struct Link_down : std::runtime_error {
  Link_down() : std::runtime_error("link down") {}
};

// Hands out its bytes, then fails.
class Failing_buf : public std::streambuf {
 public:
  explicit Failing_buf(std::string bytes) : bytes_(std::move(bytes)) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (given_) throw Link_down();
    given_ = true;
    setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
    return traits_type::to_int_type(bytes_[0]);
  }

 private:
  std::string bytes_;
  bool given_ = false;
};

// A broken stream must not pass for a complete, correctly padded body.
TEST(DecoderChannel, ReadFailureIsNotTheEndOfInput) {
  {
    SCOPED_TRACE("stream buffer throws, exceptions off: badbit");
    Failing_buf buf("YWJj");
    std::istream in(&buf);
    Decoder d = decoder(Source::Channel{in});
    EXPECT_EQ(decode(d), Decode_result{Flush{"abc"}});
    EXPECT_THROW((void)decode(d), std::ios_base::failure);
    EXPECT_TRUE(in.bad());
  }
  {
    SCOPED_TRACE("no stream buffer");
    std::istream in(nullptr);
    Decoder d = decoder(Source::Channel{in});
    EXPECT_THROW((void)decode(d), std::ios_base::failure);
  }
  {
    SCOPED_TRACE("file that could not be opened: failbit without end of file");
    std::ifstream in("/nonexistent-dir/body.b64");
    ASSERT_TRUE(in.fail());
    Decoder d = decoder(Source::Channel{in});
    EXPECT_THROW((void)decode(d), std::ios_base::failure);
  }
}

TEST(DecoderChannel, StreamExceptionPassesThrough) {
  Failing_buf buf("YWJj");
  std::istream in(&buf);
  in.exceptions(std::ios::badbit);
  Decoder d = decoder(Source::Channel{in});
  EXPECT_EQ(decode(d), Decode_result{Flush{"abc"}});
  EXPECT_THROW((void)decode(d), Link_down);
}

// ---------------------------------------------------------------------------
// Swallowed results loop inside one call: constant stack, no allocation.

TEST(DecoderSteps, MillionsOfSkippedBytesInOneCall) {
  struct Case {
    const char* name;
    std::string body;
    bool dangerous;
  };
  const Case cases[] = {{"spaces", std::string(1'000'000, ' '), true},
                        {"crlf", repeat("\r\n", 1'000'000), false},
                        {"equals", std::string(1'000'000, '='), true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoder d = decoder(Source::Manual{});
    ASSERT_EQ(decode(d), Decode_result{Await{}});
    src(d, c.body, 0, static_cast<std::int64_t>(c.body.size()));
    const std::int64_t before = allocation_count;
    EXPECT_EQ(decode(d), Decode_result{Await{}});
    EXPECT_EQ(allocation_count, before);
    EXPECT_EQ(decoder_byte_count(d), static_cast<std::int64_t>(c.body.size()));
    EXPECT_EQ(decoder_dangerous(d), c.dangerous);
  }
}

TEST(DecoderSteps, DecodingAStringAllocatesNothing) {
  const std::string bytes(30'000, '\x5a');
  Decoder d = decoder(Source::String{encode_lines(bytes, 76) + " *\r"});
  std::size_t flushed_bytes = 0;
  int malformed = 0;
  const std::int64_t before = allocation_count;
  for (;;) {
    const Decode_result r = decode(d);
    if (const auto* f = std::get_if<Flush>(&r)) flushed_bytes += f->bytes.size();
    if (std::holds_alternative<Malformed>(r)) ++malformed;
    if (std::holds_alternative<End>(r)) break;
  }
  EXPECT_EQ(allocation_count, before);
  EXPECT_EQ(flushed_bytes, bytes.size());
  EXPECT_EQ(malformed, 2);
}

// ---------------------------------------------------------------------------

TEST(DecoderSources, DecoderKeepsItsSource) {
  {
    std::string body(1000, 'A');
    const char* bytes = body.data();
    Decoder d = decoder(Source::String{std::move(body)});
    (void)decode(d);
    src(d, "YWJj", 0, 4);
    const auto* s = std::get_if<Source::String>(&decoder_src(d).kind());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->bytes.data(), bytes) << "a String moved in is not copied";
    EXPECT_EQ(s->bytes, std::string(1000, 'A'));
  }
  {
    std::istringstream in("YWJj");
    Decoder d = decoder(Source::Channel{in});
    src(d, "YWJj", 0, 4);
    const auto* c = std::get_if<Source::Channel>(&decoder_src(d).kind());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(&c->stream.get(), &in);
  }
  {
    Decoder d = decoder(Source::Manual{});
    src(d, "YWJj", 0, 4);
    EXPECT_TRUE(std::holds_alternative<Source::Manual>(decoder_src(d).kind()));
  }
}

// A short String lives inside the decoder; a moved decoder must read it from
// its new place.
TEST(DecoderSources, MovedDecoderGoesOn) {
  Decoder a = decoder(Source::String{"YWJjZm9vYQ=="});
  ASSERT_EQ(decode(a), Decode_result{Flush{"abc"}});
  Decoder b = std::move(a);
  EXPECT_EQ(decode(a), Decode_result{End{}}) << "a moved-from decoder is over";
  EXPECT_EQ(decode(b), Decode_result{Flush{"foo"}});
  Decoder c = decoder(Source::Manual{});
  c = std::move(b);
  EXPECT_EQ(decode(c), Decode_result{Flush{"a"}});
  EXPECT_EQ(decode(c), Decode_result{End{}});
  EXPECT_EQ(decoder_byte_count(c), 12);
}

}  // namespace

// ---------------------------------------------------------------------------
// decode_into on bodies with everything that takes it off its batches: short
// and long lines, stray bytes, spaces, lone CR and LF, '=' anywhere, bodies
// cut anywhere; every source, chunk size and space size (decode_every_way).

TEST(DecodeInto, RandomBodiesAgreeWithDecode) {
  std::mt19937 rng(2045);
  const std::string faults[] = {" ", "\t", "*", "\n", "\r", "=", "==", "\r\n", "\xff", "\r\n\r\n", "-", "\0"s};
  for (int round = 0; round < 120; ++round) {
    std::string bytes(rng() % (round % 2 == 0 ? 150 : 900), '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    const std::size_t line = round % 3 == 0 ? 1 + rng() % 100 : 76;
    std::string body = encode_lines(bytes, line);
    if (round % 4 == 1) body.resize(rng() % (body.size() + 1));
    for (auto k = rng() % 5; k > 0; --k)
      body.insert(rng() % (body.size() + 1), faults[rng() % std::size(faults)]);
    SCOPED_TRACE("round " + std::to_string(round) + ": " + escaped(body));
    decode_every_way(body);
    if (testing::Test::HasFailure()) break;
  }
}

// Bodies of 20 to 60 lines of 76 characters, where decode_into takes runs
// of lines in one pass (16 lines at a time with AVX-512), with a fault or
// two anywhere: within a run, at a line end, at the last line.
TEST(DecodeInto, LongBodiesAgreeWithDecode) {
  std::mt19937 rng(76);
  const std::string faults[] = {"*", "=", "\r", "\n", " ", "\xff", "A"};
  for (int round = 0; round < 16; ++round) {
    std::string bytes(57 * (20 + rng() % 41) - rng() % 3, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    std::string body = encode_lines(bytes, 76);
    for (auto k = round % 3; k > 0; --k) body[rng() % body.size()] = faults[rng() % std::size(faults)][0];
    // And in every other round, one at a CR or LF of some line.
    if (round % 2 == 1) body[rng() % (body.size() / 78) * 78 + 76 + rng() % 2] = faults[rng() % std::size(faults)][0];
    SCOPED_TRACE("round " + std::to_string(round) + ": " + escaped(body));
    decode_every_way(body);
    if (testing::Test::HasFailure()) break;
  }
}

// Padding in every position of a short body, and a Flush split by every
// space size: the '=' count decides at the end, the bytes come out whole.
TEST(DecodeInto, PaddingInEveryPosition) {
  const std::string body = "YWJjZGVm\r\nZ2g=";
  for (std::size_t at = 0; at <= body.size(); ++at) {
    for (const char* padding : {"=", "=="}) {
      std::string padded = body;
      padded.insert(at, padding);
      SCOPED_TRACE(escaped(padded));
      decode_every_way(padded);
    }
  }
}

// The bulk calls allocate nothing per call: the decoder's scratch is made
// once, by its first decode_into; encode_bytes writes into the space or the
// encoder's own buffer.
TEST(BulkCalls, NothingAllocatedPerCall) {
  std::string bytes(30'000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + 7);
  const std::string body = encode_lines(bytes, 76) + " *\r";
  {
    Decoder d = decoder(Source::String{body});
    std::vector<char> out(bytes.size() + 3);
    Decoded r = decode_into(d, std::span<char>(out).first(10));
    std::size_t n = r.written;
    const std::int64_t before = allocation_count;
    int malformed = 0;
    for (int calls = 0; r.stop != Decode_stop::End && calls < 100; ++calls) {
      r = decode_into(d, std::span<char>(out).subspan(n));
      n += r.written;
      malformed += r.stop == Decode_stop::Malformed;
    }
    EXPECT_EQ(allocation_count, before);
    EXPECT_EQ(r.stop, Decode_stop::End);
    EXPECT_EQ(malformed, 2);
    EXPECT_TRUE(std::string_view(out.data(), n) == bytes);
  }
  {
    std::string text;
    text.reserve(2 * bytes.size());
    Encoder e = encoder(Destination::Buffer{text});
    std::vector<char> space(4096);
    Encoder m = encoder(Destination::Manual{});
    dst(m, space, 0, 4096);
    const std::int64_t before = allocation_count;
    std::size_t taken = 0;
    EXPECT_EQ(encode_bytes(e, bytes, taken), Encode_result::Ok);
    EXPECT_EQ(encode_bytes(m, bytes, taken), Encode_result::Partial);
    EXPECT_EQ(allocation_count, before);
    EXPECT_EQ(taken, 4096u / 78 * 57 + (4096 % 78) / 4 * 3);
  }
}

// ---------------------------------------------------------------------------
// decode_into over a std::stringbuf reads the bytes where the stream buffer
// holds them. It must leave the stream as the reads that copy them do, which
// a buffer of a type derived from std::stringbuf still gets: the same bytes
// taken, state and gcount() at every return, whatever the caller does to the
// stream between calls.

class Derived_stringbuf : public std::stringbuf {
 public:
  using std::stringbuf::stringbuf;
};

struct Stream_point {
  Decoded result;
  std::int64_t byte_count;
  bool dangerous;
  std::streamoff taken;  // the stream buffer's read position
  std::streamsize extracted;
  std::ios::iostate state;
  friend bool operator==(const Stream_point&, const Stream_point&) = default;
};

void PrintTo(const Stream_point& p, std::ostream* os) {
  *os << "{written " << p.result.written << ", stop " << static_cast<int>(p.result.stop) << ", byte_count "
      << p.byte_count << ", taken " << p.taken << ", gcount " << p.extracted << ", state " << p.state << "}";
}

// Decodes a Channel over `in` with the spaces in turn (0: one `decode`),
// noting every return; before call `at`, `between` acts on the stream.
template <class Between>
std::vector<Stream_point> read_stream(std::iostream& in, const std::vector<std::size_t>& spaces, std::string& bytes,
                                      std::size_t at, Between between) {
  Decoder d = decoder(Source::Channel{in});
  std::vector<Stream_point> points;
  std::vector<char> out;
  for (std::size_t call = 0; call < 1'000'000; ++call) {
    if (call == at) between(in);
    const std::size_t space = spaces[call % spaces.size()];
    Decoded r;
    if (space == 0) {
      const Decode_result one = decode(d);
      const Stop_point p = point_of(one, 0, d);
      if (const auto* f = std::get_if<Flush>(&one)) bytes += f->bytes;
      r = {std::holds_alternative<Flush>(one) ? std::get<Flush>(one).bytes.size() : 0, p.stop, p.byte};
    } else {
      out.resize(space);
      r = decode_into(d, out);
      bytes.append(out.data(), r.written);
    }
    // pubseekoff on the buffer, as tellg() would set failbit once eofbit is set.
    points.push_back({r, decoder_byte_count(d), decoder_dangerous(d),
                      static_cast<std::streamoff>(in.rdbuf()->pubseekoff(0, std::ios::cur, std::ios::in)), in.gcount(),
                      in.rdstate()});
    if (r.stop == Decode_stop::End) return points;
  }
  ADD_FAILURE() << "no End";
  return points;
}

TEST(DecodeInto, StringbufIsReadAsFarAsByCopyingReads) {
  std::mt19937 rng(48);
  std::string bytes(57 * 2200 + 1, '\0');  // 172 KiB of text: over three reads of 48 KiB
  for (char& c : bytes) c = static_cast<char>(rng());
  const std::string clean = encode_lines(bytes, 76);
  std::string faulty = clean;
  // A stray byte early, and faults around the ends of the reads (49152 bytes
  // each once decode_into reads): a space, a CR without its LF, a stray byte.
  for (const auto& [at, c] : std::vector<std::pair<std::size_t, char>>{
           {100, '*'}, {49151, ' '}, {98303, '\r'}, {98304, '#'}, {147455, '-'}, {147457, '='}})
    faulty[at] = c;
  const std::string wrong_padding = clean.substr(0, 60'000) + "YQ=\r\n";
  const std::string more = encode_lines(std::string(57 * 900, 'm'), 76);
  const auto nothing = [](std::iostream&) {};
  const auto append = [&](std::iostream& s) { s << more; };  // the buffer's string grows: it moves
  const auto replace = [&](std::iostream& s) { static_cast<std::stringbuf*>(s.rdbuf())->str(more); };
  const std::vector<std::vector<std::size_t>> spaces = {{1u << 20}, {1}, {7, 4096}, {0, 57, 0, 100'000}, {3, 0}};
  const std::string* const bodies[] = {&clean, &faulty, &wrong_padding};
  for (const std::string* body : bodies) {
    for (const auto& turn : spaces) {
      for (int action = 0; action < 3; ++action) {
        SCOPED_TRACE("body " + std::to_string(body->size()) + " bytes, spaces from " + std::to_string(turn[0]) +
                     ", action " + std::to_string(action));
        const auto mode = std::ios::in | std::ios::out | std::ios::ate;
        std::stringbuf in_place(*body, mode);
        Derived_stringbuf copied(*body, mode);
        std::iostream a(&in_place), b(&copied);
        std::string bytes_a, bytes_b;
        const auto run = [&](std::iostream& s, std::string& decoded) {
          return action == 0 ? read_stream(s, turn, decoded, 0, nothing)
                 : action == 1 ? read_stream(s, turn, decoded, 3, append)
                               : read_stream(s, turn, decoded, 3, replace);
        };
        const std::vector<Stream_point> points = run(a, bytes_a);
        EXPECT_EQ(points, run(b, bytes_b));
        EXPECT_TRUE(bytes_a == bytes_b);
        if (action == 0 && body == &clean) {
          EXPECT_TRUE(bytes_a == bytes);
        }
        if (testing::Test::HasFailure()) return;
      }
    }
  }
}
