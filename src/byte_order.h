// Unsigned integers stored in file headers, in either byte order.
#pragma once

#include <cstdint>

namespace interlace {

// The `count`-byte integer (at most 4) at `bytes`, least significant first.
inline std::uint32_t little_endian(const unsigned char* bytes, int count) {
  std::uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

// The same, most significant first.
inline std::uint32_t big_endian(const unsigned char* bytes, int count) {
  std::uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace interlace
