#include "pipeline/strip.h"

#include "exit_status.h"

namespace interlace {

StripTable::~StripTable() {
  for (Bitmap& strip : strips_) strip.reset();
}

void StripTable::add(Bitmap strip) { strips_.push_back(std::move(strip)); }

Bitmap make_strip(FIBITMAP* view, int view_count) {
  const int width = static_cast<int>(FreeImage_GetWidth(view));
  const int height = static_cast<int>(FreeImage_GetHeight(view));
  Bitmap strip(FreeImage_Rescale(view, width / view_count, height, FILTER_BSPLINE));
  if (!strip) fail_output();
  return strip;
}

}  // namespace interlace
