// Output files that are either complete and new, or not touched at all.
#pragma once

#include <FreeImage.h>

#include <cstdio>
#include <string>

namespace interlace {

// Writes go to a temporary file in the target's folder; only replace_target()
// puts it in place, by a rename, so a reader never sees a partial file and a
// failed run leaves the old file as it was. The temporary is removed on every
// other way out, including SIGINT, SIGTERM and SIGHUP once
// remove_temporaries_on_signals() has run.
class OutputFile {
 public:
  // Creates the temporary file. Throws Failure(OutputFailed) when the folder
  // can't take it (missing, read-only, full).
  explicit OutputFile(std::string target_path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // The FreeImage I/O functions and handle that write into the temporary;
  // every short write is remembered.
  FreeImageIO* io() { return &io_; }
  fi_handle handle() { return this; }

  // Flushes, syncs and closes the temporary. Throws Failure(OutputFailed) if
  // any write, the flush, the sync or the close failed.
  void finish();

  // Renames the finished temporary over the target, keeping a hard link to
  // the old file so that restore_previous() can undo it. Throws
  // Failure(OutputFailed) if the rename fails.
  void replace_target();

  // Puts back what the target was before replace_target(): the old file, or
  // no file. Best effort: a file system without hard links keeps the new one.
  void restore_previous();

 private:
  static unsigned read(void* buffer, unsigned size, unsigned count, fi_handle handle);
  static unsigned write(void* buffer, unsigned size, unsigned count, fi_handle handle);
  static int seek(fi_handle handle, long offset, int origin);
  static long tell(fi_handle handle);
  void discard();

  std::string target_path_;
  std::string temp_path_;
  std::FILE* file_ = nullptr;
  bool write_failed_ = false;
  std::string backup_path_;  // the old target, while it may still be needed
  bool in_place_ = false;
  bool target_was_new_ = false;
  int signal_slot_ = -1;
  int backup_signal_slot_ = -1;
  FreeImageIO io_{read, write, seek, tell};
};

// Replaces both targets or neither: when the second rename fails, the first
// target gets its old file back. Throws Failure(OutputFailed).
void replace_targets_together(OutputFile& first, OutputFile& second);

// Installs handlers that remove any live temporary before the process dies of
// SIGINT, SIGTERM or SIGHUP, then let the signal take its usual course.
void remove_temporaries_on_signals();

}  // namespace interlace
