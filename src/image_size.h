// A view's size, and what the print image of that size must fit: the BMP
// header's 32-bit fields.
#pragma once

#include <cstdint>
#include <optional>

namespace interlace {

struct ViewSize {
  int width = 0;
  int height = 0;
  bool operator==(const ViewSize& other) const {
    return width == other.width && height == other.height;
  }
};

// Print resolution in the BMP header's unit: floor(dpi * 39.37 + 0.5). The
// factor is 39.37 exactly, not 1 / 0.0254, because print shops' files were
// made that way. Empty for a negative resolution or one whose value doesn't
// fit the header's signed 32-bit field.
std::optional<std::uint32_t> dots_per_metre(std::int32_t dpi);

// The bytes of one stored row of a 24-bit bitmap `width` pixels wide, padded
// to four as the library and the BMP format pad it.
inline std::uint64_t row_bytes_24(int width) { return (std::uint64_t(width) * 3 + 3) / 4 * 4; }

// The length of the BMP file of a print image of `size`: its 54 bytes of
// headers and its rows, each padded to four bytes.
std::uint64_t print_image_file_bytes(ViewSize size);

// The preview's pages are this wide, whatever the views' width.
constexpr int kPreviewWidth = 640;

// A view's preview page height: floor(640 * h / w + 0.5) with the product in
// 64 bits, and at least 1 so a very wide view still gets a page. 0 when the
// page would be taller than a GIF page can be (65535 rows).
int preview_page_height(int view_width, int view_height);

// The most pixels a file of `file_bytes` may hold: more is a decompression
// bomb. The decoder's checks refuse such a view on its header; the run holds
// the decoder's answers to it too.
std::uint64_t most_pixels_in(std::uint64_t file_bytes);

// A BMP records its length in 32 bits, so a print image whose file would be
// 4 GiB or more can't be written. Throws Failure(OutputFailed) for one.
void check_print_image_fits(ViewSize size);

}  // namespace interlace
