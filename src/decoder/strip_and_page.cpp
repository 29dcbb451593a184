#include "decoder/strip_and_page.h"

#include "exit_status.h"

namespace interlace {

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
