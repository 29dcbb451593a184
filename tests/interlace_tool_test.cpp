// Runs the built tool as callers do and checks its files and exit status.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "reference_run.h"
#include "test_support.h"

namespace {

using test_support::Bytes;
using test_support::TempDir;

std::vector<std::string> command(const std::string& base, int views, int dpi) {
  return {base, "text", std::to_string(views), "0", "0", std::to_string(dpi), "0.0"};
}

int run_quietly(const std::vector<std::string>& args, const std::string& folder = ".") {
  const test_support::ToolResult result = test_support::run_tool(args, folder);
  EXPECT_EQ(result.output, "") << "the tool printed something";
  return result.status;
}

void expect_preview(const std::string& path, int views, int page_height) {
  const test_support::GifFile gif = test_support::parse_gif(test_support::read_file(path));
  ASSERT_TRUE(gif.well_formed);
  ASSERT_EQ(gif.frames.size(), static_cast<std::size_t>(views));
  for (const test_support::GifFrame& frame : gif.frames) {
    EXPECT_EQ(frame.width, 640);
    EXPECT_EQ(frame.height, page_height);
    EXPECT_EQ(frame.delay, 50);
    EXPECT_LE(frame.colour_count, 256);
  }
}

TEST(InterlaceTool, OutputsMatchAPlainRunByteForByte) {
  const struct {
    int views, width, height, dpi;
    const char* format;
    const char* depth;
    int page_height;
  } cases[] = {
      {4, 192, 108, 300, "BMP", "24", 360},
      {1, 33, 17, 72, "BMP", "24", 330},
      {3, 10, 5, 254, "BMP", "24", 320},
      {3, 11, 5, 96, "BMP", "24", 291},
      {3, 14, 5, 600, "BMP", "24", 229},
      {12, 50, 20, 150, "BMP", "24", 256},  // views 10 to 12 have no leading zero
      {2, 30, 10, 0, "PNG", "24", 213},     // PNG data under a .bmp name
      {3, 40, 21, 300, "BMP", "8", 336},
      {3, 40, 20, 300, "BMP", "pal", 320},
      {2, 40, 20, 300, "PNG", "32", 320},
      {2, 40, 20, 300, "PNG", "48", 320},
      {2, 41, 20, 300, "JPEG", "24", 312},
      {2, 40, 25, 300, "TIFF", "24", 400},
      {2, 2000, 3, 300, "BMP", "24", 1},    // would round to a page 0 high
      {2, 40, 1, 300, "BMP", "24", 16},     // one row: all black
      {1, 1, 5, 300, "BMP", "24", 3200},    // one column: all black
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.views << " views " << c.width << "x" << c.height << " " << c.format
                                    << " " << c.depth);
    TempDir dir;
    ASSERT_TRUE(test_support::make_views(dir / "s", c.views, c.width, c.height, c.format, c.depth));
    ASSERT_EQ(run_quietly(command(dir / "s", c.views, c.dpi)), 0);
    test_support::reference_run(dir / "s", c.views, c.dpi, dir / "ref.bmp", dir / "ref.gif");
    EXPECT_EQ(test_support::read_file(dir / "s_interlace.bmp"), test_support::read_file(dir / "ref.bmp"));
    EXPECT_EQ(test_support::read_file(dir / "s_animation.gif"), test_support::read_file(dir / "ref.gif"));
    expect_preview(dir / "s_animation.gif", c.views, c.page_height);

    const Bytes print = test_support::read_file(dir / "s_interlace.bmp");
    const test_support::BmpFile bmp = test_support::parse_bmp(print);
    EXPECT_EQ(bmp.width, c.width);
    EXPECT_EQ(bmp.height, c.height);
    EXPECT_EQ(bmp.bits_per_pixel, 24);
    for (int x = 0; x < c.width; ++x) {  // the top row stays black
      EXPECT_EQ(Bytes(bmp.pixel(print, x, c.height - 1), bmp.pixel(print, x, c.height - 1) + 3), Bytes(3, 0));
    }
  }
}

TEST(InterlaceTool, ExtraArgumentsAndDirectoryPartsChangeNothing) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
  ASSERT_TRUE(test_support::make_views(dir / "out/scene", 3, 60, 30));
  ASSERT_EQ(run_quietly(command("out/scene", 3, 300), dir.path()), 0);
  const Bytes print = test_support::read_file(dir / "out/scene_interlace.bmp");
  const Bytes preview = test_support::read_file(dir / "out/scene_animation.gif");
  ASSERT_FALSE(print.empty());
  ASSERT_FALSE(preview.empty());

  std::vector<std::string> extra = command("out/scene", 3, 300);
  extra.insert(extra.end(), {"eighth", "--ninth"});
  ASSERT_EQ(run_quietly(extra, dir.path()), 0);
  EXPECT_EQ(test_support::read_file(dir / "out/scene_interlace.bmp"), print);
  EXPECT_EQ(test_support::read_file(dir / "out/scene_animation.gif"), preview);
  EXPECT_EQ(test_support::snapshot(dir.path()).size(), 6u);  // out/, three views, two outputs
}

// An output that is a symbolic link is replaced as a name: the link gives
// way to the new file, and whatever it pointed at stays as it was.
TEST(InterlaceTool, OutputsThatAreSymbolicLinksAreReplacedAsNames) {
  for (const bool dangling : {false, true}) {
    SCOPED_TRACE(dangling ? "dangling link" : "link to a file");
    TempDir dir;
    ASSERT_TRUE(test_support::make_views(dir / "s", 2, 30, 12));
    if (!dangling) test_support::write_file(dir / "elsewhere", {'o', 'l', 'd'});
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "s_interlace.bmp").c_str()), 0);
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "s_animation.gif").c_str()), 0);
    ASSERT_EQ(run_quietly(command(dir / "s", 2, 300)), 0);
    struct stat info {};
    ASSERT_EQ(lstat((dir / "s_interlace.bmp").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(test_support::parse_bmp(test_support::read_file(dir / "s_interlace.bmp")).width, 30);
    EXPECT_EQ(test_support::file_exists(dir / "elsewhere"), !dangling);
    if (!dangling) {
      EXPECT_EQ(test_support::read_file(dir / "elsewhere"), (Bytes{'o', 'l', 'd'}));
    }
  }
}

TEST(InterlaceTool, LongBaseNameThroughDeepFolders) {
  TempDir dir;
  std::string folder = dir.path();
  for (int depth = 0; depth < 6; ++depth) {
    folder += "/" + std::string(50, static_cast<char>('a' + depth));
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  }
  const std::string base = folder + "/" + std::string(40, 'v');
  ASSERT_GT(base.size(), 300u);
  ASSERT_TRUE(test_support::make_views(base, 2, 20, 10));
  EXPECT_EQ(run_quietly(command(base, 2, 300)), 0);
  expect_preview(base + "_animation.gif", 2, 320);
}

// Each refused run leaves the folder, earlier outputs included, as it was.
TEST(InterlaceTool, RefusalsLeaveTheFolderUntouched) {
  const auto three_views = [](const TempDir& d) { ASSERT_TRUE(test_support::make_views(d / "s", 3, 30, 12)); };
  const struct {
    const char* what;
    std::function<void(const TempDir&)> prepare;
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {"six arguments", three_views, {"s", "t", "3", "0", "0", "300"}, 1},
      {"no view count", three_views, {"s", "t", "x", "0", "0", "300", "0"}, 1},
      {"zero views", three_views, {"s", "t", "0", "0", "0", "300", "0"}, 1},
      {"101 views", three_views, {"s", "t", "101", "0", "0", "300", "0"}, 1},
      {"no resolution", three_views, {"s", "t", "3", "0", "0", "high", "0"}, 1},
      {"negative resolution", three_views, {"s", "t", "3", "0", "0", "-300", "0"}, 1},
      {"resolution past the header", three_views, {"s", "t", "3", "0", "0", "99999999", "0"}, 1},
      {"missing view", three_views, {"s", "t", "4", "0", "0", "300", "0"}, 2},
      {"view narrower than N",
       [](const TempDir& d) { ASSERT_TRUE(test_support::make_views(d / "s", 3, 2, 12)); },
       {"s", "t", "3", "0", "0", "300", "0"}, 2},
      {"view of another size",
       [&](const TempDir& d) {
         three_views(d);
         ASSERT_TRUE(test_support::make_views(d / "other", 2, 30, 13));
         rename((d / "other_rs_c02.bmp").c_str(), (d / "s_rs_c02.bmp").c_str());
         remove((d / "other_rs_c01.bmp").c_str());
       },
       {"s", "t", "3", "0", "0", "300", "0"}, 2},
      {"folder as view",
       [&](const TempDir& d) {
         three_views(d);
         remove((d / "s_rs_c03.bmp").c_str());
         mkdir((d / "s_rs_c03.bmp").c_str(), 0755);
       },
       {"s", "t", "3", "0", "0", "300", "0"}, 2},
      {"empty view",
       [&](const TempDir& d) {
         three_views(d);
         test_support::write_file(d / "s_rs_c02.bmp", {});
       },
       {"s", "t", "3", "0", "0", "300", "0"}, 2},
      {"truncated BMP",
       [&](const TempDir& d) {
         three_views(d);
         Bytes view = test_support::read_file(d / "s_rs_c02.bmp");
         view.resize(view.size() - 10);
         test_support::write_file(d / "s_rs_c02.bmp", view);
       },
       {"s", "t", "3", "0", "0", "300", "0"}, 2},
      {"truncated PNG",
       [&](const TempDir& d) {
         ASSERT_TRUE(test_support::make_views(d / "s", 3, 30, 12, "PNG"));
         Bytes view = test_support::read_file(d / "s_rs_c03.bmp");
         view.resize(view.size() / 2);
         test_support::write_file(d / "s_rs_c03.bmp", view);
       },
       {"s", "t", "3", "0", "0", "300", "0"}, 2},
      {"not an image",
       [&](const TempDir& d) {
         three_views(d);
         test_support::write_file(d / "s_rs_c01.bmp", Bytes(500, 'x'));
       },
       {"s", "t", "3", "0", "0", "300", "0"}, 2},
      {"preview taller than a GIF page can be",
       [](const TempDir& d) { ASSERT_TRUE(test_support::make_views(d / "s", 3, 3, 400)); },
       {"s", "t", "3", "0", "0", "300", "0"}, 3},
      {"PSD view, a format whose decoder crashes on damaged files",
       [](const TempDir& d) { ASSERT_TRUE(test_support::make_views(d / "s", 3, 30, 12, "PSD")); },
       {"s", "t", "3", "0", "0", "300", "0"}, 2},
      {"ICO view, likewise",
       [](const TempDir& d) { ASSERT_TRUE(test_support::make_views(d / "s", 3, 32, 32, "ICO")); },
       {"s", "t", "3", "0", "0", "300", "0"}, 2},
      {"print image name taken by a folder",
       [&](const TempDir& d) {
         three_views(d);
         mkdir((d / "s_interlace.bmp").c_str(), 0755);
       },
       {"s", "t", "3", "0", "0", "300", "0"}, 3},
      {"preview name taken by a folder",
       [&](const TempDir& d) {
         three_views(d);
         mkdir((d / "s_animation.gif").c_str(), 0755);
       },
       {"s", "t", "3", "0", "0", "300", "0"}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    c.prepare(dir);
    // Earlier outputs, unless the case put a folder in their place.
    if (!test_support::file_exists(dir / "s_interlace.bmp")) test_support::write_file(dir / "s_interlace.bmp", {'o', 'l', 'd'});
    if (!test_support::file_exists(dir / "s_animation.gif")) test_support::write_file(dir / "s_animation.gif", {'o', 'l', 'd'});
    const auto before = test_support::snapshot(dir.path());
    EXPECT_EQ(run_quietly(c.args, dir.path()), c.status);
    EXPECT_EQ(test_support::snapshot(dir.path()), before);
  }
}

}  // namespace
