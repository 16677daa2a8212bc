// SPDX-License-Identifier: MIT
#include <base64/base64.hpp>

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr std::string_view standard_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The built-in alphabets must be usable from a caller's own constant initialiser.
constexpr int standard_a = Base64::standard_alphabet.dmap()['a'];
static_assert(standard_a == 26);
static_assert(Base64::url_safe_alphabet.emap()[63] == '_');

std::string with_char_at(std::string s, std::size_t pos, char c) {
  s[pos] = c;
  return s;
}

TEST(Alphabets, BuiltInTables) {
  const auto& s = Base64::standard_alphabet.dmap();
  EXPECT_EQ(s['A'], 0);
  EXPECT_EQ(s['a'], 26);
  EXPECT_EQ(s['0'], 52);
  EXPECT_EQ(s['+'], 62);
  EXPECT_EQ(s['/'], 63);
  for (const char c : {'-', '_', '='}) EXPECT_EQ(s[static_cast<unsigned char>(c)], -1) << c;

  const auto& u = Base64::url_safe_alphabet.dmap();
  EXPECT_EQ(u['-'], 62);
  EXPECT_EQ(u['_'], 63);
  for (const char c : {'+', '/', '='}) EXPECT_EQ(u[static_cast<unsigned char>(c)], -1) << c;
}

TEST(Alphabets, TablesAreInverse) {
  for (const auto* a : {&Base64::standard_alphabet, &Base64::url_safe_alphabet}) {
    int members = 0;
    for (int c = 0; c < 256; ++c) {
      const int v = a->dmap()[static_cast<std::size_t>(c)];
      if (v < 0) continue;
      ++members;
      EXPECT_EQ(a->emap()[static_cast<std::size_t>(v)], c);
    }
    EXPECT_EQ(members, 64);
  }
}

TEST(Alphabets, MadeFromStandardCharsBehavesLikeStandard) {
  const Base64::Alphabet a = Base64::make_alphabet(standard_chars);
  EXPECT_EQ(a.emap(), Base64::standard_alphabet.emap());
  EXPECT_EQ(a.dmap(), Base64::standard_alphabet.dmap());
  EXPECT_EQ(Base64::alphabet(a), standard_chars);
  EXPECT_EQ(Base64::length_alphabet(a), 64);
  EXPECT_EQ(Base64::alphabet(Base64::url_safe_alphabet),
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_");
}

TEST(Alphabets, RefusesBadStrings) {
  const std::string sixty_five = std::string(standard_chars) + "=";
  const struct {
    const char* name;
    std::string chars;
    const char* message;
  } cases[] = {
      {"empty", "", "Length of alphabet must be 64"},
      {"63 bytes", std::string(standard_chars.substr(1)), "Length of alphabet must be 64"},
      {"65 bytes with '=': length first", sixty_five, "Length of alphabet must be 64"},
      {"'=' first", with_char_at(std::string(standard_chars), 0, '='), "Alphabet can not contain padding character"},
      {"'=' last", with_char_at(std::string(standard_chars), 63, '='), "Alphabet can not contain padding character"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      (void)Base64::make_alphabet(c.chars);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(Alphabets, RepeatedCharacterDecodesToItsLastPosition) {
  const std::string chars = with_char_at(std::string(standard_chars), 40, standard_chars[3]);  // 'D' at 3 and 40
  const Base64::Alphabet a = Base64::make_alphabet(chars);
  EXPECT_EQ(a.emap()[3], 'D');
  EXPECT_EQ(a.emap()[40], 'D');
  EXPECT_EQ(a.dmap()['D'], 40);
  EXPECT_EQ(a.dmap()[static_cast<unsigned char>(standard_chars[40])], -1);  // 'o' was replaced
  EXPECT_EQ(Base64::alphabet(a), chars);
}

TEST(Alphabets, AnyByteButPaddingIsAllowed) {
  std::string chars(64, '\0');
  for (std::size_t i = 0; i < 64; ++i) chars[i] = static_cast<char>(i == 0 ? 0 : 192 + i - 1);  // 0, then 192..254
  chars[63] = static_cast<char>(255);
  const Base64::Alphabet a = Base64::make_alphabet(chars);
  EXPECT_EQ(a.dmap()[0], 0);
  EXPECT_EQ(a.dmap()[255], 63);
  EXPECT_EQ(Base64::alphabet(a), chars);

  const std::string bytes("\x00\x10\x83\xff\xff\xff", 6);
  const std::string text = Base64::encode_string(bytes, {.alphabet = a});
  EXPECT_EQ(text, std::string("\0\xc0\xc1\xc2\xff\xff\xff\xff", 8));
  EXPECT_EQ(Base64::decode(text, {.alphabet = a}).value(), bytes);
}

}  // namespace
