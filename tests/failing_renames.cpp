// Preloaded into the tool by tests: the commit's renameat2 calls, counted
// from 1 in the commit helper (the process that makes the commit's changes
// to the folder), whose numbers are listed in
// INTERLACE_TEST_FAILING_RENAMES, as "2,3", fail with EIO, as on a disk going
// bad mid-commit; so do its unlinkat calls listed in
// INTERLACE_TEST_FAILING_REMOVALS. The run is killed (SIGKILL: the OOM killer, a power cut)
// at the call numbered in INTERLACE_TEST_KILLING_RENAME, before it is made;
// the helper then carries on as it does when its run dies. Others pass, and
// so do renames made outside the helper (the mend of an earlier commit).
#include <dlfcn.h>
#include <seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

using renameat2_fn = int (*)(int, const char*, int, const char*, unsigned);
using unlinkat_fn = int (*)(int, const char*, int);
using seccomp_load_fn = int (*)(scmp_filter_ctx);

// The run, seen from its commit helper; 0 in any other process.
pid_t g_run = 0;

bool listed(const char* variable, long call) {
  const char* list = getenv(variable);
  while (list != nullptr && *list != '\0') {
    char* end = nullptr;
    if (std::strtol(list, &end, 10) == call) return true;
    list = (*end == ',') ? end + 1 : nullptr;
  }
  return false;
}

// Kills the run and waits until it is gone (the helper is then someone
// else's child), so that nothing the run would still do happens.
void kill_the_run() {
  if (kill(g_run, SIGKILL) != 0) return;
  while (getppid() == g_run) sched_yield();
}

}  // namespace

// The commit helper names itself first thing.
extern "C" int prctl(int option, ...) {
  va_list arguments;
  va_start(arguments, option);
  unsigned long values[4];
  for (unsigned long& value : values) value = va_arg(arguments, unsigned long);
  va_end(arguments);
  if (option == PR_SET_NAME && std::strcmp(reinterpret_cast<const char*>(values[0]), "interlace-commit") == 0) {
    g_run = getppid();
  }
  return static_cast<int>(syscall(SYS_prctl, option, values[0], values[1], values[2], values[3]));
}

// The helper confines itself before its first request: a test helper may
// still find its run and kill it.
extern "C" int seccomp_load(scmp_filter_ctx filter) {
  if (g_run != 0) {
    seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(getppid), 0);
    seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(kill), 1, SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(g_run)));
  }
  return reinterpret_cast<seccomp_load_fn>(dlsym(RTLD_NEXT, "seccomp_load"))(filter);
}

extern "C" int renameat2(int old_folder, const char* old_name, int new_folder, const char* new_name, unsigned flags) {
  static long calls;
  const auto real = reinterpret_cast<renameat2_fn>(dlsym(RTLD_NEXT, "renameat2"));
  if (g_run == 0) return real(old_folder, old_name, new_folder, new_name, flags);
  ++calls;
  if (listed("INTERLACE_TEST_KILLING_RENAME", calls)) {
    kill_the_run();
    errno = EIO;
    return -1;
  }
  if (listed("INTERLACE_TEST_FAILING_RENAMES", calls)) {
    errno = EIO;
    return -1;
  }
  return real(old_folder, old_name, new_folder, new_name, flags);
}

extern "C" int unlinkat(int folder, const char* name, int flags) {
  static long calls;
  const auto real = reinterpret_cast<unlinkat_fn>(dlsym(RTLD_NEXT, "unlinkat"));
  if (g_run != 0 && listed("INTERLACE_TEST_FAILING_REMOVALS", ++calls)) {
    errno = EIO;
    return -1;
  }
  return real(folder, name, flags);
}
