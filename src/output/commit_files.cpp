#include "output/commit_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "output/output_file.h"

namespace interlace {

namespace {

constexpr char kJournalHeading[] = "interlace commit journal 2\n";
// A journal names two targets of at most 255 bytes each.
constexpr std::size_t kMostMarkerBytes = 64 * 1024;

// "<folder>.interlace-<16 hex digits of a hash of the target's file name><suffix>".
std::string hashed_name(const std::string& target_path, const char* suffix) {
  std::uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a, 64 bits
  for (const char c : file_part(target_path)) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016" PRIx64, hash);
  return folder_of(target_path) + ".interlace-" + digits + suffix;
}

bool read_number(const std::string& text, std::size_t& at, std::uint64_t& value) {
  const char* start = text.c_str() + at;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(start, &end, 10);
  if (end == start || errno != 0 || *end != ' ') return false;
  at += static_cast<std::size_t>(end - start) + 1;
  return true;
}

std::optional<Journal> parse_version_2(const std::string& text) {
  Journal journal;
  for (std::size_t at = sizeof kJournalHeading - 1; at < text.size();) {
    JournalTarget target;
    const char flag = text[at++];
    if (flag == '+') {
      if (!read_number(text, at, target.device) || !read_number(text, at, target.inode)) return std::nullopt;
      target.existed = true;
    } else if (flag != '-' || at >= text.size() || text[at++] != ' ') {
      return std::nullopt;
    }
    const std::size_t end = text.find('\0', at);
    if (end == std::string::npos || end == at) return std::nullopt;
    target.name = text.substr(at, end - at);
    if (target.name.find('/') != std::string::npos) return std::nullopt;
    journal.targets.push_back(std::move(target));
    at = end + 1;
  }
  return journal;
}

// Earlier releases: the file names of the targets that didn't exist, a line
// each.
Journal parse_version_1(const std::string& text) {
  Journal journal;
  journal.version = 1;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) journal.targets.push_back({text.substr(start, end - start), false, 0, 0});
    start = end + 1;
  }
  return journal;
}

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  while (text.size() < kMostMarkerBytes) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// Another user's (or no regular file), with its owner as lstat says.
CommitFile foreign(const std::string& path) {
  CommitFile file;
  file.path = path;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return file;  // gone meanwhile
  file.standing = Standing::Foreign;
  file.owner = info.st_uid;
  return file;
}

// A restore name holds the old target: a regular file or a symbolic link
// (the link itself), as lstat sees it.
CommitFile look_at_restore(const std::string& path, std::uint64_t& device, std::uint64_t& inode) {
  CommitFile file;
  file.path = path;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return file;
  const bool plain = S_ISREG(info.st_mode) || S_ISLNK(info.st_mode);
  file.standing = plain && info.st_uid == geteuid() ? Standing::Ours : Standing::Foreign;
  file.owner = info.st_uid;
  if (plain) {
    device = info.st_dev;
    inode = info.st_ino;
  }
  return file;
}

std::vector<std::string> file_parts(const std::vector<std::string>& targets) {
  std::vector<std::string> names;
  for (const std::string& target : targets) names.push_back(file_part(target));
  return names;
}

bool same_names(const Journal& journal, const std::vector<std::string>& names) {
  if (journal.targets.size() != names.size()) return false;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (journal.targets[i].name != names[i]) return false;
  }
  return true;
}

}  // namespace

std::string restore_name(const std::string& target_path) { return hashed_name(target_path, ".restore"); }
std::string journal_name(const std::string& first_target) { return hashed_name(first_target, ".commit"); }
std::string done_name(const std::string& first_target) { return hashed_name(first_target, ".done"); }

std::string journal_text(const Journal& journal) {
  std::string text = kJournalHeading;
  for (const JournalTarget& target : journal.targets) {
    text += target.existed ? "+" + std::to_string(target.device) + " " + std::to_string(target.inode) + " " : "- ";
    text += target.name;
    text += '\0';
  }
  return text;
}

std::optional<Journal> parse_journal(const std::string& text) {
  if (text.compare(0, sizeof kJournalHeading - 1, kJournalHeading) == 0) return parse_version_2(text);
  return parse_version_1(text);
}

CommitFile look_at_marker(const std::string& path) {
  CommitFile file;
  file.path = path;
  // Not following a link, nor waiting at a FIFO's open.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? file : foreign(path);
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    close(fd);
    CommitFile other = foreign(path);
    other.owner = info.st_uid;
    return other;
  }
  file.owner = info.st_uid;
  // A committing run holds its journal locked until it ends.
  if (flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    file.standing = Standing::Live;
  } else {
    file.standing = Standing::Ours;
    file.content = read_all(fd);
  }
  close(fd);
  return file;
}

Leftovers look_at_leftovers(const std::vector<std::string>& targets) {
  Leftovers left;
  left.done = look_at_marker(done_name(targets.front()));
  left.journal = look_at_marker(journal_name(targets.front()));
  if (left.journal.standing == Standing::Ours) {
    left.parsed = parse_journal(left.journal.content);
    // A journal of another set whose first name hashes alike is not ours to act on.
    if (left.parsed && left.parsed->version == 2 && !same_names(*left.parsed, file_parts(targets))) left.parsed.reset();
    if (!left.parsed) left.journal.standing = Standing::Foreign;
  }
  std::vector<std::uint64_t> devices(targets.size()), inodes(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    left.restores.push_back(look_at_restore(restore_name(targets[i]), devices[i], inodes[i]));
  }
  // A restore name under another user's name counts only as the very file
  // the journal recorded (an old output of another user, in a folder shared
  // without the sticky bit).
  if (left.parsed && left.parsed->version == 2) {
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const JournalTarget& recorded = left.parsed->targets[i];
      CommitFile& restore = left.restores[i];
      if (restore.standing == Standing::Foreign && recorded.existed && inodes[i] != 0 &&
          recorded.device == devices[i] && recorded.inode == inodes[i]) {
        restore.recorded = true;
      }
    }
  }
  return left;
}

bool Leftovers::trusted_restore(std::size_t i) const {
  const CommitFile& restore = restores[i];
  return restore.standing == Standing::Ours || restore.recorded;
}

std::string describe_foreign(const CommitFile& file) {
  struct stat info {};
  const bool exists = lstat(file.path.c_str(), &info) == 0;
  if (exists && !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return "is no regular file";
  if (file.owner == geteuid()) return "is not this set's";
  return "belongs to user " + std::to_string(file.owner) + ", not this one";
}

}  // namespace interlace
