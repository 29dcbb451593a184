// What a commit leaves beside its outputs while it runs, or when it is
// killed: its journal, the done marker and the old outputs' restore names;
// and which of them the tool may act on. A shared folder (/tmp, a drop box)
// lets other users plant files at these predictable names, so the tool acts
// only on regular files of its own user, looked at without following links
// or blocking, and never on a journal that a live run holds locked.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace interlace {

// The journal of a commit whose first target is `first_target`, and the
// name it takes at the commit point: like restore names, never temporaries'.
std::string journal_name(const std::string& first_target);
std::string done_name(const std::string& first_target);

// The name under which a commit keeps the old file of `target_path` until
// its commit point: in the target's folder, ".interlace-", 16 hex digits of
// a hash of the target's file name, ".restore". It isn't a temporary's name,
// so no sweep removes it.
std::string restore_name(const std::string& target_path);

// One target as the journal records it: its file name, and whether a file
// stood there when the commit began (and which: device and inode, so that
// the old file can be told from one planted under its restore name).
struct JournalTarget {
  std::string name;
  bool existed = false;
  std::uint64_t device = 0, inode = 0;
};

// A journal's contents. Version 2 records every target, each name ended by
// a NUL, so any name a file system allows comes back whole; version 1
// (earlier releases) listed, a line each, only the targets that didn't exist.
struct Journal {
  int version = 2;
  std::vector<JournalTarget> targets;
};
std::string journal_text(const Journal& journal);
// Empty for text that is neither version.
std::optional<Journal> parse_journal(const std::string& text);

// How a commit file stands.
enum class Standing {
  Absent,
  Ours,     // a regular file of this user (a restore name: or its link)
  Live,     // ours, and held by a run that is committing now
  Foreign,  // another user's, or no regular file: left alone
};

struct CommitFile {
  std::string path;
  Standing standing = Standing::Absent;
  uid_t owner = 0;      // for Foreign: who owns it
  std::string content;  // a journal's or done marker's text, as read
  bool recorded = false;  // a restore name holding the very file the journal recorded
};

// A journal or done marker at `path`, opened without following links or
// blocking; Live where a lock on it is held elsewhere.
CommitFile look_at_marker(const std::string& path);

// What a killed or failed commit of `targets` (commit order) left, and
// what a mend does with it:
struct Leftovers {
  CommitFile done, journal;
  std::optional<Journal> parsed;  // the journal's, where it is ours and of this set
  std::vector<CommitFile> restores;  // one per target
  // A run commits this set now: nothing is touched.
  bool live() const { return done.standing == Standing::Live || journal.standing == Standing::Live; }
  // The journal says the commit didn't reach its commit point: old files
  // go back, targets that didn't exist go.
  bool undo() const { return !live() && done.standing != Standing::Ours && parsed.has_value(); }
  // Whether restore `i` is the old file the journal recorded (the owner's,
  // or the same inode): only such a file is ever put back.
  bool trusted_restore(std::size_t i) const;
};
Leftovers look_at_leftovers(const std::vector<std::string>& targets);

// The commit's own files are left by another user, or are no regular
// files: the commit can't use their names. Words for reports.
std::string describe_foreign(const CommitFile& file);

}  // namespace interlace
