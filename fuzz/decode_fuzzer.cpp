// SPDX-License-Identifier: MIT
// Whole-string decoding of arbitrary text: never a crash; decode, decode_sub,
// decode_exn and decode_into (into an output of exactly the size it asks
// for) agree, on the bytes or on the kind of error, whose offset and byte
// point into the input; what decodes, encoded again, decodes to the same bytes
// (with an alphabet whose characters are all distinct); canonical decoding
// accepts exactly what encoding gives back.
#include <base64/base64.hpp>

#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string_view>
#include <vector>
#include <string>

#include "base64_alphabets.hpp"
#include "fuzz_util.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const bool pad = data.ConsumeBool();
  const Base64::Alphabet alphabet = pick_alphabet(data);
  const Base64::Options options{.pad = pad, .alphabet = alphabet, .off = pick_bound(data), .len = pick_bound(data)};
  const std::string text = data.ConsumeRemainingBytesAsString();

  const auto decoded = Base64::decode(text, options);
  const auto need = Base64::decoded_length(text, options);
  std::vector<char> out(need.value_or(0));  // exactly: AddressSanitizer sees a byte written past it
  const auto into = Base64::decode_into(text, out, options);
  FUZZ_CHECK(into.has_value() == decoded.has_value());
  if (!into) {
    const Base64::Error e = into.error();
    FUZZ_CHECK(e.message() == decoded.error().text);
    FUZZ_CHECK(e.offset <= text.size());
    const bool has_byte = e.kind != Base64::Error_kind::Invalid_bounds && e.kind != Base64::Error_kind::Wrong_padding;
    FUZZ_CHECK(e.byte == (has_byte ? std::optional<std::uint8_t>(static_cast<std::uint8_t>(text.at(e.offset)))
                                   : std::nullopt));
  } else {
    FUZZ_CHECK(*into == *need && std::string_view(out.data(), out.size()) == *decoded);
  }
  const auto sub = Base64::decode_sub(text, options);
  FUZZ_CHECK(decoded.has_value() == sub.has_value());
  std::optional<std::string> returned;
  std::string thrown;
  try {
    returned = Base64::decode_exn(text, options);
  } catch (const std::invalid_argument& e) {
    thrown = e.what();
  }
  if (!decoded) {
    FUZZ_CHECK(sub.error() == decoded.error());
    FUZZ_CHECK(!returned && thrown == decoded.error().text);
    return 0;
  }
  FUZZ_CHECK(returned == *decoded);
  FUZZ_CHECK(sub->off == 0 && sub->len >= 0 && static_cast<std::size_t>(sub->len) <= sub->buffer.size());
  FUZZ_CHECK(sub->buffer.compare(0, static_cast<std::size_t>(sub->len), *decoded) == 0);

  if (!one_to_one(alphabet)) return 0;  // a repeated character decodes to one of its values only
  const std::string again = Base64::encode_string(*decoded, {.pad = pad, .alphabet = alphabet});
  FUZZ_CHECK(Base64::decode(again, {.pad = pad, .alphabet = alphabet}).value() == *decoded);

  Base64::Options canonical = options;
  canonical.canonical = true;
  const std::size_t off = static_cast<std::size_t>(options.off.value_or(0));
  const std::string_view range = std::string_view(text).substr(off, options.len ? static_cast<std::size_t>(*options.len) : std::string_view::npos);
  const auto strict = Base64::decode_into(text, out, canonical);
  FUZZ_CHECK(strict.has_value() == (again == range));
  if (!strict) FUZZ_CHECK(strict.error().kind == Base64::Error_kind::Non_canonical && strict.error().offset >= off);
  return 0;
}
