// SPDX-License-Identifier: MIT
// Alphabet and range choices for the whole-string fuzz targets.
#pragma once

#include <base64/base64.hpp>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

// The standard or URL-safe alphabet, or one made of 64 fuzzer bytes when
// make_alphabet accepts them (the standard one otherwise).
inline Base64::Alphabet pick_alphabet(FuzzedDataProvider& data) {
  switch (data.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: return Base64::standard_alphabet;
    case 1: return Base64::url_safe_alphabet;
    default: break;
  }
  const std::string chars = data.ConsumeBytesAsString(64);
  try {
    return Base64::make_alphabet(chars);
  } catch (const std::invalid_argument&) {
    return Base64::standard_alphabet;
  }
}

// Whether every character stands for one value only, so that decoding undoes
// encoding.
inline bool one_to_one(const Base64::Alphabet& alphabet) {
  for (std::size_t v = 0; v < 64; ++v)
    if (alphabet.dmap()[alphabet.emap()[v]] != static_cast<std::int8_t>(v)) return false;
  return true;
}

// Absent, small, or any 64-bit value: huge and negative ones included.
inline std::optional<std::int64_t> pick_bound(FuzzedDataProvider& data) {
  switch (data.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: return std::nullopt;
    case 1: return data.ConsumeIntegralInRange<std::int64_t>(-2, 80);
    default: return data.ConsumeIntegral<std::int64_t>();
  }
}
