// Radiance HDR: what the tool checks of one before the library reads it.
#pragma once

#include "formats/format_facts.h"

namespace interlace {

// Refuses (ViewRefused) a size line whose numbers don't fit the library's
// 32-bit fields or are not positive (it would allocate too little and write
// past it), run-length scanlines whose runs overrun the scanline or whose
// declared width differs from the image's, and pixel data that ends early.
FormatFacts inspect_hdr(const ByteSource& file);

}  // namespace interlace
