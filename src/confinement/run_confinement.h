// What the run gives up once its decoder runs and its views, outputs and
// folder are open: every file-system right but linking, renaming and
// removing entries of its folder (Landlock), and every system call but
// those on the descriptors it holds, its commit's, memory, signals to itself
// and its decoder, and waiting for it (seccomp).
#pragma once

#include <sys/types.h>

#include <string>

namespace interlace {

// `folder` is the set's folder (empty: the current one); `decoder` the
// decoder's process id. What the kernel can't enforce is done without.
void confine_run(const std::string& folder, pid_t decoder);

}  // namespace interlace
