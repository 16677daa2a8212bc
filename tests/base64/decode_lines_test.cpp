// SPDX-License-Identifier: MIT
// decode_lines_into against a reference that decodes one line at a time
// with decode_into: the same count of lines taken, the same bytes, for every
// kernel this machine can run and the emulated ones, whatever the line
// length, the line end, the alphabet, the room and the faults in the text.
//
// Text and output live in heap blocks of exactly their size, so that
// AddressSanitizer catches an access one byte past either end.
#include <base64/base64.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kernels.hpp"
#include "kernel_list.hpp"

#include "guarded_pages.hpp"

namespace {

namespace detail = Base64::detail;
using Base64::Line_end;
using Base64::Line_layout;
using Base64::Lines_progress;

using base64_test::supported_kernels;

struct Named_alphabet {
  const char* name;
  Base64::Alphabet alphabet;
};

// The standard one, and a caller's of 64 random bytes, many above 127 (it
// needs the kernels' lookup of every code), with no '=', '\r' or '\n'.
std::vector<Named_alphabet> alphabets() {
  std::mt19937_64 rng(12);
  std::string random;
  while (random.size() < 64) {
    const auto c = static_cast<char>(rng());
    if (c != '=' && c != '\r' && c != '\n' && random.find(c) == std::string::npos) random += c;
  }
  return {{"standard", Base64::standard_alphabet}, {"random", Base64::make_alphabet(random)}};
}

std::string_view end_of(Line_end end) { return end == Line_end::lf ? "\n" : "\r\n"; }

// `lines` random lines of the layout and then `rest` characters of a line
// that has no end yet.
std::string body(std::mt19937_64& rng, const Base64::Alphabet& a, const Line_layout& layout, std::size_t lines,
                 std::size_t rest) {
  std::string text;
  const auto chars = [&](std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) text += static_cast<char>(a.emap()[rng() & 63]);
  };
  for (std::size_t i = 0; i < lines; ++i) {
    chars(layout.length);
    text += end_of(layout.end);
  }
  chars(rest);
  return text;
}

// One line at a time: a line of the layout's length that decode_into takes
// in full, with no '=', and its line end, while its bytes fit in `room`.
Lines_progress reference(std::string_view text, std::size_t room, const Line_layout& layout,
                         const Base64::Alphabet& a, std::string& bytes) {
  const std::string_view end = end_of(layout.end);
  const std::size_t stride = layout.length + end.size(), line_bytes = layout.length / 4 * 3;
  Lines_progress p;
  bytes.clear();
  for (; text.size() - p.read >= stride && room - p.written >= line_bytes; p.read += stride) {
    const std::string_view line = text.substr(p.read, layout.length);
    if (text.substr(p.read + layout.length, end.size()) != end || line.find('=') != std::string_view::npos) break;
    std::string decoded(line_bytes, '\0');
    const Base64::Into_result r = Base64::decode_into(line, decoded, {.alphabet = a});
    if (!r || *r != line_bytes) break;
    bytes += decoded;
    p.written += line_bytes;
  }
  return p;
}

// The kernel's run on copies of exactly the size; checks it against the
// reference.
void expect_as_reference(const detail::Kernel& k, const Base64::Alphabet& a, std::string_view text,
                         std::size_t room, const Line_layout& layout) {
  std::string want;
  const Lines_progress expected = reference(text, room, layout, a, want);
  const auto in = std::make_unique<char[]>(text.size());
  if (!text.empty()) std::memcpy(in.get(), text.data(), text.size());
  const auto out = std::make_unique<char[]>(room);
  const Lines_progress got = detail::decode_lines_into(k, a, {in.get(), text.size()}, {out.get(), room}, layout);
  ASSERT_EQ(got, expected);
  ASSERT_EQ(std::string_view(out.get(), got.written), want);
}

// Every multiple of 4 up to 120 (the AVX-512 kernel takes 64 and up, by
// two blocks up to 128), lengths of more blocks, and lines too long for the
// core to gather several.
std::vector<std::size_t> line_lengths() {
  std::vector<std::size_t> ls;
  for (std::size_t n = 4; n <= 120; n += 4) ls.push_back(n);
  for (const std::size_t n : {124u, 128u, 132u, 188u, 192u, 196u, 256u, 1028u, 4100u}) ls.push_back(n);
  return ls;
}

TEST(DecodeLines, AgreesWithOneLineAtATime) {
  std::mt19937_64 rng(1);
  for (const auto& a : alphabets()) {
    for (const std::size_t length : line_lengths()) {
      for (const Line_end end : {Line_end::crlf, Line_end::lf}) {
        const Line_layout layout{length, end};
        // Past one stretch of the core's 8 KiB, and a cut last line.
        const std::size_t many = 8192 / length + 3;
        for (const std::size_t lines : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{5}, many}) {
          for (const std::size_t rest : {std::size_t{0}, length / 2, length + end_of(end).size() - 1}) {
            const std::string text = body(rng, a.alphabet, layout, lines, rest);
            const std::size_t room = lines * (length / 4 * 3);
            for (const auto* k : supported_kernels()) {
              SCOPED_TRACE(std::string(k->name) + " " + a.name + " length " + std::to_string(length) +
                           (end == Line_end::lf ? " lf" : " crlf") + " lines " + std::to_string(lines) + " rest " +
                           std::to_string(rest));
              expect_as_reference(*k, a.alphabet, text, room + 100, layout);
              // The room exact, and one byte short: a line fewer.
              expect_as_reference(*k, a.alphabet, text, room, layout);
              if (room > 0) expect_as_reference(*k, a.alphabet, text, room - 1, layout);
            }
          }
        }
      }
    }
  }
}

// A stray byte, '=', a byte with the top bit set or a character in place
// of the line end, at every position of a few lines: the lines before it are
// taken, the one with it is not.
TEST(DecodeLines, StopsBeforeTheFirstLineThatIsNotOne) {
  std::mt19937_64 rng(2);
  const auto as = alphabets();
  for (const auto& a : as) {
    for (const std::size_t length : {4u, 60u, 64u, 76u, 120u, 132u}) {
      for (const Line_end end : {Line_end::crlf, Line_end::lf}) {
        const Line_layout layout{length, end};
        // MIME lines past the 16 that the AVX-512 kernel takes at once.
        const std::size_t lines = length == 76 ? 18 : 4;
        const std::string text = body(rng, a.alphabet, layout, lines, 0);
        // The alphabet's first character stands in at a line end.
        const char letter = static_cast<char>(a.alphabet.emap()[0]);
        std::vector<char> faults = {'=', '*', '\r', '\n', '\0', letter};
        // A byte outside the alphabet above 127 (the random one has many).
        for (int c = 255; c >= 128; --c)
          if (a.alphabet.dmap()[static_cast<std::size_t>(c)] < 0) {
            faults.push_back(static_cast<char>(c));
            break;
          }
        for (const auto* k : supported_kernels()) {
          for (std::size_t at = 0; at < text.size(); ++at) {
            for (const char fault : faults) {
              if (text[at] == fault) continue;
              std::string bad = text;
              bad[at] = fault;
              SCOPED_TRACE(std::string(k->name) + " " + a.name + " length " + std::to_string(length) +
                           (end == Line_end::lf ? " lf" : " crlf") + " at " + std::to_string(at) + " byte " +
                           std::to_string(static_cast<std::uint8_t>(fault)));
              expect_as_reference(*k, a.alphabet, bad, lines * (length / 4 * 3), layout);
            }
          }
        }
      }
    }
  }
}

TEST(DecodeLines, PublicCall) {
  // The defaults: 76 characters and CR LF, the standard alphabet.
  const std::string line(76, 'A');
  const std::string text = line + "\r\n" + line + "\r\n" + "QQ==\r\n";
  std::string out(200, '?');
  EXPECT_EQ(Base64::decode_lines_into(text, out), (Lines_progress{156, 114}));
  EXPECT_EQ(out.substr(0, 114), std::string(114, '\0'));
  // No room for a second line; nothing of an empty text.
  EXPECT_EQ(Base64::decode_lines_into(text, std::span<char>(out).first(113)), (Lines_progress{78, 57}));
  EXPECT_EQ(Base64::decode_lines_into("", out), (Lines_progress{}));
  // A PEM layout and the URL-safe alphabet.
  EXPECT_EQ(Base64::decode_lines_into("-_-_\n-_-_\n-_", out, {4, Line_end::lf}, Base64::url_safe_alphabet),
            (Lines_progress{10, 6}));
  EXPECT_EQ(out.substr(0, 6), "\xfb\xff\xbf\xfb\xff\xbf");
  for (const std::size_t length : {0u, 1u, 2u, 3u, 6u, 77u}) {
    SCOPED_TRACE(length);
    try {
      (void)Base64::decode_lines_into(text, out, {length, Line_end::crlf});
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Invalid line length");
    }
  }
}

#if defined(__unix__)
// Text and output against an inaccessible page: the kernels' full-width
// loads and stores must stay inside both.
TEST(DecodeLines, NextToInaccessiblePages) {
  const base64_test::Guarded_pages in_pages(2), out_pages(2);
  ASSERT_TRUE(in_pages.ok() && out_pages.ok());
  std::mt19937_64 rng(3);
  for (const auto& a : alphabets()) {
    for (const std::size_t length : {64u, 68u, 76u, 128u, 132u, 256u}) {
      for (const Line_end end : {Line_end::crlf, Line_end::lf}) {
        const Line_layout layout{length, end};
        for (const std::size_t lines : {1u, 2u, 7u}) {
          const std::string text = body(rng, a.alphabet, layout, lines, 0);
          std::string want;
          const Lines_progress expected = reference(text, lines * (length / 4 * 3), layout, a.alphabet, want);
          ASSERT_EQ(expected.read, text.size());
          for (const auto* k : supported_kernels()) {
            for (const bool at_end : {true, false}) {
              SCOPED_TRACE(std::string(k->name) + " " + a.name + " length " + std::to_string(length) +
                           " lines " + std::to_string(lines) + (at_end ? " at end" : " at start"));
              char* in = at_end ? in_pages.last(text.size()) : in_pages.first();
              char* out = at_end ? out_pages.last(want.size()) : out_pages.first();
              std::memcpy(in, text.data(), text.size());
              const Lines_progress got =
                  detail::decode_lines_into(*k, a.alphabet, {in, text.size()}, {out, want.size()}, layout);
              ASSERT_EQ(got, expected);
              ASSERT_EQ(std::string_view(out, got.written), want);
            }
          }
        }
      }
    }
  }
}
#endif

}  // namespace
