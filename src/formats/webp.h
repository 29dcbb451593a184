// WebP: what the tool reads of a WebP itself and hides from the library.
// The library's EXIF readers have public memory-safety bugs, and the tool
// needs nothing from a WebP's EXIF or XMP; its colour profile the tool
// applies itself.
#pragma once

#include <vector>

#include "formats/byte_source.h"

namespace interlace {

struct WebpFacts {
  // The bytes to show the library instead: EXIF, XMP and ICC profile chunks
  // renamed to chunks no reader knows ("exif", "xmp ", "iccp"), and the
  // extended header's flags for them cleared, as a file without them has.
  std::vector<ByteOverride> hidden;
  // The ICCP chunk's profile, which the tool applies itself; empty if none.
  std::vector<unsigned char> icc_profile;
};

// Throws ViewRefused (Malformed) for a chunk that runs past the file, or
// EXIF that points outside itself.
WebpFacts read_webp(const ByteSource& file);

}  // namespace interlace
