#include "output/output_commit.h"
#include "output/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "exit_status.h"
#include "test_support.h"

namespace interlace {
namespace {

using test_support::Bytes;


void put(OutputFile& out, const std::string& text) {
  std::string copy = text;
  ASSERT_EQ(out.io()->write_proc(copy.data(), 1, static_cast<unsigned>(copy.size()), out.handle()), copy.size());
}

TEST(OutputFile, ReplacesTheTargetOnlyWhenTold) {
  test_support::TempDir dir;
  test_support::write_file(dir / "out.bin", Bytes{'o', 'l', 'd'});
  const auto before = test_support::snapshot(dir.path());
  {
    OutputFile out(dir / "out.bin");
    put(out, "new contents");
    out.finish();
    EXPECT_EQ(test_support::read_file(dir / "out.bin"), (Bytes{'o', 'l', 'd'}));
  }  // dropped without replace_target: as if never made
  EXPECT_EQ(test_support::snapshot(dir.path()), before);

  {
    OutputFile out(dir / "out.bin");
    put(out, "new ");
    put(out, "contents");
    out.finish();
    replace_targets({&out});
  }
  const auto after = test_support::snapshot(dir.path());
  ASSERT_EQ(after.size(), 1u) << "a temporary was left behind";
  EXPECT_EQ(after.at("out.bin"), (Bytes{'n', 'e', 'w', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't', 's'}));
}

TEST(OutputFile, NewFileGetsTheUsualPermissions) {
  test_support::TempDir dir;
  const mode_t old_mask = umask(022);
  {
    OutputFile out(dir / "made.bin");
    out.finish();
    replace_targets({&out});
  }
  umask(old_mask);
  struct stat info {};
  ASSERT_EQ(stat((dir / "made.bin").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(OutputFile, MissingFolderFailsWithOutputStatus) {
  test_support::TempDir dir;
  try {
    OutputFile out(dir / "no/such/folder/out.bin");
    ADD_FAILURE() << "expected a failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.status(), ExitStatus::OutputFailed);
  }
  EXPECT_TRUE(test_support::snapshot(dir.path()).empty());
}

// Checked before anything moves: the first target keeps its old file.
TEST(OutputFile, TargetsThatArentFilesStopTheCommitBeforeItStarts) {
  const struct {
    const char* what;
    int (*make)(const char* path);
  } cases[] = {
      {"folder", [](const char* path) { return mkdir(path, 0755); }},
      {"FIFO", [](const char* path) { return mkfifo(path, 0644); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test_support::TempDir dir;
    test_support::write_file(dir / "first", Bytes{'o', 'l', 'd'});
    ASSERT_EQ(c.make((dir / "taken").c_str()), 0);
    OutputFile first(dir / "first"), second(dir / "taken");
    put(first, "new");
    put(second, "new");
    first.finish();
    second.finish();
    EXPECT_THROW(replace_targets({&first, &second}), Failure);
    EXPECT_EQ(test_support::read_file(dir / "first"), (Bytes{'o', 'l', 'd'}));
    struct stat info {};
    ASSERT_EQ(lstat((dir / "taken").c_str(), &info), 0);
    EXPECT_FALSE(S_ISREG(info.st_mode));
    EXPECT_EQ(test_support::entry_names(dir.path()), (std::vector<std::string>{"first", "taken"})) << "a temporary was left";
  }
}

// As a replace by rename in place (sed -i) keeps them, from a file of the
// user's own; another user's file (root's run, a file planted by someone
// else) passes on neither its owner nor its mode.
TEST(OutputFile, ReplacedFileKeepsItsModeWhereItIsTheUsersOwn) {
  const bool root = geteuid() == 0;
  const mode_t mask = umask(022);
  for (const mode_t mode : {0664u, 0600u, 0640u, 0604u, 0755u}) {
    for (const bool others : {false, true}) {
      if (others && !root) continue;  // only root may make another user's file here
      SCOPED_TRACE(testing::Message() << std::oct << mode << (others ? ", another user's" : ""));
      test_support::TempDir dir;
      test_support::write_file(dir / "out.bin", Bytes{'o', 'l', 'd'});
      ASSERT_EQ(chmod((dir / "out.bin").c_str(), mode), 0);
      if (others) {
        ASSERT_EQ(chown((dir / "out.bin").c_str(), 1234, 4321), 0);
      }
      {
        OutputFile out(dir / "out.bin");
        put(out, "new");
        out.finish();
        replace_targets({&out});
      }
      struct stat info {};
      ASSERT_EQ(stat((dir / "out.bin").c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, others ? 0644u : mode);
      EXPECT_EQ(info.st_uid, geteuid());
      EXPECT_EQ(test_support::read_file(dir / "out.bin"), (Bytes{'n', 'e', 'w'}));
    }
  }
  umask(mask);
}

// Anyone who may read a folder may lock it and keep the lock: a run waits
// for it only so long, then gives up with status 3 instead of for ever.
TEST(FolderLock, GivesUpOnALockHeldElsewhere) {
  test_support::TempDir dir;
  const int held = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  try {
    const FolderLock lock(dir.path(), 1);
    ADD_FAILURE() << "the lock was taken while held elsewhere";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.status(), ExitStatus::OutputFailed);
  }
  EXPECT_FALSE(folder_lock_free_within(dir.path(), 1));
  close(held);
  EXPECT_TRUE(folder_lock_free_within(dir.path(), 1));
  const FolderLock lock(dir.path(), 1);
  EXPECT_GE(lock.descriptor(), 0);
}

// A run that died of SIGKILL on a file system without unnamed temporaries
// leaves named ones; the next run removes them, but never a live run's,
// which holds a lock on each.
TEST(OutputFile, DeadRunsTemporariesGoLiveOnesStay) {
  test_support::TempDir dir;
  for (const char* name : {".interlace-Live01", ".interlace-Dead01", ".interlace-Dead02.old", ".interlace-long-name",
                           "s_interlace.bmp"}) {
    test_support::write_file(dir / name, Bytes{'x'});
  }
  const int live = open((dir / ".interlace-Live01").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(live, LOCK_EX), 0);
  const int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  remove_dead_temporaries(folder);
  close(folder);
  close(live);
  EXPECT_EQ(test_support::entry_names(dir.path()), (std::vector<std::string>{".interlace-Live01", ".interlace-long-name", "s_interlace.bmp"}));
}

}  // namespace
}  // namespace interlace

namespace interlace {
namespace {

// The GIF writer writes empty items now and then; they are not failures.
TEST(OutputFile, EmptyWritesAreNotFailures) {
  test_support::TempDir dir;
  {
    OutputFile out(dir / "out.bin");
    char byte = 'x';
    EXPECT_EQ(out.io()->write_proc(&byte, 0, 1, out.handle()), 1u);
    EXPECT_EQ(out.io()->write_proc(&byte, 1, 0, out.handle()), 0u);
    EXPECT_EQ(out.io()->write_proc(&byte, 1, 1, out.handle()), 1u);
    out.finish();
    replace_targets({&out});
  }
  EXPECT_EQ(test_support::read_file(dir / "out.bin"), Bytes{'x'});
}

}  // namespace
}  // namespace interlace
