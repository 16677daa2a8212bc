// SPDX-License-Identifier: MIT
// Decoding text in lines: whole lines of `length` characters of the
// alphabet, each followed by its line end, with no padding anywhere.
//
// A kernel with a `decode_lines` takes the lines in one pass, from the text
// straight to the output. From where it stopped (or from the start, for a
// kernel without one) the code below goes on: it copies a stretch of lines
// without their line ends into a buffer on the stack and decodes that with
// one `decode` call, which checks every character. When a stretch does not
// decode, its lines are decoded one at a time from the text, up to the first
// that fails. Nothing decides here about padding or errors: the first line
// that is not a whole line of the alphabet ends the work, and the caller
// looks at it.
#include <base64/base64.hpp>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core.hpp"
#include "kernels.hpp"

namespace Base64 {
namespace {

// The characters of one stretch, gathered on the stack: large enough that a
// kernel call costs little beside the decoding, small enough for any stack.
constexpr std::size_t gather_size = 8192;

struct Shape {
  std::size_t chars;   // characters of a line, a multiple of 4
  bool lf;             // the line end: LF alone, or CR LF
  std::size_t stride;  // characters and line end
  std::size_t bytes;   // decoded bytes of a line

  constexpr explicit Shape(const Line_layout& layout) noexcept
      : chars(layout.length),
        lf(layout.end == Line_end::lf),
        stride(chars + (lf ? 1 : 2)),
        bytes(chars / 4 * 3) {}

  bool ends_line(const char* p) const noexcept { return lf ? p[0] == '\n' : p[0] == '\r' && p[1] == '\n'; }
};

// Copies the n characters of a line, in 16-byte pieces (the last one
// overlapping the one before): a call of memcpy per line would cost more
// than the copy.
inline void copy_line(char* to, const char* from, std::size_t n) noexcept {
  if (n < 16) {
    std::memcpy(to, from, n);
    return;
  }
  for (std::size_t k = 0; k + 16 < n; k += 16) std::memcpy(to + k, from + k, 16);
  std::memcpy(to + n - 16, from + n - 16, 16);
}

// Copies the lines at `line`, up to `most` and up to the first without its
// line end, without their line ends to `chars`; returns how many.
std::size_t gather(const Shape& shape, const char* line, std::size_t most, char* chars) noexcept {
  std::size_t n = 0;
  if (shape.chars == 76 && !shape.lf) {
    // MIME's lines, the common case: copies of a constant size, inlined.
    for (; n < most && line[76] == '\r' && line[77] == '\n'; ++n, line += 78) std::memcpy(chars + 76 * n, line, 76);
    return n;
  }
  for (; n < most && shape.ends_line(line + shape.chars); ++n, line += shape.stride)
    copy_line(chars + n * shape.chars, line, shape.chars);
  return n;
}

// Decodes the n characters at `in` (whole groups) to out[0, capacity), and
// says whether every one of them was in the alphabet. With padding on, a
// range that ends in '=' decodes to fewer bytes: only the full count means
// that none was there.
bool decode_groups(const detail::Kernel& kernel, const Alphabet& alphabet, const char* in, std::size_t n,
                   std::uint8_t* out, std::size_t capacity) noexcept {
  const detail::Decode_outcome d = detail::decode_text(kernel, alphabet, true, {in, n}, out, capacity);
  return d.status == detail::Decode_status::ok && d.len == n / 4 * 3;
}

// Lines `done` to `lines` by stretches gathered on the stack and `decode`;
// returns how far it got. Apart, so that a call that the line kernel
// finishes does not set up the stack buffer.
[[gnu::noinline]] std::size_t decode_rest(const detail::Kernel& kernel, const Alphabet& alphabet, const Shape& shape,
                                          const char* in, std::uint8_t* to, std::size_t capacity, std::size_t done,
                                          std::size_t lines) noexcept {
  // Lines so long that a few fill the stack buffer go one at a time, from
  // the text itself.
  const std::size_t per_stretch = shape.chars > gather_size / 4 ? 0 : gather_size / shape.chars;
  alignas(64) char chars[gather_size];
  // After a kernel's decode_lines, what is left starts with a line it
  // refused, most likely: stretches then start at one line and double, so
  // that the line costs little. Otherwise they are full from the start.
  const std::size_t first_stretch = kernel.decode_lines != nullptr ? 1 : per_stretch;
  for (std::size_t want = first_stretch; done < lines; want = std::min(2 * want, per_stretch)) {
    std::size_t n = 0;  // lines in this stretch, each with its line end
    if (per_stretch > 0) {
      const std::size_t most = std::min(want, lines - done);
      n = gather(shape, in + done * shape.stride, most, chars);
      if (n > 0 && decode_groups(kernel, alphabet, chars, n * shape.chars, to + done * shape.bytes,
                                 capacity - done * shape.bytes)) {
        done += n;
        if (n == most) continue;
        break;  // the next line has no line end where it should
      }
    }
    // One line at a time: the stretch did not decode (or lines are long).
    for (std::size_t k = 0; k < std::max<std::size_t>(n, 1); ++k, ++done) {
      const char* line = in + done * shape.stride;
      if (!shape.ends_line(line + shape.chars) ||
          !decode_groups(kernel, alphabet, line, shape.chars, to + done * shape.bytes,
                         capacity - done * shape.bytes))
        return done;
    }
    if (per_stretch > 0) break;  // a line of the stretch or the one after it ended it
  }
  return done;
}

// The lines of decode_lines_into; inline, so that for MIME lines (76
// characters, CR LF) the divisions by the line's size are by constants.
[[gnu::always_inline]] inline Lines_progress decode_lines(const detail::Kernel& kernel, const Alphabet& alphabet,
                                                           std::string_view text, std::span<char> out,
                                                           const Line_layout& layout, const Shape& shape) noexcept {
  const std::size_t lines = std::min(text.size() / shape.stride, out.size() / shape.bytes);
  const char* const in = text.data();
  auto* const to = reinterpret_cast<std::uint8_t*>(out.data());
  std::size_t done = 0;  // lines decoded
  if (kernel.decode_lines != nullptr && lines > 0)
    done = kernel.decode_lines(alphabet, reinterpret_cast<const std::uint8_t*>(in), lines * shape.stride, layout, to,
                               out.size()) /
           shape.stride;

  if (done < lines) done = decode_rest(kernel, alphabet, shape, in, to, out.size(), done, lines);
  return {done * shape.stride, done * shape.bytes};
}

}  // namespace

namespace detail {

Lines_progress decode_lines_into(const Kernel& kernel, const Alphabet& alphabet, std::string_view text,
                                 std::span<char> out, const Line_layout& layout) noexcept {
  if (layout.length == 76 && layout.end == Line_end::crlf) {
    constexpr Shape mime{Line_layout{}};
    return decode_lines(kernel, alphabet, text, out, Line_layout{}, mime);
  }
  return decode_lines(kernel, alphabet, text, out, layout, Shape(layout));
}

}  // namespace detail

Lines_progress decode_lines_into(std::string_view text, std::span<char> out, const Line_layout& layout,
                                 const Alphabet_choice& alphabet) {
  if (layout.length == 0 || layout.length % 4 != 0) throw std::invalid_argument("Invalid line length");
  return detail::decode_lines_into(detail::dispatched_kernel(), alphabet, text, out, layout);
}

}  // namespace Base64
