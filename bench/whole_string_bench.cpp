// SPDX-License-Identifier: MIT
// Speed of whole-string encoding and decoding, in bytes of input per second.
//
// Benchmark names are <op>/<how>/<alphabet>/<padding>/<input size>:
//   op        encode (input: random bytes) or decode (input: text of that
//             many characters, the encoding of 3/4 as many random bytes)
//   how       api       the public operation, a fresh result string per call
//                       (the same code as libbase64.so, linked statically)
//             into      encode_into / decode_into into a ready buffer,
//                       the options record made once, before the loop
//             into_options_per_call
//                       the same with the options record made in each call
//                       from the alphabet, as `{.pad = p, .alphabet = a}`
//             scalar, avx2, avx512_vbmi (those the CPU runs)
//                       one kernel and the scalar core, into a ready buffer
//                       (the kernel-only figure: no range, no options)
//   alphabet  standard, url_safe, and caller-made ones: bcrypt (the order of
//             bcrypt's alphabet: runs of consecutive codes), shuffled (the
//             standard characters in a random order) and random (64 random
//             bytes, high bytes and a repeat among them)
//   padding   pad or bare
// encode_lines/<kernel>/standard/crlf76/1048576 encodes 1 MiB into lines of
// 76 characters and CR LF with that kernel (detail::encode_lines_into).
// decode_lines/<how>/standard/crlf76/<size>: decode_lines_into on a random
// payload of 1 MiB less 4 bytes (whole lines) in 76-character lines, each
// followed by CR LF (<size> bytes of text: the figure counts them), into a
// ready buffer; <how> is api
// (the public call) or a kernel, whose own decode_lines is used where it has
// one and its decode over lines gathered on the stack otherwise.
// memcpy/<size> copies the same number of bytes, for scale (ratios.py
// divides each figure by it), and alloc/encode_output/<size> allocates and
// frees a buffer of the size of the encoded text, the one allocation of a
// public operation.
// traffic/<pattern>/<size>, on CPUs with AVX-512 only: the loads and stores
// of a kernel without its arithmetic, the most that a kernel with that
// pattern can reach:
//   encode    64-byte loads 48 bytes apart, 64-byte stores one after the
//             other: the accesses of the AVX-512 VBMI encoder's main loop
//   copy      64-byte loads and stores of the same bytes as memcpy (which
//             glibc does with REP MOVSB at these sizes: a store protocol
//             that ordinary stores do not get)
#include <base64/base64.hpp>

#include <benchmark/benchmark.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kernels.hpp"


namespace {

namespace detail = Base64::detail;

constexpr std::size_t sizes[] = {48, 64, 4 << 10, 64 << 10, 1 << 20, 16 << 20};

std::string random_bytes(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

Base64::Alphabet shuffled_alphabet() {
  std::string chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::shuffle(chars.begin(), chars.end(), std::mt19937_64(7));
  return Base64::make_alphabet(chars);
}

Base64::Alphabet random_alphabet() {
  std::mt19937_64 rng(7);
  std::string chars;
  while (chars.size() < 64) {
    const auto c = static_cast<char>(rng());
    if (c != '=') chars += c;
  }
  chars[40] = chars[3];  // a repeated character
  return Base64::make_alphabet(chars);
}

struct Named_alphabet {
  std::string name;
  Base64::Alphabet alphabet;
};

const std::vector<Named_alphabet>& alphabets() {
  static const std::vector<Named_alphabet> all{
      {"standard", Base64::standard_alphabet},
      {"url_safe", Base64::url_safe_alphabet},
      {"bcrypt", Base64::make_alphabet("./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")},
      {"shuffled", shuffled_alphabet()},
      {"random", random_alphabet()},
  };
  return all;
}

// Storage aligned to 64 bytes, for inputs and outputs alike. glibc's memcpy
// copies these sizes with REP MOVSB, which on this kind of machine runs at a
// few GB/s when source and destination are misaligned to each other (for
// instance 64-aligned and 16-aligned); aligned buffers give memcpy its
// usual speed, so that it is a fair yardstick.
struct Aligned {
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  explicit Aligned(std::size_t n)
      : size(n), data(static_cast<char*>(std::aligned_alloc(64, (n + 63) / 64 * 64))) {}
  std::size_t size;
  std::unique_ptr<char, Free> data;
  std::string_view view() const { return {data.get(), size}; }
  unsigned char* bytes() const { return reinterpret_cast<unsigned char*>(data.get()); }
};

// Inputs, made once per size (and alphabet) and shared by the benchmarks.
std::string_view bytes_of_size(std::size_t size) {
  static std::map<std::size_t, Aligned> cache;
  auto it = cache.find(size);
  if (it == cache.end()) {
    it = cache.emplace(size, Aligned(size)).first;
    const std::string bytes = random_bytes(size, size);
    std::memcpy(it->second.data.get(), bytes.data(), size);
  }
  return it->second.view();
}

std::string_view text_of_size(const Named_alphabet& a, bool pad, std::size_t size) {
  static std::map<std::tuple<std::string, bool, std::size_t>, Aligned> cache;
  const auto key = std::make_tuple(a.name, pad, size);
  auto it = cache.find(key);
  if (it == cache.end()) {
    it = cache.emplace(key, Aligned(size)).first;
    std::string text = Base64::encode_string(random_bytes(size / 4 * 3, size), {.pad = pad, .alphabet = a.alphabet});
    text.resize(size, static_cast<char>(a.alphabet.emap()[0]));
    std::memcpy(it->second.data.get(), text.data(), size);
  }
  return it->second.view();
}

void count_bytes(benchmark::State& state, std::size_t size) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
}

void bench_memcpy(benchmark::State& state, std::size_t size) {
  const std::string_view in = bytes_of_size(size);
  Aligned out(size);
  for (auto _ : state) {
    std::memcpy(out.data.get(), in.data(), size);
    benchmark::DoNotOptimize(out.data.get());
    benchmark::ClobberMemory();
  }
  count_bytes(state, size);
}

// One allocation and its release, of the size of the encoding of `size`
// bytes: what the public operations pay beyond the kernels' work.
void bench_alloc(benchmark::State& state, std::size_t size) {
  for (auto _ : state) {
    auto p = std::make_unique_for_overwrite<char[]>((size + 2) / 3 * 4);
    benchmark::DoNotOptimize(p.get());
  }
}

void encode_api(benchmark::State& state, const Named_alphabet* a, bool pad, std::size_t size) {
  const std::string_view in = bytes_of_size(size);
  for (auto _ : state) {
    auto text = Base64::encode(in, {.pad = pad, .alphabet = a->alphabet});
    benchmark::DoNotOptimize(text);
  }
  count_bytes(state, size);
}

void decode_api(benchmark::State& state, const Named_alphabet* a, bool pad, std::size_t size) {
  const std::string_view text = text_of_size(*a, pad, size);
  if (!Base64::decode(text, {.pad = pad, .alphabet = a->alphabet})) state.SkipWithError("input does not decode");
  for (auto _ : state) {
    auto bytes = Base64::decode(text, {.pad = pad, .alphabet = a->alphabet});
    benchmark::DoNotOptimize(bytes);
  }
  count_bytes(state, size);
}

void encode_into(benchmark::State& state, const Named_alphabet* a, bool pad, std::size_t size) {
  const std::string_view in = bytes_of_size(size);
  Aligned out((size + 2) / 3 * 4);
  const std::span<char> buffer(out.data.get(), out.size);
  const Base64::Options options{.pad = pad, .alphabet = a->alphabet};
  for (auto _ : state) {
    benchmark::DoNotOptimize(Base64::encode_into(in, buffer, options));
    benchmark::ClobberMemory();
  }
  count_bytes(state, size);
}

void encode_into_options_per_call(benchmark::State& state, const Named_alphabet* a, bool pad, std::size_t size) {
  const std::string_view in = bytes_of_size(size);
  Aligned out((size + 2) / 3 * 4);
  const std::span<char> buffer(out.data.get(), out.size);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Base64::encode_into(in, buffer, {.pad = pad, .alphabet = a->alphabet}));
    benchmark::ClobberMemory();
  }
  count_bytes(state, size);
}

void decode_into(benchmark::State& state, const Named_alphabet* a, bool pad, std::size_t size) {
  const std::string_view text = text_of_size(*a, pad, size);
  Aligned out((size + 3) / 4 * 3);
  const std::span<char> buffer(out.data.get(), out.size);
  const Base64::Options options{.pad = pad, .alphabet = a->alphabet};
  if (!Base64::decode_into(text, buffer, options)) state.SkipWithError("input does not decode");
  for (auto _ : state) {
    benchmark::DoNotOptimize(Base64::decode_into(text, buffer, options));
    benchmark::ClobberMemory();
  }
  count_bytes(state, size);
}

void decode_into_options_per_call(benchmark::State& state, const Named_alphabet* a, bool pad, std::size_t size) {
  const std::string_view text = text_of_size(*a, pad, size);
  Aligned out((size + 3) / 4 * 3);
  const std::span<char> buffer(out.data.get(), out.size);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Base64::decode_into(text, buffer, {.pad = pad, .alphabet = a->alphabet}));
    benchmark::ClobberMemory();
  }
  count_bytes(state, size);
}

void encode_kernel(benchmark::State& state, const detail::Kernel* k, const Named_alphabet* a, bool pad,
                   std::size_t size) {
  const std::string_view in = bytes_of_size(size);
  Aligned out((size + 2) / 3 * 4);
  for (auto _ : state) {
    benchmark::DoNotOptimize(detail::encode_into(*k, a->alphabet, pad, in, out.data.get()));
    benchmark::ClobberMemory();
  }
  count_bytes(state, size);
}

// A payload of 1 MiB, cut to whole lines (57 bytes each), as 76-character
// lines, each with its CR LF.
const std::string& payload_lines() {
  static const std::string text = [] {
    const std::string flat = Base64::encode_string(random_bytes((1 << 20) / 57 * 57, 76));
    std::string lines;
    for (std::size_t i = 0; i < flat.size(); i += 76) {
      lines.append(flat, i, 76);
      lines += "\r\n";
    }
    return lines;
  }();
  return text;
}

// Through `k`, or the public call when it is null.
void decode_lines(benchmark::State& state, const detail::Kernel* k) {
  const std::string& text = payload_lines();
  Aligned out(1 << 20);
  const std::span<char> buffer(out.data.get(), out.size);
  const auto run = [&] {
    return k != nullptr ? detail::decode_lines_into(*k, Base64::standard_alphabet, text, buffer, {})
                        : Base64::decode_lines_into(text, buffer);
  };
  if (run().read != text.size()) state.SkipWithError("not all lines decode");
  for (auto _ : state) {
    benchmark::DoNotOptimize(run());
    benchmark::ClobberMemory();
  }
  count_bytes(state, text.size());
}

void decode_kernel(benchmark::State& state, const detail::Kernel* k, const Named_alphabet* a, bool pad,
                   std::size_t size) {
  const std::string_view text = text_of_size(*a, pad, size);
  Aligned out((size + 3) / 4 * 3);
  std::uint8_t* bytes = out.bytes();
  std::size_t len = 0;
  if (detail::decode_into(*k, a->alphabet, pad, text, bytes, len) != detail::Decode_status::ok)
    state.SkipWithError("input does not decode");
  for (auto _ : state) {
    benchmark::DoNotOptimize(detail::decode_into(*k, a->alphabet, pad, text, bytes, len));
    benchmark::ClobberMemory();
  }
  count_bytes(state, size);
}


#if defined(__x86_64__)
// The traffic patterns, compiled for AVX-512 in these two functions only.
// `size` is a multiple of 192.
__attribute__((target("avx512f"))) void encode_traffic(const char* in, std::size_t size, char* out) {
  for (std::size_t i = 0; i < size; i += 4 * 48, out += 4 * 64) {
    const __m512i a = _mm512_loadu_si512(in + i), b = _mm512_loadu_si512(in + i + 48);
    const __m512i c = _mm512_loadu_si512(in + i + 2 * 48), d = _mm512_loadu_si512(in + i + 3 * 48);
    _mm512_storeu_si512(out, a);
    _mm512_storeu_si512(out + 64, b);
    _mm512_storeu_si512(out + 2 * 64, c);
    _mm512_storeu_si512(out + 3 * 64, d);
  }
}

__attribute__((target("avx512f"))) void copy_traffic(const char* in, std::size_t size, char* out) {
  for (std::size_t i = 0; i < size; i += 2 * 64) {
    const __m512i a = _mm512_loadu_si512(in + i), b = _mm512_loadu_si512(in + i + 64);
    _mm512_storeu_si512(out + i, a);
    _mm512_storeu_si512(out + i + 64, b);
  }
}

void bench_traffic(benchmark::State& state, void (*pattern)(const char*, std::size_t, char*), std::size_t size) {
  // Whole steps of both patterns; the 16 bytes that an encoding step reads
  // past its last group are there.
  const std::size_t steps = size / 192 * 192;
  Aligned in(steps + 64), out(steps / 3 * 4);
  std::memcpy(in.data.get(), bytes_of_size(size).data(), steps);
  for (auto _ : state) {
    pattern(in.data.get(), steps, out.data.get());
    benchmark::ClobberMemory();
  }
  count_bytes(state, steps);
}
#endif

// The payload as 76-column lines with CR LF, as a MIME body holds it: the
// kernel's line kernel where it has one, or its encode and the moves of the
// lines otherwise (the avx2 and scalar rows).
void encode_lines_kernel(benchmark::State& state, const detail::Kernel* k, std::size_t size) {
  const std::string_view in = bytes_of_size(size);
  const Base64::Line_layout layout{};
  Aligned out(size / 57 * 78);
  const std::span<char> text(out.data.get(), out.size);
  for (auto _ : state) {
    benchmark::DoNotOptimize(detail::encode_lines_into(*k, Base64::standard_alphabet, in, text, layout));
    benchmark::ClobberMemory();
  }
  count_bytes(state, size);
}

std::string name(const char* op, const std::string& how, const Named_alphabet& a, bool pad, std::size_t size) {
  return std::string(op) + "/" + how + "/" + a.name + "/" + (pad ? "pad" : "bare") + "/" + std::to_string(size);
}

void register_all() {
  std::vector<const detail::Kernel*> kernels;
  for (const auto& k : detail::kernels())
    if (k.supported()) kernels.push_back(&k);

  for (const auto* k : kernels)
    benchmark::RegisterBenchmark(("encode_lines/" + std::string(k->name) + "/standard/crlf76/1048576").c_str(),
                                 encode_lines_kernel, k, std::size_t{1} << 20);
  const std::string lines_name = "/standard/crlf76/" + std::to_string(payload_lines().size());
  benchmark::RegisterBenchmark(("decode_lines/api" + lines_name).c_str(), decode_lines, nullptr);
  for (const auto* k : kernels)
    benchmark::RegisterBenchmark(("decode_lines/" + std::string(k->name) + lines_name).c_str(), decode_lines, k);

  for (const std::size_t size : sizes) {
    benchmark::RegisterBenchmark(("memcpy/" + std::to_string(size)).c_str(), bench_memcpy, size);
    benchmark::RegisterBenchmark(("alloc/encode_output/" + std::to_string(size)).c_str(), bench_alloc, size);
#if defined(__x86_64__)
    if (size >= 4096 && __builtin_cpu_supports("avx512f")) {
      benchmark::RegisterBenchmark(("traffic/encode/" + std::to_string(size)).c_str(), bench_traffic,
                                   encode_traffic, size);
      benchmark::RegisterBenchmark(("traffic/copy/" + std::to_string(size)).c_str(), bench_traffic, copy_traffic,
                                   size);
    }
#endif
    for (const auto& a : alphabets()) {
      for (const bool pad : {true, false}) {
        benchmark::RegisterBenchmark(name("encode", "api", a, pad, size).c_str(), encode_api, &a, pad, size);
        benchmark::RegisterBenchmark(name("encode", "into", a, pad, size).c_str(), encode_into, &a, pad, size);
        if (size <= 4096)
          benchmark::RegisterBenchmark(name("encode", "into_options_per_call", a, pad, size).c_str(),
                                       encode_into_options_per_call, &a, pad, size);
        for (const auto* k : kernels)
          benchmark::RegisterBenchmark(name("encode", k->name, a, pad, size).c_str(), encode_kernel, k, &a, pad,
                                       size);
        benchmark::RegisterBenchmark(name("decode", "api", a, pad, size).c_str(), decode_api, &a, pad, size);
        benchmark::RegisterBenchmark(name("decode", "into", a, pad, size).c_str(), decode_into, &a, pad, size);
        if (size <= 4096)
          benchmark::RegisterBenchmark(name("decode", "into_options_per_call", a, pad, size).c_str(),
                                       decode_into_options_per_call, &a, pad, size);
        for (const auto* k : kernels)
          benchmark::RegisterBenchmark(name("decode", k->name, a, pad, size).c_str(), decode_kernel, k, &a, pad,
                                       size);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
