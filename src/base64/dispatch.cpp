// SPDX-License-Identifier: MIT
// The kernel table and the run-time choice among its entries.
//
// A kernel for another instruction set is one more source file under simd/
// (its code in a namespace of its own, inside the target region of
// simd/target_region.hpp) and one more line in `all` below, after the kernels
// it should win over.
#include <array>

#include "kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace Base64::detail {
namespace {

// The scalar kernel leaves all the work to the scalar core.
std::size_t no_encode(const Alphabet&, const std::uint8_t*, std::size_t, char*) noexcept { return 0; }
std::size_t no_decode(const Alphabet&, const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t) noexcept {
  return 0;
}
bool always() noexcept { return true; }

constexpr std::array all{
    Kernel{"scalar", always, no_encode, no_decode, nullptr, nullptr},
#if defined(BASE64_KERNEL_AVX2)
    Kernel{"avx2", cpu_has_avx2, avx2::encode, avx2::decode, nullptr, nullptr},
#endif
#if defined(BASE64_KERNEL_AVX512_VBMI)
    Kernel{"avx512_vbmi", cpu_has_avx512_vbmi, avx512_vbmi::encode, avx512_vbmi::decode, avx512_vbmi::encode_lines,
           avx512_vbmi::decode_lines},
#endif
#if defined(BASE64_KERNEL_NEON)
    // Advanced SIMD is part of every AArch64 CPU.
    Kernel{"neon", always, neon::encode, neon::decode, nullptr, nullptr},
#endif
};

const Kernel& choose() noexcept {
  const Kernel* best = &all.front();
  for (const Kernel& k : all)
    if (k.supported()) best = &k;
  return *best;
}

}  // namespace

bool cpu_has_avx2() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned osxsave = 1u << 27, avx = 1u << 28;
  if ((ecx & (osxsave | avx)) != (osxsave | avx)) return false;
  // XCR0 bits 1 and 2: the OS saves and restores XMM and YMM state. The
  // instruction is spelt out so that this file needs no -mxsave.
  unsigned xcr0_lo = 0, xcr0_hi = 0;
  __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  if ((xcr0_lo & 0x6u) != 0x6u) return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned avx2 = 1u << 5;
  return (ebx & avx2) != 0;
#else
  return false;
#endif
}

bool cpu_has_avx512_vbmi() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned osxsave = 1u << 27;
  if ((ecx & osxsave) == 0) return false;
  // XCR0 bits 1, 2, 5, 6 and 7: the OS saves and restores XMM and YMM
  // state, the opmask registers, and the upper halves of ZMM0-15 and all of
  // ZMM16-31.
  unsigned xcr0_lo = 0, xcr0_hi = 0;
  __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  constexpr unsigned zmm_state = 0xE6u;
  if ((xcr0_lo & zmm_state) != zmm_state) return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned avx512f = 1u << 16, avx512bw = 1u << 30, avx512vbmi = 1u << 1;
  return (ebx & (avx512f | avx512bw)) == (avx512f | avx512bw) && (ecx & avx512vbmi) != 0;
#else
  return false;
#endif
}

std::span<const Kernel> kernels() noexcept { return all; }

const Kernel& dispatched_kernel() noexcept {
  static const Kernel& chosen = choose();
  return chosen;
}

}  // namespace Base64::detail
