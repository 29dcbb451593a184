// JPEG: what the tool reads of a JPEG itself, and what it hides from the
// library. The library's EXIF, maker-note and IPTC readers have public
// memory-safety bugs, and the tool needs nothing from them but the EXIF
// orientation, which it reads with a bounded reader of its own.
#pragma once

#include <vector>

#include "formats/format_facts.h"

namespace interlace {


// Walks the markers as libjpeg does, for the EXIF orientation (of the first
// EXIF segment before the first scan, as viewers take it) and the ICC
// profile its APP2 "ICC_PROFILE" segments carry, joined in their sequence
// numbers' order (none when a part is missing). The library is shown APP1
// (EXIF, XMP) and APP13 (IPTC, Photoshop) segments renamed APP15, which
// neither it nor libjpeg reads. Refuses a file of more scans than any sound
// one has.
FormatFacts inspect_jpeg(const ByteSource& file);

}  // namespace interlace
