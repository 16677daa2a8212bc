// SPDX-License-Identifier: MIT
// The calls into a caller's buffer: exact sizes and nothing written beyond
// them, error kinds with their position and byte, byte-typed ranges, length
// helpers, canonical decoding and options records that hold their alphabet.
#include <base64/base64.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using namespace std::string_literals;
using Base64::Error_kind;

constexpr char sentinel = '\x5a';

// ---------------------------------------------------------------- lengths

static_assert(Base64::encoded_length(0) == 0 && Base64::encoded_length(0, false) == 0);
static_assert(Base64::encoded_length(1) == 4 && Base64::encoded_length(1, false) == 2);
static_assert(Base64::encoded_length(5) == 8 && Base64::encoded_length(5, false) == 7);
static_assert(Base64::decoded_length_bound(0) == 0 && Base64::decoded_length_bound(1) == 0);
static_assert(Base64::decoded_length_bound(3) == 2 && Base64::decoded_length_bound(8) == 6);

TEST(Lengths, EncodedLengthIsExactOrEmptyWhenTooBig) {
  constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
  for (std::size_t n = 0; n < 40; ++n) {
    const std::string bytes(n, 'x');
    EXPECT_EQ(Base64::encoded_length(n), Base64::encode_string(bytes).size()) << n;
    EXPECT_EQ(Base64::encoded_length(n, false), Base64::encode_string(bytes, {.pad = false}).size()) << n;
  }
  // The largest n whose encoding fits, and the next one, around each limit.
  const std::size_t padded_max = max / 4 * 3;  // 4 * ceil(n / 3) <= max
  EXPECT_EQ(Base64::encoded_length(padded_max), padded_max / 3 * 4);
  EXPECT_EQ(Base64::encoded_length(padded_max + 1), std::nullopt);
  EXPECT_EQ(Base64::encoded_length(max), std::nullopt);
  EXPECT_EQ(Base64::encoded_length(max, false), std::nullopt);
  EXPECT_EQ(Base64::encoded_length(max / 4 * 3 + 2, false), max / 4 * 4 + 3);  // ceil(4n/3) = max
  EXPECT_EQ(Base64::decoded_length_bound(max), max / 4 * 3 + 2);
}

// decoded_length is the decoded size of every text that decodes, whatever
// its padding, and the bound is never below it.
TEST(Lengths, DecodedLengthOfValidTexts) {
  const struct {
    std::string text;
    bool pad;
  } cases[] = {{"", true},          {"Zg==", true},     {"Zm8=", true},   {"Zm9v", true},  {"Zm9v====", true},
               {"Z===", true},      {"========", true}, {"Zg", false},    {"Zg===", false}, {"Zm8", false},
               {"Zg======", false}, {"Z", false},      {"xxZm9vyy", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const Base64::Options o{.pad = c.pad, .off = c.text == "xxZm9vyy" ? 2 : 0,
                            .len = c.text == "xxZm9vyy" ? std::optional<std::int64_t>(4) : std::nullopt};
    const auto decoded = Base64::decode(c.text, o);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(Base64::decoded_length(c.text, o).value(), decoded->size());
    EXPECT_GE(Base64::decoded_length_bound(c.text.size()), decoded->size());
  }
  EXPECT_EQ(Base64::decoded_length("Zm9v", {.off = 5}).error().kind, Error_kind::Invalid_bounds);
}

// -------------------------------------------------- exact output, no more

// Runs an _into call on an output of `size` bytes with a sentinel byte on
// each side; returns the result and checks that nothing outside the bytes
// it reports was written.
template <class Call>
Base64::Into_result run_guarded(std::size_t size, Call call, std::string& written) {
  std::string block(size + 2, sentinel);
  const Base64::Into_result r = call(std::span<char>(block.data() + 1, size));
  EXPECT_EQ(block.front(), sentinel);
  const std::size_t n = r ? *r : 0;
  EXPECT_LE(n, size);
  for (std::size_t k = 1 + n; k < block.size(); ++k) {
    EXPECT_EQ(block[k], sentinel) << "written at " << k - 1 << " of " << size;
  }
  written = block.substr(1, n);
  return r;
}

TEST(IntoBuffers, ExactSizeFitsOneLessIsRefusedUntouched) {
  const struct {
    std::string input;
    Base64::Options options;
  } cases[] = {{"", {}}, {"f", {}}, {"fo", {.pad = false}}, {"foobar", {}}, {"foobar!", {.pad = false}},
               {std::string(100, '\xfe'), {}}, {std::string(1000, 'q'), {.pad = false}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.size());
    const std::string text = Base64::encode(c.input, c.options).value();
    std::string out;
    auto enc = [&](std::span<char> o) { return Base64::encode_into(c.input, o, c.options); };
    EXPECT_EQ(run_guarded(text.size(), enc, out).value(), text.size());
    EXPECT_EQ(out, text);
    EXPECT_EQ(run_guarded(text.size() + 7, enc, out).value(), text.size());
    EXPECT_EQ(out, text);

    auto dec = [&](std::span<char> o) { return Base64::decode_into(text, o, c.options); };
    EXPECT_EQ(run_guarded(c.input.size(), dec, out).value(), c.input.size());
    EXPECT_EQ(out, c.input);
    EXPECT_EQ(run_guarded(Base64::decoded_length_bound(text.size()), dec, out).value(), c.input.size());
    EXPECT_EQ(out, c.input);

    if (text.empty()) continue;
    std::string block(text.size() + 1, sentinel);
    const auto too_small = std::span<char>(block).first(text.size() - 1);
    EXPECT_EQ(Base64::encode_into(c.input, too_small, c.options).error().kind, Error_kind::Output_too_small);
    EXPECT_EQ(block, std::string(block.size(), sentinel));
    if (c.input.empty()) continue;
    const auto decoded_too_small = std::span<char>(block).first(c.input.size() - 1);
    EXPECT_EQ(Base64::decode_into(text, decoded_too_small, c.options).error().kind, Error_kind::Output_too_small);
    EXPECT_EQ(block, std::string(block.size(), sentinel));
  }
}

// Padding that decoding drops costs no output: a 32-byte key from its
// 44-character text into exactly 32 bytes, and "foo" from "Zm9v====".
TEST(IntoBuffers, DroppedPaddingNeedsNoRoom) {
  std::array<std::uint8_t, 32> key{};
  const std::string text = Base64::encode_string(std::string(32, '\x07'));
  ASSERT_EQ(text.size(), 44u);
  EXPECT_EQ(Base64::decode_into(text, key).value(), 32u);
  EXPECT_EQ(key[31], 7);
  std::array<char, 3> foo{};
  EXPECT_EQ(Base64::decode_into("Zm9v====", foo).value(), 3u);
  EXPECT_EQ(std::string(foo.data(), 3), "foo");
}

// --------------------------------------------------- errors and positions

TEST(IntoErrors, KindOffsetAndByte) {
  const Base64::Options bare{.pad = false};
  const struct {
    std::string input;
    Base64::Options options;
    Base64::Error expected;
  } cases[] = {
      {"Zm!v", {}, {2, Error_kind::Malformed_input, '!'}},
      {"Zm9v YmFy", {}, {4, Error_kind::Malformed_input, ' '}},
      {"=AAA", {}, {0, Error_kind::Malformed_input, '='}},
      {"Zm8", {}, {3, Error_kind::Wrong_padding, std::nullopt}},
      {"AA!", {}, {3, Error_kind::Wrong_padding, std::nullopt}},
      {"AA!", bare, {2, Error_kind::Malformed_input, '!'}},
      {"Zg==Zg==", {}, {4, Error_kind::Too_much_input, 'Z'}},
      {"Zg==Zg==", bare, {4, Error_kind::Malformed_input, 'Z'}},
      {"Zg==\0"s, {}, {4, Error_kind::Too_much_input, 0}},
      {"Zg===A", bare, {5, Error_kind::Malformed_input, 'A'}},
      {"AAAA====AAAA", {}, {8, Error_kind::Malformed_input, 'A'}},
      {std::string(400, 'A') + "\xff" + "AAA", {}, {400, Error_kind::Malformed_input, 0xff}},
      {"xxZm!vyy", {.off = 2, .len = 4}, {4, Error_kind::Malformed_input, '!'}},  // offset in the whole input
      {"xxZm9vyy", {.off = 2}, {8, Error_kind::Wrong_padding, std::nullopt}},
      {"Zm9v", {.off = 5}, {0, Error_kind::Invalid_bounds, std::nullopt}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    std::vector<char> out(Base64::decoded_length_bound(c.input.size()));
    const auto r = Base64::decode_into(c.input, out, c.options);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), c.expected);
    EXPECT_EQ(r.error().message(), Base64::decode(c.input, c.options).error().text);
  }
  std::array<char, 8> out{};
  EXPECT_EQ(Base64::encode_into("foobar", out, {.len = 7}).error(), Base64::Error{});  // Invalid_bounds
  EXPECT_EQ(Base64::encode_into("foobar", std::span(out).first(7)).error().message(), "Output too small");
}

TEST(IntoErrors, ValueThrowsWithTheMessage) {
  std::array<char, 4> out{};
  try {
    (void)Base64::decode_into("Zm8", out).value();
    ADD_FAILURE() << "no exception";
  } catch (const Base64::Bad_result_access& e) {
    EXPECT_STREQ(e.what(), "bad Base64::Result access: Wrong padding");
    EXPECT_EQ(e.error().text, "Wrong padding");
  }
  try {
    (void)Base64::decode("Zm9v YmFy").value();
    ADD_FAILURE() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "bad Base64::Result access: Malformed input");
  }
}

// ------------------------------------------------------------ byte types

TEST(ByteRanges, EveryByteTypeInAndOut) {
  const std::vector<std::uint8_t> bytes{0xfb, 0xff, 0x00, 'a'};
  const std::array<std::byte, 4> as_bytes{std::byte{0xfb}, std::byte{0xff}, std::byte{0x00}, std::byte{'a'}};
  const std::string expected = "+/8AYQ==";

  std::string text(8, '\0');
  EXPECT_EQ(Base64::encode_into(bytes, text).value(), 8u);
  EXPECT_EQ(text, expected);
  std::array<unsigned char, 8> utext{};
  EXPECT_EQ(Base64::encode_into(as_bytes, utext).value(), 8u);
  EXPECT_EQ(std::string(utext.begin(), utext.end()), expected);
  EXPECT_EQ(Base64::encode_into(std::span<const std::byte>(as_bytes), std::span<char>(text)).value(), 8u);

  std::array<std::byte, 4> back{};
  EXPECT_EQ(Base64::decode_into(utext, back).value(), 4u);
  EXPECT_EQ(back, as_bytes);
  char raw[4];
  EXPECT_EQ(Base64::decode_into(expected, raw).value(), 4u);
  EXPECT_EQ(std::string(raw, 4), "\xfb\xff\0a"s);

  std::vector<std::uint8_t> v{1, 2};
  EXPECT_EQ(Base64::decode_append(expected, v).value(), 4u);
  EXPECT_EQ(v, (std::vector<std::uint8_t>{1, 2, 0xfb, 0xff, 0x00, 'a'}));
  EXPECT_EQ(Base64::decode_append("Zm!v", v).error().kind, Error_kind::Malformed_input);
  EXPECT_EQ(v.size(), 6u);  // unchanged on an error
  EXPECT_EQ(Base64::decode_to(utext, v).value(), 4u);
  EXPECT_EQ(v, bytes);
  EXPECT_EQ(Base64::decode_to("-_8AYQ", v, {.pad = false, .alphabet = Base64::url_safe_alphabet}).value(), 4u);
  EXPECT_EQ(v, bytes);
}

// -------------------------------------------------------------- canonical

TEST(Canonical, RefusesWhatEncodingWouldNotGive) {
  const Base64::Options strict{.canonical = true};
  const Base64::Options strict_bare{.pad = false, .canonical = true};
  const struct {
    std::string input;
    Base64::Options options;
    std::optional<Base64::Error> error;  // none: decodes
  } cases[] = {
      {"", strict, {}},
      {"Zg==", strict, {}},
      {"Zm8=", strict, {}},
      {"Zm9vYmFy", strict, {}},
      {"Zh==", strict, Base64::Error{1, Error_kind::Non_canonical, 'h'}},  // leftover bits 0001
      {"Zm9=", strict, Base64::Error{2, Error_kind::Non_canonical, '9'}},  // leftover bits 01
      {"Zm9v====", strict, Base64::Error{4, Error_kind::Non_canonical, '='}},
      {"Z===", strict, Base64::Error{0, Error_kind::Non_canonical, 'Z'}},
      {"====", strict, Base64::Error{0, Error_kind::Non_canonical, '='}},
      {"Zg", strict_bare, {}},
      {"Zg==", strict_bare, Base64::Error{2, Error_kind::Non_canonical, '='}},
      {"Z", strict_bare, Base64::Error{0, Error_kind::Non_canonical, 'Z'}},
      {"Zh", strict_bare, Base64::Error{1, Error_kind::Non_canonical, 'h'}},
      {"xxZh==", {.off = 2, .canonical = true}, Base64::Error{3, Error_kind::Non_canonical, 'h'}},
      // Errors of the default path keep their kind.
      {"Zg=", strict, Base64::Error{3, Error_kind::Wrong_padding, std::nullopt}},
      {"Zg==Zg==", strict, Base64::Error{4, Error_kind::Too_much_input, 'Z'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    std::vector<char> out(c.input.size());
    const auto r = Base64::decode_into(c.input, out, c.options);
    const auto msg = Base64::decode(c.input, c.options);
    if (!c.error) {
      ASSERT_TRUE(r) << r.error().message();
      EXPECT_EQ(std::string(out.data(), *r), Base64::decode(c.input, {.pad = c.options.pad}).value());
      EXPECT_TRUE(msg);
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(), *c.error);
      EXPECT_EQ(msg.error().text, r.error().message());
    }
  }
  EXPECT_EQ(Base64::decode("Zh==", strict).error().text, "Non-canonical input");
  EXPECT_EQ(Base64::decode("Zh==").value(), "f");  // the default path is unchanged
}

// Every text of up to six characters from a small set: canonical decoding
// accepts exactly the texts that decode and that encoding gives back.
TEST(Canonical, AcceptsExactlyTheEncodings) {
  const std::string chars = "AZgh=!";
  for (const bool pad : {true, false}) {
    std::vector<std::size_t> digits;
    for (;;) {
      std::string text;
      for (const std::size_t d : digits) text += chars[d];
      const auto plain = Base64::decode(text, {.pad = pad});
      const auto strict = Base64::decode(text, {.pad = pad, .canonical = true});
      const bool round_trips = plain && Base64::encode_string(*plain, {.pad = pad}) == text;
      ASSERT_EQ(strict.has_value(), round_trips) << text << " pad " << pad;
      if (!plain) {
        ASSERT_EQ(strict.error(), plain.error()) << text;
      }
      // Next text: count in base chars.size(), then one character longer.
      std::size_t k = 0;
      while (k < digits.size() && ++digits[k] == chars.size()) digits[k++] = 0;
      if (k == digits.size()) {
        if (digits.size() == 6) break;
        digits.push_back(0);
      }
    }
  }
}

// ---------------------------------------------------------------- options

Base64::Options options_with_a_local_alphabet() {
  std::string chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::swap(chars[0], chars[1]);
  const Base64::Alphabet a = Base64::make_alphabet(chars);
  return {.alphabet = a};  // the alphabet is gone once this returns
}

static_assert(std::is_trivially_copyable_v<Base64::Options>);
static_assert(std::is_copy_assignable_v<Base64::Options>);
constexpr Base64::Options url_bare{.pad = false, .alphabet = Base64::url_safe_alphabet};
static_assert(url_bare.alphabet.builtin() == 2 && url_bare.alphabet.get().dmap()['-'] == 62);

TEST(OptionsRecord, HoldsItsAlphabet) {
  Base64::Options o = options_with_a_local_alphabet();
  EXPECT_EQ(Base64::encode("\0\0\0\x04"s, o).value(), "BBBBAB==");  // 'A' and 'B' swapped
  o = url_bare;  // assignable
  EXPECT_EQ(Base64::encode("\xfb\xff", o).value(), "-_8");
  o.alphabet = options_with_a_local_alphabet().alphabet;
  EXPECT_EQ(Base64::decode("BBBB", o).value(), "\0\0\0"s);

  // An options record made around a temporary alphabet with parentheses:
  // it holds a copy, so using it later is safe (AddressSanitizer would see
  // a dangling use).
  const std::string chars = "BACDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
#if defined(__cpp_aggregate_paren_init)
  const Base64::Options p(false, Base64::make_alphabet(chars));
#else
  const Base64::Options p{false, Base64::make_alphabet(chars)};
#endif
  std::string filler(4096, 'x');  // reuse the stack and heap a temporary would have had
  EXPECT_EQ(Base64::encode("\0\0\0"s, p).value(), "BBBB");
  EXPECT_EQ(Base64::alphabet(p.alphabet), chars);

  // A caller's alphabet with the standard characters is the built-in one.
  EXPECT_EQ(Base64::Alphabet_choice(Base64::make_alphabet(Base64::alphabet(Base64::standard_alphabet))).builtin(), 1);
  EXPECT_EQ(Base64::Alphabet_choice(Base64::make_alphabet(chars)).builtin(), 0);
}

}  // namespace
