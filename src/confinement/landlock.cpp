#include "confinement/landlock.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace interlace {

namespace {

// The access rights by the Landlock version that brought them; the header on
// the build machine may be older than the kernel the tool runs on.
constexpr std::uint64_t kRightsOfVersion1 = (1ULL << 13) - 1;  // execute .. make symbolic link
constexpr std::uint64_t kRefer = 1ULL << 13;                   // version 2
constexpr std::uint64_t kTruncate = 1ULL << 14;                // version 3
constexpr std::uint64_t kIoctlDevice = 1ULL << 15;             // version 5

constexpr std::uint64_t kRemoveFile = 1ULL << 5;
constexpr std::uint64_t kMakeRegular = 1ULL << 8;
constexpr std::uint64_t kMakeSymbolicLink = 1ULL << 12;
// Version 4: TCP bind and connect.
constexpr std::uint64_t kNetworkRights = (1ULL << 0) | (1ULL << 1);
// Version 6: abstract Unix sockets and signals kept within the domain.
constexpr std::uint64_t kScopes = (1ULL << 0) | (1ULL << 1);

// The ruleset's attributes as version 6 has them; older headers stop at the
// file-system rights, and older kernels take only those they know (the size
// says).
struct RulesetAttributes {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
  std::uint64_t scoped;
};

std::size_t attributes_size(long version) {
  if (version >= 6) return sizeof(RulesetAttributes);
  if (version >= 4) return 2 * sizeof(std::uint64_t);
  return sizeof(std::uint64_t);
}

std::uint64_t handled_rights(long version) {
  std::uint64_t rights = kRightsOfVersion1;
  if (version >= 2) rights |= kRefer;
  if (version >= 3) rights |= kTruncate;
  if (version >= 5) rights |= kIoctlDevice;
  return rights;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool allow_beneath(int ruleset, const std::string& path, std::uint64_t rights) {
  const Descriptor beneath(open(path.c_str(), O_PATH | O_CLOEXEC));
  if (beneath.get() < 0) return false;
  landlock_path_beneath_attr rule{};
  rule.allowed_access = rights;
  rule.parent_fd = beneath.get();
  return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

}  // namespace

bool restrict_file_access(const FileRights& rights) {
  const long version = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (version < 1) return false;
  const std::uint64_t handled = handled_rights(version);
  const RulesetAttributes attributes{handled, version >= 4 ? kNetworkRights : 0,
                                     version >= 6 && rights.scoped ? kScopes : 0};
  const Descriptor ruleset(
      static_cast<int>(syscall(SYS_landlock_create_ruleset, &attributes, attributes_size(version), 0)));
  if (ruleset.get() < 0) return false;
  // A commit creates, links and renames entries, and removes the one it
  // replaced; moving a symbolic link that stands at a target is making one.
  const std::uint64_t commit = (kMakeRegular | kMakeSymbolicLink | kRemoveFile | kRefer) & handled;
  for (const std::string& folder : rights.folders_to_commit_in) {
    if (!allow_beneath(ruleset.get(), folder, commit)) return false;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  return syscall(SYS_landlock_restrict_self, ruleset.get(), 0) == 0;
}

}  // namespace interlace
