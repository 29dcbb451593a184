// The changes a commit makes to the entries of its outputs' folder, by file
// name within that folder: made by this process itself, or, once the run has
// confined itself, by its commit helper (commit_helper.h), which makes them
// in that one folder and on the commit's own names only.
#pragma once

#include <string>

namespace interlace {

class FolderEntries {
 public:
  virtual ~FolderEntries() = default;
  // Each gives 0, or the errno value of its failure. Names are file names
  // in the folder, without a folder part.
  // The unnamed temporary open as `fd` gets the name `name`.
  virtual int name_file(int fd, const std::string& name) = 0;
  // `to` becomes a second name of `from` (of a symbolic link itself).
  virtual int link(const std::string& from, const std::string& to) = 0;
  virtual int rename(const std::string& from, const std::string& to) = 0;
  virtual int remove(const std::string& name) = 0;
};

// The changes made by this process, in `folder` (a folder_of() result).
class DirectEntries : public FolderEntries {
 public:
  explicit DirectEntries(const std::string& folder);
  ~DirectEntries() override;
  DirectEntries(const DirectEntries&) = delete;
  DirectEntries& operator=(const DirectEntries&) = delete;

  int name_file(int fd, const std::string& name) override;
  int link(const std::string& from, const std::string& to) override;
  int rename(const std::string& from, const std::string& to) override;
  int remove(const std::string& name) override;

 private:
  int folder_ = -1;  // opened as a path only: a drop box can't be read, only searched
  int open_error_ = 0;
};

// The same calls on a folder open as `folder_fd`, for the commit helper.
int name_file_in(int folder_fd, int fd, const std::string& name);
int link_in(int folder_fd, const std::string& from, const std::string& to);
int rename_in(int folder_fd, const std::string& from, const std::string& to);
int remove_in(int folder_fd, const std::string& name);

}  // namespace interlace
