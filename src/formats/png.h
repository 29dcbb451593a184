// PNG: what the tool reads of a PNG itself. The library's build never hands
// out a PNG's colour profile, so the tool takes it from the iCCP chunk.
#pragma once

#include <vector>

#include "formats/format_facts.h"

namespace interlace {

// The profile in the iCCP chunk before the image data, inflated; empty when
// there is none. Throws ViewRefused (Malformed) for one that doesn't
// inflate, or inflates past any real profile's size.
FormatFacts inspect_png(const ByteSource& file);

}  // namespace interlace
