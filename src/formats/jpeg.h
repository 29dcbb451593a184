// JPEG: what the tool reads of a JPEG itself, and what it hides from the
// library. The library's EXIF, maker-note and IPTC readers have public
// memory-safety bugs, and the tool needs nothing from them but the EXIF
// orientation, which it reads with a bounded reader of its own.
#pragma once

#include <vector>

#include "formats/byte_source.h"

namespace interlace {

struct JpegFacts {
  // EXIF orientation, 1 to 8 (1: stored upright; also when there is none).
  unsigned orientation = 1;
  // APP1 (EXIF, XMP) and APP13 (IPTC, Photoshop) segments renamed APP15,
  // which neither the library nor libjpeg reads, in the bytes the library
  // is shown.
  std::vector<ByteOverride> hidden;
  // The ICC profile its APP2 "ICC_PROFILE" segments carry, joined in their
  // sequence numbers' order; empty when there is none or a part is missing.
  std::vector<unsigned char> icc_profile;
};

// Walks the markers as libjpeg does. Refuses a file of more scans than any
// sound one has.
JpegFacts read_jpeg(const ByteSource& file);

}  // namespace interlace
