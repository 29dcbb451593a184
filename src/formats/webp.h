// WebP: what the tool hides from the library in a WebP file. The library's
// EXIF readers have public memory-safety bugs, and the tool needs nothing
// from a WebP's EXIF or XMP.
#pragma once

#include <vector>

#include "formats/byte_source.h"

namespace interlace {

// The bytes to show the library instead: EXIF and XMP chunks renamed to
// chunks no reader knows ("exif", "xmp "), and the extended header's flags
// for them cleared, as a file without them has. Throws ViewRefused
// (Malformed) for a chunk that runs past the file, or EXIF that points
// outside itself.
std::vector<ByteOverride> hidden_webp_metadata(const ByteSource& file);

}  // namespace interlace
