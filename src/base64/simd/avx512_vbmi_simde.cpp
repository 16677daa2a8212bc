// SPDX-License-Identifier: MIT
// The AVX-512 VBMI kernels once more, every intrinsic emulated by SIMDe, so
// that the kernel tests and the kernels fuzzer run them on any little-endian
// CPU. Built for those only, never into the installed libraries, and with no
// AVX-512 flag. On a big-endian CPU the kernels' multi-byte constants would
// not mean what they mean on x86: there is no emulated kernel there.
#include <array>

#include "../kernels.hpp"

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define BASE64_SIMDE
#include "avx512_vbmi.cpp"
#endif

namespace Base64::detail {
namespace {

#if defined(BASE64_SIMDE)
bool always() noexcept { return true; }

constexpr std::array emulated{
    Kernel{"avx512_vbmi_simde", always, avx512_vbmi_simde::encode, avx512_vbmi_simde::decode},
};
#else
constexpr std::array<Kernel, 0> emulated{};
#endif

}  // namespace

std::span<const Kernel> emulated_kernels() noexcept { return emulated; }

}  // namespace Base64::detail
