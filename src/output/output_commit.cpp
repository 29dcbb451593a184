#include "output/output_commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "exit_status.h"
#include "output/signals.h"

namespace interlace {

namespace {

// What stood at a target when the commit began.
struct Target {
  bool exists = false;
  struct stat info {};
};

// A folder others may write to keeps their files from being replaced or
// removed by anyone but their owner; the tool keeps to that rule even as
// root, so that nobody's file is swapped for one of the tool's.
bool sticky_folder(const std::string& path) {
  struct stat folder {};
  const std::string name = folder_of(path);
  return stat(name.empty() ? "." : name.c_str(), &folder) == 0 && (folder.st_mode & S_ISVTX) != 0;
}

// Why the commit may not replace what stands at `path`; empty when it may.
std::string refusal(const std::string& path, const struct stat& info) {
  const std::string name = file_part(path);
  // A link is replaced as a name; anything else isn't ours to replace.
  if (S_ISDIR(info.st_mode)) return "a folder stands where " + name + " goes";
  if (S_ISFIFO(info.st_mode)) return "a FIFO stands where " + name + " goes";
  if (S_ISSOCK(info.st_mode)) return "a socket stands where " + name + " goes";
  if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return "a device stands where " + name + " goes";
  if (info.st_uid != geteuid() && sticky_folder(path)) {
    return "user " + std::to_string(info.st_uid) + "'s file stands where " + name +
           " goes, in a folder shared with the sticky bit: it is not replaced";
  }
  return {};
}

Target look_at_target(const std::string& path) {
  Target target;
  if (lstat(path.c_str(), &target.info) != 0) {
    if (errno != ENOENT) fail_output();
    return target;
  }
  target.exists = true;
  if (!refusal(path, target.info).empty()) fail_output();
  return target;
}

// One output's part in the commit, and how to undo it. Names are the
// folder's entries', without the folder.
class Placement {
 public:
  Placement(OutputFile& output, const Target& target, FolderEntries& entries)
      : output_(output), target_(target), entries_(entries), name_(file_part(output.target_path())),
        aside_(file_part(restore_name(output.target_path()))) {}

  const std::string& target_path() const { return output_.target_path(); }
  const Target& target() const { return target_; }

  // Everything that can fail before anything moves: naming the temporary.
  void prepare() { temporary_ = file_part(output_.name_in_folder(entries_)); }

  // The old file gets its restore name too, a hard link (of the link
  // itself, for a symbolic link). Where the file system has no hard links
  // (FAT), it moves there when the new file is placed.
  void set_old_aside() {
    if (!target_.exists) return;
    const int error = entries_.link(name_, aside_);
    linked_ = error == 0;
    if (!linked_ && error != EPERM && error != EOPNOTSUPP && error != EMLINK) fail_output();
  }

  void place() {
    if (target_.exists && !linked_) {
      if (entries_.rename(name_, aside_) != 0) fail_output();
      moved_aside_ = true;
    }
    if (entries_.rename(temporary_, name_) != 0) fail_output();
    output_.forget_name();
    placed_ = true;
  }

  // Puts the target back as it was; false where it couldn't (the old file
  // then waits under its restore name).
  bool undo() {
    if (placed_ || moved_aside_) {
      const int error = target_.exists ? entries_.rename(aside_, name_) : entries_.remove(name_);
      if (error != 0 && !(error == ENOENT && !target_.exists)) return false;
    } else if (linked_) {
      entries_.remove(aside_);  // a second name of the file still in place
    }
    placed_ = moved_aside_ = linked_ = false;
    return true;
  }

  // The commit is done: the old file goes.
  void remove_old() {
    if (target_.exists) entries_.remove(aside_);
  }

 private:
  OutputFile& output_;
  Target target_;
  FolderEntries& entries_;
  std::string name_, aside_, temporary_;
  bool linked_ = false, moved_aside_ = false, placed_ = false;
};

// The renames are only durable once the folder's entries are on disk too; a
// folder that can't be synced still holds the complete files.
void sync_folder(int folder_fd) {
  if (folder_fd >= 0) fsync(folder_fd);
}

// The journal names every target and what stood there; it is in place,
// locked, before anything moves, and renamed to the done name once
// everything has.
void write_journal(OutputFile& journal, const std::vector<Placement>& placements, FolderEntries& entries,
                   const std::string& path) {
  Journal contents;
  for (const Placement& placement : placements) {
    const Target& target = placement.target();
    contents.targets.push_back({file_part(placement.target_path()), target.exists,
                                target.exists ? std::uint64_t{target.info.st_dev} : 0,
                                target.exists ? std::uint64_t{target.info.st_ino} : 0});
  }
  std::string text = journal_text(contents);
  journal.io()->write_proc(text.data(), 1, static_cast<unsigned>(text.size()), journal.handle());
  journal.finish();
  // Held until this process ends: a mend never undoes a live commit.
  flock(journal.descriptor(), LOCK_EX | LOCK_NB);
  if (!journal.name_for_good(entries, path)) fail_output();
}

void remove_if_ours(const CommitFile& file, FolderEntries& entries) {
  if (file.standing == Standing::Ours) entries.remove(file_part(file.path));
}

bool recorded_absent(const Journal& journal, const std::string& name) {
  for (const JournalTarget& recorded : journal.targets) {
    if (recorded.name == name && !recorded.existed) return true;
  }
  return false;
}

// The journal's commit didn't reach its commit point: its old files go back,
// and the targets that didn't exist go.
void undo_journaled(const std::vector<std::string>& targets, const Leftovers& left, FolderEntries& entries) {
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const std::string name = file_part(targets[i]), aside = file_part(left.restores[i].path);
    if (recorded_absent(*left.parsed, name)) {
      const int error = entries.remove(name);
      if (error != 0 && error != ENOENT) fail_output();
      continue;
    }
    if (left.restores[i].standing == Standing::Absent) continue;  // not yet set aside
    // A file planted under the restore name is never put in a target's place.
    if (!left.trusted_restore(i)) fail_output();
    if (entries.rename(aside, name) != 0) fail_output();
    entries.remove(aside);  // still there where both names were one file's
  }
  entries.remove(file_part(left.journal.path));
}

}  // namespace

void mend_interrupted_commit(const std::vector<std::string>& targets, FolderEntries& entries) {
  const Leftovers left = look_at_leftovers(targets);
  if (left.live()) return;  // another run commits this set right now
  if (left.undo()) {
    undo_journaled(targets, left, entries);
    return;
  }
  // Someone else's file at the journal's name: what its commit did can't be
  // told, and nothing is touched.
  if (left.journal.standing == Standing::Foreign) return;
  // Past the commit point (or no commit at all): what is aside is old, and
  // goes.
  for (const CommitFile& restore : left.restores) remove_if_ours(restore, entries);
  remove_if_ours(left.done, entries);
}

void tidy_folder(int folder_fd, const std::vector<std::string>& targets) {
  remove_dead_temporaries(folder_fd);
  DirectEntries entries(folder_of(targets.front()));
  mend_interrupted_commit(targets, entries);
}

void check_target(const std::string& path) { look_at_target(path); }

std::string target_problem(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) return refusal(path, info);
  if (errno == ENOENT) return {};
  if (errno == ENAMETOOLONG) {
    return "its name, " + std::to_string(file_part(path).size()) +
           " bytes, is longer than the file system allows (255 bytes)";
  }
  return "something that can't be looked at stands where " + file_part(path) + " goes";
}

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
    // A live run holds a lock on each of its named temporaries; another
    // user's are theirs to clear.
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
        flock(fd, LOCK_EX | LOCK_NB) == 0) {
      unlinkat(folder_fd, entry->d_name, 0);
    }
    close(fd);
  }
  closedir(folder);
}

namespace {

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

// The mend before cleared every name of this commit's that was ours: what
// stands at one now (another user's file, a live run's journal) is not the
// commit's to replace or remove.
void check_names_free(const std::vector<Placement>& placements) {
  const std::string& first = placements.front().target_path();
  if (exists(journal_name(first)) || exists(done_name(first))) fail_output();
  for (const Placement& placement : placements) {
    if (placement.target().exists && exists(restore_name(placement.target_path()))) fail_output();
  }
}

void commit_locked(const std::vector<OutputFile*>& outputs, OutputFile& journal, FolderEntries& entries,
                   int folder_fd) {
  std::vector<Placement> placements;
  for (OutputFile* output : outputs) placements.emplace_back(*output, look_at_target(output->target_path()), entries);
  check_names_free(placements);
  for (Placement& placement : placements) placement.prepare();
  const std::string& first = placements.front().target_path();
  const std::string journal_file = file_part(journal_name(first)), done = file_part(done_name(first));
  write_journal(journal, placements, entries, journal_file);
  try {
    for (Placement& placement : placements) placement.set_old_aside();
    for (Placement& placement : placements) placement.place();
    if (entries.rename(journal_file, done) != 0) fail_output();
  } catch (const Failure&) {
    bool all_undone = true;
    for (std::size_t j = placements.size(); j-- > 0;) all_undone = placements[j].undo() && all_undone;
    // Left in place where something couldn't be put back: the next run
    // reads it.
    if (all_undone) entries.remove(journal_file);
    sync_folder(folder_fd);
    if (!all_undone) throw Failure(ExitStatus::OutputsMixed);
    throw;
  }
  sync_folder(folder_fd);
  // A restore name that can't be removed is left for the next run, which
  // removes it (no journal says it is to go back).
  for (Placement& placement : placements) placement.remove_old();
  entries.remove(done);
  sync_folder(folder_fd);
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
  DirectEntries entries(folder_of(outputs.front()->target_path()));
  commit_locked(outputs, journal, entries, lock.descriptor());
}

void replace_targets(const std::vector<OutputFile*>& outputs, const OutputFolder& folder, OutputFile& journal,
                     FolderEntries& entries) {
  check_finished(outputs);
  const FolderLock lock(folder.descriptor());
  const SignalsHeld held;
  commit_locked(outputs, journal, entries, lock.descriptor());
}

}  // namespace interlace
