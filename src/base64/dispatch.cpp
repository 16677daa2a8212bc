// The kernel table and the run-time choice among its entries.
//
// A kernel for another instruction set is one more source file under simd/
// (compiled with its own flags, see CMakeLists.txt) and one more line in
// `all` below, after the kernels it should win over.
#include <array>

#include "kernels.hpp"

namespace Base64::detail {
namespace {

// The scalar kernel leaves all the work to the scalar core.
std::size_t no_encode(const Alphabet&, const std::uint8_t*, std::size_t, char*) noexcept { return 0; }
std::size_t no_decode(const Alphabet&, const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t) noexcept {
  return 0;
}
bool always() noexcept { return true; }

constexpr std::array all{
    Kernel{"scalar", always, no_encode, no_decode},
};

const Kernel& choose() noexcept {
  const Kernel* best = &all.front();
  for (const Kernel& k : all)
    if (k.supported()) best = &k;
  return *best;
}

}  // namespace

std::span<const Kernel> kernels() noexcept { return all; }

const Kernel& dispatched_kernel() noexcept {
  static const Kernel& chosen = choose();
  return chosen;
}

}  // namespace Base64::detail
