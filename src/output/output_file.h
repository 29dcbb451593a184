// Output files that are either complete and new, or not touched at all.
#pragma once

#include <FreeImage.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "output/folder_entries.h"

namespace interlace {

// The folder part of a path, with its trailing slash; empty for a bare name.
std::string folder_of(const std::string& path);
// The rest: the file's own name.
std::string file_part(const std::string& path);

// Writes go to a temporary file in the target's folder, which only
// replace_targets() (output_commit.h) puts in place. Where the file system
// allows, the temporary has no name until then (O_TMPFILE), so however the
// process ends, power loss included, nothing of it is left. Elsewhere (FAT,
// exFAT) it is a named ".interlace-XXXXXX" that is locked while its run
// lives, removed by the signal handlers (or the commit helper) and, should
// the run die of SIGKILL before it has a helper, by a later run in the folder.
class OutputFile {
 public:
  // Creates the temporary. Where the target is a file of this user's, the
  // temporary takes its permission bits and group now, so that the
  // replacement keeps them; another user's file passes on nothing. Throws
  // Failure(OutputFailed) when the folder can't take it (missing, read-only,
  // full).
  explicit OutputFile(std::string target_path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // The FreeImage I/O functions and handle that write into the temporary;
  // every short write is remembered.
  FreeImageIO* io() { return &io_; }
  fi_handle handle() { return this; }

  // Flushes and syncs the temporary. Throws Failure(OutputFailed) if any
  // write, the flush or the sync failed.
  void finish();

  const std::string& target_path() const { return target_path_; }
  int descriptor() const { return fileno(file_); }
  bool finished() const { return finished_; }

  // The temporary's name beside the target, giving an unnamed one a name
  // first through `entries`. Throws Failure(OutputFailed). Call with the
  // folder locked and signals held: from here until the commit ends, the
  // name is visible.
  const std::string& name_in_folder(FolderEntries& entries);

  // The commit has moved the temporary's name away (renamed onto the
  // target, or removed): nothing is left for this object to remove.
  void forget_name();

  // Gives the finished temporary the name `path` for good (a link, or a
  // rename of a named temporary) through `entries`; this object no longer
  // removes it. False when it can't.
  bool name_for_good(FolderEntries& entries, const std::string& path);

  // The named temporary's path; empty while it has no name.
  const std::string& temporary_path() const { return temp_path_; }

 private:
  static unsigned read(void* buffer, unsigned size, unsigned count, fi_handle handle);
  static unsigned write(void* buffer, unsigned size, unsigned count, fi_handle handle);
  static int seek(fi_handle handle, long offset, int origin);
  static long tell(fi_handle handle);
  void create_named_temporary(const std::string& folder);
  void keep_mode_of_own_target();
  void name_named(std::string path);
  void discard();

  std::string target_path_;
  std::string temp_path_;  // empty while the temporary has no name
  std::FILE* file_ = nullptr;
  bool write_failed_ = false;
  bool finished_ = false;
  int signal_slot_ = -1;
  FreeImageIO io_{read, write, seek, tell};
};

// How long a run waits for its folder's lock. Another run holds it only for
// its tidying and its commit, a few dozen links, renames and removals and
// three syncs of the folder; but anyone who may read the folder can take
// the lock and keep it. Against the slowest commit measured (docs/
// robustness.md) this is a thousandfold.
#ifndef INTERLACE_FOLDER_LOCK_SECONDS
#define INTERLACE_FOLDER_LOCK_SECONDS 60
#endif
constexpr int kFolderLockSeconds = INTERLACE_FOLDER_LOCK_SECONDS;

// An exclusive lock on a folder, held by a run while it commits outputs or
// creates a named temporary there, so that runs on one folder take turns and
// one run's clearing of dead runs' temporaries never meets another's live
// ones. Where the file system has no locks, runs go ahead unlocked; so do
// runs in a folder they may write and search but not read (a drop box),
// which they can't open: descriptor() is then -1, and nothing is swept.
class FolderLock {
 public:
  // Waits for the lock, at most `seconds`. Throws Failure(OutputFailed) if
  // the folder can't be opened or the lock isn't had by then.
  explicit FolderLock(const std::string& folder, int seconds = kFolderLockSeconds);
  // The same on a folder open already as `folder_fd` (-1 for none: no
  // lock), which stays open when the lock is let go.
  explicit FolderLock(int folder_fd, int seconds = kFolderLockSeconds);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  int descriptor() const { return fd_; }

 private:
  void lock(int seconds);

  int fd_ = -1;
  bool owned_ = true;
};

// False when the lock on `folder` is held elsewhere and not let go within
// `seconds`: a run there would wait that long, then end with status 3.
// Nothing is changed.
bool folder_lock_free_within(const std::string& folder, int seconds = kFolderLockSeconds);

// The outputs' folder, opened once, before the run gives up the right to
// open anything: the run locks, sweeps and syncs it through this
// descriptor. descriptor() is -1 where the folder can't be opened to read (a
// drop box, mode 0733) or is missing: creating the outputs says which.
class OutputFolder {
 public:
  explicit OutputFolder(const std::string& folder);
  ~OutputFolder();
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;
  int descriptor() const { return fd_; }

 private:
  int fd_ = -1;
};

// Why an output can't be made in the folder of `target_path`, as creating
// its temporary would find: the folder is missing, isn't one, or can't be
// written (permissions, a read-only file system). None when it can.
enum class FolderProblem { None, Missing, NotAFolder, NotWritable };
FolderProblem output_folder_problem(const std::string& target_path);

// Bytes free to this process in the folder of `target_path`, and the
// file system's block size; nullopt when it can't be told.
struct FolderSpace {
  std::uint64_t free_bytes = 0;
  std::uint64_t block_bytes = 1;
};
std::optional<FolderSpace> output_folder_space(const std::string& target_path);

// A name ".interlace-XXXXXX" in `folder` (a folder_of() result) with six
// random letters and digits; the caller makes sure it is free.
std::string temporary_name(const std::string& folder);

// True for the names temporary_name() makes, and for the ".old" backups that
// earlier versions of the tool made beside them.
bool is_temporary_name(const std::string& name);

}  // namespace interlace
