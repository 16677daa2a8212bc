// SPDX-License-Identifier: MIT
// The AVX-512 intrinsics that the avx512_vbmi kernels use, from the
// compiler, or emulated by SIMDe (SIMD Everywhere, header-only) when
// BASE64_SIMDE is defined. The kernels are written once, against the
// intrinsic names; the emulated build runs them on any CPU, for the tests and
// the kernels fuzzer only, and is never part of the installed libraries.
//
// BASE64_AVX512_VBMI names the namespace of the kernels, so that both builds
// can be linked into one test program, and BASE64_AVX512_VBMI_REGION_BEGIN
// and _END enclose them: the target region of target_region.hpp natively,
// nothing in the emulated build.
#pragma once

#include "target_region.hpp"

#if defined(BASE64_SIMDE)

#include <cstdint>
#include <cstring>

// SIMDe's aliases: the _mm512_* names and the __m512i type, as macros and
// typedefs over its portable code. They are defined only where the compiler
// does not target AVX-512 itself, which is the point here: this build gets
// no AVX-512 flag.
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

// SIMDe 0.7.4 spells this alias with the arguments of the masked form.
#undef _mm512_madd_epi16
#define _mm512_madd_epi16(a, b) simde_mm512_madd_epi16(a, b)

// Masked byte loads and stores, which SIMDe 0.7.4 lacks. Like the hardware,
// they touch only the bytes whose mask bit is set: the emulated kernels thus
// show every out-of-range access to AddressSanitizer, byte by byte.
inline __m512i base64_simde_maskz_loadu_epi8(simde__mmask64 k, const void* p) noexcept {
  alignas(64) std::uint8_t bytes[64] = {};
  for (unsigned i = 0; i < 64; ++i)
    if (k >> i & 1) bytes[i] = static_cast<const std::uint8_t*>(p)[i];
  return simde_mm512_load_si512(bytes);
}

inline void base64_simde_mask_storeu_epi8(void* p, simde__mmask64 k, __m512i v) noexcept {
  alignas(64) std::uint8_t bytes[64];
  simde_mm512_store_si512(bytes, v);
  for (unsigned i = 0; i < 64; ++i)
    if (k >> i & 1) static_cast<std::uint8_t*>(p)[i] = bytes[i];
}

#define _mm512_maskz_loadu_epi8 base64_simde_maskz_loadu_epi8
#define _mm512_mask_storeu_epi8 base64_simde_mask_storeu_epi8

#define BASE64_AVX512_VBMI avx512_vbmi_simde
#define BASE64_AVX512_VBMI_REGION_BEGIN
#define BASE64_AVX512_VBMI_REGION_END

#else

// g++ 12 warns that the "undefined" source operand of its own AVX-512
// intrinsics may be used uninitialized, in the intrinsics' code, wherever
// they are inlined (GCC bug 105593, fixed in g++ 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#define BASE64_AVX512_VBMI avx512_vbmi
#define BASE64_AVX512_VBMI_REGION_BEGIN BASE64_TARGET_REGION_BEGIN("avx512f,avx512bw,avx512vbmi")
#define BASE64_AVX512_VBMI_REGION_END BASE64_TARGET_REGION_END

#endif
