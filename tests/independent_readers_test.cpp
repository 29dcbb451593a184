// ImageMagick, a reader that shares no code with the tool's library, reads
// both outputs the way the tool promises them.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>

#include "test_support.h"

namespace {

bool has_identify() { return std::system("command -v identify >/dev/null 2>&1") == 0; }

std::string identify(const std::string& format, const std::string& path) {
  std::string output;
  const std::string command = "identify -format '" + format + "' '" + path + "' 2>/dev/null";
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
  }
  return output;
}

TEST(IndependentReaders, ImageMagickReadsBothOutputs) {
  if (!has_identify()) GTEST_SKIP() << "ImageMagick's identify is not installed (CI installs imagemagick)";
  const struct {
    int views, width, height, dpi, page_height;
  } cases[] = {{4, 192, 108, 300, 360}, {3, 100, 150, 72, 960}, {1, 700, 20, 600, 18}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.views << " views of " << c.width << "x" << c.height);
    test_support::TempDir dir;
    ASSERT_TRUE(test_support::make_views(dir / "s", c.views, c.width, c.height));
    const std::vector<std::string> args{dir / "s", "t", std::to_string(c.views), "0", "0", std::to_string(c.dpi), "0"};
    ASSERT_EQ(test_support::run_tool(args).status, 0);

    std::istringstream pages(identify("%w %h %T %m\\n", dir / "s_animation.gif"));
    int count = 0, width = 0, height = 0, delay = 0;
    std::string format;
    while (pages >> width >> height >> delay >> format) {
      ++count;
      EXPECT_EQ(width, 640);
      EXPECT_EQ(height, c.page_height);
      EXPECT_EQ(delay, 50);
      EXPECT_EQ(format, "GIF");
    }
    EXPECT_EQ(count, c.views);

    std::istringstream print(identify("%w %h %x %U %m %[channels]", dir / "s_interlace.bmp"));
    double per_centimetre = 0;
    std::string units, channels;
    print >> width >> height >> per_centimetre >> units >> format >> channels;
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(height, c.height);
    EXPECT_EQ(units, "PixelsPerCentimeter");
    EXPECT_EQ(std::lround(per_centimetre * 100), std::lround(std::floor(c.dpi * 39.37 + 0.5)));
    EXPECT_EQ(format, "BMP3");  // the plain Windows 3 header, no alpha
    EXPECT_EQ(channels, "srgb");
  }
}

}  // namespace
