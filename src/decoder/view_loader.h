// View loading: a numbered view file, checked, decoded and converted to the
// 24-bit picture that the strip and the preview page are made from.
#pragma once

#include <FreeImage.h>

#include <optional>
#include <string>

#include "bitmap.h"
#include "decoder/colour_profile.h"
#include "decoder/view_file.h"

namespace interlace {

// What loading a view found out, for reports.
struct ViewNotes {
  unsigned stored_bits = 0;  // bits per pixel as decoded, before conversion
  std::string conversion;    // what was done to make it 24-bit; empty if nothing
  // Its embedded colour profile, if any. Its RGB or grey conversion is still
  // to be made, on what is made of the view (convert()); a CMYK one is made.
  std::optional<ColourProfile> profile;
  bool profile_applied = false;  // converted already: a view with alpha, before compositing
};

// Loads view `view_number` of `view_count` as a 24-bit bitmap the caller owns.
// The first view sets `size`; every later view must match it, and is refused
// on its header, before its pixels are decoded, where the format allows.
// Views of other depths are converted as view_conversion.h describes.
// Before view 1 is decoded, the print image of its size is checked against
// the BMP format's limits (Failure(OutputFailed)). Throws ViewRefused for a
// view that fails the checks of view_checks.h, can't be decoded or
// converted, is decoded while the library reports damage, or changed on disk
// while it was read.
Bitmap load_view(const std::string& base_name, int view_number, int view_count, std::optional<ViewSize>& size);

// The same for a view file already open.
// `first`: this is view 1 (its print image's size checked before decoding),
// even where `size` is empty.
Bitmap load_view(ViewFile& file, int view_count, std::optional<ViewSize>& size, ViewNotes* notes = nullptr,
                 bool first = true);

}  // namespace interlace
