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

// A GIF page's height is a 16-bit field. A taller page can't be written, and
// making it first would cost seconds to minutes for a very thin view.
constexpr double kMostGifRows = 65535;

// A picture this small decodes in moments whatever its file claims.
constexpr std::uint64_t kPixelsAlwaysAllowed = std::uint64_t{1} << 26;
// No real encoding packs more pixels than this into one byte (a blank 1-bit
// PNG manages about 8,000); a header claiming more is a decompression bomb
// that would cost minutes and gigabytes to find out.
constexpr std::uint64_t kMostPixelsPerByte = std::uint64_t{1} << 16;

}  // namespace

int preview_page_height(int view_width, int view_height) {
  const std::int64_t product = std::int64_t{kPreviewWidth} * view_height;
  const double height = std::floor(static_cast<double>(product) / view_width + 0.5);
  if (height > kMostGifRows) return 0;
  return height < 1 ? 1 : static_cast<int>(height);
}

std::uint64_t most_pixels_in(std::uint64_t file_bytes) {
  if (file_bytes >= UINT64_MAX / kMostPixelsPerByte) return UINT64_MAX;
  return std::max(kPixelsAlwaysAllowed, file_bytes * kMostPixelsPerByte + (kMostPixelsPerByte - 1));
}

void check_print_image_fits(ViewSize size) {
  if (print_image_file_bytes(size) > std::numeric_limits<std::uint32_t>::max()) fail_output();
}

}  // namespace interlace
