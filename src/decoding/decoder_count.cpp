#include "decoding/decoder_count.h"

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "confinement/descriptors.h"

namespace interlace {

namespace {

// Beside its views' decoders, a run holds the strips (a view's worth in all)
// and its own code and buffers.
constexpr std::uint64_t kRunOwnBytes = std::uint64_t{64} << 20;
constexpr std::uint64_t kDecoderOwnBytes = std::uint64_t{32} << 20;
constexpr std::uint64_t kStripBytesPerPixel = 3;

int processors_of_this_process() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::max(1, CPU_COUNT(&set));
}

// Processors kept busy by others right now: the user processes running or
// waiting to run but this one, as their /proc/PID/stat says. (The kernel's
// own threads are left out: right after a run syncs its outputs, its
// flusher threads are busy for a moment.) Where sets run side by side (GNU
// parallel, xargs -P), the other runs keep processors busy, and decoders
// beyond the free ones would only cost memory and take turns.
int running_elsewhere() {
  constexpr unsigned long kKernelThread = 0x00200000;  // PF_KTHREAD
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return 0;
  const std::string self = std::to_string(getpid());
  int busy = 0;
  while (const dirent* entry = readdir(processes)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9' || self == entry->d_name) continue;
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // After the command's name: state, parent, group, session, terminal,
    // its group, flags.
    const std::size_t name_end = line.rfind(')');
    if (name_end == std::string::npos) continue;
    std::istringstream fields(line.substr(name_end + 1));
    char state = 0;
    long skipped = 0;
    unsigned long flags = 0;
    fields >> state >> skipped >> skipped >> skipped >> skipped >> skipped >> flags;
    if (state == 'R' && (flags & kKernelThread) == 0) ++busy;
  }
  closedir(processes);
  return busy;
}

// The lesser of two looks, one after the other: a process that wakes for a
// moment (a monitor sampling /proc, a shell between its commands) is seldom
// caught running twice, where another run's decoders always are. Counting
// one too few costs a decoder's memory; one too many, half of a two-core
// machine.
int busy_elsewhere() {
  const int first = running_elsewhere();
  return first == 0 ? 0 : std::min(first, running_elsewhere());
}

// MemAvailable from /proc/meminfo; none where it can't be read.
std::uint64_t machine_memory_available() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kilobytes = 0;
  std::string unit;
  while (meminfo >> key >> kilobytes >> unit) {
    if (key == "MemAvailable:") return kilobytes * 1024;
  }
  return UINT64_MAX;
}

std::uint64_t number_in(const std::string& path) {
  std::ifstream file(path);
  std::string text;
  if (!(file >> text) || text == "max") return UINT64_MAX;
  return std::strtoull(text.c_str(), nullptr, 10);
}

// The room left under the memory limits of this process's control group
// and every group above it (cgroup v2); none where there is no limit.
std::uint64_t control_group_memory_available() {
  std::ifstream groups("/proc/self/cgroup");
  std::string line, path;
  while (std::getline(groups, line)) {
    if (line.compare(0, 3, "0::") == 0) path = line.substr(3);
  }
  std::uint64_t room = UINT64_MAX;
  while (!path.empty() && path.find("..") == std::string::npos) {
    const std::string folder = "/sys/fs/cgroup" + path;
    const std::uint64_t limit = number_in(folder + "/memory.max");
    const std::uint64_t used = number_in(folder + "/memory.current");
    if (limit != UINT64_MAX && used != UINT64_MAX) room = std::min(room, limit > used ? limit - used : 0);
    if (path == "/") break;
    const std::size_t slash = path.rfind('/');
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
  return room;
}

}  // namespace

MachineRoom room_of_this_process() {
  MachineRoom room;
  room.processors = std::max(1, processors_of_this_process() - busy_elsewhere());
  room.memory = std::min(machine_memory_available(), control_group_memory_available());
  return room;
}

int decoders_to_start(const MachineRoom& room, int view_count, std::uint64_t descriptor_limit) {
  const auto base = static_cast<std::uint64_t>(descriptors_needed(view_count, 1));
  const auto each = static_cast<std::uint64_t>(descriptors_needed(view_count, 2)) - base;
  const std::uint64_t by_descriptors = descriptor_limit > base ? 1 + (descriptor_limit - base) / each : 1;
  return static_cast<int>(std::min<std::uint64_t>(
      {std::uint64_t(std::max(1, room.processors)), std::uint64_t(std::max(1, view_count)), by_descriptors}));
}

int decoders_to_keep(const MachineRoom& room, int started, std::uint64_t pixels) {
  const std::uint64_t run = kRunOwnBytes + std::min(pixels, UINT64_MAX / 64) * kStripBytesPerPixel;
  const std::uint64_t each = kDecoderOwnBytes + std::min(pixels, UINT64_MAX / 64) * kDecoderBytesPerPixel;
  if (room.memory <= run) return 1;
  const std::uint64_t fit = (room.memory - run) / each;
  return static_cast<int>(std::clamp<std::uint64_t>(fit, 1, std::uint64_t(std::max(1, started))));
}

}  // namespace interlace
