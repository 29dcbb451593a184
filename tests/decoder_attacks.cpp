// Test builds only: a stand-in for a compromised decoder. A view whose bytes
// are "attack:NAME" makes the decoder, right before it would decode, try
// what an attacker who owned it would try, and say what came of it. The
// release tool is built without this file.

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace {

std::string outcome(long result) {
  if (result >= 0) return "attack succeeded";
  return std::string("attack refused: ") + std::strerror(errno);
}

long connect_to(int family, const void* address, socklen_t length) {
  const int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  return connect(fd, static_cast<const sockaddr*>(address), length);
}

long tcp_connect() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(22);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect_to(AF_INET, &address, sizeof address);
}

long abstract_bind() {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, "\0interlace-attack", 17);
  return bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(sa_family_t) + 17);
}

long fork_child() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  return child;
}

long exec_shell() {
  char* const argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>("true"), nullptr};
  return execv("/bin/sh", argv);
}

long map_executable() {
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return page == MAP_FAILED ? -1 : 0;
}

long make_executable() {
  static char page[8192];
  auto* aligned = reinterpret_cast<void*>((reinterpret_cast<std::uintptr_t>(page) + 4095) & ~std::uintptr_t{4095});
  return mprotect(aligned, 4096, PROT_READ | PROT_EXEC);
}

long allocate_everything() {
  const auto total = static_cast<std::size_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* memory = std::malloc(total);
  if (memory == nullptr) errno = ENOMEM;
  return memory == nullptr ? -1 : 0;
}

// The file the attacks that touch the file system aim at: the test makes it
// and checks afterwards that it is unchanged.
const char* const kTarget = "/tmp/interlace-attack-target";
// A descriptor the test leaves open when it starts the decoder.
constexpr int kInherited = 50;

const std::map<std::string, std::function<long(int)>>& attacks() {
  static const std::map<std::string, std::function<long(int)>> table{
      {"nothing", [](int) { return 0L; }},
      {"read-shadow", [](int) { return long{open("/etc/shadow", O_RDONLY)}; }},
      {"read-root", [](int) { return long{open("/root/.bashrc", O_RDONLY)}; }},
      {"create-in-tmp", [](int) { return long{open("/tmp/interlace-attack-made", O_CREAT | O_WRONLY, 0600)}; }},
      {"delete-file", [](int) { return long{unlink(kTarget)}; }},
      {"reopen-view-writable", [](int view) {
         return long{open(("/proc/self/fd/" + std::to_string(view)).c_str(), O_RDWR)};
       }},
      {"write-view", [](int view) { return long{write(view, "x", 1)}; }},
      {"write-inherited", [](int) { return long{write(kInherited, "x", 1)}; }},
      {"fork", [](int) { return fork_child(); }},
      {"exec-shell", [](int) { return exec_shell(); }},
      {"tcp-connect", [](int) { return tcp_connect(); }},
      {"abstract-bind", [](int) { return abstract_bind(); }},
      // Seizing traces without stopping the test, should it ever succeed.
      {"ptrace-parent", [](int) { return ptrace(PTRACE_SEIZE, getppid(), nullptr, nullptr); }},
      {"kill-parent", [](int) { return long{kill(getppid(), SIGCONT)}; }},
      {"map-executable", [](int) { return map_executable(); }},
      {"make-executable", [](int) { return make_executable(); }},
      {"memfd", [](int) { return long{memfd_create("attack", 0)}; }},
      {"allocate-everything", [](int) { return allocate_everything(); }},
      {"crash", [](int) {
         raise(SIGSEGV);
         return 0L;
       }},
      {"spin", [](int) {
         for (volatile unsigned long i = 0;; i = i + 1) {
         }
         return 0L;
       }},
  };
  return table;
}

}  // namespace

std::optional<std::string> decoder_test_hook(int view_fd, int channel_fd) {
  (void)channel_fd;
  char text[64] = {};
  const ssize_t length = pread(view_fd, text, sizeof text - 1, 0);
  if (length < 7 || std::strncmp(text, "attack:", 7) != 0) return std::nullopt;
  const auto found = attacks().find(std::string(text + 7, static_cast<std::size_t>(length) - 7));
  if (found == attacks().end()) return "no such attack";
  return outcome(found->second(view_fd));
}
