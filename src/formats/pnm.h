// PNM: the binary forms (P4, P5, P6) hold their pixels uncoded after a text
// header, and the library loads a file cut short as if it were whole.
#pragma once

#include "formats/format_facts.h"

namespace interlace {

// Refuses (ViewRefused, Truncated) a binary PNM shorter than its header says
// its pixels need. The header is read to its end, however long its comments.
FormatFacts inspect_pnm(const ByteSource& file);

}  // namespace interlace
