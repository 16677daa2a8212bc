// SPDX-License-Identifier: MIT
// Encoding then decoding gives the bytes back, for every alphabet kind (with
// distinct characters; with repeats, as many bytes), both
// padding modes and any sub-range; encode, encode_sub, encode_string and
// encode_exn and encode_into agree.
#include <base64/base64.hpp>

#include <fuzzer/FuzzedDataProvider.h>

#include <string_view>
#include <vector>

#include "base64_alphabets.hpp"
#include "fuzz_util.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const bool pad = data.ConsumeBool();
  const Base64::Alphabet alphabet = pick_alphabet(data);
  const Base64::Options options{.pad = pad, .alphabet = alphabet, .off = pick_bound(data), .len = pick_bound(data)};
  const std::string input = data.ConsumeRemainingBytesAsString();

  const auto text = Base64::encode(input, options);
  // encode_into, into an output of exactly the length of the text, agrees.
  std::vector<char> out(text ? text->size() : 0);
  const auto into = Base64::encode_into(input, out, options);
  FUZZ_CHECK(into.has_value() == text.has_value());
  if (into) FUZZ_CHECK(*into == out.size() && std::string_view(out.data(), out.size()) == *text);
  if (!into) FUZZ_CHECK(into.error() == Base64::Error{});  // Invalid_bounds
  const auto sub = Base64::encode_sub(input, options);
  FUZZ_CHECK(text.has_value() == sub.has_value());
  if (!text) {
    FUZZ_CHECK(text.error().text == "Invalid bounds" && sub.error() == text.error());
    try {
      (void)Base64::encode_exn(input, options);
      FUZZ_CHECK(false && "encode_exn accepted a range that encode refused");
    } catch (const std::invalid_argument& e) {
      FUZZ_CHECK(text.error().text == e.what());
    }
    return 0;
  }
  FUZZ_CHECK(Base64::encode_exn(input, options) == *text);
  FUZZ_CHECK(sub->off == 0 && sub->buffer.compare(0, static_cast<std::size_t>(sub->len), *text) == 0);
  FUZZ_CHECK(sub->buffer.size() % 4 == 0 && sub->buffer.size() - text->size() < 4);

  // The range the options selected, taken out by hand.
  const std::size_t off = static_cast<std::size_t>(options.off.value_or(0));
  const std::size_t len = options.len ? static_cast<std::size_t>(*options.len) : input.size() - off;
  const std::string range = input.substr(off, len);
  FUZZ_CHECK(Base64::encode_string(range, {.pad = pad, .alphabet = alphabet}) == *text);
  if (one_to_one(alphabet))
    FUZZ_CHECK(Base64::decode(*text, {.pad = pad, .alphabet = alphabet}).value() == range);
  else
    FUZZ_CHECK(Base64::decode(*text, {.pad = pad, .alphabet = alphabet}).value().size() == range.size());
  return 0;
}
