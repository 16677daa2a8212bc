// SPDX-License-Identifier: MIT
// The streaming decoder gives the same results however its input arrives:
// one string, a stream, or caller chunks cut at fuzzer-chosen points. The
// results (but Await), the byte count and the line-length flag must agree.
#include <base64_rfc2045/base64_rfc2045.hpp>

#include <fuzzer/FuzzedDataProvider.h>

#include <sstream>
#include <string>
#include <vector>

#include "fuzz_util.hpp"

namespace mime = Base64_rfc2045;

namespace {

struct Run {
  std::vector<mime::Decode_result> results;
  std::int64_t byte_count = 0;
  bool dangerous = false;
  bool operator==(const Run&) const = default;
};

// Decodes until End; every input ends after at most one result per byte
// plus the final Flush and End, so a longer run means a loop.
Run drain(mime::Decoder& decoder, std::size_t input_size, const std::vector<std::size_t>* cuts = nullptr,
          const std::string* input = nullptr) {
  Run run;
  std::size_t next_cut = 0, pos = 0;
  for (std::size_t calls = 0;; ++calls) {
    FUZZ_CHECK(calls <= 3 * input_size + 8);
    mime::Decode_result result = mime::decode(decoder);
    if (std::holds_alternative<mime::Await>(result)) {
      FUZZ_CHECK(cuts != nullptr);
      // Hand in the next chunk, or the end of input after the last one.
      const std::size_t end = next_cut < cuts->size() ? (*cuts)[next_cut++] : input->size();
      mime::src(decoder, *input, static_cast<std::int64_t>(pos), static_cast<std::int64_t>(end - pos));
      pos = end;
      continue;
    }
    const bool over = std::holds_alternative<mime::End>(result);
    run.results.push_back(std::move(result));
    if (over) break;
  }
  FUZZ_CHECK(std::holds_alternative<mime::End>(mime::decode(decoder)));
  run.byte_count = mime::decoder_byte_count(decoder);
  run.dangerous = mime::decoder_dangerous(decoder);
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const std::size_t cut_count = data.ConsumeIntegralInRange<std::size_t>(0, 16);
  std::vector<std::size_t> cut_seeds;
  for (std::size_t i = 0; i < cut_count; ++i) cut_seeds.push_back(data.ConsumeIntegral<std::uint16_t>());
  const std::string input = data.ConsumeRemainingBytesAsString();

  // Increasing cut points inside the input; a repeated point is a 0-byte
  // chunk, which ends the input early, so cuts are strictly increasing.
  std::vector<std::size_t> cuts;
  for (const std::size_t seed : cut_seeds) {
    if (input.empty()) break;
    const std::size_t cut = seed % input.size();
    if (cut > 0 && (cuts.empty() || cut > cuts.back())) cuts.push_back(cut);
  }

  mime::Decoder from_string = mime::decoder(mime::Source::String{input});
  const Run expected = drain(from_string, input.size());
  FUZZ_CHECK(expected.byte_count == static_cast<std::int64_t>(input.size()));

  std::istringstream stream(input);
  mime::Decoder from_stream = mime::decoder(mime::Source::Channel{stream});
  FUZZ_CHECK(drain(from_stream, input.size()) == expected);

  mime::Decoder manual = mime::decoder(mime::Source::Manual{});
  FUZZ_CHECK(drain(manual, input.size(), &cuts, &input) == expected);
  return 0;
}
