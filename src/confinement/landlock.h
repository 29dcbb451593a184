// File-system confinement with Landlock, where the kernel offers it: the
// process keeps only the file rights it is given here, for good.
#pragma once

#include <string>
#include <vector>

namespace interlace {

// Files and folders the process may still reach, and how.
struct FileRights {
  std::vector<std::string> folders_to_write;  // read, create, link, rename, remove files within
  std::vector<std::string> files_to_use;      // read and write (such as /dev/null)
};

// Restricts the process (and any process it starts later) to `rights`; an
// empty FileRights takes every file-system right away. False, with nothing
// changed, where the kernel has no Landlock or refuses the ruleset: a run is
// never stopped for the lack of it.
bool restrict_file_access(const FileRights& rights);

}  // namespace interlace
