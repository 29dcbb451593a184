#include "pipeline/output_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>

#include "pipeline/exit_status.h"
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
    out.replace_target();
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
    out.replace_target();
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

TEST(OutputFile, TargetThatIsAFolderIsLeftAlone) {
  test_support::TempDir dir;
  ASSERT_EQ(mkdir((dir / "taken").c_str(), 0755), 0);
  OutputFile out(dir / "taken");
  put(out, "x");
  out.finish();
  EXPECT_THROW(out.replace_target(), Failure);
  EXPECT_TRUE(test_support::file_exists(dir / "taken"));
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
    out.replace_target();
  }
  EXPECT_EQ(test_support::read_file(dir / "out.bin"), Bytes{'x'});
}

}  // namespace
}  // namespace interlace
