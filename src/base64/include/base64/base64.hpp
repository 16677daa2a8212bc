// Base64 of RFC 4648 over whole strings: standard, URL-safe and caller-made
// alphabets, optional '=' padding, sub-ranges and a strict decoder.
//
// Every operation comes in the forms a caller may want: a `Result` value
// (`encode`, `decode`), the working buffer with the extent of the output in it
// (`encode_sub`, `decode_sub`), and a thrown `std::invalid_argument` carrying
// the same message (`encode_exn`, `decode_exn`).
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

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

// Thrown by Result::value() when the result holds an error.
class BASE64_API Bad_result_access : public std::exception {
 public:
  explicit Bad_result_access(Msg error) : error_(std::move(error)) {}
  [[nodiscard]] const char* what() const noexcept override { return "bad Base64::Result access"; }
  [[nodiscard]] const Msg& error() const noexcept { return error_; }

 private:
  Msg error_;
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

// Options of the range operations, in their fixed order. An absent `off` is
// 0; an absent `len` is the rest of the input after `off`. The alphabet is
// referred to for the duration of the call only.
struct Options {
  bool pad = true;
  const Alphabet& alphabet = standard_alphabet;
  std::optional<std::int64_t> off = std::nullopt;
  std::optional<std::int64_t> len = std::nullopt;
};

// Options of encode_string, which always encodes its whole input.
struct String_options {
  bool pad = true;
  const Alphabet& alphabet = standard_alphabet;
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

}  // namespace Base64
