#include "confinement/run_confinement.h"

#include "confinement/landlock.h"
#include "confinement/seccomp_filters.h"

namespace interlace {

void confine_run(const std::vector<pid_t>& decoders) {
  restrict_file_access({});
  confine_run_calls(decoders);
}

}  // namespace interlace
