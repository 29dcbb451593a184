#include "output/output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <vector>

#include "clock.h"
#include "exit_status.h"
#include "output/signals.h"

namespace interlace {

namespace {

constexpr const char kTemporaryPrefix[] = ".interlace-";
constexpr std::size_t kPrefixLength = sizeof kTemporaryPrefix - 1;
constexpr std::size_t kRandomLength = 6;

const char* folder_or_here(const std::string& folder) { return folder.empty() ? "." : folder.c_str(); }

// What a file created with fopen would get.
mode_t default_file_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

// Errors with which a file system says it has no unnamed temporaries.
bool means_unsupported(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOSYS;
}

}  // namespace

std::string folder_of(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string file_part(const std::string& path) { return path.substr(folder_of(path).size()); }

std::string temporary_name(const std::string& folder) {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::mt19937_64 random{std::random_device{}()};
  std::string name = folder + kTemporaryPrefix;
  for (std::size_t i = 0; i < kRandomLength; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
  return name;
}

bool is_temporary_name(const std::string& name) {
  if (name.compare(0, kPrefixLength, kTemporaryPrefix) != 0) return false;
  const std::size_t length = name.size() - kPrefixLength;
  return length == kRandomLength || (length == kRandomLength + 4 && name.compare(name.size() - 4, 4, ".old") == 0);
}

OutputFile::OutputFile(std::string target_path) : target_path_(std::move(target_path)) {
  const std::string folder = folder_of(target_path_);
  const int fd = open(folder_or_here(folder), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd < 0 && !means_unsupported(errno)) fail_output();
  if (fd < 0) {
    create_named_temporary(folder);
  } else {
    file_ = fdopen(fd, "w+b");
    if (file_ == nullptr) close(fd);
  }
  if (file_ == nullptr) {
    discard();  // no destructor runs for a constructor that throws
    fail_output();
  }
  keep_mode_of_own_target();
}

// As a replace by rename in place (sed -i) keeps them, but only from a file
// of this user's: another user's file at the name (planted in a shared
// folder) must not give the new file its owner or its rights. Done before
// the run confines itself, which then may change no file's mode or owner.
// Best effort: a FAT folder has no modes or owners.
void OutputFile::keep_mode_of_own_target() {
  struct stat old {};
  if (lstat(target_path_.c_str(), &old) != 0 || !S_ISREG(old.st_mode) || old.st_uid != geteuid()) return;
  if (fchown(fileno(file_), static_cast<uid_t>(-1), old.st_gid) != 0) {
    // Not a member of that group: the new file keeps the process's.
  }
  fchmod(fileno(file_), old.st_mode & 07777);
}

// The file system has no unnamed temporaries. The folder lock keeps a
// concurrent run from taking this file for a dead run's between its creation
// and its own lock; held signals keep a handler from missing it.
void OutputFile::create_named_temporary(const std::string& folder) {
  const FolderLock lock(folder);
  const SignalsHeld held;
  std::string pattern = folder + kTemporaryPrefix + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) fail_output();
  name_named(name.data());
  flock(fd, LOCK_EX | LOCK_NB);
  // FAT and some network file systems have no modes: the file keeps the
  // folder's, which is no failure.
  fchmod(fd, default_file_mode());
  file_ = fdopen(fd, "w+b");
  if (file_ == nullptr) close(fd);
}

void OutputFile::name_named(std::string path) {
  unregister_temporary(signal_slot_);
  signal_slot_ = -1;
  temp_path_ = std::move(path);
  if (!temp_path_.empty()) signal_slot_ = register_temporary(temp_path_.c_str());
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  if (!temp_path_.empty()) unlink(temp_path_.c_str());
  name_named("");
}

void OutputFile::finish() {
  finished_ = !write_failed_ && std::fflush(file_) == 0 && fsync(fileno(file_)) == 0;
  if (!finished_) fail_output();
}

const std::string& OutputFile::name_in_folder(FolderEntries& entries) {
  if (!temp_path_.empty()) return temp_path_;
  // A live run's named temporaries are locked: no sweep takes them for a
  // dead run's.
  flock(fileno(file_), LOCK_EX | LOCK_NB);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = temporary_name(folder_of(target_path_));
    const int error = entries.name_file(fileno(file_), file_part(path));
    if (error == 0) {
      name_named(std::move(path));
      return temp_path_;
    }
    if (error != EEXIST) fail_output();
  }
  fail_output();
}

void OutputFile::forget_name() { name_named(""); }

bool OutputFile::name_for_good(FolderEntries& entries, const std::string& path) {
  if (temp_path_.empty()) return entries.name_file(fileno(file_), file_part(path)) == 0;
  if (entries.rename(file_part(temp_path_), file_part(path)) != 0) return false;
  forget_name();
  return true;
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

FolderLock::FolderLock(const std::string& folder, int seconds)
    : fd_(open(folder_or_here(folder), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  // A drop-box folder (write and search, no read: mode 0733) can't be opened
  // to lock, and no file could be locked there without leaving it behind:
  // runs there commit unlocked.
  if (fd_ < 0 && errno == EACCES) return;
  if (fd_ < 0) fail_output();
  lock(seconds);
}

FolderLock::FolderLock(int folder_fd, int seconds) : fd_(folder_fd), owned_(false) {
  if (fd_ >= 0) lock(seconds);
}

namespace {

// Waits for an exclusive lock on `fd`, at most `seconds`; true once had, or
// where the file system has no locks.
bool lock_within(int fd, int seconds) {
  timespec pause{0, 5000000};  // 5 ms, doubling to a quarter of a second
  const std::uint64_t deadline = nanoseconds_on(CLOCK_MONOTONIC) + std::uint64_t(std::max(seconds, 0)) * 1000000000u;
  while (true) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return true;
    if (nanoseconds_on(CLOCK_MONOTONIC) >= deadline) return false;
    nanosleep(&pause, nullptr);
    pause.tv_nsec = std::min(pause.tv_nsec * 2, 250000000L);
  }
}

}  // namespace

void FolderLock::lock(int seconds) {
  if (lock_within(fd_, seconds)) return;
  if (owned_) close(fd_);
  fd_ = -1;  // no destructor runs for a constructor that throws
  fail_output();
}

FolderLock::~FolderLock() {
  if (fd_ < 0) return;
  if (owned_) {
    close(fd_);
  } else {
    flock(fd_, LOCK_UN);
  }
}

bool folder_lock_free_within(const std::string& folder, int seconds) {
  const int fd = open(folder_or_here(folder), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  const bool had = lock_within(fd, seconds);
  close(fd);
  return had;
}

OutputFolder::OutputFolder(const std::string& folder)
    : fd_(open(folder_or_here(folder), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

OutputFolder::~OutputFolder() {
  if (fd_ >= 0) close(fd_);
}

FolderProblem output_folder_problem(const std::string& target_path) {
  const std::string folder_part = folder_of(target_path);
  const char* folder = folder_or_here(folder_part);
  struct stat info {};
  if (stat(folder, &info) != 0) return errno == ENOENT || errno == ENOTDIR ? FolderProblem::Missing
                                                                          : FolderProblem::NotWritable;
  if (!S_ISDIR(info.st_mode)) return FolderProblem::NotAFolder;
  struct statvfs file_system {};
  if (statvfs(folder, &file_system) == 0 && (file_system.f_flag & ST_RDONLY) != 0) return FolderProblem::NotWritable;
  if (faccessat(AT_FDCWD, folder, W_OK | X_OK, AT_EACCESS) != 0) return FolderProblem::NotWritable;
  return FolderProblem::None;
}

std::optional<FolderSpace> output_folder_space(const std::string& target_path) {
  const std::string folder = folder_of(target_path);
  struct statvfs file_system {};
  if (statvfs(folder_or_here(folder), &file_system) != 0) return std::nullopt;
  const std::uint64_t block = file_system.f_frsize != 0 ? file_system.f_frsize : file_system.f_bsize;
  return FolderSpace{std::uint64_t{file_system.f_bavail} * block, block != 0 ? block : 1};
}

}  // namespace interlace
