// JPEG XL: a bare codestream, or one in boxes. What the tool reads of one
// itself before libjxl does.
#pragma once

#include "formats/format_facts.h"

namespace interlace {

// Reads the codestream's size header and orientation (from the first
// codestream box, in a container), within the first few dozen bytes of it:
// the claimed size, upright. The library applies the orientation itself.
// Refuses (Malformed) a container with no codestream and a header cut short.
FormatFacts inspect_jxl(const ByteSource& file);

}  // namespace interlace
