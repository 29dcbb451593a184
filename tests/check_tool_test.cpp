// interlace-check against the tool: on each folder its status is the one
// interlace gives, its report names the view or output at fault and why,
// and it leaves the folder as it was.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using test_support::Bytes;
using test_support::TempDir;

const std::vector<std::string> kThreeViews{"s", "t", "3", "0", "0", "300", "0"};

void three_views(const TempDir& d) { ASSERT_TRUE(test_support::make_views(d / "s", 3, 30, 12)); }

void replace_view(const TempDir& d, int n, const Bytes& bytes) {
  test_support::write_file(d / ("s_rs_c0" + std::to_string(n) + ".bmp"), bytes);
}

// Three JPEG views, view 2 carrying `profile` in an APP2 "ICC_PROFILE"
// segment after its start marker.
void jpeg_views_with_profile(const TempDir& d, const Bytes& profile) {
  ASSERT_TRUE(test_support::make_views(d / "s", 3, 30, 12, "JPEG"));
  Bytes view = test_support::read_file(d / "s_rs_c02.bmp");
  Bytes segment{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 1};
  segment.insert(segment.end(), profile.begin(), profile.end());
  const std::size_t length = segment.size() + 2;
  Bytes marker{0xFF, 0xE2, static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length & 0xFF)};
  marker.insert(marker.end(), segment.begin(), segment.end());
  view.insert(view.begin() + 2, marker.begin(), marker.end());
  replace_view(d, 2, view);
}

TEST(InterlaceCheck, SaysWhyAndGivesTheToolsStatus) {
  const struct {
    const char* what;
    std::function<void(const TempDir&)> prepare;
    std::vector<std::string> args;
    int status;
    std::string named;   // the file the report must name
    std::string reason;  // words the report must hold
  } cases[] = {
      {"no view count", three_views, {"s", "t", "x", "0", "0", "300", "0"}, 1, "", "view count"},
      {"six arguments", three_views, {"s", "t", "3", "0", "0", "300"}, 1, "", "seven arguments"},
      {"missing view", three_views, {"s", "t", "4", "0", "0", "300", "0"}, 2, "s_rs_c04.bmp", "missing"},
      {"narrower than N", [](const TempDir& d) { ASSERT_TRUE(test_support::make_views(d / "s", 3, 2, 12)); },
       kThreeViews, 2, "s_rs_c01.bmp", "narrower than the 3 views"},
      {"another size",
       [](const TempDir& d) {
         three_views(d);
         ASSERT_TRUE(test_support::make_views(d / "o", 1, 30, 13));
         rename((d / "o_rs_c01.bmp").c_str(), (d / "s_rs_c02.bmp").c_str());
       },
       kThreeViews, 2, "s_rs_c02.bmp", "size 30x13 differs from view 1's 30x12"},
      {"truncated",
       [](const TempDir& d) {
         three_views(d);
         Bytes view = test_support::read_file(d / "s_rs_c03.bmp");
         view.resize(100);
         replace_view(d, 3, view);
       },
       kThreeViews, 2, "s_rs_c03.bmp", "has 100 bytes, its header needs 1158"},  // 54 + 12 rows of 92
      {"corrupt", [](const TempDir& d) { three_views(d), replace_view(d, 1, Bytes(500, 'x')); }, kThreeViews, 2,
       "s_rs_c01.bmp", "the decoder reported damage"},
      {"refused format", [](const TempDir& d) { ASSERT_TRUE(test_support::make_views(d / "s", 3, 30, 12, "PSD")); },
       kThreeViews, 2, "s_rs_c01.bmp", "refused as unsafe"},
      {"bomb",
       [](const TempDir& d) {
         three_views(d);
         replace_view(d, 2, test_support::read_file(std::string(FUZZ_FINDINGS_DIR) + "/sgi-bomb.bin"));
       },
       kThreeViews, 2, "s_rs_c02.bmp", "decompression bomb"},
      {"folder as view",
       [](const TempDir& d) {
         three_views(d);
         remove((d / "s_rs_c02.bmp").c_str());
         mkdir((d / "s_rs_c02.bmp").c_str(), 0755);
       },
       kThreeViews, 2, "s_rs_c02.bmp", "not a regular file"},
      {"preview page too tall", [](const TempDir& d) { ASSERT_TRUE(test_support::make_views(d / "s", 3, 3, 400)); },
       kThreeViews, 3, "s_rs_c01.bmp", "too tall for a preview page"},
      // The run opens every view before it decodes one.
      {"preview page too tall, a later view missing",
       [](const TempDir& d) { ASSERT_TRUE(test_support::make_views(d / "s", 1, 3, 400)); }, kThreeViews, 2,
       "s_rs_c02.bmp", "missing"},
      {"folder in the print image's place",
       [](const TempDir& d) { three_views(d), mkdir((d / "s_interlace.bmp").c_str(), 0755); }, kThreeViews, 3,
       "s_interlace.bmp", "a folder stands where s_interlace.bmp goes"},
      {"a view past N", [](const TempDir& d) { ASSERT_TRUE(test_support::make_views(d / "s", 4, 30, 12)); },
       kThreeViews, 0, "s_rs_c04.bmp", "exists but N is 3"},
      {"HEIF under a view's name",
       [](const TempDir& d) {
         three_views(d);
         Bytes heif{0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c', 0, 0, 0, 0, 'm', 'i', 'f', '1', 'h', 'e', 'i', 'c'};
         heif.resize(600, 0x55);
         replace_view(d, 2, heif);
       },
       kThreeViews, 2, "s_rs_c02.bmp",
#ifdef INTERLACE_HEIF
       "HEIF box runs past the end of the file"},
#else
       "FreeImage can't read HEIF files"},
#endif
      {"broken set's preview, as it will be",
       [](const TempDir& d) { three_views(d), remove((d / "s_rs_c01.bmp").c_str()); }, kThreeViews, 2,
       "s_animation.gif", "3 pages of 640x256"},
      {"unreadable colour profile", [](const TempDir& d) { jpeg_views_with_profile(d, Bytes(300, 0x41)); },
       kThreeViews, 2, "s_rs_c02.bmp", "its colour profile can't be read"},
      {"grey profile on colour pixels",
       [](const TempDir& d) {
         const Bytes grey = test_support::read_file("/usr/share/color/icc/Gray.icc");
         if (grey.empty()) GTEST_SKIP() << "needs /usr/share/color/icc/Gray.icc (icc-profiles-free)";
         jpeg_views_with_profile(d, grey);
       },
       kThreeViews, 2, "s_rs_c02.bmp", "its colour profile is for grey but its pixels are RGB"},
      {"good set", three_views, kThreeViews, 0, "s_rs_c03.bmp", ": ok"},
      {"a last name component too long for the outputs",
       [](const TempDir& d) { ASSERT_TRUE(test_support::make_views(d / std::string(243, 'n'), 3, 30, 12)); },
       {std::string(243, 'n'), "t", "3", "0", "0", "300", "0"}, 3, "_interlace.bmp",
       "257 bytes, is longer than the file system allows"},
      // Escape sequences in a name reach the terminal in no line.
      {"a folder in the place of a print image named with escapes",
       [](const TempDir& d) {
         ASSERT_TRUE(test_support::make_views(d / "e\x1b[2J", 3, 30, 12));
         mkdir((d / "e\x1b[2J_interlace.bmp").c_str(), 0755);
       },
       {"e\x1b[2J", "t", "3", "0", "0", "300", "0"}, 3, "e\\x1b[2J_interlace.bmp", "a folder stands where"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    c.prepare(dir);
    const auto before = test_support::snapshot(dir.path());
    const test_support::ToolResult check = test_support::run_check(c.args, dir.path());
    EXPECT_EQ(test_support::snapshot(dir.path()), before);
    EXPECT_NE(check.output.find(c.named), std::string::npos) << check.output;
    EXPECT_NE(check.output.find(c.reason), std::string::npos) << check.output;
    EXPECT_EQ(check.output.find('\x1b'), std::string::npos) << "a raw escape reached the terminal";
    EXPECT_EQ(check.status, c.status);
    EXPECT_EQ(test_support::run_tool(c.args, dir.path()).status, check.status);
  }
}

// A run holds all N views open at once. Under a soft descriptor limit below
// that both raise it to the hard one; where even the hard one is too low,
// both say it is the process's limit, not a view's fault, with status 3.
TEST(InterlaceCheck, DescriptorLimitsAreTheProcesssNotTheViews) {
  if (std::system("command -v prlimit >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs prlimit (util-linux)";
  TempDir dir;
  ASSERT_TRUE(test_support::make_views(dir / "s", 50, 100, 12));
  const std::string arguments = " '" + (dir / "s") + "' t 50 0 0 300 0";
  const struct {
    const char* limits;
    int status;
    const char* said;
  } cases[] = {{"40:4096", 0, "exit status 0"}, {"40:40", 3, "this process may open no more files"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limits);
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' runtime needs descriptors of its own (it probes memory
    // through a pipe) and reports nonsense when there are none.
    if (c.status != 0) continue;
#endif
    const std::string limit = std::string("prlimit --nofile=") + c.limits + " ";
    EXPECT_EQ(WEXITSTATUS(std::system((limit + INTERLACE_TOOL + arguments).c_str())), c.status);
    const int status = std::system((limit + INTERLACE_CHECK_TOOL + arguments + " > '" + (dir / "report") + "'").c_str());
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    const Bytes report = test_support::read_file(dir / "report");
    EXPECT_NE(std::string(report.begin(), report.end()).find(c.said), std::string::npos);
  }
#if !defined(__SANITIZE_ADDRESS__)
  // Hard limits around what a run of four views holds (its folder, its
  // outputs' temporaries, its journal, its decoder and commit helper):
  // both tools end alike at every one.
  TempDir four;
  ASSERT_TRUE(test_support::make_views(four / "s", 4, 100, 12));
  const std::string four_arguments = " '" + (four / "s") + "' t 4 0 0 300 0 >/dev/null 2>&1";
  bool some_refused = false, some_done = false;
  for (int limit = 8; limit <= 18; ++limit) {
    SCOPED_TRACE(testing::Message() << "hard limit " << limit);
    const std::string prlimit = "prlimit --nofile=" + std::to_string(limit) + ":" + std::to_string(limit) + " ";
    const int tool = WEXITSTATUS(std::system((prlimit + INTERLACE_TOOL + four_arguments).c_str()));
    const int check = WEXITSTATUS(std::system((prlimit + INTERLACE_CHECK_TOOL + four_arguments).c_str()));
    EXPECT_EQ(tool, check);
    some_refused = some_refused || tool == 3;
    some_done = some_done || tool == 0;
  }
  EXPECT_TRUE(some_refused && some_done);
#endif
}

TEST(InterlaceCheck, ReadOnlyFolderGivesStatusThree) {
  TempDir dir;
  if (geteuid() != 0 || mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "needs root and tmpfs mounts (CI has both)";
  three_views(dir);
  ASSERT_EQ(mount("tmpfs", dir.path().c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
  const test_support::ToolResult check = test_support::run_check(kThreeViews, dir.path());
  const int tool_status = test_support::run_tool(kThreeViews, dir.path()).status;
  umount2(dir.path().c_str(), MNT_DETACH);
  EXPECT_EQ(check.status, 3);
  EXPECT_EQ(tool_status, 3);
  EXPECT_NE(check.output.find("can't be written"), std::string::npos) << check.output;
}

// A disk with room for both outputs but not for the commit's journal after
// them: both tools end with 3; a block more, both with 0.
TEST(InterlaceCheck, RoomCountsTheJournalToo) {
  TempDir reference;
  ASSERT_TRUE(test_support::make_views(reference / "s", 3, 100, 100));
  ASSERT_EQ(test_support::run_tool(kThreeViews, reference.path()).status, 0);
  const auto blocks = [](const std::string& file) { return (test_support::read_file(file).size() + 4095) / 4096; };
  const std::uint64_t outputs = blocks(reference / "s_interlace.bmp") + blocks(reference / "s_animation.gif");
  for (const std::uint64_t spare : {0u, 1u}) {
    SCOPED_TRACE(testing::Message() << spare << " blocks beside the outputs");
    TempDir dir;
    if (geteuid() != 0 || mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=2m") != 0)
      GTEST_SKIP() << "needs root and tmpfs mounts (CI has both)";
    ASSERT_TRUE(test_support::make_views(dir / "s", 3, 100, 100));
    struct statvfs space {};
    ASSERT_EQ(statvfs(dir.path().c_str(), &space), 0);
    const std::uint64_t free_blocks = space.f_bavail * space.f_frsize / 4096;
    test_support::write_file(dir / "filler", Bytes((free_blocks - outputs - spare) * 4096, 0));
    const test_support::ToolResult check = test_support::run_check(kThreeViews, dir.path());
    const int tool = test_support::run_tool(kThreeViews, dir.path()).status;
    umount2(dir.path().c_str(), MNT_DETACH);
    EXPECT_EQ(tool, spare == 0 ? 3 : 0);
    EXPECT_EQ(check.status, tool) << check.output;
  }
}

// Programs read the JSON report; file names may hold any byte but '/' and
// NUL, and must come back exactly. A base with a folder part is looked at
// in that folder.
TEST(InterlaceCheck, JsonReportRoundTripsOddFileNames) {
  TempDir dir;
  const std::string base = dir / "a \"quoted\"\nname";
  ASSERT_TRUE(test_support::make_views(base, 2, 40, 20));
  const auto before = test_support::snapshot(dir.path());
  const test_support::ToolResult check = test_support::run_check({"--json", base, "t", "2", "0", "0", "300", "0"},
                                                                 dir.path());
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(test_support::snapshot(dir.path()), before);
  const nlohmann::json report = nlohmann::json::parse(check.output);
  EXPECT_EQ(report["exit_status"], 0);
  ASSERT_EQ(report["views"].size(), 2u);
  for (int n = 1; n <= 2; ++n) {
    const nlohmann::json& view = report["views"][static_cast<std::size_t>(n - 1)];
    EXPECT_EQ(view["number"], n);
    EXPECT_EQ(view["file"], base + "_rs_c0" + std::to_string(n) + ".bmp");
    EXPECT_EQ(view["width"], 40);
    EXPECT_EQ(view["usable"], true);
    EXPECT_TRUE(view["problem"].is_null());
  }
  ASSERT_EQ(report["outputs"].size(), 2u);
  EXPECT_EQ(report["outputs"][0]["file"], base + "_interlace.bmp");
  EXPECT_EQ(report["outputs"][1]["file"], base + "_animation.gif");
  for (const auto& output : report["outputs"]) EXPECT_EQ(output["writable"], true);
}

// The explainer's own questions answered, with status 0.
TEST(InterlaceCheck, HelpAndVersion) {
  const struct {
    const char* option;
    std::string words;
  } cases[] = {{"--help", "--json"}, {"--help", "Exit status"}, {"--help", "5 the views' decoder can't run here"},
               {"--version", "interlace-check 1."}};
  for (const auto& c : cases) {
    const test_support::ToolResult result = test_support::run_check({c.option});
    EXPECT_EQ(result.status, 0) << c.option;
    EXPECT_NE(result.output.find(c.words), std::string::npos) << result.output;
  }
}

}  // namespace
