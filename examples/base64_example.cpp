// SPDX-License-Identifier: MIT
// Encodes its standard input (or a built-in sample when run without input)
// in each of the library's flavours, and decodes it back.
#include <base64/base64.hpp>

#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

// Its standard encoding has a '+', a '/' and padding, so the URL-safe bare
// line shows all three differences: "SXMgMyA+IDI/IFllcyE=" and
// "SXMgMyA-IDI_IFllcyE".
constexpr std::string_view sample = "Is 3 > 2? Yes!";

std::string read_input() {
  if (isatty(STDIN_FILENO)) return std::string(sample);
  std::string data{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
  return data.empty() ? std::string(sample) : data;
}

}  // namespace

int main() {
  const std::string input = read_input();
  std::cout << "input:          " << input.size() << " bytes\n";

  const std::string standard = Base64::encode_string(input);
  const std::string url = Base64::encode_string(input, {.pad = false, .alphabet = Base64::url_safe_alphabet});
  std::cout << "standard:       " << standard << '\n' << "url-safe, bare: " << url << '\n';

  const auto back = Base64::decode(url, {.pad = false, .alphabet = Base64::url_safe_alphabet});
  std::cout << "round trip:     " << (back && *back == input ? "ok" : "MISMATCH") << '\n';

  for (const std::string_view text : {"Zm9vYmFy", "Zm8", "Zm9v YmFy", "Zg==Zg=="}) {
    const auto r = Base64::decode(text);
    std::cout << "decode \"" << text << "\": " << (r ? "\"" + *r + "\"" : r.error().text) << '\n';
  }
  return back && *back == input ? 0 : 1;
}
