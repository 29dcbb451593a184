#include "confinement/run_confinement.h"

#include "confinement/landlock.h"
#include "confinement/seccomp_filters.h"

namespace interlace {

void confine_run(pid_t decoder) {
  restrict_file_access({});
  confine_run_calls(decoder);
}

}  // namespace interlace
