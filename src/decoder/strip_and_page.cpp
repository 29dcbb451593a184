#include "decoder/strip_and_page.h"

#include <cmath>
#include <cstdint>

#include "exit_status.h"

namespace interlace {

namespace {

// A GIF page's height is a 16-bit field. A taller page can't be written, and
// making it first would cost seconds to minutes for a very thin view.
constexpr double kMostGifRows = 65535;

}  // namespace

int preview_page_height(int view_width, int view_height) {
  const std::int64_t product = std::int64_t{kPreviewWidth} * view_height;
  const double height = std::floor(static_cast<double>(product) / view_width + 0.5);
  if (height > kMostGifRows) return 0;
  return height < 1 ? 1 : static_cast<int>(height);
}

Bitmap make_strip(FIBITMAP* view, int view_count) {
  const int width = static_cast<int>(FreeImage_GetWidth(view));
  const int height = static_cast<int>(FreeImage_GetHeight(view));
  Bitmap strip(FreeImage_Rescale(view, width / view_count, height, FILTER_BSPLINE));
  if (!strip) fail_output();
  return strip;
}

Bitmap make_preview_page(FIBITMAP* view) {
  const int height = preview_page_height(static_cast<int>(FreeImage_GetWidth(view)),
                                         static_cast<int>(FreeImage_GetHeight(view)));
  if (height == 0) fail_output();
  const Bitmap resampled(FreeImage_Rescale(view, kPreviewWidth, height, FILTER_BILINEAR));
  if (!resampled) fail_output();
  Bitmap page(FreeImage_ColorQuantize(resampled.get(), FIQ_WUQUANT));
  if (!page) fail_output();
  return page;
}

}  // namespace interlace
