#include "decoding/decoder_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "confinement/descriptors.h"

namespace interlace {

namespace {

// Where the child keeps the program's descriptor until it executes it.
constexpr int kProgramFd = kDecoderChannelFd + 1;

std::string& chosen_program() {
  static std::string path;
  return path;
}

std::string own_path() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length <= 0 ? std::string() : std::string(path, static_cast<std::size_t>(length));
}

std::string folder_part(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Nobody but root and the tool's owner may change it.
std::string untrusted_because(const struct stat& info, uid_t tool_owner, const char* what) {
  if (info.st_uid != 0 && info.st_uid != tool_owner) {
    return std::string(what) + " belongs to user " + std::to_string(info.st_uid) + ", neither root nor the tool's owner";
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return std::string(what) + " may be written by others";
  return {};
}

// `candidate` opened and checked; its problem where it can't be trusted.
DecoderProgram look_at(const std::string& candidate, uid_t tool_owner) {
  DecoderProgram program;
  program.path = candidate;
  struct stat folder {};
  program.fd = stat(folder_part(candidate).c_str(), &folder) == 0 ? open(candidate.c_str(), O_PATH | O_CLOEXEC) : -1;
  struct stat info {};
  if (program.fd < 0 || fstat(program.fd, &info) != 0) {
    program.problem = "is missing";
    program.missing = true;
  } else if (!S_ISREG(info.st_mode) || (info.st_mode & S_IXUSR) == 0) {
    program.problem = "is no program";
  } else {
    program.problem = untrusted_because(info, tool_owner, "it");
    if (program.problem.empty()) program.problem = untrusted_because(folder, tool_owner, "its folder");
  }
  if (!program.problem.empty() && program.fd >= 0) {
    close(program.fd);
    program.fd = -1;
  }
  return program;
}

// In the child, between fork and exec: only calls that are safe there.
[[noreturn]] void become_decoder(int channel, pid_t run, int program) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != run) _exit(0);  // the run died before the line above
  const int null_device = open("/dev/null", O_RDWR);
  // Out of the way first, whichever numbers they hold now.
  const int high_channel = fcntl(channel, F_DUPFD, 10), high_program = fcntl(program, F_DUPFD_CLOEXEC, 10);
  if (high_channel < 0 || high_program < 0 || dup2(high_channel, kDecoderChannelFd) < 0 ||
      dup3(high_program, kProgramFd, O_CLOEXEC) < 0) {
    _exit(kDecoderNotStarted);
  }
  for (int fd = 0; fd <= 2; ++fd) dup2(null_device, fd);
  close_range(kProgramFd + 1, UINT_MAX, 0);
  char* const arguments[] = {const_cast<char*>("interlace-decoder"), nullptr};
  char* const no_environment[] = {nullptr};
  // The very file that was checked, whatever its name holds now.
  syscall(SYS_execveat, kProgramFd, "", arguments, no_environment, AT_EMPTY_PATH);
  _exit(kDecoderNotStarted);
}

}  // namespace

DecoderProgram find_decoder_program() {
  const std::string self = own_path();
  struct stat tool {};
  const uid_t tool_owner = stat(self.c_str(), &tool) == 0 ? tool.st_uid : 0;
  if (!chosen_program().empty()) return look_at(chosen_program(), tool_owner);
  const std::string folder = folder_part(self);
  DecoderProgram installed = look_at(folder + "/../libexec/interlace/interlace-decoder", tool_owner);
  if (!installed.missing) return installed;
  DecoderProgram beside = look_at(folder + "/interlace-decoder", tool_owner);
  if (beside.missing) {
    installed.problem = "is missing, and so is one beside the tool";
    return installed;
  }
  return beside;
}

void use_decoder_program(const std::string& path) { chosen_program() = path; }

pid_t start_decoder_program(const DecoderProgram& program, int channel) {
  if (program.fd < 0) return -1;
  const pid_t run = getpid();
  const pid_t child = fork();
  if (child == 0) become_decoder(channel, run, program.fd);
  return child;
}

}  // namespace interlace
