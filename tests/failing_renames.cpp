// Preloaded into the tool by tests: renameat2 calls whose numbers (counted
// from 1 in each process) are listed in INTERLACE_TEST_FAILING_RENAMES, as
// "2,3", fail with EIO, as on a disk going bad mid-commit. The process is
// killed (SIGKILL: the OOM killer, a power cut) at the call numbered in
// INTERLACE_TEST_KILLING_RENAME, before it is made. Others pass.
#include <dlfcn.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace {

using renameat2_fn = int (*)(int, const char*, int, const char*, unsigned);

bool listed(const char* variable, long call) {
  const char* list = getenv(variable);
  while (list != nullptr && *list != '\0') {
    char* end = nullptr;
    if (std::strtol(list, &end, 10) == call) return true;
    list = (*end == ',') ? end + 1 : nullptr;
  }
  return false;
}

}  // namespace

extern "C" int renameat2(int old_folder, const char* old_name, int new_folder, const char* new_name, unsigned flags) {
  static long calls;
  if (listed("INTERLACE_TEST_KILLING_RENAME", ++calls)) raise(SIGKILL);
  if (listed("INTERLACE_TEST_FAILING_RENAMES", calls)) {
    errno = EIO;
    return -1;
  }
  const auto real = reinterpret_cast<renameat2_fn>(dlsym(RTLD_NEXT, "renameat2"));
  return real(old_folder, old_name, new_folder, new_name, flags);
}
