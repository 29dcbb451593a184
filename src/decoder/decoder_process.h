// The decoder process: the program the run starts before any view is opened
// (decoder_program.h). It gives up every right decoding doesn't need, says
// so on its channel, then decodes the views it is handed, one request at a
// time, until the run closes the channel or ends.
#pragma once

#include <sys/types.h>

namespace interlace {

// Its exit status when the kernel refused to confine it; it decodes nothing
// unconfined.
constexpr int kDecoderNotConfined = 71;
// Its exit status when its program couldn't be started.
constexpr int kDecoderNotStarted = 72;

// The decoder program's body, on its end of the channel. Never returns.
[[noreturn]] void run_decoder_process(int channel);

}  // namespace interlace
