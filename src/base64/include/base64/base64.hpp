// SPDX-License-Identifier: MIT
// Base64 of RFC 4648 over whole strings: standard, URL-safe and caller-made
// alphabets, optional '=' padding, sub-ranges and a strict decoder.
//
// Every operation comes in the forms a caller may want: a `Result` value
// (`encode`, `decode`), the working buffer with the extent of the output in it
// (`encode_sub`, `decode_sub`), and a thrown `std::invalid_argument` carrying
// the same message (`encode_exn`, `decode_exn`). `encode_into` and
// `decode_into` write into the caller's buffer without allocating and report
// an Error with the position of the offending character.
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <ranges>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

// What the library exports. On Windows a DLL exports it while being built
// (base64_EXPORTS, set by CMake) and its users import it; a static library
// (BASE64_STATIC, set for its users by CMake and pkg-config) does neither.
// Elsewhere the library is built with hidden visibility and this is the
// one way out.
#if defined(_WIN32)
#if defined(BASE64_STATIC)
#define BASE64_API
#elif defined(base64_EXPORTS)
#define BASE64_API __declspec(dllexport)
#else
#define BASE64_API __declspec(dllimport)
#endif
#else
#define BASE64_API __attribute__((visibility("default")))
#endif

namespace Base64 {

// A table of 64 characters for the six-bit values and its inverse. Immutable
// once made; the built-in alphabets are constant-initialised.
class Alphabet {
 public:
  // Character code for each six-bit value.
  [[nodiscard]] constexpr const std::array<std::uint8_t, 64>& emap() const noexcept { return emap_; }
  // Six-bit value for each character code, or -1 for a code outside the alphabet.
  [[nodiscard]] constexpr const std::array<std::int8_t, 256>& dmap() const noexcept { return dmap_; }

 private:
  constexpr Alphabet() = default;
  friend constexpr Alphabet make_alphabet(std::string_view chars);

  std::array<std::uint8_t, 64> emap_{};
  std::array<std::int8_t, 256> dmap_{};
};

// Makes an alphabet from exactly 64 characters; any byte but '=' may appear,
// and a repeated character decodes to its last position.
// Throws std::invalid_argument "Length of alphabet must be 64" or
// "Alphabet can not contain padding character".
constexpr Alphabet make_alphabet(std::string_view chars) {
  if (chars.size() != 64) throw std::invalid_argument("Length of alphabet must be 64");
  if (chars.find('=') != std::string_view::npos)
    throw std::invalid_argument("Alphabet can not contain padding character");
  Alphabet a;
  a.dmap_.fill(-1);
  for (std::size_t i = 0; i < 64; ++i) {
    const auto code = static_cast<std::uint8_t>(chars[i]);
    a.emap_[i] = code;
    a.dmap_[code] = static_cast<std::int8_t>(i);
  }
  return a;
}

// RFC 4648 table 1 and table 2 (URL- and filename-safe).
inline constexpr Alphabet standard_alphabet =
    make_alphabet("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
inline constexpr Alphabet url_safe_alphabet =
    make_alphabet("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_");

// Number of characters of an alphabet: always 64.
[[nodiscard]] constexpr int length_alphabet(const Alphabet& a) noexcept {
  return static_cast<int>(a.emap().size());
}

// The 64 characters the alphabet was made from, as a fresh string.
[[nodiscard]] BASE64_API std::string alphabet(const Alphabet& a);

// The message of a failed operation: "Invalid bounds", "Malformed input",
// "Wrong padding" or "Too much input".
struct Msg {
  std::string text;
  friend bool operator==(const Msg&, const Msg&) = default;
};

// Thrown by value() of a result that holds an error; what() carries the
// message: "bad Base64::Result access: Wrong padding".
class BASE64_API Bad_result_access : public std::exception {
 public:
  explicit Bad_result_access(Msg error)
      : error_(std::move(error)), what_("bad Base64::Result access: " + error_.text) {}
  [[nodiscard]] const char* what() const noexcept override { return what_.what(); }
  [[nodiscard]] const Msg& error() const noexcept { return error_; }

 private:
  Msg error_;
  std::runtime_error what_;  // copied without allocating, as exceptions must be
};

// Either a value or a Msg; the subset of std::expected<T, Msg> that callers use.
template <class T>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit like expected
  Result(Msg error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  [[nodiscard]] bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  // Precondition for *, -> and error(): the matching alternative is held.
  T& operator*() & noexcept { return *std::get_if<0>(&v_); }
  const T& operator*() const& noexcept { return *std::get_if<0>(&v_); }
  T&& operator*() && noexcept { return std::move(*std::get_if<0>(&v_)); }
  T* operator->() noexcept { return std::get_if<0>(&v_); }
  const T* operator->() const noexcept { return std::get_if<0>(&v_); }

  // The value; throws Bad_result_access holding the Msg otherwise.
  T& value() & { return check(), **this; }
  const T& value() const& { return check(), **this; }
  T&& value() && { return check(), std::move(**this); }

  [[nodiscard]] const Msg& error() const& noexcept { return *std::get_if<1>(&v_); }
  [[nodiscard]] Msg&& error() && noexcept { return std::move(*std::get_if<1>(&v_)); }

 private:
  void check() const {
    if (!has_value()) throw Bad_result_access(error());
  }
  std::variant<T, Msg> v_;
};

// The working buffer of an operation and the extent of its output in it.
struct Sub {
  std::string buffer;
  std::int64_t off;
  std::int64_t len;
  friend bool operator==(const Sub&, const Sub&) = default;
};

// The alphabet of an options record, held by value so that a record never
// refers to an alphabet that has gone: one of the built-in alphabets (a tag,
// nothing copied) or a copy of a caller's alphabet. Converts implicitly from
// and to `const Alphabet&`; trivially copyable and assignable.
class Alphabet_choice {
 public:
  // The standard alphabet. User-provided, so that `{}` and `Options{}` do
  // not zero the 320 bytes of the storage before the constructor runs, as
  // value-initialisation does for a defaulted constructor.
  constexpr Alphabet_choice() noexcept {}  // NOLINT(modernize-use-equals-default)
  // An alphabet with the characters of a built-in one is taken as that one.
  constexpr Alphabet_choice(const Alphabet& a) noexcept  // NOLINT: implicit, as `.alphabet = a` wants
      : which_(is(a, standard_alphabet) ? Which::standard : is(a, url_safe_alphabet) ? Which::url_safe : Which::custom) {
    if (which_ == Which::custom) storage_.custom = a;
  }

  [[nodiscard]] constexpr const Alphabet& get() const noexcept {
    switch (which_) {
      case Which::standard: return standard_alphabet;
      case Which::url_safe: return url_safe_alphabet;
      case Which::custom: break;
    }
    return storage_.custom;
  }
  constexpr operator const Alphabet&() const noexcept { return get(); }  // NOLINT: implicit
  [[nodiscard]] constexpr const std::array<std::uint8_t, 64>& emap() const noexcept { return get().emap(); }
  [[nodiscard]] constexpr const std::array<std::int8_t, 256>& dmap() const noexcept { return get().dmap(); }

  // 1 for the standard alphabet, 2 for the URL-safe one, 0 for a caller's.
  [[nodiscard]] constexpr int builtin() const noexcept { return static_cast<int>(which_); }

 private:
  enum class Which : std::uint8_t { custom, standard, url_safe };

  // The object itself (no compare), or its characters.
  static constexpr bool is(const Alphabet& a, const Alphabet& b) noexcept {
    return (!std::is_constant_evaluated() && &a == &b) || same_chars(a, b);
  }
  static constexpr bool same_chars(const Alphabet& a, const Alphabet& b) noexcept {
    const auto x = std::bit_cast<std::array<std::uint64_t, 8>>(a.emap());
    const auto y = std::bit_cast<std::array<std::uint64_t, 8>>(b.emap());
    std::uint64_t diff = 0;
    for (std::size_t k = 0; k < 8; ++k) diff |= x[k] ^ y[k];
    return diff == 0;
  }

  // Uninitialised unless a caller's alphabet is held: a record with a
  // built-in alphabet costs a few bytes to make.
  union Storage {
    constexpr Storage() noexcept : none() {}
    char none;
    Alphabet custom;  // active when which_ is custom
  };

  Which which_ = Which::standard;
  Storage storage_;
};

// Options of the range operations, in their fixed order. An absent `off` is
// 0; an absent `len` is the rest of the input after `off`. The record holds
// its alphabet (see Alphabet_choice), so it may be stored, returned and
// assigned freely.
struct Options {
  bool pad = true;
  Alphabet_choice alphabet{};
  std::optional<std::int64_t> off = std::nullopt;
  std::optional<std::int64_t> len = std::nullopt;
  // Decoding only: also refuse, as "Non-canonical input", any text that
  // encoding its bytes would not give back exactly: leftover bits that are
  // not zero, padding beyond the last group or missing from it (with `pad`
  // off: any padding), a single character left over. For signature checks.
  bool canonical = false;
};

// Options of encode_string, which always encodes its whole input.
struct String_options {
  bool pad = true;
  Alphabet_choice alphabet{};
};

// Decodes the selected range into a fresh string.
// Throws std::invalid_argument with the message that decode would return.
[[nodiscard]] BASE64_API std::string decode_exn(std::string_view input, const Options& options = {});

// Decodes the selected range; the buffer holds 3 bytes per started group of
// four characters and the decoded bytes start at offset 0.
[[nodiscard]] BASE64_API Result<Sub> decode_sub(std::string_view input, const Options& options = {});

// Decodes the selected range into a fresh string of exactly the decoded bytes.
[[nodiscard]] BASE64_API Result<std::string> decode(std::string_view input, const Options& options = {});

// Encodes the selected range into a fresh string.
[[nodiscard]] BASE64_API Result<std::string> encode(std::string_view input, const Options& options = {});

// Encodes the whole input; cannot fail.
[[nodiscard]] BASE64_API std::string encode_string(std::string_view input, const String_options& options = {});

// Encodes the selected range; the buffer holds 4 characters per started group
// of three bytes, padded or not, and the text starts at offset 0.
[[nodiscard]] BASE64_API Result<Sub> encode_sub(std::string_view input, const Options& options = {});

// Encodes the selected range into a fresh string.
// Throws std::invalid_argument "Invalid bounds" on a bad range.
[[nodiscard]] BASE64_API std::string encode_exn(std::string_view input, const Options& options = {});


// ------------------------------------------------------------------------
// Into caller buffers: no allocation, errors with a position.

// Why a call failed. The first four are the cases of the Msg texts of the
// calls above, for the same input always the same one.
enum class Error_kind : std::uint8_t {
  Invalid_bounds,    // "Invalid bounds": off/len select no range of the input
  Malformed_input,   // "Malformed input"
  Wrong_padding,     // "Wrong padding": the text ends inside a group
  Too_much_input,    // "Too much input": input after a group that ended with '='
  Output_too_small,  // "Output too small": nothing was written
  Non_canonical,     // "Non-canonical input": decodes, but only with Options::canonical off
};

// The message of a kind: the Msg text of the calls that return one.
[[nodiscard]] constexpr std::string_view message(Error_kind kind) noexcept {
  switch (kind) {
    case Error_kind::Invalid_bounds: return "Invalid bounds";
    case Error_kind::Malformed_input: return "Malformed input";
    case Error_kind::Wrong_padding: return "Wrong padding";
    case Error_kind::Too_much_input: return "Too much input";
    case Error_kind::Output_too_small: return "Output too small";
    case Error_kind::Non_canonical: return "Non-canonical input";
  }
  return "";
}

// A failure of an _into call. `offset` is an index into the caller's whole
// input (not into the off/len range): the character where decoding stopped,
// which `byte` holds; for Wrong_padding the end of the range, where a
// character is missing (no byte). Invalid_bounds and Output_too_small have
// offset 0 and no byte.
struct Error {
  std::size_t offset = 0;
  Error_kind kind = Error_kind::Invalid_bounds;
  std::optional<std::uint8_t> byte = std::nullopt;

  [[nodiscard]] constexpr std::string_view message() const noexcept { return Base64::message(kind); }
  friend bool operator==(const Error&, const Error&) = default;
};

// The count of bytes an _into call wrote, or its Error: the subset of
// std::expected<std::size_t, Error> that callers use. 16 bytes, trivially
// copyable, so that it comes back in registers.
class Into_result {
 public:
  constexpr Into_result(std::size_t count) noexcept : e_{.offset = count}, ok_(true) {}  // NOLINT: implicit like expected
  constexpr Into_result(const Error& e) noexcept : e_(e), ok_(false) {}                  // NOLINT

  [[nodiscard]] constexpr bool has_value() const noexcept { return ok_; }
  constexpr explicit operator bool() const noexcept { return ok_; }
  // Precondition for * and error(): the matching alternative is held.
  [[nodiscard]] constexpr std::size_t operator*() const noexcept { return e_.offset; }
  [[nodiscard]] constexpr const Error& error() const noexcept { return e_; }
  // The count; throws Bad_result_access with the message otherwise.
  [[nodiscard]] std::size_t value() const {
    if (!ok_) throw Bad_result_access(Msg{std::string(e_.message())});
    return e_.offset;
  }
  [[nodiscard]] constexpr std::size_t value_or(std::size_t otherwise) const noexcept {
    return ok_ ? e_.offset : otherwise;
  }

 private:
  Error e_;  // on success, offset is the count
  bool ok_;
};

// Length of the encoding of n bytes, with or without padding; empty when it
// does not fit in a std::size_t.
[[nodiscard]] constexpr std::optional<std::size_t> encoded_length(std::size_t n, bool pad = true) noexcept {
  constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
  const std::size_t groups = n / 3, rest = n % 3;
  const std::size_t tail = rest == 0 ? 0 : pad ? 4 : rest + 1;
  if (groups > (max - tail) / 4) return std::nullopt;
  return groups * 4 + tail;
}

// Most bytes that n characters can decode to (3 per 4, none for a single
// leftover character); never more than n, so it cannot overflow.
[[nodiscard]] constexpr std::size_t decoded_length_bound(std::size_t n) noexcept {
  return n / 4 * 3 + n % 4 * 3 / 4;
}

// The exact length of the bytes of the selected range of a text that
// decodes, found from its trailing '=' alone: the output size decode_into
// needs. Fails with Invalid_bounds only.
[[nodiscard]] BASE64_API Into_result decoded_length(std::string_view input, const Options& options = {});

// Encodes the selected range into out[0, n) and returns n, the length of the
// text. Nothing beyond n is written; out too small is Output_too_small,
// found before anything is written. Never allocates.
[[nodiscard]] BASE64_API Into_result encode_into(std::string_view input, std::span<char> out,
                                                 const Options& options = {});

// Decodes the selected range into out[0, n) and returns n, the number of
// bytes. out needs decoded_length(input, options) bytes (a
// decoded_length_bound of the range's size always suffices), else
// Output_too_small before anything is written. Nothing beyond n is written;
// on a decoding error the bytes before that size may have been. The error
// kind is that of decode's Msg for the same input. Never allocates.
[[nodiscard]] BASE64_API Into_result decode_into(std::string_view input, std::span<char> out,
                                                 const Options& options = {});

// The same calls for any contiguous range of char, unsigned char
// (std::uint8_t) or std::byte, in and out: spans, vectors, arrays, strings.
// An input that converts to std::string_view is taken as that (so a char
// array is a C string).
template <class T>
concept Byte = std::same_as<T, char> || std::same_as<T, unsigned char> || std::same_as<T, std::byte>;

template <class R>
concept Byte_input =
    std::convertible_to<const R&, std::string_view> ||
    (std::ranges::contiguous_range<const R&> && std::ranges::sized_range<const R&> &&
     Byte<std::remove_cv_t<std::ranges::range_value_t<const R&>>>);

// Writable and not a temporary container (its bytes would be lost).
template <class R>
concept Byte_output = std::ranges::contiguous_range<R> && std::ranges::sized_range<R> &&
                      std::ranges::borrowed_range<R> &&
                      Byte<std::remove_reference_t<std::ranges::range_reference_t<R>>>;

namespace detail {
template <Byte_input In>
constexpr std::string_view as_text(const In& in) noexcept {
  if constexpr (std::convertible_to<const In&, std::string_view>)
    return in;
  else
    return {reinterpret_cast<const char*>(std::ranges::data(in)), std::ranges::size(in)};
}
template <Byte_output Out>
constexpr std::span<char> as_chars(Out&& out) noexcept {
  return {reinterpret_cast<char*>(std::ranges::data(out)), std::ranges::size(out)};
}
}  // namespace detail

template <Byte_input In, Byte_output Out>
[[nodiscard]] inline Into_result encode_into(const In& input, Out&& out, const Options& options = {}) {
  return encode_into(detail::as_text(input), detail::as_chars(out), options);
}

template <Byte_input In, Byte_output Out>
[[nodiscard]] inline Into_result decode_into(const In& input, Out&& out, const Options& options = {}) {
  return decode_into(detail::as_text(input), detail::as_chars(out), options);
}

// Decodes the selected range onto the end of `out` and returns the number of
// bytes added; on an error `out` keeps its size. One growth of `out` at most.
template <Byte_input In, Byte T, class A>
Into_result decode_append(const In& input, std::vector<T, A>& out, const Options& options = {}) {
  const std::string_view text = detail::as_text(input);
  const Into_result need = decoded_length(text, options);
  if (!need) return need;
  const std::size_t old = out.size();
  out.resize(old + *need);
  const Into_result r = decode_into(text, std::span<T>(out).subspan(old), options);
  out.resize(r ? old + *r : old);
  return r;
}

// Decodes the selected range into `out`, replacing its contents (empty on
// an error).
template <Byte_input In, Byte T, class A>
Into_result decode_to(const In& input, std::vector<T, A>& out, const Options& options = {}) {
  out.clear();
  return decode_append(input, out, options);
}

// ------------------------------------------------------------------------
// Text in lines, as MIME bodies (76 characters) and PEM files (64) carry it:
// whole lines of whole groups, each followed by a line end. These calls do
// the bulk of such a text at the speed of encode_into and decode_into and
// leave the rest to the caller: the last, shorter line, the padding, and
// whatever else a format allows between lines.

enum class Line_end : std::uint8_t { crlf, lf };

// Each line holds `length` characters, a positive multiple of 4, and then
// the line end.
struct Line_layout {
  std::size_t length = 76;
  Line_end end = Line_end::crlf;
};

// How far a lines call got: bytes read from its input, bytes written to its
// output.
struct Lines_progress {
  std::size_t read = 0;
  std::size_t written = 0;
  friend bool operator==(const Lines_progress&, const Lines_progress&) = default;
};

// Encodes the longest prefix of `input` that makes whole lines and whose
// text fits in `out`: every length / 4 * 3 bytes become one line of
// `length` characters and its line end. Writes nothing beyond `written`.
// Never allocates. Throws std::invalid_argument("Invalid line length")
// when the length is 0 or not a multiple of 4.
[[nodiscard]] BASE64_API Lines_progress encode_lines_into(std::string_view input, std::span<char> out,
                                                          const Line_layout& layout = {},
                                                          const Alphabet_choice& alphabet = {});

// Decodes the longest prefix of `text` that is whole lines, each `length`
// characters of the alphabet and the line end, and whose bytes fit in
// `out`: it stops before the first line that is not one (a character
// outside the alphabet, '=', a line shorter or longer, a missing line end,
// the end of the text), which is the caller's to look at. Bytes of `out`
// beyond `written` may have been overwritten. Never allocates. Throws
// std::invalid_argument("Invalid line length") as encode_lines_into does.
[[nodiscard]] BASE64_API Lines_progress decode_lines_into(std::string_view text, std::span<char> out,
                                                          const Line_layout& layout = {},
                                                          const Alphabet_choice& alphabet = {});

}  // namespace Base64
