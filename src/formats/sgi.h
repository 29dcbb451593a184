// SGI: the library reads no SGI header alone, and run-length data lets a
// tiny file claim billions of pixels.
#pragma once

#include <cstdint>

#include "formats/format_facts.h"

namespace interlace {

// Width x height x channels, from the three 16-bit big-endian fields from
// byte 6; 0 for a file too short for them.
FormatFacts inspect_sgi(const ByteSource& file);

}  // namespace interlace
