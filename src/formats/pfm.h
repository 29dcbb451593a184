// PFM (portable float map): its rows are stored bottom row first, as netpbm
// and every other reader take them, and the library reads them as top row
// first. The tool turns the picture the right way up.
#pragma once

#include "formats/format_facts.h"

namespace interlace {

FormatFacts inspect_pfm(const ByteSource& file);

}  // namespace interlace
