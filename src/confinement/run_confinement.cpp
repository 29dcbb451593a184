#include "confinement/run_confinement.h"

#include "confinement/landlock.h"
#include "confinement/seccomp_filters.h"

namespace interlace {

void confine_run(const std::string& folder, pid_t decoder) {
  restrict_file_access({{folder.empty() ? "." : folder}});
  confine_run_calls(decoder);
}

}  // namespace interlace
