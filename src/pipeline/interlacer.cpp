#include "pipeline/interlacer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "exit_status.h"

namespace interlace {

namespace {

constexpr std::size_t kBytesPerPixel = 3;

// A group is one pixel from each view, in view order. Each pixel is moved
// as four bytes whose fourth lands on the next pixel, written right after.
// The four-byte read stays inside the strip's storage: a row that is read
// always has a stored row after it.
BYTE* weave_groups(const BYTE* const* strip_rows, std::size_t views, BYTE* target, std::size_t groups) {
  for (std::size_t offset = 0; offset < groups * kBytesPerPixel; offset += kBytesPerPixel) {
    for (std::size_t view = 0; view < views; ++view, target += kBytesPerPixel) {
      std::memcpy(target, strip_rows[view] + offset, 4);
    }
  }
  return target;
}

// The same with the view count known to the compiler, for the common sets of
// up to eight views: the strip pointers stay in registers and the inner loop
// unrolls, which doubles the speed.
template <std::size_t Views>
BYTE* weave_groups(const BYTE* const* strip_rows, BYTE* target, std::size_t groups) {
  if constexpr (Views == 1) {
    std::memcpy(target, strip_rows[0], groups * kBytesPerPixel);
    return target + groups * kBytesPerPixel;
  }
  const BYTE* rows[Views];
  std::copy(strip_rows, strip_rows + Views, rows);
  for (std::size_t offset = 0; offset < groups * kBytesPerPixel; offset += kBytesPerPixel) {
    for (std::size_t view = 0; view < Views; ++view, target += kBytesPerPixel) {
      std::memcpy(target, rows[view] + offset, 4);
    }
  }
  return target;
}

BYTE* weave_whole_groups(const BYTE* const* strip_rows, std::size_t views, BYTE* target, std::size_t groups) {
  switch (views) {
    case 1: return weave_groups<1>(strip_rows, target, groups);
    case 2: return weave_groups<2>(strip_rows, target, groups);
    case 3: return weave_groups<3>(strip_rows, target, groups);
    case 4: return weave_groups<4>(strip_rows, target, groups);
    case 5: return weave_groups<5>(strip_rows, target, groups);
    case 6: return weave_groups<6>(strip_rows, target, groups);
    case 7: return weave_groups<7>(strip_rows, target, groups);
    case 8: return weave_groups<8>(strip_rows, target, groups);
    default: return weave_groups(strip_rows, views, target, groups);
  }
}

// Writes image pixels 0 .. columns - 1 of one stored row in order, taking
// them from the strips in turn. Only the row's last pixel moves three bytes,
// so nothing outside the written part is touched.
void weave_row(const BYTE* const* strip_rows, std::size_t views, BYTE* target, std::size_t columns) {
  if (columns == 0) return;
  const std::size_t whole_groups = (columns - 1) / views;
  target = weave_whole_groups(strip_rows, views, target, whole_groups);
  const std::size_t source_offset = whole_groups * kBytesPerPixel;
  const std::size_t rest = columns - whole_groups * views;  // 1 to views pixels
  for (std::size_t view = 0; view + 1 < rest; ++view, target += kBytesPerPixel) {
    std::memcpy(target, strip_rows[view] + source_offset, 4);
  }
  std::memcpy(target, strip_rows[rest - 1] + source_offset, kBytesPerPixel);
}

}  // namespace

Bitmap interlace_strips(const StripTable& strips, ViewSize size) {
  Bitmap image(FreeImage_Allocate(size.width, size.height, 24, 0, 0, 0));
  if (!image || FreeImage_GetBits(image.get()) == nullptr) fail_output();
  weave_strips(strips, image.get());
  return image;
}

namespace {

// Weaves `count` stored rows of the image from row `first` on into `target`,
// rows `pitch` apart, `columns` pixels of each.
void weave_rows(const StripTable& strips, std::size_t first, std::size_t count, BYTE* target, std::size_t pitch,
                std::size_t columns) {
  const std::size_t views = static_cast<std::size_t>(strips.count());
  // All strips come from views of one size, so view 1's pitch serves them all.
  const std::size_t strip_pitch = FreeImage_GetPitch(strips.strip(0));
  std::vector<const BYTE*> strip_rows(views);
  for (std::size_t v = 0; v < views; ++v)
    strip_rows[v] = FreeImage_GetBits(strips.strip(static_cast<int>(v))) + first * strip_pitch;
  for (std::size_t row = 0; row < count; ++row) {
    weave_row(strip_rows.data(), views, target + row * pitch, columns);
    for (const BYTE*& strip_row : strip_rows) strip_row += strip_pitch;
  }
}

}  // namespace

void weave_strips(const StripTable& strips, FIBITMAP* image) {
  const std::size_t rows_written = std::size_t{FreeImage_GetHeight(image)} - 1;
  const std::size_t columns_written = std::size_t{FreeImage_GetWidth(image)} - 1;
  weave_rows(strips, 0, rows_written, FreeImage_GetBits(image), FreeImage_GetPitch(image), columns_written);
}

namespace {

void put(std::vector<BYTE>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

// The file and info headers the library writes for a 24-bit image of `size`
// at `dots_per_metre`.
std::vector<BYTE> bmp_headers(ViewSize size, std::uint32_t dots_per_metre) {
  constexpr std::uint32_t kHeaders = 14 + 40;
  const auto pixel_bytes = static_cast<std::uint32_t>(row_bytes_24(size.width) * std::uint64_t(size.height));
  std::vector<BYTE> headers{'B', 'M'};
  put(headers, kHeaders + pixel_bytes, 4);
  put(headers, 0, 4);
  put(headers, kHeaders, 4);
  put(headers, 40, 4);
  put(headers, static_cast<std::uint32_t>(size.width), 4);
  put(headers, static_cast<std::uint32_t>(size.height), 4);
  put(headers, 1, 2);   // planes
  put(headers, 24, 2);  // bits per pixel
  put(headers, 0, 4);   // no compression
  put(headers, 0, 4);   // image size: left to readers, as uncompressed data may
  put(headers, dots_per_metre, 4);
  put(headers, dots_per_metre, 4);
  put(headers, 0, 4);  // colours used
  put(headers, 0, 4);  // important colours
  return headers;
}

void write_or_fail(OutputFile& out, const BYTE* bytes, std::size_t count) {
  if (count == 0) return;
  if (out.io()->write_proc(const_cast<BYTE*>(bytes), 1, static_cast<unsigned>(count), out.handle()) != count) {
    fail_output();
  }
}

}  // namespace

void write_interlaced(const StripTable& strips, ViewSize size, std::uint32_t dots_per_metre, OutputFile& out) {
  const std::vector<BYTE> headers = bmp_headers(size, dots_per_metre);
  write_or_fail(out, headers.data(), headers.size());
  // Rows go out a megabyte at a time. What the weave doesn't write of a row
  // (the rightmost column, the padding) stays zero, as does the top row.
  const std::size_t pitch = row_bytes_24(size.width);
  const std::size_t rows = static_cast<std::size_t>(size.height), rows_written = rows - 1;
  const std::size_t batch = std::max<std::size_t>(1, (std::size_t{1} << 20) / pitch);
  std::vector<BYTE> buffer(batch * pitch + 1, 0);
  for (std::size_t first = 0; first < rows; first += batch) {
    const std::size_t count = std::min(batch, rows - first);
    const std::size_t woven = first < rows_written ? std::min(count, rows_written - first) : 0;
    weave_rows(strips, first, woven, buffer.data(), pitch, static_cast<std::size_t>(size.width) - 1);
    if (woven < count) std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(woven * pitch), buffer.end(), BYTE{0});
    write_or_fail(out, buffer.data(), count * pitch);
  }
}

void write_print_image(FIBITMAP* image, std::uint32_t dots_per_metre, OutputFile& out) {
  FreeImage_SetDotsPerMeterX(image, dots_per_metre);
  FreeImage_SetDotsPerMeterY(image, dots_per_metre);
  if (!FreeImage_SaveToHandle(FIF_BMP, image, out.io(), out.handle(), 0)) {
    fail_output();
  }
}

}  // namespace interlace
