// Time as the tool measures its bounds: nanoseconds on one of the kernel's
// clocks.
#pragma once

#include <time.h>

#include <cstdint>

namespace interlace {

// Nanoseconds on `clock`; 0 where it can't be read.
inline std::uint64_t nanoseconds_on(clockid_t clock) {
  timespec now{};
  if (clock_gettime(clock, &now) != 0) return 0;
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace interlace
