#include "decoder/view_loader.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>

#include "exit_status.h"
#include "decoder/view_checks.h"
#include "decoder/view_decoding.h"
#include "view_problem.h"
#include "formats/bmp.h"
#include "test_support.h"

namespace interlace {
namespace {

using test_support::Bytes;

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
}

// A complete 24-bit BMP of w x h as the library writes it.
Bytes bmp_bytes(int w, int h) {
  test_support::TempDir dir;
  const Bitmap bitmap(test_support::random_bitmap(w, h, 3));
  FreeImage_Save(FIF_BMP, bitmap.get(), (dir / "v.bmp").c_str(), 0);
  return test_support::read_file(dir / "v.bmp");
}

bool truncated(const Bytes& file) { return is_truncated_bmp(file.data(), file.size(), file.size()); }

TEST(TruncatedBmp, ComparesFileLengthWithWhatTheHeaderNeeds) {
  const Bytes whole = bmp_bytes(7, 5);  // rows of 24 bytes
  ASSERT_EQ(whole.size(), 54u + 5u * 24u);
  EXPECT_FALSE(truncated(whole));

  Bytes one_short(whole.begin(), whole.end() - 1);
  EXPECT_TRUE(truncated(one_short));

  Bytes header_only(whole.begin(), whole.begin() + 54);  // "8000 x 8000" with no pixels
  put32(header_only, 18, 8000);
  put32(header_only, 22, 8000);
  EXPECT_TRUE(truncated(header_only));

  Bytes top_down = whole;
  put32(top_down, 22, static_cast<std::uint32_t>(-5));
  EXPECT_FALSE(truncated(top_down));
  put32(top_down, 22, 0x80000000u);  // the most negative height
  EXPECT_TRUE(truncated(top_down));

  Bytes huge_width = whole;
  put32(huge_width, 18, 0x7fffffffu);
  EXPECT_TRUE(truncated(huge_width));

  Bytes zero_width = whole;
  put32(zero_width, 18, 0);
  EXPECT_TRUE(truncated(zero_width));

  Bytes far_offset = whole;
  put32(far_offset, 10, 0xfffffff0u);
  EXPECT_TRUE(truncated(far_offset));

  Bytes run_length = header_only;  // RLE data is checked by the decoder itself
  put32(run_length, 30, 1);
  EXPECT_FALSE(truncated(run_length));

  const Bytes not_bmp = {0x89, 'P', 'N', 'G', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(truncated(not_bmp));
}

// Loading a view leaves 24-bit views byte for byte as stored, and opaque
// views of other depths as the library's own conversion gives them.
TEST(LoadView, ConvertsOtherDepthsTo24Bits) {
  const struct {
    const char* format;
    const char* depth;
  } cases[] = {{"BMP", "24"}, {"BMP", "8"}, {"BMP", "pal"}, {"BMP", "32"}, {"PNG", "48"}, {"PNG", "32"}, {"TIFF", "24"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.format << " " << c.depth);
    test_support::TempDir dir;
    ASSERT_TRUE(test_support::make_views(dir / "s", 1, 13, 6, c.format, c.depth));
    const std::string name = dir / "s_rs_c01.bmp";
    const Bitmap stored(test_support::load_quietly(FreeImage_GetFileType(name.c_str(), 0), name));
    const bool already_24 = FreeImage_GetImageType(stored.get()) == FIT_BITMAP && FreeImage_GetBPP(stored.get()) == 24;
    const Bitmap expected(already_24 ? FreeImage_Clone(stored.get()) : FreeImage_ConvertTo24Bits(stored.get()));

    std::optional<ViewSize> size;
    const Bitmap view = load_view(dir / "s", 1, 1, size);
    ASSERT_EQ(FreeImage_GetBPP(view.get()), 24u);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, 13);
    EXPECT_EQ(size->height, 6);
    for (int y = 0; y < 6; ++y) {
      EXPECT_EQ(std::memcmp(FreeImage_GetScanLine(view.get(), y), FreeImage_GetScanLine(expected.get(), y), 39), 0)
          << "row " << y;
    }
  }
}

TEST(LoadView, RefusesViewsThatCantBeUsed) {
  test_support::TempDir dir;
  ASSERT_TRUE(test_support::make_views(dir / "s", 2, 12, 8));
  ASSERT_TRUE(test_support::make_views(dir / "odd", 1, 12, 9));
  const auto status_of = [&](const std::string& base, int n, int views, std::optional<ViewSize> size) {
    try {
      load_view(base, n, views, size);
      return ExitStatus::Done;
    } catch (const Failure& failure) {
      return failure.status();
    }
  };
  const std::optional<ViewSize> twelve_by_eight = ViewSize{12, 8};
  EXPECT_EQ(status_of(dir / "s", 2, 2, twelve_by_eight), ExitStatus::Done);
  EXPECT_EQ(status_of(dir / "s", 3, 3, twelve_by_eight), ExitStatus::BadView);     // missing
  EXPECT_EQ(status_of(dir / "odd", 1, 2, twelve_by_eight), ExitStatus::BadView);   // other height
  EXPECT_EQ(status_of(dir / "s", 1, 13, std::nullopt), ExitStatus::BadView);        // narrower than N
  EXPECT_EQ(status_of(dir / "s", 1, 12, std::nullopt), ExitStatus::Done);           // exactly N wide
}

// A plain 32-bit BMP's fourth byte is padding, usually zero: the picture is
// opaque. Under a V5 header with an alpha mask it is alpha, laid over white.
TEST(LoadView, ThirtyTwoBitBmpHasAlphaOnlyWhereItsHeaderSaysSo) {
  test_support::TempDir dir;
  const Bitmap colours(test_support::random_bitmap(9, 4, 7));
  const Bitmap rgba(FreeImage_ConvertTo32Bits(colours.get()));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 9; ++x) FreeImage_GetScanLine(rgba.get(), y)[4 * x + 3] = static_cast<BYTE>(x * 31 + y);
  FreeImage_Save(FIF_BMP, rgba.get(), (dir / "plain.bmp").c_str(), 0);
  Bytes plain = test_support::read_file(dir / "plain.bmp");
  ASSERT_EQ(plain[28], 32);
  ASSERT_EQ(plain[30], 0);  // no bit-fields: alpha not declared

  Bytes v5(plain.begin(), plain.begin() + 54);
  v5.insert(v5.end(), 84, 0);
  v5.insert(v5.end(), plain.begin() + 54, plain.end());
  put32(v5, 2, static_cast<std::uint32_t>(v5.size()));
  put32(v5, 10, 14 + 124);
  put32(v5, 14, 124);
  put32(v5, 30, 3);  // bit-fields
  const std::uint32_t masks[] = {0x00ff0000, 0x0000ff00, 0x000000ff, 0xff000000};
  for (std::size_t i = 0; i < 4; ++i) put32(v5, 54 + 4 * i, masks[i]);

  const struct {
    const char* name;
    const Bytes& file;
    bool over_white;
  } cases[] = {{"plain", plain, false}, {"V5 with alpha mask", v5, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_support::write_file(dir / "s_rs_c01.bmp", c.file);
    std::optional<ViewSize> size;
    const Bitmap view = load_view(dir / "s", 1, 1, size);
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 9; ++x) {
        const BYTE* in = FreeImage_GetScanLine(rgba.get(), y) + 4 * x;
        const BYTE* out = FreeImage_GetScanLine(view.get(), y) + 3 * x;
        for (int k = 0; k < 3; ++k) {
          const double alpha = c.over_white ? in[3] / 255.0 : 1.0;
          EXPECT_NEAR(out[k], in[k] * alpha + 255 * (1 - alpha), 0.51) << x << "," << y << " channel " << k;
        }
      }
    }
  }
}

}  // namespace
}  // namespace interlace

namespace interlace {
namespace {

// A view cut short after it was opened, while the tool's own readers walk
// it: they must stop at once, not wait for bytes the old size promised.
TEST(ViewChangedWhileRead, ShrunkWhileScannedEndsAtOnce) {
  const struct {
    FREE_IMAGE_FORMAT format;
    int flags;
  } cases[] = {{FIF_TARGA, TARGA_SAVE_RLE}, {FIF_HDR, 0}, {FIF_JPEG, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(FreeImage_GetFormatFromFIF(c.format));
    test_support::TempDir dir;
    const std::string path = dir / "v_rs_c01.bmp";
    const Bitmap picture(test_support::random_bitmap(1024, 768, 5));
    const Bitmap saved(c.format == FIF_HDR ? FreeImage_ConvertToRGBF(picture.get()) : FreeImage_Clone(picture.get()));
    ASSERT_TRUE(FreeImage_Save(c.format, saved.get(), path.c_str(), c.flags));
    OpenedView view = OpenedView::open(path);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(view.size() / 2)), 0);
    try {
      decode_view(std::move(view), DecodeRequest{});
      ADD_FAILURE() << "decoded";
    } catch (const ViewRefused& refused) {
      EXPECT_EQ(refused.problem().kind, ViewProblemKind::ChangedWhileRead);
    }
  }
}

}  // namespace
}  // namespace interlace
