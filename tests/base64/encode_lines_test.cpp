// SPDX-License-Identifier: MIT
// encode_lines_into with every kernel this machine can run and every
// emulated one, against lines made one by one with encode_into and the line
// end written after each.
//
// Inputs and outputs live in heap blocks of exactly their size, so that
// AddressSanitizer catches a read or write one byte past either end; a guard
// pattern catches writes past `written` inside the output.
#include <base64/base64.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
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

using Sizes = std::initializer_list<std::size_t>;

constexpr char guard = '\x5A';  // 'Z': never at a place where it is expected

using base64_test::supported_kernels;

std::string random_bytes(std::mt19937_64& rng, std::size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

struct Named_alphabet {
  const char* name;
  Base64::Alphabet alphabet;
};

// The built-in alphabets and a caller's, with bytes from 128 up.
std::vector<Named_alphabet> alphabets() {
  std::string high;
  for (int c = 0; c < 64; ++c) high += static_cast<char>(c < 32 ? 0x80 + 3 * c : 'A' + (c - 32));
  return {{"standard", Base64::standard_alphabet},
          {"url_safe", Base64::url_safe_alphabet},
          {"high bytes", Base64::make_alphabet(high)}};
}

std::string_view end_of(Line_end end) { return end == Line_end::crlf ? "\r\n" : "\n"; }

// The longest prefix of whole lines that fits in `out_size` bytes, each line
// encoded on its own.
std::string reference(const Base64::Alphabet& a, std::string_view in, std::size_t out_size, const Line_layout& layout) {
  const std::size_t line_bytes = layout.length / 4 * 3, line_text = layout.length + end_of(layout.end).size();
  std::string text;
  for (std::size_t i = 0; in.size() - i >= line_bytes && out_size - text.size() >= line_text; i += line_bytes) {
    std::string line(layout.length, '\0');
    EXPECT_EQ(Base64::encode_into(in.substr(i, line_bytes), line, {.alphabet = a}).value(), layout.length);
    text += line;
    text += end_of(layout.end);
  }
  return text;
}

// Runs the kernel on copies of `in` and an output of out_size bytes, in heap
// blocks of exactly those sizes, and returns what it wrote; the output bytes
// after `written` must still hold the guard.
std::string run(const detail::Kernel& k, const Base64::Alphabet& a, std::string_view in, std::size_t out_size,
                const Line_layout& layout, Lines_progress& progress) {
  const auto in_copy = std::make_unique<char[]>(in.size());
  if (!in.empty()) std::memcpy(in_copy.get(), in.data(), in.size());
  const auto out = std::make_unique<char[]>(out_size);
  std::memset(out.get(), guard, out_size);
  progress = detail::encode_lines_into(k, a, {in_copy.get(), in.size()}, {out.get(), out_size}, layout);
  EXPECT_LE(progress.written, out_size);
  EXPECT_EQ(std::string_view(out.get(), out_size).substr(progress.written).find_first_not_of(guard),
            std::string_view::npos)
      << "written beyond " << progress.written;
  return {out.get(), progress.written};
}

// Every line length from 4 to 120, both line ends, inputs around whole
// numbers of lines (and many lines for the main loops), each with an output
// of exactly its text and one byte too small.
TEST(EncodeLines, MatchesLinesEncodedOneByOne) {
  std::mt19937_64 rng(12);
  for (const auto* k : supported_kernels()) {
    for (const auto& a : alphabets()) {
      for (std::size_t length = 4; length <= 120; length += 4) {
        for (const Line_end end : {Line_end::crlf, Line_end::lf}) {
          const Line_layout layout{.length = length, .end = end};
          const std::size_t line_bytes = length / 4 * 3, line_text = length + end_of(end).size();
          for (const std::size_t lines : Sizes{0, 1, 2, 3, 5, 29, 70}) {
            for (const std::size_t extra : Sizes{0, 1, 2, 3}) {  // one byte short of the lines, up to 2 over
              if (lines == 0 && extra <= 1) continue;  // the empty input has a test of its own
              const std::string in = random_bytes(rng, lines * line_bytes + extra - 1);
              for (const std::size_t out_size : {lines * line_text, lines * line_text - (lines > 0 ? 1 : 0)}) {
                SCOPED_TRACE(std::string(k->name) + " " + a.name + " length " + std::to_string(length) +
                             (end == Line_end::crlf ? " crlf" : " lf") + " input " + std::to_string(in.size()) +
                             " output " + std::to_string(out_size));
                const std::string expected = reference(a.alphabet, in, out_size, layout);
                Lines_progress progress;
                ASSERT_EQ(run(*k, a.alphabet, in, out_size, layout, progress), expected);
                ASSERT_EQ(progress.written, expected.size());
                ASSERT_EQ(progress.read, expected.size() / line_text * line_bytes);
              }
            }
          }
        }
      }
    }
  }
}

// An output far too small for the input, by one byte less than n lines:
// n - 1 lines, nothing after them.
TEST(EncodeLines, StopsAtTheLastLineThatFits) {
  std::mt19937_64 rng(13);
  const std::string in = random_bytes(rng, 57 * 100 + 2);
  for (const auto* k : supported_kernels()) {
    for (const std::size_t lines : Sizes{1, 2, 3, 10, 40}) {
      SCOPED_TRACE(std::string(k->name) + " room for " + std::to_string(lines) + " lines less a byte");
      Lines_progress progress;
      const std::string text = run(*k, Base64::standard_alphabet, in, 78 * lines - 1, {}, progress);
      EXPECT_EQ(progress, (Lines_progress{.read = 57 * (lines - 1), .written = 78 * (lines - 1)}));
      EXPECT_EQ(text, reference(Base64::standard_alphabet, in, 78 * lines - 1, {}));
    }
  }
}

TEST(EncodeLines, EmptyInputOrOutput) {
  char out[100];
  std::memset(out, guard, sizeof out);
  EXPECT_EQ(Base64::encode_lines_into("", out), Lines_progress{});
  EXPECT_EQ(Base64::encode_lines_into(std::string(57, 'x'), std::span<char>()), Lines_progress{});
  EXPECT_EQ(Base64::encode_lines_into(std::string(56, 'x'), out), Lines_progress{});
  EXPECT_EQ(std::string_view(out, sizeof out), std::string(sizeof out, guard));
  // A line longer than any output.
  EXPECT_EQ(Base64::encode_lines_into(std::string(57, 'x'), out, {.length = std::size_t{1} << 62}),
            Lines_progress{});
}

TEST(EncodeLines, InvalidLineLength) {
  char out[100];
  for (const std::size_t length : Sizes{0, 1, 2, 6, 77, 78}) {
    SCOPED_TRACE(length);
    try {
      (void)Base64::encode_lines_into("abc", out, {.length = length});
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Invalid line length");
    }
  }
}

// The public call: a MIME body's lines (76 columns, CR LF) and a PEM file's
// (64 columns, LF), which are the whole-string text with line ends inserted.
TEST(EncodeLines, PublicCallWithDefaults) {
  std::mt19937_64 rng(14);
  const std::string in = random_bytes(rng, 57 * 20 + 5);
  const std::string whole = Base64::encode_string(in);
  const Line_layout pem{.length = 64, .end = Line_end::lf};
  const Line_layout mime{};
  for (const auto& [layout, line_end] : {std::pair{mime, std::string("\r\n")}, std::pair{pem, std::string("\n")}}) {
    std::string out(in.size() * 2, guard);
    const Lines_progress progress = Base64::encode_lines_into(in, out, layout);
    const std::size_t lines = in.size() / (layout.length / 4 * 3);
    std::string expected;
    for (std::size_t k = 0; k < lines; ++k) expected += whole.substr(k * layout.length, layout.length) + line_end;
    EXPECT_EQ(progress.read, lines * (layout.length / 4 * 3));
    EXPECT_EQ(out.substr(0, progress.written), expected);
    EXPECT_EQ(out.substr(progress.written), std::string(out.size() - progress.written, guard));
  }
}

#if defined(__unix__)

// Input and output against an inaccessible page, at its start or its end: a
// full-width access past either end crashes.
TEST(EncodeLines, NextToInaccessiblePages) {
  const base64_test::Guarded_pages in_pages(1), out_pages(1);
  ASSERT_TRUE(in_pages.ok() && out_pages.ok());
  std::mt19937_64 rng(15);
  for (const auto* k : supported_kernels()) {
    for (const std::size_t length : Sizes{4, 40, 64, 76, 120}) {
      for (const Line_end end : {Line_end::crlf, Line_end::lf}) {
        const Line_layout layout{.length = length, .end = end};
        const std::size_t line_bytes = length / 4 * 3, line_text = length + end_of(end).size();
        for (std::size_t n = 0; n <= 6 * line_bytes + 2 && n <= 2000; ++n) {
          SCOPED_TRACE(std::string(k->name) + " length " + std::to_string(length) + " input " + std::to_string(n));
          const std::string bytes = random_bytes(rng, n);
          const std::size_t out_size = n / line_bytes * line_text;
          const std::string expected = reference(Base64::standard_alphabet, bytes, out_size, layout);
          for (const bool at_end : {true, false}) {
            char* in = at_end ? in_pages.last(n) : in_pages.first();
            char* out = at_end ? out_pages.last(out_size) : out_pages.first();
            std::memcpy(in, bytes.data(), n);
            const Lines_progress progress =
                detail::encode_lines_into(*k, Base64::standard_alphabet, {in, n}, {out, out_size}, layout);
            ASSERT_EQ(progress.written, expected.size());
            ASSERT_EQ(std::string_view(out, out_size), expected);
          }
        }
      }
    }
  }
}

#endif

}  // namespace
