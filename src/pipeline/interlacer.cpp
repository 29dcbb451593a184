#include "pipeline/interlacer.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "pipeline/exit_status.h"

namespace interlace {

namespace {

constexpr std::size_t kBytesPerPixel = 3;

// Row `row` of one strip is copied to every N-th pixel of the image row,
// starting at the strip's view; a column count limited by the image keeps
// the last columns within the row's written part.
void weave_row(const std::vector<const BYTE*>& strip_bits, std::size_t strip_pitch,
               BYTE* image_row, std::size_t row, std::size_t columns_written) {
  const std::size_t views = strip_bits.size();
  for (std::size_t view = 0; view < views && view < columns_written; ++view) {
    const BYTE* source = strip_bits[view] + row * strip_pitch;
    BYTE* target = image_row + view * kBytesPerPixel;
    const std::size_t count = (columns_written - view + views - 1) / views;
    for (std::size_t c = 0; c < count; ++c) {
      std::memcpy(target + c * views * kBytesPerPixel, source + c * kBytesPerPixel, kBytesPerPixel);
    }
  }
}

}  // namespace

std::optional<std::uint32_t> dots_per_metre(std::int32_t dpi) {
  const double value = std::floor(static_cast<double>(dpi) * 39.37 + 0.5);
  if (dpi < 0 || value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

Bitmap interlace_strips(const StripTable& strips, ViewSize size) {
  Bitmap image(FreeImage_Allocate(size.width, size.height, 24, 0, 0, 0));
  if (!image || FreeImage_GetBits(image.get()) == nullptr) throw Failure(ExitStatus::OutputFailed);

  std::vector<const BYTE*> strip_bits;
  for (int i = 0; i < strips.count(); ++i) strip_bits.push_back(FreeImage_GetBits(strips.strip(i)));
  // All strips come from views of one size, so view 1's pitch serves them all.
  const std::size_t strip_pitch = FreeImage_GetPitch(strips.strip(0));
  const std::size_t image_pitch = FreeImage_GetPitch(image.get());
  BYTE* image_bits = FreeImage_GetBits(image.get());

  const std::size_t rows_written = static_cast<std::size_t>(size.height) - 1;
  const std::size_t columns_written = static_cast<std::size_t>(size.width) - 1;
  for (std::size_t row = 0; row < rows_written; ++row) {
    weave_row(strip_bits, strip_pitch, image_bits + row * image_pitch, row, columns_written);
  }
  return image;
}

void write_print_image(FIBITMAP* image, std::uint32_t dots_per_metre, OutputFile& out) {
  FreeImage_SetDotsPerMeterX(image, dots_per_metre);
  FreeImage_SetDotsPerMeterY(image, dots_per_metre);
  if (!FreeImage_SaveToHandle(FIF_BMP, image, out.io(), out.handle(), 0)) {
    throw Failure(ExitStatus::OutputFailed);
  }
}

}  // namespace interlace
