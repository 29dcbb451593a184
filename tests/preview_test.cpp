#include "output/output_commit.h"
#include "pipeline/preview.h"

#include <gtest/gtest.h>

#include "bitmap.h"
#include "test_support.h"

namespace interlace {
namespace {

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
  {
    OutputFile out(dir / "a.gif");
    animation.write(out);
    out.finish();
    replace_targets({&out});
  }
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

}  // namespace
}  // namespace interlace
