// The column interlacer: weaves the strips into the print image and writes it
// as an uncompressed 24-bit BMP that records the print resolution.
#pragma once

#include <FreeImage.h>

#include <cstdint>
#include <optional>

#include "bitmap.h"
#include "output/output_file.h"
#include "pipeline/strip.h"
#include "image_size.h"

namespace interlace {

// Builds the print image of `size` from the strips, one per view: picture
// column k takes view (k mod N)'s strip column k div N. Only h - 1 stored
// rows and w - 1 columns are written, so the top row and the rightmost column
// stay black; columns from N * stripwidth to w - 2 take the three bytes just
// past their strip row's last pixel, as print files have always had. The
// caller owns the result. Throws Failure(OutputFailed) when it can't be
// allocated.
Bitmap interlace_strips(const StripTable& strips, ViewSize size);

// The weave itself, into an allocated 24-bit `image` of the views' size whose
// top row and rightmost column are left as they are.
void weave_strips(const StripTable& strips, FIBITMAP* image);

// Weaves the strips into the print image of `size` and writes it as the BMP
// write_print_image() would, row by row: the image is never held whole.
// Throws Failure(OutputFailed) when a write fails.
void write_interlaced(const StripTable& strips, ViewSize size, std::uint32_t dots_per_metre, OutputFile& out);

// Records `dots_per_metre` on both axes and writes `image` as BMP into `out`.
// Throws Failure(OutputFailed) when the library reports a failed save or any
// write fails.
void write_print_image(FIBITMAP* image, std::uint32_t dots_per_metre, OutputFile& out);

}  // namespace interlace
