// SPDX-License-Identifier: MIT
// A library that the disassembly check must reject: an AVX2 function in a
// kernel namespace (allowed) and one outside (the leak it looks for). Each
// adds two arrays of 32 bytes with a YMM register.
#include <immintrin.h>

namespace {
[[gnu::target("avx2"), gnu::always_inline]] inline void add32(const char* a, const char* b, char* out) {
  const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a));
  const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_add_epi8(x, y));
}
}  // namespace

namespace Base64::detail::avx2 {
[[gnu::target("avx2")]] void kernel_add(const char* a, const char* b, char* out) { add32(a, b, out); }
}  // namespace Base64::detail::avx2

[[gnu::target("avx2")]] void leaky_helper(const char* a, const char* b, char* out) { add32(a, b, out); }
