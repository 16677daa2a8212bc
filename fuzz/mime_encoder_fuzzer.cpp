// SPDX-License-Identifier: MIT
// The streaming encoder writes the same text to a stream, a string and caller
// spaces of fuzzer-chosen sizes; that text is RFC 4648 Base64 once its CR LF
// are taken out, has lines of at most 76 characters, and decodes back
// through the streaming decoder.
#include <base64/base64.hpp>
#include <base64_rfc2045/base64_rfc2045.hpp>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_util.hpp"

namespace mime = Base64_rfc2045;

namespace {

void encode_all(mime::Encoder& encoder, const std::string& input) {
  for (const char c : input)
    FUZZ_CHECK(mime::encode(encoder, mime::Byte{static_cast<std::uint8_t>(c)}) == mime::Encode_result::Ok);
  FUZZ_CHECK(mime::encode(encoder, mime::End{}) == mime::Encode_result::Ok);
}

// Drives a Manual encoder, handing in a space of the next chosen size at each
// Partial and collecting what it wrote. A size of 0 hands in a span without
// storage (data() null); at least one size is not 0.
std::string encode_manual(const std::string& input, const std::vector<std::size_t>& sizes) {
  std::vector<char> space;
  std::size_t turn = 0;
  std::string text;
  mime::Encoder encoder = mime::encoder(mime::Destination::Manual{});
  const auto fresh_space = [&] {
    space.assign(sizes[turn++ % sizes.size()], '\0');
    if (space.empty())
      mime::dst(encoder, std::span<char>(), 0, 0);
    else
      mime::dst(encoder, space, 0, static_cast<std::int64_t>(space.size()));
  };
  const auto take = [&] {
    text.append(space.data(), space.size() - static_cast<std::size_t>(mime::o_rem(encoder)));
    fresh_space();
  };
  const auto give = [&](mime::Encode_input value) {
    std::size_t partials = 0;
    for (auto r = mime::encode(encoder, value); r == mime::Encode_result::Partial;
         r = mime::encode(encoder, mime::Await{})) {
      // At most a line break and a group, a byte of space at a time, with
      // empty spaces between.
      FUZZ_CHECK(++partials <= 16 * sizes.size());
      take();
    }
  };
  fresh_space();
  for (const char c : input) give(mime::Byte{static_cast<std::uint8_t>(c)});
  give(mime::End{});
  take();
  return text;
}

std::string decode_stream(const std::string& text) {
  mime::Decoder decoder = mime::decoder(mime::Source::String{text});
  std::string bytes;
  for (;;) {
    const mime::Decode_result result = mime::decode(decoder);
    if (const auto* flush = std::get_if<mime::Flush>(&result)) {
      bytes += flush->bytes;
      continue;
    }
    FUZZ_CHECK(std::holds_alternative<mime::End>(result));
    FUZZ_CHECK(!mime::decoder_dangerous(decoder));
    return bytes;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  std::vector<std::size_t> sizes(data.ConsumeIntegralInRange<std::size_t>(1, 8));
  for (auto& s : sizes) s = data.ConsumeIntegralInRange<std::size_t>(0, 100);
  if (std::all_of(sizes.begin(), sizes.end(), [](std::size_t s) { return s == 0; })) sizes.front() = 1;
  const std::string input = data.ConsumeRemainingBytesAsString();

  std::string buffer;
  mime::Encoder to_buffer = mime::encoder(mime::Destination::Buffer{buffer});
  encode_all(to_buffer, input);

  std::ostringstream stream;
  mime::Encoder to_stream = mime::encoder(mime::Destination::Channel{stream});
  encode_all(to_stream, input);
  FUZZ_CHECK(stream.str() == buffer);
  FUZZ_CHECK(encode_manual(input, sizes) == buffer);

  std::string joined;
  std::size_t line = 0;
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    if (buffer[i] == '\r') {
      FUZZ_CHECK(i + 1 < buffer.size() && buffer[i + 1] == '\n' && line == 76);
      ++i;
      line = 0;
      continue;
    }
    joined += buffer[i];
    FUZZ_CHECK(++line <= 76);
  }
  FUZZ_CHECK(joined == Base64::encode_string(input));
  FUZZ_CHECK(decode_stream(buffer) == input);
  return 0;
}
