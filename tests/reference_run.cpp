#include "reference_run.h"

#include "test_support.h"

#include <FreeImage.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace test_support {

namespace {

FIBITMAP* load(const std::string& base, int n) {
  char name[4096];
  std::snprintf(name, sizeof name, "%s_rs_c%02d.bmp", base.c_str(), n);
  FREE_IMAGE_FORMAT format = FreeImage_GetFileType(name, 0);
  if (format == FIF_UNKNOWN) format = FreeImage_GetFIFFromFilename(name);
  FIBITMAP* view = test_support::load_quietly(format, name);
  if (FreeImage_GetImageType(view) != FIT_BITMAP || FreeImage_GetBPP(view) != 24) {
    FIBITMAP* converted = FreeImage_ConvertTo24Bits(view);
    FreeImage_Unload(view);
    view = converted;
  }
  return view;
}

void append_preview_page(FIMULTIBITMAP* animation, FIBITMAP* view, int w, int h) {
  int ph = static_cast<int>(std::floor(static_cast<double>(640LL * h) / w + 0.5));
  if (ph < 1) ph = 1;
  FIBITMAP* resampled = FreeImage_Rescale(view, 640, ph, FILTER_BILINEAR);
  FIBITMAP* page = FreeImage_ColorQuantize(resampled, FIQ_WUQUANT);
  FreeImage_SetMetadata(FIMD_ANIMATION, page, nullptr, nullptr);
  FITAG* tag = FreeImage_CreateTag();
  int frame_time = static_cast<int>(1000.0f / 2.0f + 0.5f);
  FreeImage_SetTagKey(tag, "FrameTime");
  FreeImage_SetTagType(tag, FIDT_LONG);
  FreeImage_SetTagCount(tag, 1);
  FreeImage_SetTagLength(tag, 4);
  FreeImage_SetTagValue(tag, &frame_time);
  FreeImage_SetMetadata(FIMD_ANIMATION, page, FreeImage_GetTagKey(tag), tag);
  FreeImage_DeleteTag(tag);
  FreeImage_AppendPage(animation, page);
  FreeImage_Unload(resampled);
  FreeImage_Unload(page);
}

}  // namespace

void reference_run(const std::string& base, int views, int dpi, const std::string& bmp_path,
                   const std::string& gif_path) {
  FIMULTIBITMAP* animation = FreeImage_OpenMultiBitmap(FIF_GIF, gif_path.c_str(), TRUE, FALSE, TRUE, 0);
  std::vector<FIBITMAP*> strips;
  std::vector<BYTE*> strip_bits;
  int w = 0, h = 0;
  for (int n = 1; n <= views; ++n) {
    FIBITMAP* view = load(base, n);
    h = static_cast<int>(FreeImage_GetHeight(view));
    w = static_cast<int>(FreeImage_GetWidth(view));
    strips.push_back(FreeImage_Rescale(view, w / views, h, FILTER_BSPLINE));
    strip_bits.push_back(FreeImage_GetBits(strips.back()));
    append_preview_page(animation, view, w, h);
    FreeImage_Unload(view);
  }

  const long long sp = FreeImage_GetPitch(strips[0]);
  FIBITMAP* image = FreeImage_Allocate(w, h, 24, 0, 0, 0);
  BYTE* out = FreeImage_GetBits(image);
  const long long op = FreeImage_GetPitch(image);
  for (long long j = 0; j < h - 1; ++j) {
    for (long long k = 0; k < w - 1; ++k) {
      const BYTE* from = strip_bits[static_cast<std::size_t>(k % views)] + j * sp + 3 * (k / views);
      BYTE* to = out + j * op + 3 * k;
      to[0] = from[0];
      to[1] = from[1];
      to[2] = from[2];
    }
  }
  const auto dpm = static_cast<unsigned>(static_cast<int>(std::floor(dpi * 39.37 + 0.5)));
  FreeImage_SetDotsPerMeterX(image, dpm);
  FreeImage_SetDotsPerMeterY(image, dpm);
  FreeImage_Save(FIF_BMP, image, bmp_path.c_str(), 0);
  FreeImage_Unload(image);
  FreeImage_CloseMultiBitmap(animation, 0);
  for (FIBITMAP* strip : strips) FreeImage_Unload(strip);
}

}  // namespace test_support
