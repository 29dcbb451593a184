#include "output/folder_entries.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

namespace interlace {

namespace {

int error_of(int result) { return result == 0 ? 0 : errno; }

}  // namespace

// Linking by descriptor needs a capability; the /proc link does not.
int name_file_in(int folder_fd, int fd, const std::string& name) {
  if (linkat(fd, "", folder_fd, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
  if (errno == EEXIST) return EEXIST;
  const std::string proc_path = "/proc/self/fd/" + std::to_string(fd);
  return error_of(linkat(AT_FDCWD, proc_path.c_str(), folder_fd, name.c_str(), AT_SYMLINK_FOLLOW));
}

int link_in(int folder_fd, const std::string& from, const std::string& to) {
  return error_of(linkat(folder_fd, from.c_str(), folder_fd, to.c_str(), 0));
}

// renameat2 where the kernel has it, as the tests that fail it count on.
int rename_in(int folder_fd, const std::string& from, const std::string& to) {
  if (renameat2(folder_fd, from.c_str(), folder_fd, to.c_str(), 0) == 0) return 0;
  if (errno != ENOSYS) return errno;
  return error_of(renameat(folder_fd, from.c_str(), folder_fd, to.c_str()));
}

int remove_in(int folder_fd, const std::string& name) { return error_of(unlinkat(folder_fd, name.c_str(), 0)); }

DirectEntries::DirectEntries(const std::string& folder)
    : folder_(open(folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)),
      open_error_(folder_ < 0 ? errno : 0) {}

DirectEntries::~DirectEntries() {
  if (folder_ >= 0) close(folder_);
}

int DirectEntries::name_file(int fd, const std::string& name) {
  return folder_ < 0 ? open_error_ : name_file_in(folder_, fd, name);
}
int DirectEntries::link(const std::string& from, const std::string& to) {
  return folder_ < 0 ? open_error_ : link_in(folder_, from, to);
}
int DirectEntries::rename(const std::string& from, const std::string& to) {
  return folder_ < 0 ? open_error_ : rename_in(folder_, from, to);
}
int DirectEntries::remove(const std::string& name) { return folder_ < 0 ? open_error_ : remove_in(folder_, name); }

}  // namespace interlace
