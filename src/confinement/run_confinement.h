// What the run gives up once its decoder and commit helper run and its
// views, outputs and folder are open: every file-system right (Landlock),
// and every system call but those on the descriptors it holds, memory,
// signals to itself and its decoder, and waiting for it (seccomp). The
// commit's changes to the folder are the helper's to make.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace interlace {

// `decoders` are the decoders' process ids. What the kernel can't enforce is
// done without.
void confine_run(const std::vector<pid_t>& decoders);

}  // namespace interlace
