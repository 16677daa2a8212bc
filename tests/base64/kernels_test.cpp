// SPDX-License-Identifier: MIT
// Every kernel this machine can run against the scalar core: the same text,
// the same error, the same bytes in the whole working buffer. The scalar core
// is itself held to a plain model of the rules, one character at a time, so
// that its fast loops are checked on long inputs too.
//
// Inputs and outputs live in heap blocks of exactly their size, so that
// AddressSanitizer catches a read or write one byte past either end.
#include <base64/base64.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core.hpp"
#include "kernels.hpp"
#include "kernel_list.hpp"

#include "guarded_pages.hpp"

namespace {

namespace detail = Base64::detail;
using detail::Decode_status;

// ------------------------------------------------------------------ model

constexpr char pad_char = '=';

// 4 * ceil(n / 3) characters: full groups, then the short last group with
// the alphabet's first character for missing bits, '=' over those when
// padding is on.
std::string model_encode(const Base64::Alphabet& a, bool pad, std::string_view in) {
  const auto& e = a.emap();
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, in.size() - i);
    std::uint32_t x = 0;
    for (std::size_t k = 0; k < 3; ++k) x = x << 8 | (k < n ? static_cast<std::uint8_t>(in[i + k]) : 0u);
    for (int s = 18; s >= 0; s -= 6) out += static_cast<char>(e[x >> s & 63]);
    if (pad)
      for (std::size_t k = n; k < 3; ++k) out[out.size() - 3 + k] = pad_char;
  }
  return out;
}

struct Decoded {
  Decode_status status = Decode_status::ok;
  std::size_t len = 0;
  std::string buffer;  // compared only on success
  friend bool operator==(const Decoded&, const Decoded&) = default;
};

Decoded failed(Decode_status status) { return {status, 0, {}}; }

// Groups of four, each read from its last character to its first; bytes of
// groups after one that ended with padding stay zero.
Decoded model_decode(const Base64::Alphabet& a, bool pad, std::string_view text) {
  const std::size_t n = text.size(), padded = (n + 3) / 4 * 4;
  Decoded d{Decode_status::ok, padded / 4 * 3, std::string(padded / 4 * 3, '\0')};
  for (std::size_t i = 0; i < padded; i += 4) {
    unsigned p = 0;
    std::uint32_t x = 0;
    for (std::size_t k = 4; k-- > 0;) {
      char c = pad_char;
      if (i + k < n)
        c = text[i + k];
      else if (pad)
        return failed(Decode_status::out_of_bounds);
      const int v = a.dmap()[static_cast<std::uint8_t>(c)];
      if (v >= 0)
        x |= static_cast<std::uint32_t>(v) << (6 * (3 - k));
      else if (c == pad_char && p == 3 - k)
        p = static_cast<unsigned>(4 - k);
      else
        return failed(Decode_status::malformed);
    }
    for (std::size_t k = 0; k < 3; ++k) d.buffer[i / 4 * 3 + k] = static_cast<char>(x >> (16 - 8 * k));
    const std::size_t dropped = p == 4 ? 3 : p;
    if (i + 4 == padded) {
      d.len -= dropped;
      return d;
    }
    if (p == 0) continue;
    if (p != 4 && pad) return failed(Decode_status::too_much_input);
    if (text.substr(i + 4).find_first_not_of(pad_char) != std::string_view::npos)
      return failed(Decode_status::malformed);
    d.len -= dropped + 3 * ((n - (i + 4) + 3) / 4);
    return d;
  }
  return d;
}

// ------------------------------------------------------- exact-size runs

std::unique_ptr<char[]> exact_copy(std::string_view s) {
  auto p = std::make_unique<char[]>(s.size());
  std::memcpy(p.get(), s.data(), s.size());
  return p;
}

std::string run_encode(const detail::Kernel& k, const Base64::Alphabet& a, bool pad, std::string_view in) {
  const auto input = exact_copy(in);
  const std::size_t size = (in.size() + 2) / 3 * 4;
  const auto out = std::make_unique<char[]>(size);
  const std::size_t len = detail::encode_into(k, a, pad, {input.get(), in.size()}, out.get());
  EXPECT_EQ(len, pad ? size : (in.size() * 4 + 2) / 3);
  return {out.get(), size};
}

Decoded run_decode(const detail::Kernel& k, const Base64::Alphabet& a, bool pad, std::string_view text) {
  const auto input = exact_copy(text);
  const std::size_t size = (text.size() + 3) / 4 * 3;
  const auto out = std::make_unique<std::uint8_t[]>(size);
  Decoded d;
  d.status = detail::decode_into(k, a, pad, {input.get(), text.size()}, out.get(), d.len);
  if (d.status == Decode_status::ok)
    d.buffer.assign(reinterpret_cast<const char*>(out.get()), size);
  else
    d.len = 0;
  return d;
}

// ------------------------------------------------------------- fixtures

using base64_test::supported_kernels;

const detail::Kernel& scalar() { return detail::kernels().front(); }

struct Named_alphabet {
  const char* name;
  Base64::Alphabet alphabet;
};

// One of each kind the kernels tell apart: the built-in ones; caller-made
// ones of runs of consecutive codes, without and with a character whose
// offset differs from the rest of its row; and ones that need a lookup of
// every code: the standard characters shuffled, and 64 random bytes with
// high bytes and a character at two positions.
std::vector<Named_alphabet> alphabets() {
  std::mt19937_64 rng(2024);
  std::string shuffled = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  std::string random;
  while (random.size() < 64) {
    const auto c = static_cast<char>(rng());
    if (c != pad_char) random += c;
  }
  random[40] = random[3];
  return {
      {"standard", Base64::standard_alphabet},
      {"url_safe", Base64::url_safe_alphabet},
      {"bcrypt", Base64::make_alphabet("./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")},
      {"swapped", Base64::make_alphabet("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/+")},
      {"shuffled", Base64::make_alphabet(shuffled)},
      {"random", Base64::make_alphabet(random)},
  };
}

std::string random_bytes(std::mt19937_64& rng, std::size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Every length up to a few blocks, lengths around the kernels' block and
// step sizes further on, and lengths past the point where caller-made
// alphabets get their own tables.
std::vector<std::size_t> lengths() {
  std::vector<std::size_t> ls;
  for (std::size_t n = 0; n <= 200; ++n) ls.push_back(n);
  for (const std::size_t base : {240u, 384u, 1000u, 3072u, 6144u, 8192u, 12288u, 30000u})
    for (std::size_t d = 0; d < 6; ++d) ls.push_back(base - 3 + d);
  return ls;
}

// ------------------------------------------------------------------ tests

TEST(Kernels, ScalarIsAlwaysThereAndFirst) {
  ASSERT_FALSE(detail::kernels().empty());
  EXPECT_STREQ(scalar().name, "scalar");
  EXPECT_TRUE(scalar().supported());
  EXPECT_TRUE(detail::dispatched_kernel().supported());
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The compiler's own CPU check (CPUID, and XGETBV for the register state)
// against the library's: the best kernel the CPU can run is the one chosen.
TEST(Kernels, DispatchPicksTheBestTheCpuRuns) {
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2");
  const bool vbmi = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                    __builtin_cpu_supports("avx512vbmi");
  // Without either, this internal build may dispatch to an emulated kernel.
  if (vbmi || avx2) {
    EXPECT_STREQ(detail::dispatched_kernel().name, vbmi ? "avx512_vbmi" : "avx2");
  }
  for (const auto& k : detail::kernels()) {
    const std::string name = k.name;
    if (name == "avx2") {
      EXPECT_EQ(k.supported(), avx2);
    } else if (name == "avx512_vbmi") {
      EXPECT_EQ(k.supported(), vbmi);
    }
  }
}
#endif

// An AArch64 build has the NEON kernel, and uses it: without it, every
// comparison below would pass with the scalar core alone.
TEST(Kernels, NeonOnAarch64) {
#if defined(__aarch64__)
  const auto ks = detail::kernels();
  EXPECT_TRUE(std::any_of(ks.begin(), ks.end(), [](const auto& k) { return std::string_view(k.name) == "neon"; }));
  EXPECT_STREQ(detail::dispatched_kernel().name, "neon");
#else
  GTEST_SKIP() << "not an AArch64 build";
#endif
}

TEST(Kernels, EncodeMatchesScalar) {
  std::mt19937_64 rng(1);
  for (const auto& a : alphabets()) {
    for (const std::size_t n : lengths()) {
      const std::string in = random_bytes(rng, n);
      for (const bool pad : {true, false}) {
        SCOPED_TRACE(std::string(a.name) + " length " + std::to_string(n) + (pad ? " pad" : " bare"));
        const std::string reference = run_encode(scalar(), a.alphabet, pad, in);
        ASSERT_EQ(reference, model_encode(a.alphabet, pad, in));
        for (const auto* k : supported_kernels()) ASSERT_EQ(run_encode(*k, a.alphabet, pad, in), reference) << k->name;
      }
    }
  }
}

// Valid texts of every length, with and without padding, some with extra
// '=' after them (decoded, with the groups after the first padded one
// zeroed), and some read with the other padding mode.
TEST(Kernels, DecodeMatchesScalar) {
  std::mt19937_64 rng(2);
  for (const auto& a : alphabets()) {
    for (const std::size_t n : lengths()) {
      for (const bool pad : {true, false}) {
        std::string text = Base64::encode_string(random_bytes(rng, n), {.pad = pad, .alphabet = a.alphabet});
        if (n % 7 == 0) text.append(n % 5 + 1, pad_char);
        for (const bool read_pad : {pad, !pad}) {
          SCOPED_TRACE(std::string(a.name) + " text length " + std::to_string(text.size()) +
                       (read_pad ? " pad" : " bare"));
          const Decoded reference = run_decode(scalar(), a.alphabet, read_pad, text);
          ASSERT_EQ(reference, model_decode(a.alphabet, read_pad, text));
          for (const auto* k : supported_kernels())
            ASSERT_EQ(run_decode(*k, a.alphabet, read_pad, text), reference) << k->name;
        }
      }
    }
  }
}

// One character of a valid text replaced, at every position, by '=', by a
// byte outside the alphabet, by a NUL, and by a character of the alphabet
// with its top bit flipped (which a lookup by the low 7 bits alone would take
// for that character): whatever the scalar core makes of it (an error or,
// for '=' near the end, a shorter result), every kernel makes the same. The
// text spans several kernel blocks and a scalar tail.
TEST(Kernels, BadByteAtEveryPosition) {
  std::mt19937_64 rng(3);
  for (const auto& a : alphabets()) {
    const auto& dmap = a.alphabet.dmap();
    const auto in_alphabet = [&](char c) { return dmap[static_cast<std::uint8_t>(c)] >= 0; };
    char outside = '\x80';
    while (in_alphabet(outside) || outside == pad_char) ++outside;
    char flipped = pad_char;
    for (const std::uint8_t c : a.alphabet.emap())
      if (!in_alphabet(static_cast<char>(c ^ 0x80)) && (c ^ 0x80) != pad_char) flipped = static_cast<char>(c ^ 0x80);
    for (const bool pad : {true, false}) {
      const std::string valid = Base64::encode_string(random_bytes(rng, 200), {.pad = pad, .alphabet = a.alphabet});
      for (std::size_t t = 0; t < valid.size(); ++t) {
        for (const char bad : {pad_char, outside, '\0', flipped}) {
          if (in_alphabet(bad)) continue;
          std::string text = valid;
          text[t] = bad;
          SCOPED_TRACE(std::string(a.name) + " byte " + std::to_string(static_cast<std::uint8_t>(bad)) + " at " +
                       std::to_string(t) + (pad ? " pad" : " bare"));
          const Decoded reference = run_decode(scalar(), a.alphabet, pad, text);
          ASSERT_EQ(reference, model_decode(a.alphabet, pad, text));
          for (const auto* k : supported_kernels())
            ASSERT_EQ(run_decode(*k, a.alphabet, pad, text), reference) << k->name;
        }
      }
    }
  }
}

// The working buffers of the public _sub operations have exactly the sizes
// their contract gives, whatever the string's growth policy, and the text
// or bytes fill them.
TEST(OutputBuffers, ExactSizes) {
  std::mt19937_64 rng(5);
  for (std::size_t n = 0; n <= 100; ++n) {
    SCOPED_TRACE("length " + std::to_string(n));
    const std::string bytes = random_bytes(rng, n);
    const auto encoded = Base64::encode_sub(bytes);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded->buffer.size(), (n + 2) / 3 * 4);
    EXPECT_EQ(encoded->buffer, model_encode(Base64::standard_alphabet, true, bytes));
    const auto decoded = Base64::decode_sub(encoded->buffer);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->buffer.size(), (n + 2) / 3 * 3);
    EXPECT_EQ(decoded->buffer.substr(0, n), bytes);
  }
}

// Sub-ranges through the _sub operations: the same buffer, offset and
// length, or the same message, from every kernel.
TEST(Kernels, SubRangesMatchScalar) {
  std::mt19937_64 rng(4);
  const auto all = alphabets();
  for (int round = 0; round < 400; ++round) {
    const auto& a = all[static_cast<std::size_t>(round) % all.size()];
    const bool pad = round % 3 != 0;
    const std::string bytes = random_bytes(rng, rng() % 700);
    std::string text = Base64::encode_string(bytes, {.pad = pad, .alphabet = a.alphabet});
    if (round % 4 == 0 && !text.empty()) text[rng() % text.size()] = static_cast<char>(rng());
    const auto pick = [&](std::size_t size) {
      const auto off = static_cast<std::int64_t>(rng() % (size + 1));
      const auto len = static_cast<std::int64_t>(rng() % (size - static_cast<std::size_t>(off) + 1));
      return Base64::Options{.pad = pad, .alphabet = a.alphabet, .off = off, .len = len};
    };
    const Base64::Options enc = pick(bytes.size()), dec = pick(text.size());
    SCOPED_TRACE(std::string(a.name) + " round " + std::to_string(round));
    const auto enc_ref = detail::encode_sub_with(scalar(), bytes, enc);
    const auto dec_ref = detail::decode_sub_with(scalar(), text, dec);
    ASSERT_TRUE(enc_ref);
    for (const auto* k : supported_kernels()) {
      EXPECT_EQ(*detail::encode_sub_with(*k, bytes, enc), *enc_ref) << k->name;
      const auto got = detail::decode_sub_with(*k, text, dec);
      ASSERT_EQ(got.has_value(), dec_ref.has_value()) << k->name;
      if (got)
        EXPECT_EQ(*got, *dec_ref) << k->name;
      else
        EXPECT_EQ(got.error(), dec_ref.error()) << k->name;
    }
  }
}

}  // namespace

namespace {

// The cores of the _into calls write exactly the text or the bytes: into
// heap blocks of exactly that size, with every kernel and every alphabet
// kind, valid texts with trailing padding of every length and texts with a
// bad byte near the end (where the output is tightest).
TEST(Kernels, IntoExactOutputs) {
  std::mt19937_64 rng(5);
  for (const auto* k : supported_kernels()) {
    for (const auto& a : alphabets()) {
      for (const std::size_t n : lengths()) {
        if (n > 400 && n % 7 != 0) continue;
        const std::string in = random_bytes(rng, n);
        for (const bool pad : {true, false}) {
          SCOPED_TRACE(std::string(k->name) + " " + a.name + " length " + std::to_string(n) + (pad ? " pad" : ""));
          const std::string text = model_encode(a.alphabet, pad, in).substr(0, pad ? std::string::npos : (n * 4 + 2) / 3);
          const auto out = std::make_unique<char[]>(text.size());
          const auto input = exact_copy(in);
          ASSERT_EQ(detail::encode_text(*k, a.alphabet, pad, {input.get(), n}, out.get()), text.size());
          ASSERT_EQ(std::string(out.get(), text.size()), text);

          for (const std::string& t : {text, text + "====", text.empty() ? text : text.substr(0, text.size() - 1) + "!"}) {
            const auto chars = exact_copy(t);
            const std::size_t need = detail::required_length(t);
            const auto bytes = std::make_unique<std::uint8_t[]>(need);
            const auto d = detail::decode_text(*k, a.alphabet, pad, {chars.get(), t.size()}, bytes.get(), need);
            const Decoded expected = model_decode(a.alphabet, pad, t);
            ASSERT_EQ(d.status, expected.status) << t;
            if (d.status != Decode_status::ok) continue;
            ASSERT_EQ(d.len, need);
            ASSERT_EQ(std::string(reinterpret_cast<const char*>(bytes.get()), need), expected.buffer.substr(0, need));
          }
        }
      }
    }
  }
}

}  // namespace

#if defined(__unix__)
namespace {

// Inputs and outputs against an inaccessible page, at its start or end: a
// full-width access past either end crashes, and the ways around a masked
// access that would leave its pages (for speed: such an access costs a
// microcode assist where the next page is not mapped) give the right text
// and bytes.
TEST(Kernels, NextToInaccessiblePages) {
  const base64_test::Guarded_pages in_pages(1), out_pages(1);
  ASSERT_TRUE(in_pages.ok() && out_pages.ok());
  std::mt19937_64 rng(6);
  const auto all = alphabets();
  for (const auto* k : supported_kernels()) {
    for (const auto* a : {&all[0], &all[5]}) {  // standard; random, which needs the lookup of every code
      for (std::size_t n = 0; n <= 260; ++n) {
        SCOPED_TRACE(std::string(k->name) + " " + a->name + " length " + std::to_string(n));
        const std::string bytes = random_bytes(rng, n);
        const std::string text = Base64::encode_string(bytes, {.alphabet = a->alphabet});
        // Not always `bytes`: the random alphabet has a character twice.
        const std::string decoded_text = Base64::decode(text, {.alphabet = a->alphabet}).value();
        const std::size_t out_size = (n + 2) / 3 * 3;  // as decode_into wants it
        for (const bool at_end : {true, false}) {
          char* in = at_end ? in_pages.last(n) : in_pages.first();
          char* out = at_end ? out_pages.last(text.size()) : out_pages.first();
          std::memcpy(in, bytes.data(), n);
          ASSERT_EQ(detail::encode_into(*k, a->alphabet, true, {in, n}, out), text.size());
          ASSERT_EQ(std::string_view(out, text.size()), text);

          in = at_end ? in_pages.last(text.size()) : in_pages.first();
          auto* decoded = reinterpret_cast<std::uint8_t*>(at_end ? out_pages.last(out_size) : out_pages.first());
          std::memcpy(in, text.data(), text.size());
          std::size_t len = 0;
          ASSERT_EQ(detail::decode_into(*k, a->alphabet, true, {in, text.size()}, decoded, len), Decode_status::ok);
          ASSERT_EQ(std::string_view(reinterpret_cast<const char*>(decoded), len), decoded_text);
        }
      }
    }
  }
}

}  // namespace
#endif
