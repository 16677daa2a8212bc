// SPDX-License-Identifier: MIT
// Speed of the streaming MIME decoder and encoder, in bytes of input per
// second, driven the way a caller drives them.
//
// Benchmark names are <op>/<how>/<input size>:
//   decode    input: a body of 76-character lines separated by CR LF, the
//             encoding of 768 KiB of random bytes (just over 1 MiB of text).
//             Each Flush is appended to a string (room reserved once), as a
//             caller would.
//     string      a String source (its copy of the body is made untimed)
//     manual_4k   a Manual source, handed 4 KiB chunks at each Await
//     channel     a Channel source over an std::istringstream
//   encode    input: 1 MiB of random bytes, one encode() call per byte, then End.
//     buffer      a Buffer destination (a string with room reserved)
//     channel     a Channel destination: an std::ostream over a stream buffer
//                 whose put area is preallocated
//     manual_4k   a Manual destination with 4 KiB spaces, taken out when full
//   decode_bulk, encode_bulk: decode_into and encode_bytes, on a 1 MiB random
//             payload (the encode input) and its 76-column CR LF body, with
//             the same sources and destinations as above: decoded into one
//             span that holds the payload, encoded from one span of it.
//   whole     the whole-string Base64::decode and Base64::encode_string of
//             the same payload, without line breaks: the speed the bulk
//             calls aim at (MB/s of input: the body, or the text).
// and memcpy/<size> copies the same number of bytes, for scale: divide each
// figure by the memcpy of its input size for the ratio.
#include <base64/base64.hpp>
#include <base64_rfc2045/base64_rfc2045.hpp>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>


namespace {

namespace mime = Base64_rfc2045;

constexpr std::size_t encode_input_size = 1 << 20;
constexpr std::size_t decode_raw_size = 768 << 10;
constexpr std::size_t chunk_size = 4 << 10;

std::string random_bytes(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// A MIME body written here without the library: padded Base64 in lines of
// 76 characters, CR LF between lines.
std::string mime_body(std::string_view in) {
  static constexpr char chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t column = 0;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    std::uint32_t q = 0;
    const std::size_t n = std::min<std::size_t>(3, in.size() - i);
    for (std::size_t j = 0; j < 3; ++j)
      q = q << 8 | (j < n ? static_cast<unsigned char>(in[i + j]) : 0u);
    if (column == 76) {
      out += "\r\n";
      column = 0;
    }
    for (std::size_t j = 0; j < 4; ++j) out += j <= n ? chars[(q >> (18 - 6 * j)) & 63] : '=';
    column += 4;
  }
  return out;
}

const std::string& encode_input() {
  static const std::string bytes = random_bytes(encode_input_size, 1);
  return bytes;
}

const std::string& decode_raw() {
  static const std::string bytes = random_bytes(decode_raw_size, 2);
  return bytes;
}

const std::string& decode_input() {
  static const std::string body = mime_body(decode_raw());
  return body;
}

const std::string& encode_expected() {
  static const std::string body = mime_body(encode_input());
  return body;
}

void count_bytes(benchmark::State& state, std::size_t size) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
}

void bench_memcpy(benchmark::State& state, std::size_t size) {
  const std::string in = random_bytes(size, 3);
  auto out = std::make_unique_for_overwrite<char[]>(size);
  for (auto _ : state) {
    std::memcpy(out.get(), in.data(), size);
    benchmark::DoNotOptimize(out.get());
    benchmark::ClobberMemory();
  }
  count_bytes(state, size);
}

// ---- Decoder ----------------------------------------------------------------

// What the decoder gets its input from, one per benchmark.
enum class Source_kind { String, Manual_4k, Channel };

// Decodes the whole body into `out`; false when a result other than Flush,
// Await or End came.
bool drain(mime::Decoder& d, const std::string& body, std::string& out) {
  out.clear();
  std::size_t pos = 0;
  for (;;) {
    mime::Decode_result r = mime::decode(d);
    if (const auto* flush = std::get_if<mime::Flush>(&r)) {
      out += flush->bytes;
      continue;
    }
    if (std::holds_alternative<mime::Await>(r)) {
      const std::size_t len = std::min(chunk_size, body.size() - pos);
      mime::src(d, body, static_cast<std::int64_t>(pos), static_cast<std::int64_t>(len));
      pos += len;
      continue;
    }
    return std::holds_alternative<mime::End>(r);
  }
}

void bench_decode(benchmark::State& state, Source_kind kind) {
  const std::string& body = decode_input();
  std::string out;
  out.reserve(decode_raw_size);
  // The String source owns its input and the stream is read once: each pass
  // gets a fresh copy, made with the clock stopped.
  const auto make = [&](std::istringstream& stream) {
    switch (kind) {
      case Source_kind::String: return mime::decoder(mime::Source::String{body});
      case Source_kind::Manual_4k: return mime::decoder(mime::Source::Manual{});
      case Source_kind::Channel: stream.str(body); return mime::decoder(mime::Source::Channel{stream});
    }
    return mime::decoder(mime::Source::Manual{});
  };
  {
    std::istringstream stream;
    mime::Decoder d = make(stream);
    if (!drain(d, body, out) || out != decode_raw()) state.SkipWithError("the body does not decode to its input");
  }
  for (auto _ : state) {
    state.PauseTiming();
    std::istringstream stream;
    mime::Decoder d = make(stream);
    state.ResumeTiming();
    benchmark::DoNotOptimize(drain(d, body, out));
    benchmark::ClobberMemory();
  }
  count_bytes(state, body.size());
}

// ---- Encoder ----------------------------------------------------------------

// A stream buffer that stores what it is given in a put area allocated once;
// reset() empties it.
class Preallocated_buf : public std::streambuf {
 public:
  explicit Preallocated_buf(std::size_t capacity) : bytes_(capacity) { reset(); }
  void reset() { setp(bytes_.data(), bytes_.data() + bytes_.size()); }
  std::string_view text() const { return {pbase(), static_cast<std::size_t>(pptr() - pbase())}; }

 private:
  std::vector<char> bytes_;
};

void encode_all(mime::Encoder& e, std::string_view in) {
  for (const char c : in) mime::encode(e, mime::Byte{static_cast<std::uint8_t>(c)});
  mime::encode(e, mime::End{});
}

void bench_encode_buffer(benchmark::State& state) {
  const std::string& in = encode_input();
  std::string out;
  out.reserve(encode_expected().size());
  for (auto _ : state) {
    out.clear();
    mime::Encoder e = mime::encoder(mime::Destination::Buffer{out});
    encode_all(e, in);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != encode_expected()) state.SkipWithError("wrong text");
  count_bytes(state, in.size());
}

void bench_encode_channel(benchmark::State& state) {
  const std::string& in = encode_input();
  Preallocated_buf buf(encode_expected().size());
  std::ostream stream(&buf);
  for (auto _ : state) {
    buf.reset();
    mime::Encoder e = mime::encoder(mime::Destination::Channel{stream});
    encode_all(e, in);
    benchmark::ClobberMemory();
  }
  if (buf.text() != encode_expected()) state.SkipWithError("wrong text");
  count_bytes(state, in.size());
}

// The 4 KiB space of a Manual encoder, half a page away from the start of
// the string that it is taken out into, counted modulo the page. Allocated
// one after the other, the two would be 16 bytes apart modulo 4096: then each
// load of the copy out of the space meets a store of the same copy to an
// address that matches in its low 12 bits (4K aliasing) and waits for it,
// and the figure would measure that copy, not the encoder.
class Manual_space {
 public:
  explicit Manual_space(const char* drain) : storage_(chunk_size + 4096) {
    const auto gap = (reinterpret_cast<std::uintptr_t>(drain) - reinterpret_cast<std::uintptr_t>(storage_.data()) +
                      2048) & 4095;
    bytes_ = std::span<char>(storage_.data() + gap, chunk_size);
  }
  char* data() { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  operator std::span<char>() { return bytes_; }

 private:
  std::vector<char> storage_;
  std::span<char> bytes_;
};

// A caller of a Manual encoder: one 4 KiB space, taken out into `out` and
// handed in again when it is full; every other Partial is answered at once.
void bench_encode_manual(benchmark::State& state) {
  const std::string& in = encode_input();
  std::string out;
  out.reserve(encode_expected().size());
  Manual_space space(out.data());
  for (auto _ : state) {
    out.clear();
    mime::Encoder e = mime::encoder(mime::Destination::Manual{});
    const auto take = [&] {
      out.append(space.data(), space.size() - static_cast<std::size_t>(mime::o_rem(e)));
      mime::dst(e, space, 0, static_cast<std::int64_t>(space.size()));
    };
    mime::dst(e, space, 0, static_cast<std::int64_t>(space.size()));
    for (const char c : in) {
      auto r = mime::encode(e, mime::Byte{static_cast<std::uint8_t>(c)});
      for (; r == mime::Encode_result::Partial; r = mime::encode(e, mime::Await{}))
        if (mime::o_rem(e) == 0) take();
    }
    for (auto r = mime::encode(e, mime::End{}); r == mime::Encode_result::Partial; r = mime::encode(e, mime::Await{}))
      if (mime::o_rem(e) == 0) take();
    take();
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != encode_expected()) state.SkipWithError("wrong text");
  count_bytes(state, in.size());
}

// ---- Bulk calls and the whole-string codec ---------------------------------

// The body of the 1 MiB payload, and its text without line breaks.
const std::string& payload_body() { return encode_expected(); }
const std::string& payload_text() {
  static const std::string text = Base64::encode_string(encode_input());
  return text;
}

// Decodes the whole body into `out` (room for the payload); false when a
// result other than Await or End stopped it.
bool drain_bulk(mime::Decoder& d, const std::string& body, std::vector<char>& out, std::size_t& n) {
  n = 0;
  std::size_t pos = 0;
  for (;;) {
    const mime::Decoded r = mime::decode_into(d, std::span<char>(out).subspan(n));
    n += r.written;
    if (r.stop == mime::Decode_stop::Await) {
      const std::size_t len = std::min(chunk_size, body.size() - pos);
      mime::src(d, body, static_cast<std::int64_t>(pos), static_cast<std::int64_t>(len));
      pos += len;
      continue;
    }
    return r.stop == mime::Decode_stop::End;
  }
}

void bench_decode_bulk(benchmark::State& state, Source_kind kind) {
  const std::string& body = payload_body();
  std::vector<char> out(encode_input_size);
  std::size_t n = 0;
  const auto make = [&](std::istringstream& stream) {
    switch (kind) {
      case Source_kind::String: return mime::decoder(mime::Source::String{body});
      case Source_kind::Manual_4k: return mime::decoder(mime::Source::Manual{});
      case Source_kind::Channel: stream.str(body); return mime::decoder(mime::Source::Channel{stream});
    }
    return mime::decoder(mime::Source::Manual{});
  };
  for (auto _ : state) {
    state.PauseTiming();
    std::istringstream stream;
    mime::Decoder d = make(stream);
    state.ResumeTiming();
    benchmark::DoNotOptimize(drain_bulk(d, body, out, n));
    benchmark::ClobberMemory();
  }
  if (std::string_view(out.data(), n) != encode_input()) state.SkipWithError("the body does not decode to its input");
  count_bytes(state, body.size());
}

void bench_decode_whole(benchmark::State& state) {
  const std::string& text = payload_text();
  for (auto _ : state) {
    Base64::Result<std::string> bytes = Base64::decode(text);
    benchmark::DoNotOptimize(bytes->data());
    benchmark::ClobberMemory();
  }
  count_bytes(state, text.size());
}

void bench_encode_whole(benchmark::State& state) {
  const std::string& in = encode_input();
  for (auto _ : state) {
    std::string text = Base64::encode_string(in);
    benchmark::DoNotOptimize(text.data());
    benchmark::ClobberMemory();
  }
  count_bytes(state, in.size());
}

void encode_bulk_all(mime::Encoder& e, std::string_view in) {
  std::size_t taken = 0;
  mime::encode_bytes(e, in, taken);
  mime::encode(e, mime::End{});
}

void bench_encode_bulk_buffer(benchmark::State& state) {
  const std::string& in = encode_input();
  std::string out;
  out.reserve(encode_expected().size());
  for (auto _ : state) {
    out.clear();
    mime::Encoder e = mime::encoder(mime::Destination::Buffer{out});
    encode_bulk_all(e, in);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != encode_expected()) state.SkipWithError("wrong text");
  count_bytes(state, in.size());
}

void bench_encode_bulk_channel(benchmark::State& state) {
  const std::string& in = encode_input();
  Preallocated_buf buf(encode_expected().size());
  std::ostream stream(&buf);
  for (auto _ : state) {
    buf.reset();
    mime::Encoder e = mime::encoder(mime::Destination::Channel{stream});
    encode_bulk_all(e, in);
    benchmark::ClobberMemory();
  }
  if (buf.text() != encode_expected()) state.SkipWithError("wrong text");
  count_bytes(state, in.size());
}

// A 4 KiB space, taken out into `out` and handed in again at every Partial
// (encode_bytes answers Partial only when the space is full).
void bench_encode_bulk_manual(benchmark::State& state) {
  const std::string& in = encode_input();
  std::string out;
  out.reserve(encode_expected().size());
  Manual_space space(out.data());
  for (auto _ : state) {
    out.clear();
    mime::Encoder e = mime::encoder(mime::Destination::Manual{});
    const auto take = [&] {
      out.append(space.data(), space.size() - static_cast<std::size_t>(mime::o_rem(e)));
      mime::dst(e, space, 0, static_cast<std::int64_t>(space.size()));
    };
    mime::dst(e, space, 0, static_cast<std::int64_t>(space.size()));
    for (std::size_t pos = 0;;) {
      std::size_t taken = 0;
      const auto r = mime::encode_bytes(e, std::string_view(in).substr(pos), taken);
      pos += taken;
      if (r == mime::Encode_result::Ok) break;
      take();
    }
    for (auto r = mime::encode(e, mime::End{}); r == mime::Encode_result::Partial; r = mime::encode(e, mime::Await{}))
      if (mime::o_rem(e) == 0) take();
    take();
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != encode_expected()) state.SkipWithError("wrong text");
  count_bytes(state, in.size());
}

void register_all() {
  const std::string decode_size = std::to_string(decode_input().size());
  const std::string encode_size = std::to_string(encode_input_size);
  const auto add = [](const std::string& name, auto fn, auto... args) {
    benchmark::RegisterBenchmark(name.c_str(), fn, args...)->Unit(benchmark::kMicrosecond);
  };
  add("memcpy/" + decode_size, bench_memcpy, decode_input().size());
  add("decode/string/" + decode_size, bench_decode, Source_kind::String);
  add("decode/manual_4k/" + decode_size, bench_decode, Source_kind::Manual_4k);
  add("decode/channel/" + decode_size, bench_decode, Source_kind::Channel);
  const std::string body_size = std::to_string(payload_body().size());
  const std::string text_size = std::to_string(payload_text().size());
  add("decode_bulk/string/" + body_size, bench_decode_bulk, Source_kind::String);
  add("decode_bulk/manual_4k/" + body_size, bench_decode_bulk, Source_kind::Manual_4k);
  add("decode_bulk/channel/" + body_size, bench_decode_bulk, Source_kind::Channel);
  add("whole/decode/" + text_size, bench_decode_whole);
  add("memcpy/" + encode_size, bench_memcpy, encode_input_size);
  add("encode_bulk/buffer/" + encode_size, bench_encode_bulk_buffer);
  add("encode_bulk/manual_4k/" + encode_size, bench_encode_bulk_manual);
  add("encode_bulk/channel/" + encode_size, bench_encode_bulk_channel);
  add("whole/encode/" + encode_size, bench_encode_whole);
  add("encode/buffer/" + encode_size, bench_encode_buffer);
  add("encode/channel/" + encode_size, bench_encode_channel);
  add("encode/manual_4k/" + encode_size, bench_encode_manual);
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
