// The commit: finished output files take their targets' places together, or
// none does.
#pragma once

#include <string>
#include <vector>

#include "output/output_file.h"

namespace interlace {

// Replaces every output's target with its finished temporary, all or none,
// in an order that a process killed at any point leaves mendable:
//  1. each target is checked (a folder, FIFO, device or socket in its place
//     makes the commit fail unstarted), each temporary named in the folder;
//  2. the journal (journal_name()) is put in place, naming the targets that
//     didn't exist;
//  3. each old file gets its restore name (restore_name()) too, a hard link;
//  4. each new file is renamed onto its target (where there are no hard
//     links, the old file is renamed to its restore name first);
//  5. the journal is renamed to the done name (done_name()): the commit
//     point; then the old files and the done name go.
// A commit killed before 5 is undone by the next run of the set
// (mend_interrupted_commit()); after it, the next run clears what is left.
// The outputs' folder is locked for the commit, so runs on one folder take
// turns and a pair is always one run's; signals are held throughout. A
// replaced file keeps its permission bits and, where the process may set
// them, its owner and group. Temporaries that dead runs left in the folder
// are removed first, and an interrupted commit mended. Throws
// Failure(OutputFailed) with every target as it was, or, when a target
// couldn't be put back either, Failure(OutputsMixed) with the old file under
// its restore name and the journal in place: never deleted.
void replace_targets(const std::vector<OutputFile*>& outputs);
// The same in a folder opened, swept and mended before, with the journal's
// temporary made before too: the commit opens nothing.
void replace_targets(const std::vector<OutputFile*>& outputs, const OutputFolder& folder, OutputFile& journal);

// Puts back what a commit of `targets` (the outputs in commit order) left
// when it was killed or failed before its commit point: every old file
// waiting under its restore name goes back to its target, and a target the
// journal says didn't exist is removed. After the commit point, what is left
// aside is removed. Call with the folder locked. Throws
// Failure(OutputFailed) when an old file can't be put back.
void mend_interrupted_commit(const std::vector<std::string>& targets);

// What a run does first in the folder open as `folder_fd` (-1: not open,
// nothing swept), with the folder locked: removes the temporaries of dead
// runs and mends an interrupted commit of `targets`. Throws as
// mend_interrupted_commit() does.
void tidy_folder(int folder_fd, const std::vector<std::string>& targets);

// The journal of a commit whose first target is `first_target`, and the
// name it takes at the commit point: like restore names, never temporaries'.
std::string journal_name(const std::string& first_target);
std::string done_name(const std::string& first_target);

// The name under which a commit keeps the old file of `target_path` until
// its commit point: in the target's folder, ".interlace-", 16 hex digits of
// a hash of the target's file name, ".restore". It isn't a temporary's name,
// so no sweep removes it; the next run for that target moves it back.
std::string restore_name(const std::string& target_path);

// Throws Failure(OutputFailed) when what stands at `path` is no file the
// commit may replace (a folder, FIFO, device or socket), or can't be looked
// at. A missing target, a file or a symbolic link pass.
void check_target(const std::string& path);

// Removes the temporaries that no live run holds from the folder open as
// `folder_fd`. Call with the folder locked.
void remove_dead_temporaries(int folder_fd);

}  // namespace interlace
