// Sums and products of sizes that a hostile header may push past 64 bits:
// they stop at UINT64_MAX, more than any file holds.
#pragma once

#include <cstdint>

namespace interlace {

inline std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

inline std::uint64_t saturating_sum(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace interlace
