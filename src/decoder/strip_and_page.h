// What the run keeps of a decoded view: its strip, squeezed to one N-th of
// its width, and its preview page. Both are made where the view was decoded,
// so only they, not the full view, travel back to the run.
#pragma once

#include <FreeImage.h>

#include "bitmap.h"
#include "image_size.h"

namespace interlace {

// The view resampled with the cubic B-spline to width div `view_count`
// columns at full height. Throws Failure(OutputFailed) when the strip can't be
// allocated.
Bitmap make_strip(FIBITMAP* view, int view_count);

// The 24-bit `view` resampled bilinearly to 640 pixels wide and quantized
// with Wu's method to an 8-bit palette. Throws Failure(OutputFailed) when the
// page would be taller than a GIF page or can't be made.
Bitmap make_preview_page(FIBITMAP* view);

}  // namespace interlace
