#include "output/output_commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "exit_status.h"
#include "output/signals.h"

namespace interlace {

namespace {

// What stood at a target when the commit began.
struct Target {
  bool exists = false;
  bool regular = false;
  struct stat info {};
};

Target look_at_target(const std::string& path) {
  Target target;
  if (lstat(path.c_str(), &target.info) != 0) {
    if (errno != ENOENT) fail_output();
    return target;
  }
  target.exists = true;
  target.regular = S_ISREG(target.info.st_mode);
  // A link is replaced as a name; anything else isn't ours to replace.
  if (!target.regular && !S_ISLNK(target.info.st_mode)) fail_output();
  return target;
}

// Best effort: a FAT folder has no modes or owners, and only root may give
// a file to another user. The mode comes last, as a change of owner clears
// set-id bits.
void keep_mode_and_owner(int fd, const struct stat& old) {
  if (fchown(fd, old.st_uid, old.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
    // Neither could be kept: the new file stays this process's.
  }
  fchmod(fd, old.st_mode & 07777);
}

bool exchange_unsupported(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

// One output's step of the commit, and how to undo it.
class Placement {
 public:
  Placement(OutputFile& output, const Target& target) : output_(output), target_(target) {}

  // Everything that can fail before a target moves: naming the temporary.
  void prepare() { output_.name_in_folder(); }

  void place() {
    const std::string& temporary = output_.name_in_folder();
    const char* target = output_.target_path().c_str();
    if (!target_.exists) {
      if (std::rename(temporary.c_str(), target) != 0) fail_output();
      output_.forget_name();
      how_ = How::Created;
    } else if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target, RENAME_EXCHANGE) == 0) {
      aside_ = temporary;  // now holds the old file
      how_ = How::Exchanged;
    } else if (exchange_unsupported(errno)) {
      set_old_aside(temporary);
    } else {
      fail_output();
    }
  }

  // Puts the target back as it was. Returns false if it couldn't: the new
  // file stays in place and the old one goes to the target's restore name
  // (or, if even that rename fails, stays under its own), never deleted.
  bool undo() {
    const char* target = output_.target_path().c_str();
    bool undone = true;
    switch (how_) {
      case How::Created: undone = unlink(target) == 0 || errno == ENOENT; break;
      case How::Exchanged:
        undone = renameat2(AT_FDCWD, aside_.c_str(), AT_FDCWD, target, RENAME_EXCHANGE) == 0;
        break;
      case How::SetAside: undone = std::rename(aside_.c_str(), target) == 0; break;
      case How::NotYet: break;
    }
    if (!undone && how_ != How::Created) keep_old_aside();
    if (undone && how_ == How::SetAside) aside_.clear();
    how_ = How::NotYet;
    return undone;
  }

  // The old file goes, and with it the last name of this run's.
  void remove_old() {
    if (!aside_.empty()) unlink(aside_.c_str());
    if (how_ == How::Exchanged) output_.forget_name();
  }

 private:
  enum class How { NotYet, Created, Exchanged, SetAside };

  // Without an exchange the old file steps aside under a name of its own, so
  // that it can come back by a rename where no hard link can be made.
  void set_old_aside(const std::string& temporary) {
    const char* target = output_.target_path().c_str();
    struct stat unused {};
    std::string aside;
    do aside = temporary_name(folder_of(output_.target_path()));
    while (lstat(aside.c_str(), &unused) == 0);
    if (std::rename(target, aside.c_str()) != 0) fail_output();
    if (std::rename(temporary.c_str(), target) != 0) {
      std::rename(aside.c_str(), target);
      fail_output();
    }
    output_.forget_name();
    aside_ = aside;
    how_ = How::SetAside;
  }

  // The old file must outlive this run: a temporary's name would be
  // removed, by this run's cleanup or by the next run's sweep.
  void keep_old_aside() {
    if (how_ == How::Exchanged) output_.forget_name();
    if (std::rename(aside_.c_str(), restore_name(output_.target_path()).c_str()) == 0) aside_.clear();
    aside_.clear();  // not to be removed as an old file either way
  }

  OutputFile& output_;
  Target target_;
  How how_ = How::NotYet;
  std::string aside_;
};

// The renames are only durable once the folder's entries are on disk too; a
// folder that can't be synced still holds the complete files.
void sync_folder(int folder_fd) {
  if (folder_fd >= 0) fsync(folder_fd);
}

// A file a failed commit left aside goes back in its target's place, so the
// pair is the earlier run's again before this commit begins.
void restore_left_aside(const std::string& target_path) {
  const std::string aside = restore_name(target_path);
  struct stat info {};
  if (lstat(aside.c_str(), &info) != 0) {
    if (errno != ENOENT) fail_output();
    return;
  }
  if (!S_ISREG(info.st_mode) || std::rename(aside.c_str(), target_path.c_str()) != 0) fail_output();
}

}  // namespace

std::string restore_name(const std::string& target_path) {
  const std::string folder = folder_of(target_path);
  std::uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a, 64 bits
  for (std::size_t i = folder.size(); i < target_path.size(); ++i) {
    hash = (hash ^ static_cast<unsigned char>(target_path[i])) * 0x100000001b3u;
  }
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016" PRIx64, hash);
  return folder + ".interlace-" + digits + ".restore";
}

void check_target(const std::string& path) { look_at_target(path); }

void remove_dead_temporaries(int folder_fd) {
  const int listing = dup(folder_fd);
  if (listing < 0) return;
  DIR* folder = fdopendir(listing);
  if (folder == nullptr) {
    close(listing);
    return;
  }
  rewinddir(folder);
  while (const dirent* entry = readdir(folder)) {
    if (!is_temporary_name(entry->d_name)) continue;
    const int fd = openat(folder_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat info {};
    // A live run holds a lock on each of its named temporaries.
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0) {
      unlinkat(folder_fd, entry->d_name, 0);
    }
    close(fd);
  }
  closedir(folder);
}

namespace {

void commit_locked(const std::vector<OutputFile*>& outputs, const FolderLock& lock);

}  // namespace

void replace_targets(const std::vector<OutputFile*>& outputs) {
  for (OutputFile* output : outputs) {
    if (!output->finished()) fail_output();
  }
  // Every output of one run shares its folder: the base name's.
  const FolderLock lock(folder_of(outputs.front()->target_path()));
  const SignalsHeld held;
  if (lock.descriptor() >= 0) remove_dead_temporaries(lock.descriptor());
  commit_locked(outputs, lock);
}

void replace_targets(const std::vector<OutputFile*>& outputs, const OutputFolder& folder) {
  for (OutputFile* output : outputs) {
    if (!output->finished()) fail_output();
  }
  const FolderLock lock(folder.descriptor());
  const SignalsHeld held;
  commit_locked(outputs, lock);
}

namespace {

void commit_locked(const std::vector<OutputFile*>& outputs, const FolderLock& lock) {
  for (OutputFile* output : outputs) restore_left_aside(output->target_path());
  sync_folder(lock.descriptor());

  std::vector<Target> targets;
  for (OutputFile* output : outputs) targets.push_back(look_at_target(output->target_path()));
  std::vector<Placement> placements;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    if (targets[i].regular) keep_mode_and_owner(outputs[i]->descriptor(), targets[i].info);
    placements.emplace_back(*outputs[i], targets[i]);
    placements.back().prepare();
  }
  for (std::size_t i = 0; i < placements.size(); ++i) {
    try {
      placements[i].place();
    } catch (const Failure&) {
      bool all_undone = true;
      for (std::size_t j = i; j-- > 0;) all_undone = placements[j].undo() && all_undone;
      sync_folder(lock.descriptor());
      if (!all_undone) throw Failure(ExitStatus::OutputsMixed);
      throw;
    }
  }
  for (Placement& placement : placements) placement.remove_old();
  sync_folder(lock.descriptor());
}

}  // namespace

}  // namespace interlace
