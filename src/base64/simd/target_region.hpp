// SPDX-License-Identifier: MIT
// The instruction-set region of a kernel file.
//
// A kernel file is compiled with the same flags as the rest of the library:
// no -mavx2 or -mavx512... for the file. After all its #includes it opens a
// region that raises the target of the functions defined inside it, and
// closes the region at its end:
//
//   #include ...                         // every header, at the baseline
//   BASE64_TARGET_REGION_BEGIN("avx2")
//   namespace Base64::detail::avx2 { ... }
//   BASE64_TARGET_REGION_END
//
// Why: an inline function from a shared header (tables.hpp, <optional>, ...)
// is emitted as a weak copy by every file that uses it, and the linker keeps
// any one of those copies for the whole library. A copy compiled with a
// per-file -m flag could hold AVX2 or AVX-512 instructions and crash a CPU
// without them, at a caller far from any kernel. Here headers are read before
// the region opens, so every copy they produce is compiled for the baseline;
// only the functions written inside the region, all in the kernel's own
// namespace, get the wider target. Kernel code may call baseline inline
// functions (they are inlined or called as usual); the reverse does not
// compile, which is the point.
//
// g++ applies `#pragma GCC target` to the functions defined after it, lambdas
// and templates included; clang does the same with an attribute pushed on
// every function. The disassembly test (tests/isa) checks the outcome on the
// built library.
#pragma once

#define BASE64_PRAGMA(text) _Pragma(#text)

#if defined(__clang__)
#define BASE64_TARGET_REGION_BEGIN(isa) \
  BASE64_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define BASE64_TARGET_REGION_END BASE64_PRAGMA(clang attribute pop)
#elif defined(__GNUC__)
#define BASE64_TARGET_REGION_BEGIN(isa) BASE64_PRAGMA(GCC push_options) BASE64_PRAGMA(GCC target(isa))
#define BASE64_TARGET_REGION_END BASE64_PRAGMA(GCC pop_options)
#else
#error "kernel files need g++ or clang: per-function target attributes"
#endif
