#include "image_size.h"

#include <cmath>
#include <limits>

#include "exit_status.h"

namespace interlace {

std::optional<std::uint32_t> dots_per_metre(std::int32_t dpi) {
  const double value = std::floor(static_cast<double>(dpi) * 39.37 + 0.5);
  if (dpi < 0 || value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::uint64_t print_image_file_bytes(ViewSize size) {
  constexpr std::uint64_t kHeaders = 14 + 40;
  return kHeaders + row_bytes_24(size.width) * std::uint64_t(size.height);
}

void check_print_image_fits(ViewSize size) {
  if (print_image_file_bytes(size) > std::numeric_limits<std::uint32_t>::max()) fail_output();
}

}  // namespace interlace
