// SPDX-License-Identifier: MIT
// The allocation-free path: 48-byte tokens encoded into one ready buffer and
// decoded back into a fixed array, errors reported with their position, and
// a binary blob decoded onto the end of a byte vector.
#include <base64/base64.hpp>

#include <array>
#include <cstdint>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

int main() {
  // Sized once: encoded_length is constexpr and says when a size cannot fit.
  constexpr std::size_t token_size = 48;
  constexpr std::size_t text_size = *Base64::encoded_length(token_size, false);
  std::array<char, text_size> text{};
  std::array<std::uint8_t, token_size> token{}, back{};

  // One options record, made once and reused: it holds its alphabet.
  const Base64::Options url{.pad = false, .alphabet = Base64::url_safe_alphabet};

  int failures = 0;
  for (std::uint8_t round = 0; round < 4; ++round) {
    for (std::size_t k = 0; k < token.size(); ++k) token[k] = static_cast<std::uint8_t>(k * 7 + round);
    const Base64::Into_result n = Base64::encode_into(token, text, url);  // no allocation
    const Base64::Into_result m = Base64::decode_into(std::string_view(text.data(), *n), back, url);
    std::cout << std::string_view(text.data(), *n) << (m && back == token ? "  ok\n" : "  MISMATCH\n");
    failures += !(m && back == token);
  }

  // An error says what, where in the caller's input, and which byte.
  const std::string_view bad = "Zm9vYmFy Zm9v";
  std::array<char, 16> out{};
  const Base64::Into_result r = Base64::decode_into(bad, out);
  if (!r) {
    const Base64::Error& e = r.error();
    std::cout << "\"" << bad << "\": " << e.message() << " at offset " << e.offset;
    if (e.byte) std::cout << " (byte " << int{*e.byte} << ")";
    std::cout << '\n';
  }

  // A signature check wants exactly one text per byte string.
  const Base64::Into_result strict = Base64::decode_into("Zh==", out, {.canonical = true});
  std::cout << "\"Zh==\" canonical: " << (strict ? "accepted" : std::string(strict.error().message())) << '\n';

  // Appending to a byte vector: one line, one growth.
  std::vector<std::uint8_t> blob{0xCA, 0xFE};
  if (Base64::decode_append("3q2+7w==", blob)) std::cout << "blob: " << blob.size() << " bytes\n";
  return failures == 0 && !r && !strict ? 0 : 1;
}
