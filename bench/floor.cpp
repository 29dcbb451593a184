// The floor the library calls set: a run's literal call sequence (load each
// view, squeeze it to a strip, make its preview page, weave, save both
// outputs), with the heap reused as the tool reuses it, and nothing else: no
// checks, no decoder process, no commit. The benchmark times the tool
// against it.
//
//   floor BASE N DPI OUT_BMP OUT_GIF

#include <FreeImage.h>
#include <malloc.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

FIBITMAP* load(const std::string& base, int n) {
  char name[4096];
  std::snprintf(name, sizeof name, "%s_rs_c%02d.bmp", base.c_str(), n);
  return FreeImage_Load(FreeImage_GetFileType(name, 0), name, 0);
}

FIBITMAP* preview_page(FIBITMAP* view) {
  const double width = FreeImage_GetWidth(view), height = FreeImage_GetHeight(view);
  const int page_height = std::max(1, static_cast<int>(std::floor(640.0 * height / width + 0.5)));
  FIBITMAP* resampled = FreeImage_Rescale(view, 640, page_height, FILTER_BILINEAR);
  FIBITMAP* page = FreeImage_ColorQuantize(resampled, FIQ_WUQUANT);
  FreeImage_Unload(resampled);
  // Half a second a page.
  FITAG* tag = FreeImage_CreateTag();
  LONG frame_time = 500;
  FreeImage_SetTagKey(tag, "FrameTime");
  FreeImage_SetTagType(tag, FIDT_LONG);
  FreeImage_SetTagCount(tag, 1);
  FreeImage_SetTagLength(tag, 4);
  FreeImage_SetTagValue(tag, &frame_time);
  FreeImage_SetMetadata(FIMD_ANIMATION, page, FreeImage_GetTagKey(tag), tag);
  FreeImage_DeleteTag(tag);
  return page;
}

// Column x of the image from strip x mod N, column x div N; the top row and
// the rightmost column stay black.
void weave(const std::vector<FIBITMAP*>& strips, FIBITMAP* image) {
  const std::size_t views = strips.size();
  const unsigned width = FreeImage_GetWidth(image), height = FreeImage_GetHeight(image);
  std::vector<const BYTE*> rows(views);
  for (unsigned y = 0; y + 1 < height; ++y) {
    BYTE* out = FreeImage_GetScanLine(image, static_cast<int>(y));
    for (std::size_t v = 0; v < views; ++v) rows[v] = FreeImage_GetScanLine(strips[v], static_cast<int>(y));
    std::size_t v = 0, column = 0;
    for (unsigned x = 0; x + 1 < width; ++x, out += 3) {
      std::memcpy(out, rows[v] + 3 * column, 3);
      if (++v == views) v = 0, ++column;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return 1;
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
  const std::string base = argv[1];
  const int views = std::atoi(argv[2]), dpi = std::atoi(argv[3]);
  FIMULTIBITMAP* animation = FreeImage_OpenMultiBitmap(FIF_GIF, argv[5], TRUE, FALSE, TRUE, 0);
  std::vector<FIBITMAP*> strips;
  unsigned width = 0, height = 0;
  for (int n = 1; n <= views; ++n) {
    FIBITMAP* view = load(base, n);
    width = FreeImage_GetWidth(view);
    height = FreeImage_GetHeight(view);
    FIBITMAP* page = preview_page(view);
    FreeImage_AppendPage(animation, page);
    FreeImage_Unload(page);
    strips.push_back(FreeImage_Rescale(view, static_cast<int>(width) / views, static_cast<int>(height), FILTER_BSPLINE));
    FreeImage_Unload(view);
  }
  FIBITMAP* image = FreeImage_Allocate(static_cast<int>(width), static_cast<int>(height), 24);
  weave(strips, image);
  const auto dots_per_metre = static_cast<unsigned>(std::floor(dpi * 39.37 + 0.5));
  FreeImage_SetDotsPerMeterX(image, dots_per_metre);
  FreeImage_SetDotsPerMeterY(image, dots_per_metre);
  FreeImage_Save(FIF_BMP, image, argv[4], 0);
  FreeImage_Unload(image);
  FreeImage_CloseMultiBitmap(animation, 0);
  for (FIBITMAP* strip : strips) FreeImage_Unload(strip);
  return 0;
}
