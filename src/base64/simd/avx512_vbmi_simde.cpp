// The AVX-512 VBMI kernels once more, every intrinsic emulated by SIMDe, so
// that the kernel tests and the kernels fuzzer run them on any CPU. Built for
// those only, never into the installed libraries, and with no AVX-512 flag.
#define BASE64_SIMDE
#include "avx512_vbmi.cpp"

#include <array>

namespace Base64::detail {
namespace {

bool always() noexcept { return true; }

constexpr std::array emulated{
    Kernel{"avx512_vbmi_simde", always, avx512_vbmi_simde::encode, avx512_vbmi_simde::decode},
};

}  // namespace

std::span<const Kernel> emulated_kernels() noexcept { return emulated; }

}  // namespace Base64::detail
