#include "confinement/seccomp_filters.h"

#include <fcntl.h>
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

// What glibc's pthread_create asks of clone(); a new process, a new
// namespace or a traced child asks for something else.
constexpr scmp_datum_t kThreadFlags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD |
                                      CLONE_SYSVSEM | CLONE_SETTLS | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID;

class Filter {
 public:
  explicit Filter(std::uint32_t default_action) : context_(seccomp_init(default_action)) {}
  // Where the kernel can't kill a whole process from a filter (a kernel or
  // container without the seccomp() call, whose answer the library needs to
  // know the action exists), SIGSYS does it: the call is still not made,
  // and the signal's default ends the process.
  static std::uint32_t kill_process() {
    return seccomp_api_get() >= 3 ? SCMP_ACT_KILL_PROCESS : SCMP_ACT_TRAP;
  }
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
  // Memory, never executable.
  void allow_memory() {
    rule(SCMP_ACT_ALLOW, SCMP_SYS(mmap), SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    rule(SCMP_ACT_ALLOW, SCMP_SYS(mprotect), SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    rules(SCMP_ACT_ALLOW, {SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise)});
  }
  // The C library's basics: futexes, signal handling, clocks, the process's
  // own end; abort() signals the process itself and nothing else.
  void allow_basics() {
    rules(SCMP_ACT_ALLOW, {SCMP_SYS(futex), SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(rt_sigreturn),
                           SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction), SCMP_SYS(getpid), SCMP_SYS(gettid),
                           SCMP_SYS(clock_gettime), SCMP_SYS(gettimeofday), SCMP_SYS(getrandom),
                           SCMP_SYS(sched_yield), SCMP_SYS(restart_syscall)});
    rule(SCMP_ACT_ALLOW, SCMP_SYS(tgkill), SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(getpid())));
  }
  // Threads of the process's own, which share its filter (and its Landlock
  // domain). clone3 passes its flags in memory the filter can't read; told
  // it doesn't exist, the C library uses clone.
  void allow_threads() {
    rule(SCMP_ACT_ALLOW, SCMP_SYS(clone), SCMP_A0(SCMP_CMP_EQ, kThreadFlags));
    rule(SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3));
    rules(SCMP_ACT_ALLOW, {SCMP_SYS(set_robust_list), SCMP_SYS(rseq)});
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
  Filter filter(Filter::kill_process());
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
  filter.allow_memory();
  filter.allow_basics();
  filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(sysinfo));
  // Threads of its own (libwebp, OpenMP in LibRaw, OpenJPEG, dav1d).
  filter.allow_threads();
  filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(sched_getaffinity));
  // dav1d (AV1, for AVIF views) names its worker threads.
  filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(prctl), SCMP_A0(SCMP_CMP_EQ, PR_SET_NAME));
  // The C library asks for a file's status by path when it sets up a stream;
  // answered with an error, it carries on.
  filter.rules(SCMP_ACT_ERRNO(EPERM), {SCMP_SYS(newfstatat), SCMP_SYS(statx)});
  // A library that opens a file on first use (a configuration, a processor
  // count) is told it can't and carries on; Landlock would refuse it too.
  filter.rules(SCMP_ACT_ERRNO(EACCES), {SCMP_SYS(open), SCMP_SYS(openat)});
  return filter.load();
}

bool confine_run_calls(const std::vector<pid_t>& decoders) {
  // Anything not named here fails with EPERM: the run ends with its status,
  // not a signal.
  Filter filter(SCMP_ACT_ERRNO(EPERM));
  // Calls on the descriptors it holds: views, its outputs, the folder, the
  // decoder's channel and pidfd, the commit helper's channel.
  filter.rules(SCMP_ACT_ALLOW,
               {SCMP_SYS(read), SCMP_SYS(pread64), SCMP_SYS(readv), SCMP_SYS(write), SCMP_SYS(pwrite64),
                SCMP_SYS(writev), SCMP_SYS(lseek), SCMP_SYS(fstat), SCMP_SYS(newfstatat), SCMP_SYS(statx),
                SCMP_SYS(fsync), SCMP_SYS(fdatasync), SCMP_SYS(close), SCMP_SYS(dup), SCMP_SYS(flock),
                SCMP_SYS(getdents64), SCMP_SYS(ftruncate), SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(recvmsg),
                SCMP_SYS(recvfrom), SCMP_SYS(sendmsg), SCMP_SYS(sendto)});
  // fcntl() only to read a descriptor's flags or set close-on-exec: owning
  // a descriptor's signals (F_SETOWN, F_SETSIG) or asking for them (O_ASYNC
  // through F_SETFL) would let the run signal any process.
  for (const int command : {F_GETFD, F_SETFD, F_GETFL}) {
    filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(fcntl), SCMP_A1(SCMP_CMP_EQ, static_cast<scmp_datum_t>(command)));
  }
  filter.allow_memory();
  filter.allow_basics();
  // Waiting for the folder's lock.
  filter.rules(SCMP_ACT_ALLOW, {SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep)});
  // Signals to itself and its decoders, and waiting for them and the commit
  // helper.
  filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(kill), SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(getpid())));
  for (const pid_t decoder : decoders) {
    if (decoder > 0) filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(kill), SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(decoder)));
  }
  // A thread for each decoder, to take its answers as they come.
  filter.allow_threads();
  filter.rules(SCMP_ACT_ALLOW, {SCMP_SYS(wait4), SCMP_SYS(waitid), SCMP_SYS(clock_getres), SCMP_SYS(umask)});
  // Whose files it finds at its outputs' names.
  filter.rules(SCMP_ACT_ALLOW, {SCMP_SYS(geteuid), SCMP_SYS(getuid)});
  // No file is opened by name once the views and outputs are open, and no
  // terminal is asked anything (the C library asks whether a stream is one).
  filter.rules(SCMP_ACT_ERRNO(EACCES), {SCMP_SYS(open), SCMP_SYS(openat)});
  filter.rule(SCMP_ACT_ERRNO(ENOTTY), SCMP_SYS(ioctl));
  return filter.load();
}

bool confine_commit_helper_calls(int channel) {
  Filter filter(Filter::kill_process());
  const auto fd = static_cast<scmp_datum_t>(channel);
  filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(recvmsg), SCMP_A0(SCMP_CMP_EQ, fd));
  filter.rule(SCMP_ACT_ALLOW, SCMP_SYS(sendto), SCMP_A0(SCMP_CMP_EQ, fd), SCMP_A4(SCMP_CMP_EQ, 0));
  filter.rules(SCMP_ACT_ALLOW, {SCMP_SYS(linkat), SCMP_SYS(renameat2), SCMP_SYS(renameat), SCMP_SYS(unlinkat),
                                SCMP_SYS(fstat), SCMP_SYS(newfstatat), SCMP_SYS(close)});
  filter.allow_memory();
  filter.allow_basics();
  return filter.load();
}

}  // namespace interlace
