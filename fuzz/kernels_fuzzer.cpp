// SPDX-License-Identifier: MIT
// Every kernel this machine can run, and those emulated by SIMDe, agree with
// the scalar core: the same _sub buffer, offset and length, or the same
// message, for encoding and decoding, with any alphabet kind, padding mode
// and sub-range, and for whole lines (encode_lines_into). The text to
// decode is either the fuzzer's bytes or a valid encoding of them with a few
// bytes overwritten, so that the kernels see long runs they can convert and
// then a spot they must stop at. The same text cut into lines goes through
// decode_lines_into with every kernel too, the edits applied once more over
// the lines and their line ends.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <memory>
#include <string>

#include "base64_alphabets.hpp"
#include "fuzz_util.hpp"
#include "core.hpp"
#include "kernels.hpp"

namespace {

namespace detail = Base64::detail;

void check_same(const Base64::Result<Base64::Sub>& got, const Base64::Result<Base64::Sub>& want) {
  FUZZ_CHECK(got.has_value() == want.has_value());
  if (want)
    FUZZ_CHECK(*got == *want);
  else
    FUZZ_CHECK(got.error() == want.error());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const bool pad = data.ConsumeBool();
  const bool from_valid_text = data.ConsumeBool();
  const Base64::Alphabet alphabet = pick_alphabet(data);
  const Base64::Line_layout layout{4 * data.ConsumeIntegralInRange<std::size_t>(1, 33),
                                   data.ConsumeBool() ? Base64::Line_end::lf : Base64::Line_end::crlf};
  const bool room_short = data.ConsumeBool();
  const auto edits = data.ConsumeIntegralInRange<int>(0, 3);
  std::string edit_bytes = data.ConsumeBytesAsString(static_cast<std::size_t>(edits) * 3);
  const Base64::Options options{.pad = pad, .alphabet = alphabet, .off = pick_bound(data), .len = pick_bound(data)};
  const std::string input = data.ConsumeRemainingBytesAsString();

  std::string text = input;
  if (from_valid_text) {
    text = Base64::encode_string(input, {.pad = pad, .alphabet = alphabet});
    // Each edit: two bytes of position, one of value.
    for (std::size_t e = 0; e + 3 <= edit_bytes.size() && !text.empty(); e += 3) {
      const auto at = static_cast<std::size_t>(static_cast<std::uint8_t>(edit_bytes[e]) << 8 |
                                               static_cast<std::uint8_t>(edit_bytes[e + 1]));
      text[at % text.size()] = edit_bytes[e + 2];
    }
  }

  std::string lines;
  for (std::size_t i = 0; i < text.size(); i += layout.length)
    lines.append(text, i, layout.length).append(layout.end == Base64::Line_end::lf ? "\n" : "\r\n");
  for (std::size_t e = 0; e + 3 <= edit_bytes.size() && !lines.empty(); e += 3)
    lines[(static_cast<std::size_t>(static_cast<std::uint8_t>(edit_bytes[e])) << 8 |
           static_cast<std::uint8_t>(edit_bytes[e + 1])) % lines.size()] = edit_bytes[e + 2];
  const std::size_t stride = layout.length + (layout.end == Base64::Line_end::lf ? 1 : 2);
  std::size_t room = lines.size() / stride * (layout.length / 4 * 3);
  if (room_short && room > 0) --room;
  // Exactly its size, on the heap; the lines too.
  const auto run_lines = [&](const detail::Kernel& kernel, std::string& bytes) {
    const auto in = std::make_unique<char[]>(lines.size());
    std::copy(lines.begin(), lines.end(), in.get());
    const auto out = std::make_unique<char[]>(room);
    const Base64::Lines_progress p =
        detail::decode_lines_into(kernel, alphabet, {in.get(), lines.size()}, {out.get(), room}, layout);
    bytes.assign(out.get(), p.written);
    return p;
  };

  const detail::Kernel& scalar = detail::kernels().front();
  std::string lines_bytes;
  const Base64::Lines_progress lines_progress = run_lines(scalar, lines_bytes);
  const auto encoded = detail::encode_sub_with(scalar, input, options);
  const auto decoded = detail::decode_sub_with(scalar, text, options);
  // Whole lines of a length taken from the input's size, into an output of
  // exactly their text or, from a valid text, one byte less.
  const Base64::Line_layout encode_layout{.length = 4 * (1 + input.size() % 31),
                                          .end = pad ? Base64::Line_end::crlf : Base64::Line_end::lf};
  const std::size_t all_text =
      input.size() / (encode_layout.length / 4 * 3) * (encode_layout.length + (pad ? 2 : 1));
  const std::size_t text_size = all_text - (from_valid_text && all_text > 0 ? 1 : 0);
  std::string encoded_lines(text_size, '\0');
  const auto encoded_progress = detail::encode_lines_into(scalar, alphabet, input, encoded_lines, encode_layout);
  const auto check = [&](const detail::Kernel& kernel) {
    const auto text_out = std::make_unique<char[]>(text_size);
    FUZZ_CHECK(detail::encode_lines_into(kernel, alphabet, input, {text_out.get(), text_size}, encode_layout) ==
               encoded_progress);
    FUZZ_CHECK(encoded_lines.compare(0, encoded_progress.written, text_out.get(), encoded_progress.written) == 0);
    check_same(detail::encode_sub_with(kernel, input, options), encoded);
    check_same(detail::decode_sub_with(kernel, text, options), decoded);
    // The core of decode_into: an output of exactly the size it needs, on
    // the heap so that a byte stored past it is seen.
    const std::size_t need = detail::required_length(text);
    const auto out = std::make_unique<std::uint8_t[]>(need);
    const auto d = detail::decode_text(kernel, alphabet, pad, text, out.get(), need);
    const auto whole = detail::decode_sub_with(kernel, text, {.pad = pad, .alphabet = alphabet});
    FUZZ_CHECK(whole.has_value() == (d.status == detail::Decode_status::ok));
    if (whole)
      FUZZ_CHECK(d.len == need && whole->buffer.compare(0, need, reinterpret_cast<const char*>(out.get()), need) == 0);
    std::string bytes;
    FUZZ_CHECK(run_lines(kernel, bytes) == lines_progress && bytes == lines_bytes);
  };
  for (const auto& kernel : detail::kernels())
    if (kernel.supported()) check(kernel);
  for (const auto& kernel : detail::emulated_kernels()) check(kernel);
  return 0;
}
