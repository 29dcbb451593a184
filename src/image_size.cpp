#include "image_size.h"

#include <algorithm>
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

namespace {

// A picture this small decodes in moments whatever its file claims.
constexpr std::uint64_t kPixelsAlwaysAllowed = std::uint64_t{1} << 26;
// No real encoding packs more pixels than this into one byte (a blank 1-bit
// PNG manages about 8,000); a header claiming more is a decompression bomb
// that would cost minutes and gigabytes to find out.
constexpr std::uint64_t kMostPixelsPerByte = std::uint64_t{1} << 16;

}  // namespace

std::uint64_t most_pixels_in(std::uint64_t file_bytes) {
  if (file_bytes >= UINT64_MAX / kMostPixelsPerByte) return UINT64_MAX;
  return std::max(kPixelsAlwaysAllowed, file_bytes * kMostPixelsPerByte + (kMostPixelsPerByte - 1));
}

void check_print_image_fits(ViewSize size) {
  if (print_image_file_bytes(size) > std::numeric_limits<std::uint32_t>::max()) fail_output();
}

}  // namespace interlace
