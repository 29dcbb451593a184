// The run sequence of one call, for the entry point and the fuzzer.
#pragma once

#include <vector>

#include "command_line.h"
#include "decoder/decoder.h"
#include "decoder/opened_view.h"
#include "exit_status.h"

namespace interlace {

// Opens the N view files, in order, before any is decoded. Throws
// ViewRefused for the first that can't be opened.
std::vector<OpenedView> open_views(const RunSettings& settings);

// Has `decoder` decode the views in order, keeping each one's strip and
// preview page, then writes the interlaced image and the preview, both or
// neither. Returns ExitStatus::Done; throws Failure with the status of
// whatever stopped it.
ExitStatus interlace_views(const RunSettings& settings, Decoder& decoder, const std::vector<OpenedView>& views);

// The same, opening the views and starting a decoder itself.
ExitStatus interlace_views(const RunSettings& settings);

}  // namespace interlace
