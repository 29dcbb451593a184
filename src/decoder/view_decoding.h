// Everything that reads a view's bytes, in one call: format detection, the
// checks before decoding, the decode, the conversion to 24 bits, and the
// strip and preview page made from the result. In the tool it runs inside
// the confined decoder process (decoder.h); built without confinement, in
// the run's own process.
#pragma once

#include <optional>
#include <string>

#include "channel/decoded_view.h"
#include "channel/opened_view.h"

namespace interlace {

// Decodes `file` as the view that `request` describes. Throws ViewRefused
// (with the format's name in the problem, where it was found) or
// OutputsUnmade; std::bad_alloc where memory runs out.
DecodedView decode_view(OpenedView file, const DecodeRequest& request);

}  // namespace interlace
