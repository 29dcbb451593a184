#include "output/output_commit.h"
#include "pipeline/interlacer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "exit_status.h"
#include "test_support.h"

namespace interlace {
namespace {

using test_support::Bytes;

TEST(DotsPerMetre, UsesTheFactor3937RoundedHalfUp) {
  const struct {
    std::int32_t dpi;
    std::uint32_t expected;
  } cases[] = {{72, 2835}, {96, 3780}, {150, 5906}, {254, 10000}, {300, 11811}, {600, 23622}, {0, 0}, {1, 39}};
  for (const auto& c : cases) EXPECT_EQ(dots_per_metre(c.dpi), c.expected) << c.dpi << " dpi";
  EXPECT_FALSE(dots_per_metre(-1));
  EXPECT_FALSE(dots_per_metre(2147483647));
}

// The three bytes the print image must hold at stored row y, column x,
// worked out from the strips by other means than the interlacer's loop:
// pixel reads through the library, and the strip's raw storage only for the
// column just past a strip's last pixel.
Bytes expected_pixel(const std::vector<Bitmap>& strips, int n, int w, int h, int x, int y) {
  if (x == w - 1 || y == h - 1) return {0, 0, 0};
  FIBITMAP* strip = strips[static_cast<std::size_t>(x % n)].get();
  const int c = x / n;
  const int sw = static_cast<int>(FreeImage_GetWidth(strip));
  if (c < sw) {
    RGBQUAD colour;
    FreeImage_GetPixelColor(strip, static_cast<unsigned>(c), static_cast<unsigned>(y), &colour);
    return {colour.rgbBlue, colour.rgbGreen, colour.rgbRed};
  }
  // Past the row's pixels: its padding, then the next stored row.
  const std::size_t pitch = FreeImage_GetPitch(strip);
  Bytes tail(FreeImage_GetScanLine(strip, y) + 3 * sw, FreeImage_GetScanLine(strip, y) + pitch);
  const BYTE* next = FreeImage_GetScanLine(strip, y + 1);
  tail.insert(tail.end(), next, next + 3);
  return Bytes(tail.begin(), tail.begin() + 3);
}

TEST(InterlaceStrips, MatchesTheColumnMappingAtTheEdges) {
  const struct {
    int views, width, height;
  } cases[] = {
      {1, 7, 5},   // the single view, less its top row and right column
      {3, 10, 4},  // w mod N = 1: nothing read past a strip
      {3, 11, 4},  // column 9 reads the strip's padding
      {3, 14, 4},  // column 12 reads the next stored row's first pixel
      {3, 12, 3},  // w mod N = 0
      {5, 23, 6},  // three columns past the strips
      {2, 16, 1},  // one row: nothing written
      {1, 1, 3},   // one column: nothing written
      {4, 9, 2},
      {6, 20, 3}, {7, 23, 3}, {8, 27, 3},  // the largest counts woven with a fixed count
      {9, 30, 2}, {24, 77, 2},             // and the general loop
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "N=" << c.views << " w=" << c.width << " h=" << c.height);
    StripTable table;
    std::vector<Bitmap> strips;
    for (int v = 0; v < c.views; ++v) {
      const Bitmap view(test_support::random_bitmap(c.width, c.height, static_cast<unsigned>(v + 1)));
      strips.emplace_back(FreeImage_Rescale(view.get(), c.width / c.views, c.height, FILTER_BSPLINE));
      table.add(Bitmap(FreeImage_Clone(strips.back().get())));
    }
    const Bitmap image = interlace_strips(table, {c.width, c.height});
    ASSERT_EQ(FreeImage_GetBPP(image.get()), 24u);
    for (int y = 0; y < c.height; ++y) {
      const BYTE* row = FreeImage_GetScanLine(image.get(), y);
      for (int x = 0; x < c.width; ++x) {
        EXPECT_EQ(Bytes(row + 3 * x, row + 3 * x + 3), expected_pixel(strips, c.views, c.width, c.height, x, y))
            << "x=" << x << " y=" << y;
      }
    }
  }
}

TEST(InterlaceStrips, PaddingColumnIsBlackAndNextRowColumnIsView1) {
  // N = 3, w = 11: strips of 3 pixels, 9 bytes in a 12-byte row.
  StripTable eleven;
  for (int v = 0; v < 3; ++v) {
    const Bitmap view(test_support::random_bitmap(11, 3, static_cast<unsigned>(v + 10)));
    eleven.add(Bitmap(FreeImage_Rescale(view.get(), 3, 3, FILTER_BSPLINE)));
  }
  const Bitmap image11 = interlace_strips(eleven, {11, 3});
  EXPECT_EQ(Bytes(FreeImage_GetBits(image11.get()) + 27, FreeImage_GetBits(image11.get()) + 30), Bytes(3, 0));

  // N = 3, w = 14: strips of 4 pixels, 12 bytes, no padding.
  StripTable fourteen;
  for (int v = 0; v < 3; ++v) {
    const Bitmap view(test_support::random_bitmap(14, 3, static_cast<unsigned>(v + 20)));
    fourteen.add(Bitmap(FreeImage_Rescale(view.get(), 4, 3, FILTER_BSPLINE)));
  }
  const Bitmap image14 = interlace_strips(fourteen, {14, 3});
  const BYTE* column12 = FreeImage_GetScanLine(image14.get(), 0) + 36;
  const BYTE* view1_next_row = FreeImage_GetScanLine(fourteen.strip(0), 1);
  EXPECT_EQ(Bytes(column12, column12 + 3), Bytes(view1_next_row, view1_next_row + 3));
}

TEST(WritePrintImage, RecordsResolutionInTheHeaderBytes) {
  for (const auto& [dpi, dpm] : {std::pair{72, 2835}, {300, 11811}, {254, 10000}, {0, 0}}) {
    test_support::TempDir dir;
    const Bitmap image(test_support::random_bitmap(5, 4, 7));
    {
      OutputFile out(dir / "print.bmp");
      write_print_image(image.get(), *dots_per_metre(dpi), out);
      out.finish();
      replace_targets({&out});
    }
    const Bytes file = test_support::read_file(dir / "print.bmp");
    const test_support::BmpFile bmp = test_support::parse_bmp(file);
    EXPECT_EQ(bmp.x_pixels_per_metre, dpm) << dpi << " dpi";
    EXPECT_EQ(bmp.y_pixels_per_metre, dpm) << dpi << " dpi";
    EXPECT_EQ(bmp.bits_per_pixel, 24);
    EXPECT_EQ(bmp.compression, 0u);
    EXPECT_EQ(file.size(), 54u + 4u * 16u);  // 5 pixels: 15 bytes padded to 16
  }
}

}  // namespace
}  // namespace interlace
