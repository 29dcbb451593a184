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
#include <linux/bpf.h>
#include <linux/futex.h>
#include <linux/io_uring.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "channel/channel.h"

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

// What a decoder that wants to keep the run waiting sends: a frame's length
// and then `bytes` of it.
void send_raw(int channel, const std::vector<unsigned char>& bytes) {
  if (write(channel, bytes.data(), bytes.size()) < 0) _exit(1);
}

std::vector<unsigned char> framed(const interlace::MessageWriter& message) {
  std::vector<unsigned char> bytes;
  interlace::MessageWriter length;
  length.put(std::uint64_t{message.bytes().size()});
  bytes = length.bytes();
  bytes.insert(bytes.end(), message.bytes().begin(), message.bytes().end());
  return bytes;
}

[[noreturn]] void wait_for_ever() {
  int word = 0;
  while (true) syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
}

// An answer for a view of `width` x `height`, its pixels never sent.
std::vector<unsigned char> decoded_answer(int width, int height) {
  interlace::MessageWriter message;
  message.put(std::uint64_t{1}).put(std::string("BMP")).put(std::uint64_t{24}).put(std::string()).put(std::string());
  message.put_signed(width).put_signed(height);
  message.put(std::uint64_t(((std::uint64_t(width) * 24 + 31) / 32) * 4)).put(std::uint64_t{640});
  const std::vector<unsigned char> palette(1024, 0);
  message.put_bytes(palette.data(), palette.size());
  return framed(message);
}

// Its own end of the channel, twice in one message, then gone: a run that
// kept them would never see the channel close.
long pass_channel_back(int channel) {
  const int fds[2] = {channel, channel};
  char byte = 0;
  iovec part{&byte, 1};
  msghdr envelope{};
  envelope.msg_iov = &part;
  envelope.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
  envelope.msg_control = control;
  envelope.msg_controllen = sizeof control;
  cmsghdr* rights = CMSG_FIRSTHDR(&envelope);
  rights->cmsg_level = SOL_SOCKET;
  rights->cmsg_type = SCM_RIGHTS;
  rights->cmsg_len = CMSG_LEN(sizeof fds);
  std::memcpy(CMSG_DATA(rights), fds, sizeof fds);
  sendmsg(channel, &envelope, MSG_NOSIGNAL);
  _exit(0);
}

// Busy all the time, and a byte of a long answer every 0.2 s of it.
[[noreturn]] void trickle(int channel) {
  interlace::MessageWriter length;
  length.put(std::uint64_t{4096});
  send_raw(channel, length.bytes());
  while (true) {
    timespec start{}, now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    do clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    while ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) < 200000000L);
    send_raw(channel, {0});
  }
}

// Idle but for a byte of a long answer now and then, never silent for long
// enough to be given up as stalled.
[[noreturn]] void trickle_idle(int channel) {
  interlace::MessageWriter length;
  length.put(std::uint64_t{4096});
  send_raw(channel, length.bytes());
  int word = 0;
  while (true) {
    const timespec second{1, 0};
    syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, 0, &second, nullptr, 0);
    send_raw(channel, {0});
  }
}

}  // namespace

// The file the attacks that touch the file system aim at: the test makes it
// and checks afterwards that it is unchanged. The run-side test names its
// own, as it may run beside the decoder's.
const char* attack_target = "/tmp/interlace-attack-target";

namespace {
// The set's folder of the run-side attacks, a view in it, and a file in a
// folder below it.
const char* const kSetSubfile = "/tmp/interlace-attack-set/sub/.bashrc";
const char* const kSetView = "/tmp/interlace-attack-set/s_rs_c01.bmp";

// A held descriptor made to signal another process (here the one that
// started the attacker) whenever it is ready: SIGKILL to anyone.
long signal_through_descriptor(int fd) {
  if (fcntl(fd, F_SETOWN, getppid()) != 0) return -1;
  if (fcntl(fd, F_SETSIG, SIGCONT) != 0) return -1;
  return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_ASYNC);
}
// A descriptor the test leaves open when it starts the decoder.
constexpr int kInherited = 50;

const std::map<std::string, std::function<long(int, int)>>& attacks() {
  static const std::map<std::string, std::function<long(int, int)>> table{
      {"nothing", [](int, int) { return 0L; }},
      {"read-shadow", [](int, int) { return long{open("/etc/shadow", O_RDONLY)}; }},
      {"read-root", [](int, int) { return long{open("/root/.bashrc", O_RDONLY)}; }},
      {"create-in-tmp", [](int, int) { return long{open("/tmp/interlace-attack-made", O_CREAT | O_WRONLY, 0600)}; }},
      {"delete-file", [](int, int) { return long{unlink(attack_target)}; }},
      {"reopen-view-writable", [](int view, int) {
         return long{open(("/proc/self/fd/" + std::to_string(view)).c_str(), O_RDWR)};
       }},
      {"write-view", [](int view, int) { return long{write(view, "x", 1)}; }},
      {"write-inherited", [](int, int) { return long{write(kInherited, "x", 1)}; }},
      {"fork", [](int, int) { return fork_child(); }},
      {"exec-shell", [](int, int) { return exec_shell(); }},
      {"tcp-connect", [](int, int) { return tcp_connect(); }},
      {"abstract-bind", [](int, int) { return abstract_bind(); }},
      // Seizing traces without stopping the test, should it ever succeed.
      {"ptrace-parent", [](int, int) { return ptrace(PTRACE_SEIZE, getppid(), nullptr, nullptr); }},
      {"kill-parent", [](int, int) { return long{kill(getppid(), SIGCONT)}; }},
      {"map-executable", [](int, int) { return map_executable(); }},
      {"make-executable", [](int, int) { return make_executable(); }},
      {"memfd", [](int, int) { return long{memfd_create("attack", 0)}; }},
      {"allocate-everything", [](int, int) { return allocate_everything(); }},
      // A bug in the confined run would try these too.
      {"read-subfolder-file", [](int, int) { return long{open(kSetSubfile, O_RDONLY)}; }},
      {"write-subfolder-file", [](int, int) { return long{open(kSetSubfile, O_WRONLY | O_APPEND)}; }},
      {"chmod-outside", [](int, int) { return long{chmod(attack_target, 0777)}; }},
      {"chown-outside", [](int, int) { return long{chown(attack_target, 1, 1)}; }},
      {"utimes-outside", [](int, int) { return long{utimes(attack_target, nullptr)}; }},
      {"signal-through-descriptor", [](int view, int) { return signal_through_descriptor(view); }},
      {"chmod-held-descriptor", [](int view, int) { return long{fchmod(view, 06777)}; }},
      {"chown-held-descriptor", [](int view, int) { return long{fchown(view, 1, 1)}; }},
      {"replace-subfolder-file", [](int, int) { return long{rename(kSetView, kSetSubfile)}; }},
      {"delete-subfolder-file", [](int, int) { return long{unlink(kSetSubfile)}; }},
      {"setxattr-outside", [](int, int) { return long{setxattr(attack_target, "user.attack", "1", 1, 0)}; }},
      {"read-session-keyring", [](int, int) {
         char key[64];
         return syscall(SYS_keyctl, 11 /* KEYCTL_READ */, -3 /* the session keyring */, key, sizeof key);
       }},
      {"bpf-map", [](int, int) {
         union bpf_attr attributes {};
         attributes.map_type = BPF_MAP_TYPE_ARRAY;
         attributes.key_size = 4;
         attributes.value_size = 4;
         attributes.max_entries = 1;
         return syscall(SYS_bpf, BPF_MAP_CREATE, &attributes, sizeof attributes);
       }},
      {"io-uring", [](int, int) {
         io_uring_params parameters{};
         return syscall(SYS_io_uring_setup, 4, &parameters);
       }},
      // Descriptor 0 is a terminal here (the test makes it one).
      {"type-into-terminal", [](int, int) {
         const char key = '\n';
         return long{ioctl(0, TIOCSTI, &key)};
       }},
      {"crash", [](int, int) {
         raise(SIGSEGV);
         return 0L;
       }},
      {"stall-on-futex", [](int, int) -> long { wait_for_ever(); }},
      {"stall-reading-channel", [](int, int channel) {
         char byte;
         return long{read(channel, &byte, 1)};
       }},
      {"half-a-header", [](int, int channel) -> long {
         send_raw(channel, {16, 0, 0, 0});
         wait_for_ever();
       }},
      {"answer-and-200-pixel-bytes", [](int, int channel) -> long {
         std::vector<unsigned char> bytes = decoded_answer(64, 48);
         bytes.resize(bytes.size() + 200);
         send_raw(channel, bytes);
         wait_for_ever();
       }},
      {"claim-37800-square", [](int, int channel) -> long {
         send_raw(channel, decoded_answer(37800, 37800));
         wait_for_ever();
       }},
      {"pass-channel-back", [](int, int channel) { return pass_channel_back(channel); }},
      {"trickle-while-busy", [](int, int channel) -> long { trickle(channel); }},
      {"trickle-idle", [](int, int channel) -> long { trickle_idle(channel); }},
      // Claims the most pixels a view may have, for a file of a few bytes,
      // then works for ever.
      {"claim-2147483648-and-spin", [](int, int channel) -> long {
         send_raw(channel, framed(interlace::MessageWriter().put(std::uint64_t{4}).put(std::uint64_t{1} << 31)));
         for (volatile unsigned long i = 0;; i = i + 1) {
         }
       }},
      {"spin", [](int, int) {
         for (volatile unsigned long i = 0;; i = i + 1) {
         }
         return 0L;
       }},
  };
  return table;
}

}  // namespace

std::optional<std::string> attack(const std::string& name, int view_fd, int channel_fd) {
  const auto found = attacks().find(name);
  if (found == attacks().end()) return "no such attack";
  return outcome(found->second(view_fd, channel_fd));
}

std::optional<std::string> decoder_test_hook(int view_fd, int channel_fd) {
  char text[64] = {};
  const ssize_t length = pread(view_fd, text, sizeof text - 1, 0);
  if (length < 7 || std::strncmp(text, "attack:", 7) != 0) return std::nullopt;
  return attack(std::string(text + 7, static_cast<std::size_t>(length) - 7), view_fd, channel_fd);
}
