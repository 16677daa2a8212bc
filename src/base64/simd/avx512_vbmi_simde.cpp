// SPDX-License-Identifier: MIT
// The AVX-512 VBMI kernels once more, every intrinsic emulated by SIMDe, so
// that the kernel tests and the kernels fuzzer run them on any little-endian
// CPU (emulated.cpp lists them). Built for those only, never into the
// installed libraries, and with no AVX-512 flag. On a big-endian CPU the
// kernels' multi-byte constants would not mean what they mean on x86: there
// is no emulated kernel there.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define BASE64_SIMDE
#include "avx512_vbmi.cpp"
#endif
