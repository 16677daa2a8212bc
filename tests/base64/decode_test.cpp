// SPDX-License-Identifier: MIT
#include <base64/base64.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace {

using namespace std::string_literals;

// What decode returns: the bytes, or the message of the error.
struct Bytes {
  std::string value;
};
struct Error {
  std::string text;
};
using Outcome = std::variant<Bytes, Error>;

struct Case {
  std::string input;
  Base64::Options options;
  Outcome expected;
};

const Base64::Options bare{.pad = false};
const Base64::Options url{.alphabet = Base64::url_safe_alphabet};

const Error invalid_bounds{"Invalid bounds"};
const Error malformed{"Malformed input"};
const Error wrong_padding{"Wrong padding"};
const Error too_much{"Too much input"};

void expect_decodes(const Case& c) {
  SCOPED_TRACE("input \"" + c.input + "\" pad " + (c.options.pad ? "on" : "off"));
  const auto result = Base64::decode(c.input, c.options);
  const auto sub = Base64::decode_sub(c.input, c.options);
  // decode_into gives the same bytes or the same kind of error.
  std::vector<char> out(Base64::decoded_length_bound(c.input.size()));
  const auto into = Base64::decode_into(c.input, out, c.options);
  if (const auto* bytes = std::get_if<Bytes>(&c.expected)) {
    ASSERT_TRUE(result) << result.error().text;
    EXPECT_EQ(*result, bytes->value);
    EXPECT_EQ(Base64::decode_exn(c.input, c.options), bytes->value);
    ASSERT_TRUE(sub);
    EXPECT_EQ(sub->off, 0);
    EXPECT_EQ(sub->buffer.substr(0, static_cast<std::size_t>(sub->len)), bytes->value);
    ASSERT_TRUE(into) << into.error().message();
    EXPECT_EQ(std::string(out.data(), *into), bytes->value);
  } else {
    const std::string& text = std::get<Error>(c.expected).text;
    ASSERT_FALSE(result) << *result;
    EXPECT_EQ(result.error().text, text);
    ASSERT_FALSE(sub);
    EXPECT_EQ(sub.error().text, text);
    ASSERT_FALSE(into);
    EXPECT_EQ(into.error().message(), text);
    try {
      (void)Base64::decode_exn(c.input, c.options);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(e.what(), text);
    }
  }
}

TEST(Rfc4648Vectors, Decode) {
  const Case cases[] = {
      {"", {}, Bytes{""}},
      {"", bare, Bytes{""}},
      {"Zg==", {}, Bytes{"f"}},
      {"Zm8=", {}, Bytes{"fo"}},
      {"Zm9v", {}, Bytes{"foo"}},
      {"Zm9vYg==", {}, Bytes{"foob"}},
      {"Zm9vYmE=", {}, Bytes{"fooba"}},
      {"Zm9vYmFy", {}, Bytes{"foobar"}},
      {"+/8=", {}, Bytes{"\xfb\xff"}},
      {"-_8=", url, Bytes{"\xfb\xff"}},
      {"QUJD", {}, Bytes{"ABC"}},
      {"QUJD", url, Bytes{"ABC"}},
      {"AAAA====", {}, Bytes{"\0\0\0"s}},
  };
  for (const auto& c : cases) expect_decodes(c);
}

TEST(Padding, RequiredUnlessTurnedOff) {
  const Case cases[] = {
      {"Zm8", {}, wrong_padding},
      {"Zg", {}, wrong_padding},
      {"Zg=", {}, wrong_padding},
      {"Z", {}, wrong_padding},
      {"=", {}, wrong_padding},
      {"Zm8", bare, Bytes{"fo"}},
      {"Zg", bare, Bytes{"f"}},
      {"Zg=", bare, Bytes{"f"}},
      {"Zg==", bare, Bytes{"f"}},
      {"Zm9vYmE", bare, Bytes{"fooba"}},
      {"Z", bare, Bytes{""}},
      {"=", bare, Bytes{""}},
  };
  for (const auto& c : cases) expect_decodes(c);
}

TEST(Padding, GroupsThatEndTheData) {
  const Case cases[] = {
      {"Zh==", {}, Bytes{"f"}},  // leftover bits are not tested
      {"Zm9=", {}, Bytes{"fo"}},
      {"Z===", {}, Bytes{""}},
      {"====", {}, Bytes{""}},
      {"====", bare, Bytes{""}},
      {"========", {}, Bytes{""}},
      {"Zm9v====", {}, Bytes{"foo"}},
      {"Zm9v====", bare, Bytes{"foo"}},
      {"Zg===", bare, Bytes{"f"}},
      {"Zg====", bare, Bytes{"f"}},
      {"Zg======", bare, Bytes{"f"}},
      {"Zg======", {}, too_much},
      {"Zg==Zg==", {}, too_much},
      {"Zg==Zg==", bare, malformed},
      {"Zg==\0"s, {}, too_much},
      {"Zg==\0"s, bare, malformed},
      {"Zg===A", bare, malformed},
      {"AAAA====AAAA", {}, malformed},
  };
  for (const auto& c : cases) expect_decodes(c);
}

TEST(DecodeErrors, MalformedInput) {
  const Case cases[] = {
      {"=AAA", {}, malformed},
      {"A=AA", {}, malformed},
      {"AA=A", {}, malformed},
      {"Z=g=", {}, malformed},
      {"=AAA", bare, malformed},
      {"A=AA", bare, malformed},
      {"AA=A", bare, malformed},
      {"Z=g=", bare, malformed},
      {"Zm!v", {}, malformed},
      {"\xff\xff\xff\xff", {}, malformed},
      {"Zm9v YmFy", {}, malformed},
      {"-_8=", {}, malformed},
      {"+/8=", url, malformed},
  };
  for (const auto& c : cases) expect_decodes(c);
}

TEST(DecodeErrors, FirstProblemMetDecides) {
  const Case cases[] = {
      {"A!AAA", {}, malformed},     // met in the first group, before the short last one
      {"AA!", {}, wrong_padding},   // the missing fourth character is fetched first
      {"AA!", bare, malformed},
      {"Zm9v\n", {}, wrong_padding},
      {"Zm9v\n", bare, malformed},
      {"!A=A", {}, malformed},
  };
  for (const auto& c : cases) expect_decodes(c);
}

// One byte of a valid text replaced by each byte value in turn: an alphabet
// byte still decodes; '=' ends the data, so only the last position accepts
// it, and at the end of an earlier group it is input after padding; any other
// byte is malformed.
TEST(DecodeErrors, EveryByteAtEveryPosition) {
  const std::string valid = "Zm9vYmFyYmF6";  // "foobarbaz": three full groups
  for (std::size_t t = 0; t < valid.size(); ++t) {
    for (int b = 0; b < 256; ++b) {
      std::string text = valid;
      text[t] = static_cast<char>(b);
      SCOPED_TRACE("byte " + std::to_string(b) + " at " + std::to_string(t));
      const bool in_alphabet = Base64::standard_alphabet.dmap()[static_cast<std::size_t>(b)] >= 0;
      for (const bool pad : {true, false}) {
        const auto result = Base64::decode(text, {.pad = pad});
        std::array<char, 9> out;
        const auto into = Base64::decode_into(text, out, {.pad = pad});
        ASSERT_EQ(into.has_value(), result.has_value());
        if (!into) {
          EXPECT_EQ(into.error().message(), result.error().text);
          // '=' ending a group is fine until the character after it.
          EXPECT_EQ(into.error().offset, b == '=' && t % 4 == 3 ? t + 1 : t);
          EXPECT_EQ(into.error().byte, static_cast<std::uint8_t>(text[into.error().offset]));
        }
        if (in_alphabet) {
          ASSERT_TRUE(result);
          EXPECT_EQ(Base64::encode_string(*result, {.pad = pad}), text);
        } else if (b == '=' && t == valid.size() - 1) {
          EXPECT_EQ(result.value(), "foobarba");
        } else if (b == '=' && t % 4 == 3 && pad) {
          EXPECT_EQ(result.error().text, "Too much input");
        } else {
          EXPECT_EQ(result.error().text, "Malformed input");
        }
      }
    }
  }
}

TEST(SubRanges, DecodeSelectsTheRange) {
  constexpr auto max64 = std::numeric_limits<std::int64_t>::max();
  constexpr auto min64 = std::numeric_limits<std::int64_t>::min();
  const Case cases[] = {
      {"xxZm9vyy", {.off = 2, .len = 4}, Bytes{"foo"}},
      {"xxZm9vyy", {.off = 2}, wrong_padding},
      {"Zm9vYmFy", {.off = 4}, Bytes{"bar"}},
      {"Zm9v", {.len = 2}, wrong_padding},
      {"Zm9v", {.pad = false, .len = 2}, Bytes{"f"}},
      {"Zm9v", {.off = 4}, Bytes{""}},
      {"Zm9v", {.off = 5}, invalid_bounds},
      {"Zm9v", {.off = -1}, invalid_bounds},
      {"Zm9v", {.len = -1}, invalid_bounds},
      {"Zm9v", {.off = 1, .len = 4}, invalid_bounds},
      {"Zm9v", {.off = 2, .len = 3}, invalid_bounds},
      {"Zm9v", {.off = max64}, invalid_bounds},
      {"Zm9v", {.off = min64}, invalid_bounds},
      {"Zm9v", {.len = max64}, invalid_bounds},
      {"Zm9v", {.off = 1, .len = max64}, invalid_bounds},
      {"Zm9v", {.off = max64, .len = max64}, invalid_bounds},
      {"Zm9v", {.off = min64, .len = max64}, invalid_bounds},
      {"Zm9v", {.off = 4, .len = min64}, invalid_bounds},
      {"!!!", {.off = 5}, invalid_bounds},  // bounds come before any character is read
  };
  for (const auto& c : cases) expect_decodes(c);
}

TEST(DecodeSub, BufferHoldsThreeBytesPerGroup) {
  const struct {
    std::string input;
    std::string prefix;
    std::int64_t len;
  } cases[] = {{"Zm8=", "fo", 2}, {"Zg==", "f", 1}, {"Zm9v", "foo", 3}, {"Zm9v====", "foo", 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const auto sub = Base64::decode_sub(c.input);
    ASSERT_TRUE(sub);
    EXPECT_EQ(sub->buffer.size(), c.input.size() / 4 * 3);
    EXPECT_EQ(sub->buffer.substr(0, c.prefix.size()), c.prefix);
    EXPECT_EQ(sub->off, 0);
    EXPECT_EQ(sub->len, c.len);
  }
  EXPECT_EQ(Base64::decode_sub("Zg", {.pad = false})->buffer.size(), 3u);
}

// Encoding then decoding gives the input back, for every length around the
// group size, every alphabet kind and both padding modes.
TEST(RoundTrip, EveryLengthAndAlphabet) {
  std::string chars;
  for (int i = 0; i < 64; ++i) chars += static_cast<char>(255 - i);  // bytes 192..255, backwards
  const Base64::Alphabet high = Base64::make_alphabet(chars);
  std::string input;
  for (int n = 0; n < 200; ++n) {
    for (const auto* alphabet : {&Base64::standard_alphabet, &Base64::url_safe_alphabet, &high}) {
      for (const bool pad : {true, false}) {
        const std::string text = Base64::encode_string(input, {.pad = pad, .alphabet = *alphabet});
        const auto back = Base64::decode(text, {.pad = pad, .alphabet = *alphabet});
        ASSERT_TRUE(back) << n << ' ' << back.error().text;
        ASSERT_EQ(*back, input) << n;
      }
    }
    input += static_cast<char>(n * 37 + 11);
  }
}

}  // namespace
