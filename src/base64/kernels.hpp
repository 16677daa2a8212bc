// SPDX-License-Identifier: MIT
// Kernels: the bulk converters of the encoder and the decoder, one set per
// instruction set, and the one place that picks among them.
//
// Internal to the library. The shared library exports none of this; the
// tests, the fuzzers and the benchmarks reach it through a static build of
// the same sources (base64_internal).
//
// The contract of a kernel (the scalar core in encode.cpp and decode.cpp is
// the behaviour; a kernel only saves it work):
// - It converts whole blocks from the start of its input and returns how far
//   it got. The scalar core converts the rest and alone decides padding,
//   errors and their order.
// - A decoding kernel stores a block only after it has checked that every
//   character of the block is in the alphabet; at the first block it cannot
//   vouch for it stops, before storing anything of that block.
// - It never reads or writes outside the ranges it is given.
#pragma once

#include <base64/base64.hpp>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace Base64::detail {

// Encodes whole 3-byte groups of in[0, len) to out, 4 characters per group,
// and returns the number of input bytes consumed (a multiple of 3).
using Encode_bulk = std::size_t (*)(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len,
                                    char* out) noexcept;

// Decodes whole 4-character groups of in[0, len), every one of them in the
// alphabet, to out, 3 bytes per group, and returns the number of characters
// consumed (a multiple of 4). May store up to out + out_capacity; the bytes
// beyond 3 per consumed group are scratch that the caller overwrites.
using Decode_bulk = std::size_t (*)(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len,
                                    std::uint8_t* out, std::size_t out_capacity) noexcept;

// Encodes whole lines of in[0, len): each layout.length / 4 * 3 bytes to
// layout.length characters at out and the line end after them. Returns the
// number of input bytes consumed (a multiple of the line's bytes). May store
// up to the end of the text of all of in[0, len); the bytes beyond the lines
// consumed are scratch that the caller overwrites.
using Encode_lines = std::size_t (*)(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len,
                                     const Line_layout& layout, char* out) noexcept;

// Decodes whole lines of in[0, len), each layout.length characters in the
// alphabet and the line end, to out, and returns the number of characters
// consumed (whole lines with their line ends). Stops before the first line
// it cannot vouch for. May store up to out + out_capacity: what it stores
// beyond the bytes of the lines it returns is scratch, even a line it then
// refused.
using Decode_lines = std::size_t (*)(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len,
                                     const Line_layout& layout, std::uint8_t* out,
                                     std::size_t out_capacity) noexcept;

struct Kernel {
  const char* name;         // the instruction set: "scalar", "avx2", "avx512_vbmi", "neon", ...
  bool (*supported)() noexcept;  // whether this CPU and OS can run it
  Encode_bulk encode;
  Decode_bulk decode;
  // Lines in one pass, where the kernel has them; null: the core runs
  // `encode` and `decode` over the lines.
  Encode_lines encode_lines;
  Decode_lines decode_lines;
};

// Every kernel built into the library, the scalar one first and then in
// order of preference.
std::span<const Kernel> kernels() noexcept;

// The last supported kernel of kernels(), chosen once, on first use.
const Kernel& dispatched_kernel() noexcept;

// Whether CPUID and XGETBV say the CPU has AVX2 and the OS saves YMM state.
bool cpu_has_avx2() noexcept;

// Whether CPUID says the CPU has AVX512F, AVX512BW and AVX512VBMI and XGETBV
// that the OS saves the opmask and ZMM state as well as XMM and YMM.
bool cpu_has_avx512_vbmi() noexcept;

// The kernels of each instruction set: simd/<isa>.cpp defines them in the
// namespace of its instruction set, and all of its own code with them, inside
// the target region of simd/target_region.hpp. Code of a kernel namespace runs
// only after the kernel's `supported` said yes; nothing outside one may be
// compiled for more than the baseline (tests/isa checks the built library).
namespace avx2 {
std::size_t encode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, char* out) noexcept;
std::size_t decode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, std::uint8_t* out,
                   std::size_t out_capacity) noexcept;
}  // namespace avx2

namespace avx512_vbmi {
std::size_t encode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, char* out) noexcept;
std::size_t decode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, std::uint8_t* out,
                   std::size_t out_capacity) noexcept;
std::size_t encode_lines(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len,
                         const Line_layout& layout, char* out) noexcept;
std::size_t decode_lines(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, const Line_layout& layout,
                         std::uint8_t* out, std::size_t out_capacity) noexcept;
}  // namespace avx512_vbmi

namespace neon {
std::size_t encode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, char* out) noexcept;
std::size_t decode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, std::uint8_t* out,
                   std::size_t out_capacity) noexcept;
}  // namespace neon

// The AVX-512 VBMI kernels built with SIMDe's portable intrinsics
// (simd/avx512_vbmi_simde.cpp), which run on any little-endian CPU: linked into the kernel
// tests and the kernels fuzzer only, never into the libraries.
namespace avx512_vbmi_simde {
std::size_t encode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, char* out) noexcept;
std::size_t decode(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, std::uint8_t* out,
                   std::size_t out_capacity) noexcept;
std::size_t encode_lines(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len,
                         const Line_layout& layout, char* out) noexcept;
std::size_t decode_lines(const Alphabet& alphabet, const std::uint8_t* in, std::size_t len, const Line_layout& layout,
                         std::uint8_t* out, std::size_t out_capacity) noexcept;
}  // namespace avx512_vbmi_simde

// The kernels built on SIMDe (simd/emulated.cpp): the AVX-512 VBMI ones on a
// little-endian CPU and the NEON ones off AArch64, each always supported.
// Not among kernels(), so that nothing dispatches to them; linked into the
// kernel tests and the kernels fuzzer only, never into the libraries.
std::span<const Kernel> emulated_kernels() noexcept;

// The whole cores with a chosen kernel, for the tests and the benchmarks.
// The public operations are these with dispatched_kernel().

// Encodes all of `in` to `out`, which holds 4 * ceil(in.size() / 3) bytes,
// and returns the length of the text.
std::size_t encode_into(const Kernel& kernel, const Alphabet& alphabet, bool pad, std::string_view in,
                        char* out) noexcept;

enum class Decode_status { ok, out_of_bounds, malformed, too_much_input };

// Decodes all of `in` to `out`, which holds 3 * ceil(in.size() / 4) bytes;
// on success sets `len` to the decoded length. Every byte of `out` is then
// written, the same bytes whatever the kernel.
Decode_status decode_into(const Kernel& kernel, const Alphabet& alphabet, bool pad, std::string_view in,
                          std::uint8_t* out, std::size_t& len) noexcept;

// Encodes whole lines of `in` to `out` as Base64::encode_lines_into does;
// the layout's length is a positive multiple of 4.
Lines_progress encode_lines_into(const Kernel& kernel, const Alphabet& alphabet, std::string_view in,
                                 std::span<char> out, const Line_layout& layout) noexcept;

// Decodes the longest prefix of `text` that is whole lines of `layout`
// whose bytes fit in `out` (the length a positive multiple of 4), as
// Base64::decode_lines_into does.
Lines_progress decode_lines_into(const Kernel& kernel, const Alphabet& alphabet, std::string_view text,
                                 std::span<char> out, const Line_layout& layout) noexcept;

Result<Sub> encode_sub_with(const Kernel& kernel, std::string_view input, const Options& options);
Result<Sub> decode_sub_with(const Kernel& kernel, std::string_view input, const Options& options);

}  // namespace Base64::detail
