// SPDX-License-Identifier: MIT
// The kernels of other instruction sets, built on SIMDe's portable
// intrinsics (avx512_vbmi_simde.cpp, and neon.cpp off AArch64): always
// supported, so that the kernel tests and the kernels fuzzer run them on
// every machine; never among kernels(), so that nothing dispatches to them.
#include <array>

#include "../kernels.hpp"

namespace Base64::detail {
namespace {

[[maybe_unused]] bool always() noexcept { return true; }

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define BASE64_EMULATED_AVX512_VBMI
#endif

#if defined(BASE64_EMULATED_AVX512_VBMI) || defined(BASE64_EMULATED_NEON)
constexpr std::array emulated{
#if defined(BASE64_EMULATED_AVX512_VBMI)
    Kernel{"avx512_vbmi (SIMDe)", always, avx512_vbmi_simde::encode, avx512_vbmi_simde::decode,
           avx512_vbmi_simde::encode_lines, avx512_vbmi_simde::decode_lines},
#endif
#if defined(BASE64_EMULATED_NEON)
    Kernel{"neon (SIMDe)", always, neon::encode, neon::decode, nullptr, nullptr},
#endif
};
#else
constexpr std::array<Kernel, 0> emulated{};
#endif

}  // namespace

std::span<const Kernel> emulated_kernels() noexcept { return emulated; }

}  // namespace Base64::detail
