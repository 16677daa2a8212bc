// Whole-string decoding of arbitrary text: never a crash; decode, decode_sub
// and decode_exn agree; what decodes, encoded again, decodes to the same bytes
// (with an alphabet whose characters are all distinct).
#include <base64/base64.hpp>

#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
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
  return 0;
}
