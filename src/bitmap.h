// Single ownership of FreeImage bitmaps: each handle is released exactly once.
#pragma once

#include <FreeImage.h>

#include <memory>

namespace interlace {

struct BitmapUnload {
  void operator()(FIBITMAP* bitmap) const { FreeImage_Unload(bitmap); }
};

// A bitmap with one owner; FreeImage_Unload runs when it goes out of scope.
using Bitmap = std::unique_ptr<FIBITMAP, BitmapUnload>;

}  // namespace interlace
