// The run sequence of one call, for the entry point and the fuzzer.
#pragma once

#include "command_line.h"
#include "exit_status.h"

namespace interlace {

// Loads the views in order, making each one's strip and preview page, then
// writes the interlaced image and the preview, both or neither. Returns
// ExitStatus::Done; throws Failure with the status of whatever stopped it.
ExitStatus interlace_views(const RunSettings& settings);

}  // namespace interlace
