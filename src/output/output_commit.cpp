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
#include <algorithm>
#include <memory>
#include <vector>

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

bool exists(const std::string& path) {
  struct stat unused {};
  return lstat(path.c_str(), &unused) == 0;
}

// "<folder>.interlace-<16 hex digits of a hash of the target's file name><suffix>".
std::string hashed_name(const std::string& target_path, const char* suffix) {
  const std::string folder = folder_of(target_path);
  std::uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a, 64 bits
  for (std::size_t i = folder.size(); i < target_path.size(); ++i) {
    hash = (hash ^ static_cast<unsigned char>(target_path[i])) * 0x100000001b3u;
  }
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016" PRIx64, hash);
  return folder + ".interlace-" + digits + suffix;
}

// The commit's moves, as plain renames; renameat2 where the kernel has it,
// as the tests that fail it count on.
bool move(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) == 0) return true;
  return errno == ENOSYS && std::rename(from.c_str(), to.c_str()) == 0;
}

// The journal's text: the file names of the targets that didn't exist
// before the commit, one a line.
std::vector<std::string> absent_targets_in(const std::string& journal) {
  std::vector<std::string> names;
  const int fd = open(journal.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return names;
  char text[4096];
  const ssize_t length = read(fd, text, sizeof text);
  close(fd);
  std::string line;
  for (ssize_t i = 0; i < length; ++i) {
    if (text[i] != '\n') {
      line += text[i];
    } else if (!line.empty()) {
      names.push_back(line);
      line.clear();
    }
  }
  return names;
}

// One output's part in the commit, and how to undo it.
class Placement {
 public:
  Placement(OutputFile& output, const Target& target) : output_(output), target_(target) {}

  const std::string& target_path() const { return output_.target_path(); }
  bool existed() const { return target_.exists; }

  // Everything that can fail before anything moves: naming the temporary.
  void prepare() {
    if (target_.regular) keep_mode_and_owner(output_.descriptor(), target_.info);
    output_.name_in_folder();
  }

  // The old file gets its restore name too, a hard link (of the link
  // itself, for a symbolic link). Where the file system has no hard links
  // (FAT), it moves there when the new file is placed.
  void set_old_aside() {
    if (!target_.exists) return;
    const std::string aside = restore_name(target_path());
    linked_ = linkat(AT_FDCWD, target_path().c_str(), AT_FDCWD, aside.c_str(), 0) == 0;
    if (!linked_ && errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) fail_output();
  }

  void place() {
    if (target_.exists && !linked_) {
      if (!move(target_path(), restore_name(target_path()))) fail_output();
      moved_aside_ = true;
    }
    if (!move(output_.name_in_folder(), target_path())) fail_output();
    output_.forget_name();
    placed_ = true;
  }

  // Puts the target back as it was; false where it couldn't (the old file
  // then waits under its restore name).
  bool undo() {
    const std::string aside = restore_name(target_path());
    if (placed_ || moved_aside_) {
      const bool undone = target_.exists ? move(aside, target_path())
                                         : unlink(target_path().c_str()) == 0 || errno == ENOENT;
      if (!undone) return false;
    } else if (linked_) {
      unlink(aside.c_str());  // a second name of the file still in place
    }
    placed_ = moved_aside_ = linked_ = false;
    return true;
  }

  // The commit is done: the old file goes.
  void remove_old() {
    if (target_.exists) unlink(restore_name(target_path()).c_str());
  }

 private:
  OutputFile& output_;
  Target target_;
  bool linked_ = false, moved_aside_ = false, placed_ = false;
};

// The renames are only durable once the folder's entries are on disk too; a
// folder that can't be synced still holds the complete files.
void sync_folder(int folder_fd) {
  if (folder_fd >= 0) fsync(folder_fd);
}

// The journal names the targets that didn't exist; it is in place before
// anything moves, and renamed to the done name once everything has.
void write_journal(OutputFile& journal, const std::vector<Placement>& placements, const std::string& name) {
  for (const Placement& placement : placements) {
    if (placement.existed()) continue;
    std::string line = file_part(placement.target_path()) + "\n";
    journal.io()->write_proc(line.data(), 1, static_cast<unsigned>(line.size()), journal.handle());
  }
  journal.finish();
  if (!journal.name_for_good(name)) fail_output();
}

}  // namespace

std::string restore_name(const std::string& target_path) { return hashed_name(target_path, ".restore"); }
std::string journal_name(const std::string& first_target) { return hashed_name(first_target, ".commit"); }
std::string done_name(const std::string& first_target) { return hashed_name(first_target, ".done"); }

void mend_interrupted_commit(const std::vector<std::string>& targets) {
  const std::string done = done_name(targets.front()), journal = journal_name(targets.front());
  if (exists(done)) {  // it had finished: what is aside is old
    for (const std::string& target : targets) unlink(restore_name(target).c_str());
    unlink(done.c_str());
    return;
  }
  const bool journaled = exists(journal);
  const std::vector<std::string> absent = journaled ? absent_targets_in(journal) : std::vector<std::string>();
  for (const std::string& target : targets) {
    const std::string aside = restore_name(target);
    if (exists(aside)) {
      if (std::rename(aside.c_str(), target.c_str()) != 0) fail_output();
      unlink(aside.c_str());  // still there where both names were one file's
    } else if (std::find(absent.begin(), absent.end(), file_part(target)) != absent.end()) {
      if (unlink(target.c_str()) != 0 && errno != ENOENT) fail_output();
    }
  }
  if (journaled) unlink(journal.c_str());
}

void tidy_folder(int folder_fd, const std::vector<std::string>& targets) {
  remove_dead_temporaries(folder_fd);
  mend_interrupted_commit(targets);
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

void commit_locked(const std::vector<OutputFile*>& outputs, OutputFile& journal, const FolderLock& lock) {
  std::vector<Placement> placements;
  for (OutputFile* output : outputs) placements.emplace_back(*output, look_at_target(output->target_path()));
  for (Placement& placement : placements) placement.prepare();
  const std::string& first = placements.front().target_path();
  const std::string journal_path = journal_name(first), done = done_name(first);
  write_journal(journal, placements, journal_path);
  try {
    for (Placement& placement : placements) placement.set_old_aside();
    for (Placement& placement : placements) placement.place();
    if (std::rename(journal_path.c_str(), done.c_str()) != 0) fail_output();
  } catch (const Failure&) {
    bool all_undone = true;
    for (std::size_t j = placements.size(); j-- > 0;) all_undone = placements[j].undo() && all_undone;
    // Left in place where something couldn't be put back: the next run
    // reads it.
    if (all_undone) unlink(journal_path.c_str());
    sync_folder(lock.descriptor());
    if (!all_undone) throw Failure(ExitStatus::OutputsMixed);
    throw;
  }
  sync_folder(lock.descriptor());
  for (Placement& placement : placements) placement.remove_old();
  unlink(done.c_str());
  sync_folder(lock.descriptor());
}

void check_finished(const std::vector<OutputFile*>& outputs) {
  for (const OutputFile* output : outputs) {
    if (!output->finished()) fail_output();
  }
}

std::vector<std::string> targets_of(const std::vector<OutputFile*>& outputs) {
  std::vector<std::string> targets;
  for (const OutputFile* output : outputs) targets.push_back(output->target_path());
  return targets;
}

}  // namespace

void replace_targets(const std::vector<OutputFile*>& outputs) {
  check_finished(outputs);
  // Every output of one run shares its folder: the base name's. (The
  // journal's temporary first: where it is a named one, making it takes the
  // folder's lock for a moment.)
  OutputFile journal(journal_name(outputs.front()->target_path()));
  const FolderLock lock(folder_of(outputs.front()->target_path()));
  const SignalsHeld held;
  tidy_folder(lock.descriptor(), targets_of(outputs));
  commit_locked(outputs, journal, lock);
}

void replace_targets(const std::vector<OutputFile*>& outputs, const OutputFolder& folder, OutputFile& journal) {
  check_finished(outputs);
  const FolderLock lock(folder.descriptor());
  const SignalsHeld held;
  commit_locked(outputs, journal, lock);
}

}  // namespace interlace
