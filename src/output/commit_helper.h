// The commit helper: a small process the run forks before it confines
// itself, which makes the commit's changes to the outputs' folder for it.
// The confined run keeps no right to change any file by name; the helper
// may change entries of that one folder only (never of a folder below it),
// and only under the names of the set's commit: its two outputs, their
// restore names, its journal and done marker, and temporaries. Should the run
// die, even of SIGKILL, the helper removes the temporaries it named before it
// ends, so none is left behind.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "output/folder_entries.h"

namespace interlace {

class CommitHelper : public FolderEntries {
 public:
  // Forks the helper for the outputs `targets` (paths, commit order), all in
  // one folder. `temporaries` are named temporaries the run made there
  // already, which the helper removes if the run dies with them. Throws
  // Failure(OutputFailed) when it can't fork.
  CommitHelper(const std::vector<std::string>& targets, const std::vector<std::string>& temporaries);
  // Lets the helper end, and waits for it.
  ~CommitHelper() override;
  CommitHelper(const CommitHelper&) = delete;
  CommitHelper& operator=(const CommitHelper&) = delete;

  int name_file(int fd, const std::string& name) override;
  int link(const std::string& from, const std::string& to) override;
  int rename(const std::string& from, const std::string& to) override;
  int remove(const std::string& name) override;

  pid_t pid() const { return pid_; }

 private:
  int ask(int operation, const std::string& from, const std::string& to, int fd = -1);

  pid_t pid_ = -1;
  int channel_ = -1;
};

// The helper's process name, as ps and /proc/PID/comm show it.
constexpr const char* kCommitHelperName = "interlace-commit";

}  // namespace interlace
