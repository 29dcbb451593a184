// The commit: finished output files take their targets' places together, or
// none does.
#pragma once

#include <string>
#include <vector>

#include "output/output_file.h"

namespace interlace {

// Replaces every output's target with its finished temporary, all or none.
// The outputs' folder is locked for the commit, so runs on one folder take
// turns and a pair is always one run's; signals are held from first rename
// to last. Each target is checked before anything moves: a folder, FIFO,
// device or socket in a target's place makes the commit fail unstarted. An
// existing target is swapped with its replacement in one atomic exchange
// where the file system has one, else set aside by a rename; either way it
// can be put back without a hard link, and is removed once all are in
// place. A replaced file keeps its permission bits and, where the process may
// set them, its owner and group. Temporaries that dead runs left in the
// folder are removed first, and a file an earlier commit left waiting aside
// (see restore_name()) is put back in its target's place. Throws
// Failure(OutputFailed) with every target as it was, or, when a target
// couldn't be put back either, Failure(OutputsMixed) with the old file
// under its restore name: never deleted.
void replace_targets(const std::vector<OutputFile*>& outputs);
// The same in a folder opened (and swept) before, which the commit locks and
// syncs without opening anything.
void replace_targets(const std::vector<OutputFile*>& outputs, const OutputFolder& folder);

// The name under which a failed commit leaves the old file it couldn't put
// back at `target_path`: in the target's folder, ".interlace-", 16 hex digits
// of a hash of the target's file name, ".restore". It isn't a temporary's
// name, so no run removes it; the next run for that target moves it back.
std::string restore_name(const std::string& target_path);

// Throws Failure(OutputFailed) when what stands at `path` is no file the
// commit may replace (a folder, FIFO, device or socket), or can't be looked
// at. A missing target, a file or a symbolic link pass.
void check_target(const std::string& path);

// Removes the temporaries that no live run holds from the folder open as
// `folder_fd`. Call with the folder locked.
void remove_dead_temporaries(int folder_fd);

}  // namespace interlace
