#include "confinement/descriptors.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>

namespace interlace {

void ensure_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    // The lowest free number is `fd` itself, as every lower one is open.
    const int null_device = open("/dev/null", O_RDWR);
    if (null_device != fd && null_device >= 0) {
      dup2(null_device, fd);
      close(null_device);
    }
  }
}

void silence_console() {
  const int null_device = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_device < 0) return;
  dup2(null_device, STDIN_FILENO);
  dup2(null_device, STDOUT_FILENO);
  dup2(null_device, STDERR_FILENO);
  if (null_device > STDERR_FILENO) close(null_device);
}

void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

int descriptors_needed(int view_count, int decoders) { return 3 + view_count + 1 + 3 + 1 + 2 * decoders + 1; }

std::uint64_t descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max == RLIM_INFINITY) return UINT64_MAX;
  return limit.rlim_max;
}

void close_inherited_descriptors(int kept) {
  if (kept < 3) {
    close_range(3, UINT_MAX, 0);
    return;
  }
  if (kept > 3) close_range(3, static_cast<unsigned>(kept) - 1, 0);
  close_range(static_cast<unsigned>(kept) + 1, UINT_MAX, 0);
}

}  // namespace interlace
