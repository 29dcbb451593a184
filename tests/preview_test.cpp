#include "output/output_commit.h"
#include "pipeline/preview.h"

#include <gtest/gtest.h>

#include <random>

#include "bitmap.h"
#include "decoder/strip_and_page.h"
#include "formats/gif.h"
#include "test_support.h"

namespace interlace {
namespace {

// Writes `animation` to `path` as a run does: a temporary, then the commit.
void write_animation(PreviewAnimation& animation, const std::string& path) {
  OutputFile out(path);
  animation.write(out);
  out.finish();
  replace_targets({&out});
}

TEST(PreviewPageHeight, KeepsTheAspectRoundedHalfUpAndNeverZero) {
  const struct {
    int width, height, expected;
  } cases[] = {
      {1920, 1080, 360}, {1000, 1000, 640}, {2480, 3508, 905}, {4000, 3000, 480},
      {640, 1, 1},       {1280, 1, 1},      {1281, 1, 1},      {100000, 1, 1},  // would round to 0
      {3, 1, 213},       {3, 2, 427},       {10, 1023, 65472},
      {32, 3276, 65520}, {1, 102, 65280},  // the tallest pages
  };
  for (const auto& c : cases) {
    EXPECT_EQ(preview_page_height(c.width, c.height), c.expected) << c.width << "x" << c.height;
  }
  EXPECT_EQ(preview_page_height(10, 1024), 0);  // 65536 rows: one more than a GIF page holds
  EXPECT_EQ(preview_page_height(32, 32800), 0);
  EXPECT_EQ(preview_page_height(1, 3355444), 0);  // 640 * h past 32 bits
  EXPECT_EQ(preview_frame_time(), 500);
}

TEST(PreviewAnimation, WritesOnePagePerViewInOrder) {
  const struct {
    int width, height;
  } views[] = {{1920 / 8, 1080 / 8}, {700, 20}, {50, 80}, {2000, 1}};
  PreviewAnimation animation;
  int n = 0;
  for (const auto& v : views) {
    const Bitmap view(test_support::random_bitmap(v.width, v.height, static_cast<unsigned>(++n)));
    animation.add_page(make_preview_page(view.get()).get());
    EXPECT_EQ(animation.page_count(), n);
  }
  test_support::TempDir dir;
  write_animation(animation, dir / "a.gif");
  const test_support::GifFile gif = test_support::parse_gif(test_support::read_file(dir / "a.gif"));
  ASSERT_TRUE(gif.well_formed);
  ASSERT_EQ(gif.frames.size(), 4u);
  const int heights[] = {360, 18, 1024, 1};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(gif.frames[i].width, 640) << "page " << i;
    EXPECT_EQ(gif.frames[i].height, heights[i]) << "page " << i;
    EXPECT_EQ(gif.frames[i].delay, 50) << "page " << i;
    EXPECT_LE(gif.frames[i].colour_count, 256) << "page " << i;
  }
}

// An 8-bit page of noise, the same noise for every size: row after row
// from the top, as the GIF writer packs it.
Bitmap noise_page(int width, int height) {
  Bitmap page(FreeImage_Allocate(width, height, 8));
  RGBQUAD* palette = FreeImage_GetPalette(page.get());
  for (int i = 0; i < 256; ++i) {
    palette[i].rgbRed = BYTE(i);
    palette[i].rgbGreen = BYTE(255 - i);
    palette[i].rgbBlue = BYTE(i * 7);
  }
  std::mt19937 noise(1);
  for (int y = height - 1; y >= 0; --y) {
    for (int x = 0; x < width; ++x) FreeImage_GetScanLine(page.get(), y)[x] = noise() & 0xFF;
  }
  return page;
}

// The library's GIF writer keeps the pending bits of its LZW codes in a
// 32-bit word and its closing codes in 4 bytes on the stack. Noise 4 pixels
// wide and 985 rows tall ends on a code packed as a sub-block fills and
// needs 5 closing bytes: an AddressSanitizer build of the library reports the
// stack overrun for it, and for none of the others here. Packed interlaced it
// ends well, and looks the same.
TEST(PreviewAnimation, PagesTheGifWriterWouldOverrunAreStoredInterlaced) {
  const struct {
    int width, height;
    bool plain_order_safe;
  } cases[] = {{4, 985, false}, {1, 3940, false}, {4, 984, true}, {640, 360, true}};
  for (const auto& c : cases) {
    const Bitmap page = noise_page(c.width, c.height);
    EXPECT_EQ(gif_writer_packs_safely(page.get(), false), c.plain_order_safe) << c.width << "x" << c.height;
    PreviewAnimation animation;
    animation.add_page(page.get());
    test_support::TempDir dir;
    write_animation(animation, dir / "a.gif");
    const test_support::GifFile gif = test_support::parse_gif(test_support::read_file(dir / "a.gif"));
    ASSERT_TRUE(gif.well_formed);
    ASSERT_EQ(gif.frames.size(), 1u);
    EXPECT_EQ(gif.frames[0].interlaced, !c.plain_order_safe) << c.width << "x" << c.height;
    const Bitmap read(FreeImage_Load(FIF_GIF, (dir / "a.gif").c_str(), 0));
    ASSERT_TRUE(read) << c.width << "x" << c.height;
    const RGBQUAD* palette = FreeImage_GetPalette(read.get());
    int wrong = 0;
    for (int y = 0; y < c.height; ++y) {
      for (int x = 0; x < c.width; ++x) {
        const BYTE expected = FreeImage_GetScanLine(page.get(), y)[x];
        const RGBQUAD got = palette[FreeImage_GetScanLine(read.get(), y)[x]];
        wrong += got.rgbRed != expected || got.rgbGreen != BYTE(255 - expected);
      }
    }
    EXPECT_EQ(wrong, 0) << c.width << "x" << c.height;
  }
}

}  // namespace
}  // namespace interlace
