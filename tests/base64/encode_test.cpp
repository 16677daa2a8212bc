// SPDX-License-Identifier: MIT
#include <base64/base64.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace {

using Base64::Sub;

struct Vector {
  std::string input;
  std::string padded;
  std::string bare;
};

// RFC 4648 section 10, plus bytes that reach the last two characters.
const Vector vectors[] = {
    {"", "", ""},
    {"f", "Zg==", "Zg"},
    {"fo", "Zm8=", "Zm8"},
    {"foo", "Zm9v", "Zm9v"},
    {"foob", "Zm9vYg==", "Zm9vYg"},
    {"fooba", "Zm9vYmE=", "Zm9vYmE"},
    {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
    {"\xfb\xff", "+/8=", "+/8"},
    {"\xff\xff\xfe", "///+", "///+"},
    {std::string("\0\0\0\0", 4), "AAAAAA==", "AAAAAA"},
};

TEST(Rfc4648Vectors, EveryFormAgrees) {
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.input);
    EXPECT_EQ(Base64::encode_string(v.input), v.padded);
    EXPECT_EQ(Base64::encode_string(v.input, {.pad = false}), v.bare);
    EXPECT_EQ(Base64::encode(v.input).value(), v.padded);
    EXPECT_EQ(Base64::encode(v.input, {.pad = false}).value(), v.bare);
    EXPECT_EQ(Base64::encode_exn(v.input), v.padded);
    EXPECT_EQ(Base64::encode_exn(v.input, {.pad = false}), v.bare);
    std::string out(12, '\0');
    EXPECT_EQ(out.substr(0, Base64::encode_into(v.input, out).value()), v.padded);
    EXPECT_EQ(out.substr(0, Base64::encode_into(v.input, out, {.pad = false}).value()), v.bare);
  }
}

TEST(Rfc4648Vectors, UrlSafeAlphabet) {
  const Base64::String_options url{.alphabet = Base64::url_safe_alphabet};
  EXPECT_EQ(Base64::encode_string("\xfb\xff", url), "-_8=");
  EXPECT_EQ(Base64::encode_string("\xff\xff\xfe", url), "___-");
  EXPECT_EQ(Base64::encode_string("\xfb\xff", {.pad = false, .alphabet = Base64::url_safe_alphabet}), "-_8");
}

TEST(Rfc4648Vectors, EncodedLengths) {
  const int padded[] = {0, 4, 4, 4, 8, 8, 8, 12};
  const int bare[] = {0, 2, 3, 4, 6, 7, 8, 10};
  for (int n = 0; n < 8; ++n) {
    const std::string input(static_cast<std::size_t>(n), 'x');
    EXPECT_EQ(Base64::encode_string(input).size(), static_cast<std::size_t>(padded[n])) << n;
    EXPECT_EQ(Base64::encode_string(input, {.pad = false}).size(), static_cast<std::size_t>(bare[n])) << n;
  }
}

TEST(EncodeSub, BufferKeepsWhatFollowsTheText) {
  const struct {
    std::string input;
    bool pad;
    const Base64::Alphabet& alphabet;
    Sub expected;
  } cases[] = {
      {"", true, Base64::standard_alphabet, {"", 0, 0}},
      {"", false, Base64::standard_alphabet, {"", 0, 0}},
      {"f", false, Base64::standard_alphabet, {"ZgAA", 0, 2}},
      {"fo", false, Base64::standard_alphabet, {"Zm8A", 0, 3}},
      {"f", true, Base64::standard_alphabet, {"Zg==", 0, 4}},
      {"fo", true, Base64::standard_alphabet, {"Zm8=", 0, 4}},
      {"\xfb\xff", false, Base64::url_safe_alphabet, {"-_8A", 0, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input + (c.pad ? " padded" : " bare"));
    EXPECT_EQ(*Base64::encode_sub(c.input, {.pad = c.pad, .alphabet = c.alphabet}), c.expected);
  }
}

TEST(EncodeSub, FillBeyondTextIsTheAlphabetsFirstCharacter) {
  std::string chars = "!BCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const Base64::Alphabet bang = Base64::make_alphabet(chars);
  const auto [buffer, off, len] = *Base64::encode_sub("f", {.pad = false, .alphabet = bang});
  EXPECT_EQ(buffer, "Zg!!");
  EXPECT_EQ(off, 0);
  EXPECT_EQ(len, 2);
}

struct Range_case {
  const char* name;
  std::optional<std::int64_t> off;
  std::optional<std::int64_t> len;
  std::optional<std::string> expected;  // empty: "Invalid bounds"
};

constexpr auto max64 = std::numeric_limits<std::int64_t>::max();
constexpr auto min64 = std::numeric_limits<std::int64_t>::min();

TEST(SubRanges, EncodeSelectsTheRange) {
  const Range_case cases[] = {
      {"off 1 len 2", 1, 2, "b28="},
      {"off 3", 3, {}, "YmFy"},
      {"off 6", 6, {}, ""},
      {"len 0", {}, 0, ""},
      {"off 6 len 0", 6, 0, ""},
      {"off 7", 7, {}, {}},
      {"off -1", -1, {}, {}},
      {"len -1", {}, -1, {}},
      {"len 7", {}, 7, {}},
      {"off 2 len 5", 2, 5, {}},
      {"off max", max64, {}, {}},
      {"off min", min64, {}, {}},
      {"len max", {}, max64, {}},
      {"len min", {}, min64, {}},
      {"off 1 len max", 1, max64, {}},
      {"off max len max", max64, max64, {}},
      {"off max len 1", max64, 1, {}},
      {"off min len max", min64, max64, {}},
      {"off 6 len min", 6, min64, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Base64::Options options{.off = c.off, .len = c.len};
    const auto result = Base64::encode("foobar", options);
    const auto sub = Base64::encode_sub("foobar", options);
    std::array<char, 8> out;
    const auto into = Base64::encode_into("foobar", out, options);
    if (c.expected) {
      EXPECT_EQ(result.value(), *c.expected);
      EXPECT_EQ(std::string(out.data(), into.value()), *c.expected);
      EXPECT_EQ(Base64::encode_exn("foobar", options), *c.expected);
      EXPECT_EQ(sub->buffer, *c.expected);
    } else {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().text, "Invalid bounds");
      ASSERT_FALSE(sub);
      EXPECT_EQ(sub.error().text, "Invalid bounds");
      ASSERT_FALSE(into);
      EXPECT_EQ(into.error().kind, Base64::Error_kind::Invalid_bounds);
      try {
        (void)Base64::encode_exn("foobar", options);
        ADD_FAILURE() << "no exception";
      } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Invalid bounds");
      }
    }
  }
}

TEST(SubRanges, OnlyTheRangeIsRead) {
  // Bytes outside the range must not leak into the text.
  const std::string input = "\xff" "abc" "\xff";
  EXPECT_EQ(Base64::encode_exn(input, {.off = 1, .len = 3}), "YWJj");
}

TEST(ResultType, BehavesLikeExpected) {
  const Base64::Result<std::string> ok = Base64::encode("fo");
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->size(), 4u);
  const Base64::Result<std::string> bad = Base64::encode("fo", {.off = 3});
  EXPECT_FALSE(bad);
  EXPECT_EQ(bad.error(), Base64::Msg{"Invalid bounds"});
  try {
    (void)bad.value();
    ADD_FAILURE() << "no exception";
  } catch (const Base64::Bad_result_access& e) {
    EXPECT_EQ(e.error().text, "Invalid bounds");
  }
}

}  // namespace
