// File-system confinement with Landlock, where the kernel offers it: the
// process keeps only the file rights it is given here, for good.
#pragma once

#include <string>
#include <vector>

namespace interlace {

// Folders the process may still change, and how: create, link, rename and
// remove entries (files and symbolic links) in them. Nothing can be opened
// there, read or written through a name: what the process reads and writes
// it opened before.
struct FileRights {
  std::vector<std::string> folders_to_commit_in;
  // Where the kernel's Landlock scopes them: no signal to a process outside
  // this one's domain, and no abstract socket outside it reached. A process
  // that must signal processes it started before (the run, its decoders)
  // can't take this.
  bool scoped = false;
};

// Restricts the process (and any process it starts later) to `rights`; an
// empty FileRights takes every file-system right away. Where the kernel's
// Landlock covers the network, binding and connecting TCP sockets are
// taken away too. False, with nothing changed, where the kernel has no
// Landlock or refuses the ruleset: a run is never stopped for the lack of it.
bool restrict_file_access(const FileRights& rights);

}  // namespace interlace
