#include "pipeline/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <vector>

#include "pipeline/exit_status.h"

namespace interlace {

namespace {

// Temporaries alive right now, for the signal handler: it may only read
// atomics and call async-signal-safe functions such as unlink.
constexpr int kSignalSlots = 4;
std::atomic<const char*> g_live_temporaries[kSignalSlots];

int claim_signal_slot(const char* path) {
  for (int i = 0; i < kSignalSlots; ++i) {
    const char* expected = nullptr;
    if (g_live_temporaries[i].compare_exchange_strong(expected, path)) return i;
  }
  return -1;
}

void release_signal_slot(int slot) {
  if (slot >= 0) g_live_temporaries[slot].store(nullptr);
}

extern "C" void remove_temporaries_and_die(int signal_number) {
  for (auto& slot : g_live_temporaries) {
    if (const char* path = slot.load()) unlink(path);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

std::string folder_of(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// What a file created with fopen would get.
mode_t default_file_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

// The rename is only durable once the folder's entry is on disk too; a
// folder that can't be opened or synced still holds the complete file.
void sync_folder(const std::string& folder) {
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

OutputFile::OutputFile(std::string target_path) : target_path_(std::move(target_path)) {
  // A short fixed name, so that a target name at the file system's length
  // limit still gets a temporary beside it.
  std::string pattern = folder_of(target_path_) + ".interlace-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) throw Failure(ExitStatus::OutputFailed);
  temp_path_ = name.data();
  signal_slot_ = claim_signal_slot(temp_path_.c_str());
  file_ = fdopen(fd, "w+b");
  if (file_ == nullptr) close(fd);
  if (file_ == nullptr || fchmod(fd, default_file_mode()) != 0) {
    discard();  // no destructor runs for a constructor that throws
    throw Failure(ExitStatus::OutputFailed);
  }
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  if (!in_place_) unlink(temp_path_.c_str());
  if (!backup_path_.empty()) unlink(backup_path_.c_str());
  release_signal_slot(signal_slot_);
  release_signal_slot(backup_signal_slot_);
  signal_slot_ = backup_signal_slot_ = -1;
}

void OutputFile::finish() {
  bool ok = !write_failed_ && std::fflush(file_) == 0 && fsync(fileno(file_)) == 0;
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  if (!ok) throw Failure(ExitStatus::OutputFailed);
}

void OutputFile::replace_target() {
  if (file_ != nullptr) throw Failure(ExitStatus::OutputFailed);
  // The temporary's name is ours alone, so this one is too.
  const std::string backup = temp_path_ + ".old";
  if (link(target_path_.c_str(), backup.c_str()) == 0) {
    backup_path_ = backup;
    backup_signal_slot_ = claim_signal_slot(backup_path_.c_str());
  }
  target_was_new_ = backup_path_.empty() && errno == ENOENT;
  if (std::rename(temp_path_.c_str(), target_path_.c_str()) != 0) {
    throw Failure(ExitStatus::OutputFailed);
  }
  in_place_ = true;
  release_signal_slot(signal_slot_);
  signal_slot_ = -1;
  sync_folder(folder_of(target_path_));
}

void OutputFile::restore_previous() {
  if (!in_place_) return;
  if (target_was_new_) {
    unlink(target_path_.c_str());
  } else if (!backup_path_.empty() && std::rename(backup_path_.c_str(), target_path_.c_str()) == 0) {
    backup_path_.clear();
  }
  in_place_ = false;
  sync_folder(folder_of(target_path_));
}

void replace_targets_together(OutputFile& first, OutputFile& second) {
  first.replace_target();
  try {
    second.replace_target();
  } catch (const Failure&) {
    first.restore_previous();
    throw;
  }
}

unsigned OutputFile::read(void* buffer, unsigned size, unsigned count, fi_handle handle) {
  auto* self = static_cast<OutputFile*>(handle);
  return static_cast<unsigned>(std::fread(buffer, size, count, self->file_));
}

unsigned OutputFile::write(void* buffer, unsigned size, unsigned count, fi_handle handle) {
  auto* self = static_cast<OutputFile*>(handle);
  // The GIF writer sometimes writes items of zero bytes; fwrite counts none
  // of them as written, but nothing was lost.
  if (size == 0 || count == 0) return count;
  const std::size_t written = std::fwrite(buffer, size, count, self->file_);
  if (written != count) self->write_failed_ = true;
  return static_cast<unsigned>(written);
}

int OutputFile::seek(fi_handle handle, long offset, int origin) {
  auto* self = static_cast<OutputFile*>(handle);
  return fseeko(self->file_, offset, origin);
}

long OutputFile::tell(fi_handle handle) {
  auto* self = static_cast<OutputFile*>(handle);
  return static_cast<long>(ftello(self->file_));
}

void remove_temporaries_on_signals() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    std::signal(signal_number, remove_temporaries_and_die);
  }
}

}  // namespace interlace
