// The commit: finished output files take their targets' places together, or
// none does.
#pragma once

#include <string>
#include <vector>

#include "output/commit_files.h"
#include "output/folder_entries.h"
#include "output/output_file.h"

namespace interlace {

// Replaces every output's target with its finished temporary, all or none,
// in an order that a process killed at any point leaves mendable:
//  1. each target is checked (a folder, FIFO, device or socket in its place,
//     or another user's file in a folder others may write to with the
//     sticky bit set, makes the commit fail unstarted), each temporary named
//     in the folder;
//  2. the journal (journal_name()), locked for as long as this process
//     lives, is put in place, naming every target and the file that stood
//     there;
//  3. each old file gets its restore name (restore_name()) too, a hard link;
//  4. each new file is renamed onto its target (where there are no hard
//     links, the old file is renamed to its restore name first);
//  5. the journal is renamed to the done name (done_name()): the commit
//     point; then the old files and the done name go.
// A commit killed before 5 is undone by the next run of the set
// (mend_interrupted_commit()); after it, the next run clears what is left.
// The outputs' folder is locked for the commit, so runs on one folder take
// turns and a pair is always one run's; signals are held throughout. Throws
// Failure(OutputFailed) with every target as it was, or, when a target
// couldn't be put back either, Failure(OutputsMixed) with the old file under
// its restore name and the journal in place: never deleted.
void replace_targets(const std::vector<OutputFile*>& outputs);
// The same in a folder opened, swept and mended before, with the journal's
// temporary made before too, and the folder's entries changed through
// `entries`: the commit opens nothing.
void replace_targets(const std::vector<OutputFile*>& outputs, const OutputFolder& folder, OutputFile& journal,
                     FolderEntries& entries);

// Puts back what a commit of `targets` (the outputs in commit order) left
// when it was killed or failed before its commit point, as its journal
// says: every old file waiting under its restore name goes back to its
// target, and a target that didn't exist is removed. Without such a journal
// (after the commit point), what is left aside is removed, never put back.
// Only files of this user's are acted on (a restore name also when it holds
// the very file the journal recorded), and nothing while a live run holds
// the journal. Call with the folder locked. Throws Failure(OutputFailed)
// when an old file can't be put back.
void mend_interrupted_commit(const std::vector<std::string>& targets, FolderEntries& entries);

// What a run does first in the folder open as `folder_fd` (-1: not open,
// nothing swept), with the folder locked: removes the temporaries of dead
// runs and mends an interrupted commit of `targets`. Throws as
// mend_interrupted_commit() does.
void tidy_folder(int folder_fd, const std::vector<std::string>& targets);

// Throws Failure(OutputFailed) when what stands at `path` is no file the
// commit may replace (a folder, FIFO, device or socket; another user's file
// in a sticky folder), or can't be looked at. A missing target, a file or a
// symbolic link pass.
void check_target(const std::string& path);

// Why check_target() refuses `path`, in words ("a folder stands where
// NAME goes"); empty when it doesn't.
std::string target_problem(const std::string& path);

// Removes the temporaries that no live run holds from the folder open as
// `folder_fd`. Call with the folder locked.
void remove_dead_temporaries(int folder_fd);

}  // namespace interlace
