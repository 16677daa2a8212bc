// SPDX-License-Identifier: MIT
// decode_into and encode_bytes against decode and encode on fuzzer input:
// the same bytes or text, the same results, and every point where a bulk call
// returned is one where the per-call interface returned, whatever the chunk
// cuts, the output spaces and the mix of bulk and per-call calls.
#include <base64_rfc2045/base64_rfc2045.hpp>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <random>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz_util.hpp"

namespace mime = Base64_rfc2045;

namespace {

struct Setup {
  std::vector<std::size_t> cuts;    // increasing cut points of the input (Manual chunks)
  std::vector<std::size_t> spaces;  // output space sizes, in turn
  std::uint32_t mix = 0;            // seed of the choice between bulk and per-call calls
  std::string input;
};

// ---- Decoding -------------------------------------------------------------

using Point = std::tuple<std::size_t, std::int64_t, bool>;  // bytes out, byte count, dangerous
using Event = std::tuple<int, char, std::size_t, std::int64_t, bool>;

struct Decoding {
  std::string bytes;
  std::vector<Event> events;  // every result but Flush, with the point where it came
  std::set<Point> points;
};

Event event(mime::Decode_stop stop, char byte, std::size_t total, const mime::Decoder& d) {
  return {static_cast<int>(stop), byte, total, mime::decoder_byte_count(d), mime::decoder_dangerous(d)};
}

enum class Kind { Manual, String, Channel };

// Decodes the input from a decoder of the kind (a Channel over an
// std::istringstream); bulk calls with the spaces in turn where the mix says
// so, `decode` otherwise.
Decoding decoding(const Setup& s, Kind kind, bool bulk) {
  const bool manual = kind == Kind::Manual;
  std::istringstream stream(s.input);
  mime::Decoder d = manual                 ? mime::decoder(mime::Source::Manual{})
                    : kind == Kind::String ? mime::decoder(mime::Source::String{s.input})
                                           : mime::decoder(mime::Source::Channel{stream});
  std::mt19937 mix(s.mix);
  Decoding out;
  std::size_t next_cut = 0, pos = 0, turn = 0;
  std::vector<char> space;
  const auto feed = [&] {
    FUZZ_CHECK(manual);
    const std::size_t end = next_cut < s.cuts.size() ? s.cuts[next_cut++] : s.input.size();
    mime::src(d, s.input, static_cast<std::int64_t>(pos), static_cast<std::int64_t>(end - pos));
    pos = end;
  };
  const auto at = [&] { return Point{out.bytes.size(), mime::decoder_byte_count(d), mime::decoder_dangerous(d)}; };
  for (std::size_t calls = 0;; ++calls) {
    FUZZ_CHECK(calls <= 4 * s.input.size() + 64);
    if (bulk && mix() % 4 != 0) {
      space.assign(s.spaces[turn++ % s.spaces.size()], '\0');
      const mime::Decoded r = mime::decode_into(d, space);
      FUZZ_CHECK(r.written <= space.size());
      out.bytes.append(space.data(), r.written);
      out.points.insert(at());
      if (r.stop == mime::Decode_stop::Output_full) {
        FUZZ_CHECK(r.written == space.size());
        continue;
      }
      out.events.push_back(event(r.stop, r.stop == mime::Decode_stop::Malformed ? r.byte : '\0', out.bytes.size(), d));
      if (r.stop == mime::Decode_stop::Await) feed();
      if (r.stop == mime::Decode_stop::End) break;
      continue;
    }
    const mime::Decode_result r = mime::decode(d);
    if (const auto* f = std::get_if<mime::Flush>(&r)) {
      out.bytes += f->bytes;
      out.points.insert(at());
      continue;
    }
    out.points.insert(at());
    const auto stop = static_cast<mime::Decode_stop>(r.index() == 0 ? 1 : r.index());
    const auto* m = std::get_if<mime::Malformed>(&r);
    out.events.push_back(event(stop, m ? m->bytes.at(0) : '\0', out.bytes.size(), d));
    if (std::holds_alternative<mime::Await>(r)) feed();
    if (std::holds_alternative<mime::End>(r)) break;
  }
  return out;
}

void check_decoding(const Setup& s, Kind kind) {
  const Decoding expected = decoding(s, kind, false);
  const Decoding bulk = decoding(s, kind, true);
  FUZZ_CHECK(bulk.bytes == expected.bytes);
  FUZZ_CHECK(bulk.events == expected.events);
  for (const auto& [total, count, dangerous] : bulk.points) {
    // A full span may stop inside a Flush: up to 2 of its bytes come later.
    bool found = false;
    for (std::size_t k = 0; k <= 2 && !found; ++k) found = expected.points.count({total + k, count, dangerous}) > 0;
    FUZZ_CHECK(found);
  }
}

// ---- Encoding -------------------------------------------------------------

struct Encoding {
  std::string text;
  std::set<std::tuple<std::size_t, std::size_t, std::int64_t>> points;  // taken, text, o_rem
};

// Encodes the input to a Manual encoder whose space, of the next size in
// turn, is handed in when full (or to a Buffer): per byte, or in runs of
// bytes of lengths from the spaces where the mix says so.
Encoding encoding(const Setup& s, bool manual, bool bulk) {
  std::string appended;
  mime::Encoder e = manual ? mime::encoder(mime::Destination::Manual{}) : mime::encoder(mime::Destination::Buffer{appended});
  std::vector<char> space;
  std::string out;
  std::size_t turn = 0, taken = 0;
  const auto written = [&] { return space.size() - static_cast<std::size_t>(mime::o_rem(e)); };
  const auto hand_in = [&] {
    if (!manual || mime::o_rem(e) != 0) return;
    out.append(space.data(), written());
    space.assign(s.spaces[turn++ % s.spaces.size()], '\0');
    mime::dst(e, space, 0, static_cast<std::int64_t>(space.size()));
  };
  Encoding result;
  const auto note = [&] {
    result.points.insert({taken, manual ? out.size() + written() : appended.size(), mime::o_rem(e)});
  };
  const auto answer = [&](mime::Encode_result r) {
    for (int rounds = 0; r == mime::Encode_result::Partial; ++rounds) {
      FUZZ_CHECK(rounds < 16);
      hand_in();
      r = mime::encode(e, mime::Await{});
      if (!bulk) note();
    }
  };
  hand_in();
  std::mt19937 mix(s.mix);
  const std::size_t n = s.input.size();
  while (taken < n) {
    if (bulk && mix() % 4 != 0) {
      const std::size_t end = std::min(n, taken + s.spaces[mix() % s.spaces.size()] * (mix() % 3 == 0 ? 40 : 1));
      std::size_t off = taken;
      for (int rounds = 0;; ++rounds) {
        FUZZ_CHECK(rounds <= 4 * static_cast<int>(n) + 16);
        std::size_t now = 0;
        const mime::Encode_result r =
            mime::encode_bytes(e, std::span<const char>(s.input.data() + off, end - off), now);
        off += now;
        taken += now;
        note();
        if (r == mime::Encode_result::Ok) break;
        FUZZ_CHECK(manual && mime::o_rem(e) == 0);
        hand_in();
      }
      FUZZ_CHECK(off == end);
      continue;
    }
    const auto r = mime::encode(e, mime::Byte{static_cast<std::uint8_t>(s.input[taken++])});
    note();
    answer(r);
    note();
  }
  answer(mime::encode(e, mime::End{}));
  if (manual) {
    out.append(space.data(), written());
    result.text = out;
  } else {
    result.text = appended;
  }
  return result;
}

void check_encoding(const Setup& s, bool manual) {
  const Encoding expected = encoding(s, manual, false);
  const Encoding bulk = encoding(s, manual, true);
  FUZZ_CHECK(bulk.text == expected.text);
  for (const auto& p : bulk.points) FUZZ_CHECK(expected.points.count(p) > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  Setup s;
  std::vector<std::size_t> cut_seeds(data.ConsumeIntegralInRange<std::size_t>(0, 16));
  for (auto& c : cut_seeds) c = data.ConsumeIntegral<std::uint16_t>();
  s.spaces.resize(data.ConsumeIntegralInRange<std::size_t>(1, 8));
  for (auto& space : s.spaces) {
    space = data.ConsumeIntegralInRange<std::size_t>(0, 100);
    if (space == 0) space = 1 << 16;
  }
  s.mix = data.ConsumeIntegral<std::uint32_t>();
  s.input = data.ConsumeRemainingBytesAsString();
  // Strictly increasing cuts inside the input: a repeated one would be a
  // 0-byte chunk, the end of input.
  for (const std::size_t seed : cut_seeds) {
    if (s.input.empty()) break;
    const std::size_t cut = seed % s.input.size();
    if (cut > 0 && (s.cuts.empty() || cut > s.cuts.back())) s.cuts.push_back(cut);
  }
  check_decoding(s, Kind::Manual);
  check_decoding(s, Kind::String);
  check_decoding(s, Kind::Channel);
  check_encoding(s, true);
  check_encoding(s, false);
  return 0;
}
