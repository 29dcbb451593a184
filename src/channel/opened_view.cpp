#include "channel/opened_view.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "view_problem.h"

namespace interlace {

namespace {

// The status call by descriptor itself: the C library's fstat() asks by an
// empty path, which the decoder's filter refuses.
bool status_of(int fd, struct stat& status) { return syscall(SYS_fstat, fd, &status) == 0; }

}  // namespace

OpenedView OpenedView::open(const std::string& name) {
  // Not blocking, so that a FIFO in a view's place is refused, not waited on.
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0 && (errno == EMFILE || errno == ENFILE)) throw OutOfDescriptors();
  if (fd < 0) refuse_view(errno == ENOENT || errno == ENOTDIR ? ViewProblemKind::Missing : ViewProblemKind::Unreadable);
  return OpenedView(fd, name);
}

OpenedView::OpenedView(int fd, std::string name) : fd_(fd), name_(std::move(name)) {
  // No destructor runs for a constructor that throws.
  const auto refuse = [this](ViewProblemKind kind) {
    close(fd_);
    refuse_view(kind);
  };
  if (!status_of(fd_, opened_)) refuse(ViewProblemKind::Unreadable);
  if (!S_ISREG(opened_.st_mode)) refuse(ViewProblemKind::NotRegularFile);
  if (opened_.st_size == 0) refuse(ViewProblemKind::Empty);
}

OpenedView::OpenedView(OpenedView&& other) noexcept
    : fd_(other.fd_), name_(std::move(other.name_)), opened_(other.opened_) {
  other.fd_ = -1;
}

OpenedView::~OpenedView() {
  if (fd_ >= 0) close(fd_);
}

bool OpenedView::changed_since_opened() const {
  struct stat now {};
  if (!status_of(fd_, now)) return true;
  return now.st_size != opened_.st_size || now.st_mtim.tv_sec != opened_.st_mtim.tv_sec ||
         now.st_mtim.tv_nsec != opened_.st_mtim.tv_nsec;
}

}  // namespace interlace
