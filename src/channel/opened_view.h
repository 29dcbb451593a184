// A view file opened once, read-only, by the run: the decoder is handed this
// descriptor, never a name, and the run notices a file written to meanwhile.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "exit_status.h"

namespace interlace {

// The process may open no more files: its own limit (ulimit -n), not the
// view's fault. Status 3, as for memory.
class OutOfDescriptors : public Failure {
 public:
  OutOfDescriptors() : Failure(ExitStatus::OutputFailed) {}
};

class OpenedView {
 public:
  // Opens `name`. Throws ViewRefused when it is missing, can't be opened,
  // isn't a regular file or is empty; OutOfDescriptors when the process has
  // no descriptor left for it.
  static OpenedView open(const std::string& name);
  // Takes `fd` over (it is closed with this object), with the same checks.
  OpenedView(int fd, std::string name);
  ~OpenedView();
  OpenedView(OpenedView&& other) noexcept;
  OpenedView& operator=(OpenedView&&) = delete;
  OpenedView(const OpenedView&) = delete;
  OpenedView& operator=(const OpenedView&) = delete;

  int fd() const { return fd_; }
  const std::string& name() const { return name_; }
  std::uint64_t size() const { return static_cast<std::uint64_t>(opened_.st_size); }

  // True when the file's size or modification time differ from when it was
  // opened: it was written to while the run read it.
  bool changed_since_opened() const;

 private:
  int fd_;
  std::string name_;
  struct stat opened_ {};
};

}  // namespace interlace
