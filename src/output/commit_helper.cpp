#include "output/commit_helper.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <set>

#include "confinement/landlock.h"
#include "descriptor_passing.h"
#include "confinement/seccomp_filters.h"
#include "exit_status.h"
#include "output/commit_files.h"
#include "output/output_file.h"

namespace interlace {

namespace {

enum Operation : int { kNameFile = 1, kLink, kRename, kRemove };

// A file name is at most 255 bytes on every Linux file system.
constexpr std::size_t kNameBytes = 256;

struct Request {
  int operation = 0;
  char from[kNameBytes] = {};
  char to[kNameBytes] = {};
};

constexpr int kChannelFd = 3, kFolderFd = 4;

bool copy_name(const std::string& name, char (&field)[kNameBytes]) {
  if (name.size() >= kNameBytes) return false;
  std::memcpy(field, name.c_str(), name.size() + 1);
  return true;
}

// The helper's side: what it may touch, and the temporaries it would leave.
class Helper {
 public:
  Helper(std::set<std::string> names, std::set<std::string> temporaries)
      : names_(std::move(names)), temporaries_(std::move(temporaries)) {}

  [[noreturn]] void serve() {
    while (true) {
      Request request;
      int fd = -1;
      const ssize_t got = receive(request, fd);
      if (got != static_cast<ssize_t>(sizeof request)) {
        if (fd >= 0) close(fd);
        finish();  // the run ended, or spoke nonsense
      }
      request.from[kNameBytes - 1] = request.to[kNameBytes - 1] = '\0';
      const int error = carry_out(request, fd);
      if (fd >= 0) close(fd);
      if (send(kChannelFd, &error, sizeof error, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof error)) finish();
    }
  }

 private:
  static ssize_t receive(Request& request, int& fd) {
    ssize_t got;
    do {
      got = receive_with_descriptor(kChannelFd, &request, sizeof request, 0, &fd);
    } while (got < 0 && errno == EINTR);
    return got;
  }

  // One of the commit's names, or a temporary this helper named or was given.
  bool may_touch(const std::string& name) const { return names_.count(name) != 0 || temporaries_.count(name) != 0; }

  int carry_out(const Request& request, int fd) {
    const std::string from = request.from, to = request.to;
    switch (request.operation) {
      case kNameFile: return name_file(fd, from);
      case kLink: return may_touch(from) && may_touch(to) ? link_in(kFolderFd, from, to) : EPERM;
      case kRename: {
        if (!may_touch(from) || !may_touch(to)) return EPERM;
        const int error = rename_in(kFolderFd, from, to);
        if (error == 0) temporaries_.erase(from);
        return error;
      }
      case kRemove: {
        if (!may_touch(from)) return EPERM;
        const int error = remove_in(kFolderFd, from);
        if (error == 0 || error == ENOENT) temporaries_.erase(from);
        return error;
      }
      default: return EINVAL;
    }
  }

  // Only a file with no name anywhere yet (an unnamed temporary) gets one,
  // and only a temporary's or the journal's.
  int name_file(int fd, const std::string& name) {
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 0) return EINVAL;
    const bool temporary = is_temporary_name(name);
    if (!temporary && names_.count(name) == 0) return EPERM;
    const int error = name_file_in(kFolderFd, fd, name);
    if (error == 0 && temporary) temporaries_.insert(name);
    return error;
  }

  [[noreturn]] void finish() {
    for (const std::string& name : temporaries_) remove_in(kFolderFd, name);
    _exit(0);
  }

  std::set<std::string> names_;
  std::set<std::string> temporaries_;
};

// The helper outlives a run killed by a signal long enough to clear up:
// signals that end the run end the helper only through its channel.
void outlast_signals() {
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGXFSZ}) {
    signal(number, SIG_IGN);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// In the child: only the channel and the folder stay open.
[[noreturn]] void become_helper(int channel, const std::string& folder, const Helper& helper) {
  prctl(PR_SET_NAME, kCommitHelperName);
  outlast_signals();
  const int folder_fd = open(folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd < 0) _exit(0);
  // Out of the way of 3 and 4 first, whichever numbers they hold now.
  const int high_channel = fcntl(channel, F_DUPFD_CLOEXEC, 10), high_folder = fcntl(folder_fd, F_DUPFD_CLOEXEC, 10);
  if (high_channel < 0 || high_folder < 0 || dup3(high_channel, kChannelFd, O_CLOEXEC) < 0 ||
      dup3(high_folder, kFolderFd, O_CLOEXEC) < 0) {
    _exit(0);
  }
  close_range(kFolderFd + 1, UINT_MAX, 0);
#ifdef INTERLACE_CONFINE
  restrict_file_access({{folder.empty() ? "." : folder}});
  confine_commit_helper_calls(kChannelFd);
#endif
  Helper(helper).serve();
}

}  // namespace

CommitHelper::CommitHelper(const std::vector<std::string>& targets, const std::vector<std::string>& temporaries) {
  std::set<std::string> names{file_part(journal_name(targets.front())), file_part(done_name(targets.front()))};
  for (const std::string& target : targets) {
    names.insert(file_part(target));
    names.insert(file_part(restore_name(target)));
  }
  std::set<std::string> named;
  for (const std::string& temporary : temporaries) {
    if (!temporary.empty()) named.insert(file_part(temporary));
  }
  const Helper helper(std::move(names), std::move(named));
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) fail_output();
  pid_ = fork();
  if (pid_ == 0) become_helper(ends[1], folder_of(targets.front()), helper);
  close(ends[1]);
  channel_ = ends[0];
  if (pid_ < 0) {
    close(channel_);
    fail_output();
  }
}

CommitHelper::~CommitHelper() {
  close(channel_);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

int CommitHelper::ask(int operation, const std::string& from, const std::string& to, int fd) {
  Request request;
  request.operation = operation;
  if (!copy_name(from, request.from) || !copy_name(to, request.to)) return ENAMETOOLONG;
  const ssize_t sent = send_with_descriptor(channel_, &request, sizeof request, fd);
  if (sent != static_cast<ssize_t>(sizeof request)) return EIO;
  int error = EIO;
  ssize_t got;
  do {
    got = recv(channel_, &error, sizeof error, 0);
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof error) ? error : EIO;
}

int CommitHelper::name_file(int fd, const std::string& name) { return ask(kNameFile, name, "", fd); }
int CommitHelper::link(const std::string& from, const std::string& to) { return ask(kLink, from, to); }
int CommitHelper::rename(const std::string& from, const std::string& to) { return ask(kRename, from, to); }
int CommitHelper::remove(const std::string& name) { return ask(kRemove, name, ""); }

}  // namespace interlace
