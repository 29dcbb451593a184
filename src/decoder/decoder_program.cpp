#include "decoder/decoder_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <climits>

#include "confinement/descriptors.h"
#include "decoder/decoder_process.h"

namespace interlace {

namespace {

std::string& chosen_program() {
  static std::string path;
  return path;
}

std::string own_folder() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return {};
  const std::string self(path, static_cast<std::size_t>(length));
  const std::size_t slash = self.rfind('/');
  return slash == std::string::npos ? std::string() : self.substr(0, slash);
}

// In the child, between fork and exec: only calls that are safe there.
[[noreturn]] void become_decoder(int channel, pid_t run, const char* program) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != run) _exit(0);  // the run died before the line above
  const int null_device = open("/dev/null", O_RDWR);
  if (channel != kDecoderChannelFd) {
    if (dup2(channel, kDecoderChannelFd) < 0) _exit(kDecoderNotStarted);
  } else {
    fcntl(channel, F_SETFD, 0);
  }
  for (int fd = 0; fd <= 2; ++fd) dup2(null_device, fd);
  close_inherited_descriptors(kDecoderChannelFd);
  char* const arguments[] = {const_cast<char*>("interlace-decoder"), nullptr};
  char* const no_environment[] = {nullptr};
  execve(program, arguments, no_environment);
  _exit(kDecoderNotStarted);
}

}  // namespace

std::string decoder_program() {
  if (!chosen_program().empty()) return chosen_program();
  const std::string folder = own_folder();
  if (folder.empty()) return {};
  for (const std::string& candidate : {folder + "/interlace-decoder", folder + "/../libexec/interlace/interlace-decoder"}) {
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

void use_decoder_program(const std::string& path) { chosen_program() = path; }

pid_t start_decoder_program(int channel) {
  const std::string program = decoder_program();
  if (program.empty()) return -1;
  const pid_t run = getpid();
  const pid_t child = fork();
  if (child == 0) become_decoder(channel, run, program.c_str());
  return child;
}

}  // namespace interlace
