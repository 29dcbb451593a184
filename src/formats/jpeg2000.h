// JPEG 2000: the library reads no header of a codestream (J2K) or a JP2 file
// alone, and a file of a hundred bytes can claim a picture of gigabytes; the
// tool reads the size itself, for the same decompression-bomb bound as the
// formats whose header the library reads.
#pragma once

#include <cstdint>

#include "formats/format_facts.h"

namespace interlace {

// The pixels the codestream's SIZ marker (J2K), or the JP2 header box's
// image header, claims; 0 where the file doesn't say (the library will).
FormatFacts inspect_j2k(const ByteSource& file);
FormatFacts inspect_jp2(const ByteSource& file);

}  // namespace interlace
