// What the run gives up once its decoder and commit helper run and its
// views, outputs and folder are open: every file-system right (Landlock),
// and every system call but those on the descriptors it holds, memory,
// signals to itself and its decoder, and waiting for it (seccomp). The
// commit's changes to the folder are the helper's to make.
#pragma once

#include <sys/types.h>

#include <string>

namespace interlace {

// `decoder` is the decoder's process id. What the kernel can't enforce is
// done without.
void confine_run(pid_t decoder);

}  // namespace interlace
