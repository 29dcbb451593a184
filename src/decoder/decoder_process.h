// The decoder process: started by the run before any view is opened, it
// gives up every right decoding doesn't need, then decodes the views it is
// handed, one request at a time, until the run closes the channel or ends.
#pragma once

#include <sys/types.h>

namespace interlace {

// Its exit status when the kernel refused to confine it; it decodes nothing
// unconfined.
constexpr int kDecoderNotConfined = 71;

// Runs in the child of fork(), on its end of the channel. `run` is the
// run's process id, checked once the child asks to die with it, in case the
// run died before. Never returns.
[[noreturn]] void run_decoder_process(int channel, pid_t run);

}  // namespace interlace
