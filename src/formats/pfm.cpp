#include "formats/pfm.h"

namespace interlace {

FormatFacts inspect_pfm(const ByteSource&) {
  FormatFacts facts;
  facts.orientation = 4;  // upside down
  facts.turn_note = "turned upright (PFM stores the bottom row first)";
  return facts;
}

}  // namespace interlace
