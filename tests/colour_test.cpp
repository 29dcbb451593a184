// Views tagged with colour profiles print as a colour-managed reader shows
// them (ImageMagick's -profile, perceptual, no black-point compensation),
// within a mean CIEDE2000 of 1; views tagged sRGB print byte for byte as
// untagged ones; TIFF orientations turn as ImageMagick's -auto-orient does.

#include <lcms2.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "test_support.h"

namespace {

using test_support::Bytes;
using test_support::TempDir;

const std::string kIcc = "/usr/share/color/icc/";
const std::string kSrgb = kIcc + "sRGB.icc";

bool run(const std::string& command, const TempDir& dir) { return test_support::run_shell(command, dir.path()); }

using test_support::output_of;

std::string missing_helpers() {
  if (std::system("command -v convert >/dev/null 2>&1") != 0) return "ImageMagick's convert";
  for (const char* file : {"sRGB.icc", "colord/AdobeRGB1998.icc", "ghostscript/default_cmyk.icc", "Gray.icc"}) {
    if (!std::ifstream(kIcc + file)) return kIcc + file + " (icc-profiles-free, colord-data, libgs-common)";
  }
  return {};
}

// Profiles no Debian package ships, made with Little CMS: the primaries of
// Display P3 and Rec. 2020 with sRGB's tone curve, as phones write them, and
// DCI-P3 with its own white and gamma 2.6 (`gamma` 0: sRGB's curve; -1:
// BT.709's, as video and AVIF files may say by code points).
void save_profile(const std::string& path, const char* name, const cmsCIExyYTRIPLE& primaries,
                  cmsCIExyY white = {0.3127, 0.3290, 1}, double gamma = 0) {
  const double srgb_curve[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  const double bt709_curve[] = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
  cmsToneCurve* curve = gamma > 0 ? cmsBuildGamma(nullptr, gamma)
                                  : cmsBuildParametricToneCurve(nullptr, 4, gamma < 0 ? bt709_curve : srgb_curve);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsMLU* description = cmsMLUalloc(nullptr, 1);
  cmsMLUsetASCII(description, "en", "US", name);
  cmsWriteTag(profile, cmsSigProfileDescriptionTag, description);
  cmsSaveProfileToFile(profile, path.c_str());
  cmsMLUfree(description);
  cmsCloseProfile(profile);
  cmsFreeToneCurve(curve);
}

// sRGB (D65) to CIELAB (D65), for CIEDE2000.
struct Lab {
  double l, a, b;
};

double linear(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }

Lab lab_of(const unsigned char* rgb) {
  const double r = linear(rgb[0] / 255.0), g = linear(rgb[1] / 255.0), b = linear(rgb[2] / 255.0);
  const double xyz[3] = {(0.4124 * r + 0.3576 * g + 0.1805 * b) / 0.95047, 0.2126 * r + 0.7152 * g + 0.0722 * b,
                         (0.0193 * r + 0.1192 * g + 0.9505 * b) / 1.08883};
  double f[3];
  for (int i = 0; i < 3; ++i) f[i] = xyz[i] > 216.0 / 24389 ? std::cbrt(xyz[i]) : (24389.0 / 27 * xyz[i] + 16) / 116;
  return {116 * f[1] - 16, 500 * (f[0] - f[1]), 200 * (f[1] - f[2])};
}

double ciede2000(const Lab& p, const Lab& q) {
  const double pi = std::acos(-1.0), deg = pi / 180;
  const double c1 = std::hypot(p.a, p.b), c2 = std::hypot(q.a, q.b), cm = (c1 + c2) / 2;
  const double g = 0.5 * (1 - std::sqrt(std::pow(cm, 7) / (std::pow(cm, 7) + std::pow(25.0, 7))));
  const double a1 = (1 + g) * p.a, a2 = (1 + g) * q.a;
  const double c1p = std::hypot(a1, p.b), c2p = std::hypot(a2, q.b);
  const auto hue = [&](double b, double a) {
    const double h = std::atan2(b, a) / deg;
    return (b == 0 && a == 0) ? 0.0 : h < 0 ? h + 360 : h;
  };
  const double h1 = hue(p.b, a1), h2 = hue(q.b, a2);
  double dh = h2 - h1;
  if (c1p * c2p == 0) dh = 0;
  else if (dh > 180) dh -= 360;
  else if (dh < -180) dh += 360;
  const double dl = q.l - p.l, dc = c2p - c1p, dhh = 2 * std::sqrt(c1p * c2p) * std::sin(dh / 2 * deg);
  const double lm = (p.l + q.l) / 2, cmp = (c1p + c2p) / 2;
  double hm = h1 + h2;
  if (c1p * c2p != 0) hm = std::abs(h1 - h2) > 180 ? (h1 + h2 + (h1 + h2 < 360 ? 360 : -360)) / 2 : (h1 + h2) / 2;
  const double t = 1 - 0.17 * std::cos((hm - 30) * deg) + 0.24 * std::cos(2 * hm * deg) +
                   0.32 * std::cos((3 * hm + 6) * deg) - 0.20 * std::cos((4 * hm - 63) * deg);
  const double sl = 1 + 0.015 * (lm - 50) * (lm - 50) / std::sqrt(20 + (lm - 50) * (lm - 50));
  const double sc = 1 + 0.045 * cmp, sh = 1 + 0.015 * cmp * t;
  const double rt = -2 * std::sqrt(std::pow(cmp, 7) / (std::pow(cmp, 7) + std::pow(25.0, 7))) *
                    std::sin(60 * std::exp(-std::pow((hm - 275) / 25, 2)) * deg);
  return std::sqrt(std::pow(dl / sl, 2) + std::pow(dc / sc, 2) + std::pow(dhh / sh, 2) + rt * (dc / sc) * (dhh / sh));
}

// Mean CIEDE2000 between the one-view print image and `reference` (RGB,
// top row first), over every pixel the print image writes: all but its top
// row and rightmost column.
double mean_difference(const Bytes& print_file, const Bytes& reference) {
  const test_support::BmpFile bmp = test_support::parse_bmp(print_file);
  if (reference.size() != static_cast<std::size_t>(bmp.width) * static_cast<std::size_t>(bmp.height) * 3) return 1e9;
  double sum = 0;
  long count = 0;
  for (int y = 0; y < bmp.height - 1; ++y) {    // stored rows, bottom up
    for (int x = 0; x < bmp.width - 1; ++x) {
      const unsigned char* bgr = bmp.pixel(print_file, x, y);
      const unsigned char ours[3] = {bgr[2], bgr[1], bgr[0]};
      const std::size_t at = static_cast<std::size_t>((bmp.height - 1 - y) * bmp.width + x) * 3;
      sum += ciede2000(lab_of(&reference[at]), lab_of(ours));
      ++count;
    }
  }
  return sum / static_cast<double>(count);
}

std::vector<std::string> one_view(const TempDir& dir) { return {dir / "s", "-", "1", "0", "0", "300", "0"}; }

TEST(ColourProfiles, TaggedViewsPrintAsAColourManagedReaderShowsThem) {
  const std::string missing = missing_helpers();
  if (!missing.empty()) GTEST_SKIP() << "needs " << missing;
  TempDir dir;
  save_profile(dir / "p3.icc", "Display P3", {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}});
  save_profile(dir / "rec2020.icc", "Rec. 2020", {{0.708, 0.292, 1}, {0.170, 0.797, 1}, {0.131, 0.046, 1}});
  save_profile(dir / "dci-p3.icc", "DCI-P3", {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}},
               {0.314, 0.351, 1}, 2.6);
  save_profile(dir / "rec2020-709.icc", "Rec. 2020, BT.709 curve", {{0.708, 0.292, 1}, {0.170, 0.797, 1}, {0.131, 0.046, 1}},
               {0.3127, 0.3290, 1}, -1);
  ASSERT_TRUE(run("convert -seed 3 -size 96x64 plasma:fractal -depth 8 chart.png", dir));
  // Formats ImageMagick reads through the tool's own library are encoded
  // from the tagged PNG and read back by their encoders' own decoders; where
  // a file gives its colours by code points, the reference is given the
  // profile they name.
  const std::string from_png = "rm -f w.*; ";
  const struct {
    std::string profile, file;  // the view's profile, and its file with the options that write it
    std::string encode = {}, decode = {};  // from v.png to the view w.*; from it to ref.png
  } cases[] = {
      {kIcc + "colord/AdobeRGB1998.icc", "v.jpg"},   {kIcc + "colord/AdobeRGB1998.icc", "v.tif"},
      {kIcc + "colord/AdobeRGB1998.icc", "v.png"},   {kIcc + "colord/AdobeRGB1998.icc", "v.webp"},
      {kIcc + "colord/ProPhotoRGB.icc", "v.jpg"},    {kIcc + "colord/ProPhotoRGB.icc", "-depth 16 v.tif"},
      {kIcc + "colord/ProPhotoRGB.icc", "-depth 16 v.png"},
      {dir / "p3.icc", "v.jpg"},                     {dir / "p3.icc", "v.webp"},
      {dir / "rec2020.icc", "v.png"},                {dir / "rec2020.icc", "v.tif"},
      {dir / "dci-p3.icc", "v.jpg"},                 {dir / "dci-p3.icc", "v.png"},
      {kIcc + "ghostscript/ps_cmyk.icc", "v.tif"},
      {kIcc + "ghostscript/default_cmyk.icc", "v.jpg"}, {kIcc + "ghostscript/default_cmyk.icc", "v.tif"},
      {kIcc + "Gray.icc", "-colorspace gray v.png"}, {kIcc + "Gray.icc", "-colorspace gray v.tif"},
      // Alpha, laid over white after the conversion: grey with alpha, which
      // the library hands over as colour, and colour with alpha.
      {kIcc + "Gray.icc", "-colorspace gray -alpha set -channel A -fx '0.3+0.6*i/w' +channel v.png"},
      {kIcc + "colord/AdobeRGB1998.icc", "-alpha set -channel A -fx '0.3+0.6*j/h' +channel v.png"},
      // As phones save them: HEIC with a Display P3 profile; AVIF and JPEG
      // XL with profiles; colours by code points (Display P3, BT.2020 with
      // BT.709's curve), with no profile.
      {dir / "p3.icc", "v.png", "heif-enc -q 95 v.png -o w.heic", "heif-convert w.heic ref.png"},
      {kIcc + "colord/AdobeRGB1998.icc", "v.png", "avifenc v.png w.avif", "avifdec w.avif ref.png"},
      {dir / "p3.icc", "v.png", "cjxl v.png w.jxl -d 1", "djxl w.jxl ref.png"},
      {dir / "p3.icc", "v.png", "avifenc --ignore-icc --cicp 12/13/1 v.png w.avif",
       "avifdec w.avif r.png && convert r.png -profile p3.icc ref.png"},
      {dir / "rec2020-709.icc", "v.png", "avifenc --ignore-icc --cicp 9/14/9 v.png w.avif",
       "avifdec w.avif r.png && convert r.png -profile rec2020-709.icc ref.png"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.profile + " in " + c.file + " " + c.encode);
    const std::string file = c.file.substr(c.file.rfind(' ') + 1);
    const std::string options = c.file.substr(0, c.file.size() - file.size());
    ASSERT_TRUE(run("rm -f s_*; convert chart.png " + options + "-profile " + kSrgb + " -profile '" + c.profile +
                        "' -quality 95 " + file + " && cp " + file + " s_rs_c01.bmp",
                    dir));
    if (!c.encode.empty()) {
      ASSERT_TRUE(run(from_png + c.encode + " && cp w.* s_rs_c01.bmp && " + c.decode, dir)) << c.encode;
    }
    const std::string reference = dir / (c.encode.empty() ? file : "ref.png");
    ASSERT_EQ(test_support::run_tool(one_view(dir)).status, 0);
    const Bytes print = test_support::read_file(dir / "s_interlace.bmp");
    // Over white paper, where a view has alpha: after the conversion.
    const std::string over_white = " -background white -alpha remove -alpha off -depth 8 rgb:- 2>/dev/null";
    const Bytes managed = output_of("convert '" + reference + "' -profile " + kSrgb + over_white);
    const Bytes unmanaged = output_of("convert '" + reference + "' -colorspace sRGB" + over_white);
    EXPECT_LE(mean_difference(print, managed), 1.0);
    // The profile matters: read without it, the view shows other colours.
    EXPECT_GT(mean_difference(print, unmanaged), 1.0);
  }
}

// A view tagged sRGB, in all but name, keeps its bytes: its print image is
// the untagged view's.
TEST(ColourProfiles, SrgbTaggedViewsKeepTheirBytes) {
  const std::string missing = missing_helpers();
  if (!missing.empty()) GTEST_SKIP() << "needs " << missing;
  TempDir dir;
  ASSERT_TRUE(run("convert -seed 5 -size 96x64 plasma:fractal -depth 8 chart.png", dir));
  for (const std::string& profile : {kSrgb, kIcc + "colord/sRGB.icc", kIcc + "ghostscript/srgb.icc"}) {
    for (const char* file_name : {"v.png", "v.tif"}) {
      const std::string file = file_name;
      SCOPED_TRACE(profile + " in " + file);
      ASSERT_TRUE(run("rm -f s_*; convert chart.png -strip " + file + " && cp " + file + " s_rs_c01.bmp", dir));
      ASSERT_EQ(test_support::run_tool(one_view(dir)).status, 0);
      const Bytes untagged = test_support::read_file(dir / "s_interlace.bmp");
      ASSERT_TRUE(run("rm -f s_*; convert " + file + " +profile '*' -profile '" + profile + "' t" + file +
                          " && cp t" + file + " s_rs_c01.bmp",
                      dir));
      ASSERT_EQ(test_support::run_tool(one_view(dir)).status, 0);
      EXPECT_TRUE(test_support::read_file(dir / "s_interlace.bmp") == untagged);
    }
  }
}

TEST(ColourProfiles, TiffOrientationsTurnAsViewersShowThem) {
  if (std::system("command -v convert >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs ImageMagick's convert";
  TempDir dir;
  ASSERT_TRUE(run("convert -seed 7 -size 96x64 plasma:fractal -depth 8 chart.png", dir));
  for (const char* orientation : {"TopLeft", "TopRight", "BottomRight", "BottomLeft", "LeftTop", "RightTop",
                                  "RightBottom", "LeftBottom"}) {
    SCOPED_TRACE(orientation);
    ASSERT_TRUE(run(std::string("rm -f s_*; convert chart.png -orient ") + orientation + " s_rs_c01.bmp.tif && "
                        "mv s_rs_c01.bmp.tif s_rs_c01.bmp",
                    dir));
    ASSERT_EQ(test_support::run_tool(one_view(dir)).status, 0);
    const Bytes upright =
        output_of("convert 'tiff:" + (dir / "s_rs_c01.bmp") + "' -auto-orient -depth 8 rgb:- 2>/dev/null");
    EXPECT_EQ(mean_difference(test_support::read_file(dir / "s_interlace.bmp"), upright), 0.0);
    // JPEG-compressed (YCbCr), which the library reads through libtiff's
    // RGBA interface, turned by the tag partly already: it prints as the
    // uncompressed file does. (ImageMagick turns these twice.)
    if (std::system("command -v tiffcp >/dev/null 2>&1") != 0) continue;
    ASSERT_TRUE(run("tiffcp -c jpeg:95 s_rs_c01.bmp j.tif && mv j.tif s_rs_c01.bmp", dir));
    ASSERT_EQ(test_support::run_tool(one_view(dir)).status, 0);
    EXPECT_LE(mean_difference(test_support::read_file(dir / "s_interlace.bmp"), upright), 8.0);  // turned wrongly: 20 and more
  }
}

// A grey TIFF as Pillow writes it (no SamplesPerPixel tag, so no extra
// sample): the library makes up a transparency table for it, which must not
// be laid over white. Uncompressed, and LZW-compressed by tiffcp.
Bytes pillow_like_grey_tiff(int width, int height) {
  Bytes tiff{'I', 'I', 42, 0, 8, 0, 0, 0};
  const auto put16 = [&tiff](unsigned v) {
    tiff.push_back(static_cast<unsigned char>(v));
    tiff.push_back(static_cast<unsigned char>(v >> 8));
  };
  const auto put32 = [&](unsigned v) { put16(v & 0xFFFF), put16(v >> 16); };
  const unsigned entries = 8, pixels_at = 8 + 2 + entries * 12 + 4;
  const unsigned tags[entries][3] = {{256, 4, unsigned(width)}, {257, 4, unsigned(height)}, {258, 3, 8},
                                     {259, 3, 1}, {262, 3, 1}, {273, 4, pixels_at},
                                     {278, 4, unsigned(height)}, {279, 4, unsigned(width * height)}};
  put16(entries);
  for (const auto& tag : tags) {
    put16(tag[0]), put16(tag[1]), put32(1);
    tag[1] == 3 ? (put16(tag[2]), put16(0)) : put32(tag[2]);
  }
  put32(0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) tiff.push_back(static_cast<unsigned char>((x * 7 + y * 13) % 256));
  return tiff;
}

TEST(GreyViews, GreyTiffWithoutAnExtraSamplePrintsAsStored) {
  const int width = 48, height = 32;
  TempDir dir;
  test_support::write_file(dir / "plain.tif", pillow_like_grey_tiff(width, height));
  std::vector<std::string> files{"plain.tif"};
  if (run("tiffcp -c lzw plain.tif lzw.tif", dir)) files.push_back("lzw.tif");
  else std::printf("tiffcp (libtiff-tools) is missing: the LZW case is skipped\n");
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    ASSERT_TRUE(run("rm -f s_*; cp " + file + " s_rs_c01.bmp", dir));
    ASSERT_EQ(test_support::run_tool(one_view(dir)).status, 0);
    Bytes stored;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) stored.insert(stored.end(), 3, static_cast<unsigned char>((x * 7 + y * 13) % 256));
    EXPECT_EQ(mean_difference(test_support::read_file(dir / "s_interlace.bmp"), stored), 0.0);
  }
}

}  // namespace

namespace {

// A profile's name is the view's own text: interlace-check shows it with
// its control characters escaped, so a name can't forge report lines or
// work the terminal (OSC 52 sets the clipboard).
TEST(ColourProfiles, ProfileNamesAreShownEscaped) {
  const std::string missing = missing_helpers();
  if (!missing.empty()) GTEST_SKIP() << "needs " << missing;
  TempDir dir;
  save_profile(dir / "named.icc", "P3\x1b]52;c;aGk=\x07\nview 2: forged\xc2\x9b" "2J",
               {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}});
  ASSERT_TRUE(run("convert -size 64x48 xc:orange -profile " + kSrgb + " -profile named.icc v.png && cp v.png s_rs_c01.bmp",
                  dir));
  const test_support::ToolResult check = test_support::run_check(one_view(dir));
  EXPECT_EQ(check.status, 0);
  for (const char* raw : {"\x1b", "\x07", "\nview 2: forged", "\xc2\x9b"}) {
    EXPECT_EQ(check.output.find(raw), std::string::npos) << check.output;
  }
  EXPECT_NE(check.output.find("forged\\u009b2J"), std::string::npos) << check.output;
}

}  // namespace
