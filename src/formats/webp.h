// WebP: what the tool reads of a WebP itself and hides from the library.
// The library's EXIF readers have public memory-safety bugs, and the tool
// needs nothing from a WebP's EXIF or XMP; its colour profile the tool
// applies itself.
#pragma once

#include <vector>

#include "formats/format_facts.h"

namespace interlace {


// Its ICCP chunk's profile, which the tool applies itself. The library is
// shown the EXIF, XMP and ICC profile chunks renamed to chunks no reader
// knows ("exif", "xmp ", "iccp"), and the extended header's flags for them
// cleared, as a file without them has. Refuses (Malformed) a chunk that
// runs past the file, or EXIF that points outside itself.
FormatFacts inspect_webp(const ByteSource& file);

}  // namespace interlace
