// SPDX-License-Identifier: MIT
// Text in lines: whole lines of whole groups, each followed by its line end,
// written in one pass where the kernel has a line kernel.
//
// Otherwise, and for the lines a line kernel leaves (it stops while a full
// load or store would reach past the given ranges), the lines are done in
// stretches of a few kilobytes: one `encode` call writes the text of the
// whole stretch into the end of the stretch's output, and each line is then
// moved down to its place, the line end written behind it. The stretch is
// small enough to stay in the first-level cache between the two passes.
#include <base64/base64.hpp>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core.hpp"
#include "kernels.hpp"

namespace Base64 {
namespace {

// Lines per stretch: 64 lines of 76 characters make about 5 KB of text.
constexpr std::size_t stretch_lines = 64;

// Moves n bytes from `from` down to `to` (to <= from), inline for the short
// runs of a line. In 16-byte pieces front to back: a piece is stored below
// where the next one is read from, so nothing is overwritten before it is
// read. The last piece, which may overlap the one before it, is read first.
inline void move_down(char* to, const char* from, std::size_t n) noexcept {
  if (n < 16) {
    std::memmove(to, from, n);
    return;
  }
  struct Piece {
    char bytes[16];
  };
  Piece last;
  std::memcpy(&last, from + n - 16, 16);
  for (std::size_t i = 0; i + 16 < n; i += 16) {
    Piece p;
    std::memcpy(&p, from + i, 16);
    std::memcpy(to + i, &p, 16);
  }
  std::memcpy(to + n - 16, &last, 16);
}

// The text of n lines at `from` moved down to their places from `line` on,
// each with its line end behind it. Length and End are the line's when known
// here (0: take length and end_size), so that the common layouts get the
// moves unrolled.
template <std::size_t Length, std::size_t End>
void place_lines(char* line, const char* from, std::size_t n, std::size_t length, std::size_t end_size) noexcept {
  if constexpr (Length != 0) length = Length;
  if constexpr (End != 0) end_size = End;
  for (std::size_t k = 0; k < n; ++k, line += length + end_size, from += length) {
    move_down(line, from, length);
    if (end_size == 2) {
      line[length] = '\r';
      line[length + 1] = '\n';
    } else {
      line[length] = '\n';
    }
  }
}

void place_lines(char* line, const char* from, std::size_t n, std::size_t length, std::size_t end_size) noexcept {
  if (length == 76 && end_size == 2) return place_lines<76, 2>(line, from, n, length, end_size);  // MIME
  if (length == 64 && end_size == 1) return place_lines<64, 1>(line, from, n, length, end_size);  // PEM
  place_lines<0, 0>(line, from, n, length, end_size);
}

// The lines of encode_lines_into; inline, so that for MIME lines (76
// characters, CR LF) the divisions by the line's size are by constants: a
// division by a variable costs about as much as encoding a line.
[[gnu::always_inline]] inline Lines_progress encode_lines(const detail::Kernel& kernel, const Alphabet& alphabet,
                                                           std::string_view input, std::span<char> out,
                                                           const Line_layout& layout, std::size_t length,
                                                           std::size_t end_size) noexcept {
  const std::size_t line_bytes = length / 4 * 3;
  const std::size_t line_text = length + end_size;
  // A line longer than the whole output makes none (and line_text cannot
  // overflow below that).
  const std::size_t lines = length > out.size() ? 0 : std::min(input.size() / line_bytes, out.size() / line_text);
  const auto* in = reinterpret_cast<const std::uint8_t*>(input.data());
  char* to = out.data();

  std::size_t done = 0;  // lines written
  if (kernel.encode_lines != nullptr && lines > 0)
    done = kernel.encode_lines(alphabet, in, lines * line_bytes, layout, to) / line_bytes;

  while (done < lines) {
    const std::size_t n = std::min(stretch_lines, lines - done);
    char* const stretch = to + done * line_text;
    // The text of n lines fits in the stretch's output behind n line ends.
    char* const from = stretch + n * end_size;
    const std::string_view bytes(input.data() + done * line_bytes, n * line_bytes);
    detail::encode_text(kernel, alphabet, false, bytes, from);
    place_lines(stretch, from, n, length, end_size);
    done += n;
  }
  return {.read = lines * line_bytes, .written = lines * line_text};
}

}  // namespace

namespace detail {

Lines_progress encode_lines_into(const Kernel& kernel, const Alphabet& alphabet, std::string_view input,
                                 std::span<char> out, const Line_layout& layout) noexcept {
  if (layout.length == 76 && layout.end == Line_end::crlf)
    return encode_lines(kernel, alphabet, input, out, layout, 76, 2);
  return encode_lines(kernel, alphabet, input, out, layout, layout.length, layout.end == Line_end::crlf ? 2 : 1);
}

}  // namespace detail

Lines_progress encode_lines_into(std::string_view input, std::span<char> out, const Line_layout& layout,
                                 const Alphabet_choice& alphabet) {
  if (layout.length == 0 || layout.length % 4 != 0) throw std::invalid_argument("Invalid line length");
  return detail::encode_lines_into(detail::dispatched_kernel(), alphabet, input, out, layout);
}

}  // namespace Base64
