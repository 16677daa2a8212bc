#include <base64/base64.hpp>

#include "core.hpp"
#include "tables.hpp"

namespace Base64 {

std::string alphabet(const Alphabet& a) {
  const auto& emap = a.emap();
  return std::string(emap.begin(), emap.end());
}

namespace detail {

constexpr Builtin_tables standard_tables = make_builtin_tables(standard_alphabet);
constexpr Builtin_tables url_safe_tables = make_builtin_tables(url_safe_alphabet);

std::optional<Range> resolve_range(std::size_t length, std::optional<std::int64_t> off,
                                   std::optional<std::int64_t> len) noexcept {
  // A string cannot hold more than PTRDIFF_MAX bytes, so its length fits.
  const auto total = static_cast<std::int64_t>(length);
  const std::int64_t o = off.value_or(0);
  if (o < 0 || o > total) return std::nullopt;  // also keeps `total - o` below from overflowing
  const std::int64_t l = len.value_or(total - o);
  if (l < 0 || o > total - l) return std::nullopt;
  return Range{static_cast<std::size_t>(o), static_cast<std::size_t>(l)};
}

}  // namespace detail
}  // namespace Base64
