// The decoder process: the program the run starts before any view is opened
// (decoding/decoder_program.h). It gives up every right decoding doesn't need, says
// so on its channel, then decodes the views it is handed, one request at a
// time, until the run closes the channel or ends.
#pragma once

#include "channel/protocol.h"

namespace interlace {

// The decoder program's body, on its end of the channel. Never returns.
[[noreturn]] void run_decoder_process(int channel);

}  // namespace interlace
