// Targa: what the tool checks of a Targa file before the library reads one.
#pragma once

#include "formats/format_facts.h"

namespace interlace {

// Refuses (ViewRefused) a file too short for the header and footer the
// library reads, uncompressed pixel data cut short, and run-length data
// whose packets run past width x height pixels (the library would write
// them past the image) or that ends before the image is complete.
FormatFacts inspect_targa(const ByteSource& file);

}  // namespace interlace
