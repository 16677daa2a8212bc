// SPDX-License-Identifier: MIT
// The kernels a test runs: those of the library that this machine supports,
// and the emulated ones, which run everywhere.
#pragma once

#include <vector>

#include "kernels.hpp"

namespace base64_test {

inline std::vector<const Base64::detail::Kernel*> supported_kernels() {
  std::vector<const Base64::detail::Kernel*> ks;
  for (const auto& k : Base64::detail::kernels())
    if (k.supported()) ks.push_back(&k);
  for (const auto& k : Base64::detail::emulated_kernels()) ks.push_back(&k);
  return ks;
}

}  // namespace base64_test
