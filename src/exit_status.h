// The tool's only report: its exit status, and the failure that carries one.
#pragma once

#include <exception>

namespace interlace {

// Callers script against these numbers; never renumber them.
enum class ExitStatus : int {
  Done = 0,            // both outputs written
  BadCommandLine = 1,  // refused before any file is opened or created
  BadView = 2,         // a view file can't be used; no output written
  OutputFailed = 3,    // an output can't be made or written; no output changed
  // The commit failed and couldn't put an output back: the folder holds a
  // new file beside an old one, and the old file it replaced waits aside
  // for the next run of the set, which puts it back before its own commit.
  OutputsMixed = 4,
  // The views' decoder can't run here: its program is missing, or the
  // system won't confine it (no seccomp filters). No view was read.
  DecoderUnavailable = 5,
};

// Thrown by any step that must end the run; the run sequence catches it and
// exits with its status. Destructors on the way out release every bitmap and
// remove every temporary file.
class Failure : public std::exception {
 public:
  explicit Failure(ExitStatus status) : status_(status) {}
  ExitStatus status() const { return status_; }
  const char* what() const noexcept override { return "interlace run failed"; }

 private:
  ExitStatus status_;
};

// Ends the run with status 3: an output can't be made, written or put in place.
[[noreturn]] inline void fail_output() { throw Failure(ExitStatus::OutputFailed); }

}  // namespace interlace
