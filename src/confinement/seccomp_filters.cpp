#include "confinement/seccomp_filters.h"

#include <sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>

namespace interlace {

namespace {

class Filter {
 public:
  explicit Filter(std::uint32_t default_action) : context_(seccomp_init(default_action)) {}
  ~Filter() { seccomp_release(context_); }
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  bool ok() const { return context_ != nullptr && ok_; }
  template <typename... Conditions>
  void rule(std::uint32_t action, int call, Conditions... conditions) {
    if (context_ == nullptr) return;
    constexpr unsigned count = sizeof...(conditions);
    if (seccomp_rule_add(context_, action, call, count, conditions...) != 0) ok_ = false;
  }
  void rules(std::uint32_t action, std::initializer_list<int> calls) {
    for (int call : calls) rule(action, call);
  }
  bool load() {
    if (!ok() || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    return seccomp_load(context_) == 0;
  }

 private:
  scmp_filter_ctx context_;
  bool ok_ = true;
};

}  // namespace

bool confine_decoder_calls(int channel) {
  Filter filter(SCMP_ACT_KILL_PROCESS);
  const auto fd = static_cast<scmp_datum_t>(channel);
  // Reading: the view files handed over and the channel.
  filter.rules(SCMP_ACT_ALLOW, {SCMP_SYS(read), SCMP_SYS(pread64), SCMP_SYS(readv), SCMP_SYS(lseek), SCMP_SYS(fstat),
                                SCMP_SYS(close)});
  filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(recvmsg), SCMP_A0(SCMP_CMP_EQ, fd));
  // Writing: answers, and the library's messages to the null device.
  for (scmp_datum_t out : {fd, scmp_datum_t{STDOUT_FILENO}, scmp_datum_t{STDERR_FILENO}}) {
    filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(write), SCMP_A0(SCMP_CMP_EQ, out));
    filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(writev), SCMP_A0(SCMP_CMP_EQ, out));
  }
  filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(sendmsg), SCMP_A0(SCMP_CMP_EQ, fd));
  // send() is sendto() to no address.
  filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(sendto), SCMP_A0(SCMP_CMP_EQ, fd), SCMP_A4(SCMP_CMP_EQ, 0));
  // Memory, never executable.
  filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(mmap), SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
  filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(mprotect), SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
  filter.rules(SCMP_ACT_ALLOW, {SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise)});
  // Threads' and the C library's basics, and its own end: abort() signals
  // the process itself and nothing else.
  filter.rules(SCMP_ACT_ALLOW, {SCMP_SYS(futex), SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(rt_sigreturn),
                                SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction), SCMP_SYS(getpid), SCMP_SYS(gettid),
                                SCMP_SYS(clock_gettime), SCMP_SYS(gettimeofday), SCMP_SYS(getrandom),
                                SCMP_SYS(sched_yield), SCMP_SYS(restart_syscall), SCMP_SYS(sysinfo)});
  filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(tgkill), SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(getpid())));
  // The C library asks for a file's status by path when it sets up a stream;
  // answered with an error, it carries on.
  filter.rules(SCMP_ACT_ERRNO(EPERM), {SCMP_SYS(newfstatat), SCMP_SYS(statx)});
  return filter.load();
}

bool confine_run_calls() {
  Filter filter(SCMP_ACT_ALLOW);
  filter.rules(SCMP_ACT_ERRNO(EPERM),
               {SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(connect),
                SCMP_SYS(bind), SCMP_SYS(listen), SCMP_SYS(accept), SCMP_SYS(accept4), SCMP_SYS(ptrace),
                SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev), SCMP_SYS(fork), SCMP_SYS(vfork)});
  // New threads are clone(CLONE_THREAD); anything else is a new process.
  filter.rule(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0));
  // clone3 passes its flags in memory a filter can't read; the C library
  // falls back to clone when told it doesn't exist.
  filter.rule(SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3));
  return filter.load();
}

}  // namespace interlace
