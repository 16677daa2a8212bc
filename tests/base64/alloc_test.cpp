// SPDX-License-Identifier: MIT
// The _into calls allocate nothing: every operator new of the process is
// counted, and the count must not move across them, for every alphabet kind,
// sizes that reach the kernels and the tables made for a caller's alphabet,
// errors included.
#include <base64/base64.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {
std::size_t allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(NoAllocation, IntoCallsAndLengths) {
  std::string chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::swap(chars[5], chars[50]);
  const std::array<Base64::Options, 4> options{
      Base64::Options{},
      Base64::Options{.pad = false, .alphabet = Base64::url_safe_alphabet},
      Base64::Options{.alphabet = Base64::make_alphabet(chars)},
      Base64::Options{.canonical = true},
  };
  std::vector<std::string> inputs;
  for (const std::size_t n : {0u, 1u, 2u, 48u, 64u, 100u, 4096u, 20000u}) {
    std::string s(n, '\0');
    for (std::size_t k = 0; k < n; ++k) s[k] = static_cast<char>(k * 131 + 7);
    inputs.push_back(s);
  }
  std::vector<char> text(30000), bytes(30000), scratch(16);
  for (const auto& o : options) {
    for (const auto& in : inputs) {
      const auto encoded = Base64::encode(in, o);
      const std::string expected = encoded ? *encoded : "";
      const std::size_t before = allocations;
      const auto n = Base64::encode_into(in, text, o);
      const auto m = Base64::decode_into(std::string_view(text.data(), n.value_or(0)), bytes, o);
      const auto bad = Base64::decode_into("Zm9v!!!!Zm9v", scratch, o);
      const auto small = Base64::encode_into(in, std::span(text).first(1), o);
      const auto length = Base64::decoded_length(std::string_view(text.data(), n.value_or(0)), o);
      const std::size_t after = allocations;
      EXPECT_EQ(after, before) << in.size();
      // The calls did their work.
      EXPECT_EQ(std::string(text.data(), n.value_or(0)), expected);
      EXPECT_TRUE(std::string_view(bytes.data(), m.value_or(0)) == in) << in.size();
      EXPECT_FALSE(bad);
      EXPECT_EQ(small.has_value(), in.empty());
      EXPECT_EQ(length.value_or(0), in.size());
    }
  }
}

}  // namespace
