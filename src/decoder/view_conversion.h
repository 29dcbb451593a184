// How a decoded view becomes the 24-bit picture that is printed. A view
// already 24-bit keeps its bytes. Others are converted the way a viewer
// shows them: transparency over white paper, 16-bit samples by their high
// byte, floating-point light clamped and rounded to 8 bits; no type is ever
// contrast-stretched.
#pragma once

#include <FreeImage.h>

#include <string>

#include "bitmap.h"
#include "decoder/view_file.h"

namespace interlace {

// The size of a view stored in `stored`'s size once turned upright by its
// EXIF `orientation` (1 to 8): orientations 5 to 8 swap its sides.
ViewSize upright_size(ViewSize stored, unsigned orientation);

// `view` turned upright by its EXIF `orientation`, as viewers show it (and
// as the library itself turns JPEGs it reads the orientation of).
Bitmap turned_upright(Bitmap view, unsigned orientation);

// What a view's pixels carry, as far as conversion is concerned.
struct ViewEncoding {
  FREE_IMAGE_FORMAT format = FIF_UNKNOWN;
  // A BMP's fourth byte is alpha only when its header says so; writers of
  // plain 32-bit BMPs leave it zero or unset. A TIFF holds alpha only in an
  // extra sample; the library makes up a transparency table for some grey
  // TIFFs without one.
  bool alpha_declared = true;
  // Colours already multiplied by alpha (a TIFF's associated alpha).
  bool premultiplied = false;
  // Bits a sample was coded in, where a 16-bit one holds fewer (0: all 16).
  unsigned sample_bits = 0;
};

// Whether `view` has alpha to lay over white paper.
bool has_alpha(FIBITMAP* view, const ViewEncoding& encoding);

// `view` as a 24-bit bitmap; `conversion` (if given) is set to words for what
// was done, or left empty when the bytes were kept. Throws ViewRefused
// (CannotConvert) for pixel types with no meaning as a picture (signed or
// 32-bit integers, complex numbers).
Bitmap to_24_bit(Bitmap view, const ViewEncoding& encoding, std::string* conversion = nullptr);

}  // namespace interlace
