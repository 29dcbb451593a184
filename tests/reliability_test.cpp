// The promise that a run replaces both outputs with complete new files or
// leaves every file as it was, and leaves no temporary behind, held against
// what happens to unattended runs: signals at chosen moments, file-size
// limits, runs at once on one folder, views rewritten or replaced while they
// are read, FAT volumes, and images too large for a BMP.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <thread>

#include "output/output_commit.h"
#include "test_support.h"

namespace {

using test_support::Bytes;
using test_support::TempDir;

constexpr int kViews = 4;
const char* const kViewNames[] = {"s_rs_c01.bmp", "s_rs_c02.bmp", "s_rs_c03.bmp", "s_rs_c04.bmp"};

std::vector<std::string> arguments(const std::string& base) { return {base, "t", "4", "0", "0", "300", "0"}; }

// `caller` runs in the child just before the tool starts: what its caller
// leaves it.
pid_t start_tool(const std::string& base, const std::function<void()>& caller = {}) {
  const pid_t child = fork();
  if (child == 0) {
    const int null_device = open("/dev/null", O_WRONLY);
    dup2(null_device, STDOUT_FILENO);
    dup2(null_device, STDERR_FILENO);
    if (caller) caller();
    const rlimit no_core{0, 0};  // SIGQUIT would leave a core file in the folder
    setrlimit(RLIMIT_CORE, &no_core);
    alarm(60);
    std::vector<std::string> args = arguments(base);
    std::vector<char*> argv{const_cast<char*>(INTERLACE_TOOL)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(INTERLACE_TOOL, argv.data());
    _exit(127);
  }
  return child;
}

// A set of four views, and the outputs a complete run makes of it.
struct ViewSet {
  std::map<std::string, Bytes> views;
  Bytes print, preview;
};

ViewSet make_set(int width, int height, const std::string& format = "BMP") {
  TempDir dir;
  ViewSet set;
  EXPECT_TRUE(test_support::make_views(dir / "s", kViews, width, height, format));
  EXPECT_EQ(test_support::run_tool(arguments(dir / "s")).status, 0);
  for (const char* name : kViewNames) set.views[name] = test_support::read_file(dir / name);
  set.print = test_support::read_file(dir / "s_interlace.bmp");
  set.preview = test_support::read_file(dir / "s_animation.gif");
  return set;
}

void put_views(const TempDir& dir, const ViewSet& set) {
  for (const auto& [name, bytes] : set.views) test_support::write_file(dir / name, bytes);
}

const Bytes kOld{'o', 'l', 'd'};

// The folder holds the views and one whole pair of outputs, old or new, and
// nothing else.
void expect_one_pair(const TempDir& dir, const ViewSet& set, bool old_allowed) {
  auto found = test_support::snapshot(dir.path());
  const bool old_pair = old_allowed && found["s_interlace.bmp"] == kOld && found["s_animation.gif"] == kOld;
  std::map<std::string, Bytes> expected = set.views;
  expected["s_interlace.bmp"] = old_pair ? kOld : set.print;
  expected["s_animation.gif"] = old_pair ? kOld : set.preview;
  EXPECT_EQ(found.size(), expected.size()) << "a temporary or backup was left";
  for (const auto& [name, bytes] : expected) EXPECT_TRUE(found[name] == bytes) << name << " is not one run's";
}

// A moment in a run, seen as an event in its folder.
struct Moment {
  const char* what;
  std::uint32_t mask;
  const char* name;  // a prefix of the entry's name
};

const Moment kReadingView2{"reading view 2", IN_OPEN, "s_rs_c02.bmp"};
const Moment kMakingOutputs{"making the outputs", IN_CLOSE_NOWRITE, "s_rs_c04.bmp"};
const Moment kCommitting{"committing", IN_CREATE | IN_MOVED_TO, ".interlace-"};
// The run opens its folder only to lock it for the commit (an empty name:
// the watched folder itself), with every view read.
const Moment kTakingTheLock{"taking the commit lock", IN_OPEN, ""};

class FolderWatch {
 public:
  FolderWatch(const std::string& folder, std::uint32_t mask) : fd_(inotify_init1(IN_CLOEXEC)) {
    inotify_add_watch(fd_, folder.c_str(), mask);
  }
  ~FolderWatch() { close(fd_); }
  // True once an event of `moment` arrives; false when `child` ends first.
  bool wait_for(const Moment& moment, pid_t child, int& status) {
    alignas(inotify_event) char buffer[4096];
    while (true) {
      pollfd ready{fd_, POLLIN, 0};
      if (poll(&ready, 1, 5) == 0) {
        if (waitpid(child, &status, WNOHANG) == child) return false;
        continue;
      }
      const ssize_t length = read(fd_, buffer, sizeof buffer);
      for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        const bool named = *moment.name != '\0';
        if ((event->mask & moment.mask) && (named ? event->len > 0 : event->len == 0) &&
            (!named || std::strncmp(event->name, moment.name, std::strlen(moment.name)) == 0)) {
          return true;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

 private:
  int fd_;
};

// Runs the tool over old outputs and sends `signal_number` at `moment`.
void interrupt(const TempDir& dir, const Moment& moment, int signal_number) {
  test_support::write_file(dir / "s_interlace.bmp", kOld);
  test_support::write_file(dir / "s_animation.gif", kOld);
  FolderWatch watch(dir.path(), moment.mask);
  const pid_t child = start_tool(dir / "s");
  int status = 0;
  if (watch.wait_for(moment, child, status)) {
    kill(child, signal_number);
    waitpid(child, &status, 0);
  }
  EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << "status " << status;
}

// SIGKILL at the commit can't be held off: it is the one moment that may leave
// the commit's journal and restore names, which the next run mends
// (CommitFailures covers it).
TEST(Interrupted, AnySignalAtAnyMomentLeavesOnePairAndNoTemporary) {
  const ViewSet set = make_set(600, 400);
  TempDir dir;
  put_views(dir, set);
  for (const Moment& moment : {kReadingView2, kMakingOutputs, kCommitting}) {
    for (int signal_number : {SIGKILL, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGXCPU, SIGALRM, SIGUSR1, SIGPIPE, SIGXFSZ}) {
      if (signal_number == SIGKILL && moment.what == kCommitting.what) continue;
      SCOPED_TRACE(testing::Message() << strsignal(signal_number) << " while " << moment.what);
      interrupt(dir, moment, signal_number);
      expect_one_pair(dir, set, true);
      EXPECT_EQ(test_support::run_tool(arguments(dir / "s")).status, 0);
      expect_one_pair(dir, set, false);
    }
  }
}

// However the run ends, its decoder processes end with it, and nothing is left
// running or unreaped: a killed run leaves its decoders (one per processor it
// found free, up to the views), which die with it, and its commit helper,
// which clears up and ends. The test adopts whatever the run leaves behind,
// so that it can wait for it.
TEST(Interrupted, NoDecoderOutlivesItsRun) {
#ifndef INTERLACE_CONFINE
  GTEST_SKIP() << "built without a decoder process";
#endif
  const ViewSet set = make_set(600, 400);
  TempDir dir;
  put_views(dir, set);
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  for (int signal_number : {0, SIGKILL, SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number == 0 ? "a whole run" : strsignal(signal_number));
    FolderWatch watch(dir.path(), kReadingView2.mask);
    const pid_t tool = start_tool(dir / "s");
    int status = 0;
    if (signal_number != 0 && watch.wait_for(kReadingView2, tool, status)) kill(tool, signal_number);
    if (waitpid(tool, &status, 0) == tool && signal_number != 0) {
      EXPECT_TRUE(WIFSIGNALED(status)) << "status " << status;
    }
    // An orphaned decoder is now the test's child: it must end by itself.
    alarm(60);
    int left = 0;
    while (waitpid(-1, &status, 0) > 0) ++left;
    alarm(0);
    if (signal_number == 0) {
      EXPECT_EQ(left, 0);
    } else {
      cpu_set_t processors;
      ASSERT_EQ(sched_getaffinity(0, sizeof processors, &processors), 0);
      EXPECT_GE(left, 2);
      EXPECT_LE(left, 1 + std::min(CPU_COUNT(&processors), kViews));
    }
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// What callers leave a run: standard error closed (some daemons and
// wrappers), signals ignored (nohup, trap '' INT). A hang-up the caller
// ignores is ignored by the run, which completes.
TEST(CallersSetUp, ClosedStandardErrorAndIgnoredSignalsChangeNothing) {
  const ViewSet set = make_set(600, 400);
  const struct {
    const char* what;
    bool close_standard_error;
    int ignored;
  } cases[] = {{"standard error closed", true, 0}, {"SIGHUP ignored", false, SIGHUP}, {"SIGINT ignored", false, SIGINT}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    put_views(dir, set);
    FolderWatch watch(dir.path(), kReadingView2.mask);
    const pid_t tool = start_tool(dir / "s", [&c] {
      if (c.close_standard_error) close(STDERR_FILENO);
      if (c.ignored != 0) signal(c.ignored, SIG_IGN);
    });
    int status = 0;
    bool ended = false;
    if (c.ignored != 0) {
      ended = !watch.wait_for(kReadingView2, tool, status);
      if (!ended) kill(tool, c.ignored);
    }
    if (!ended) waitpid(tool, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    expect_one_pair(dir, set, false);
  }
}

TEST(Interrupted, FileSizeLimitEndsWithStatus3AndChangesNothing) {
  const ViewSet set = make_set(1200, 800);
  TempDir dir;
  put_views(dir, set);
  test_support::write_file(dir / "s_interlace.bmp", kOld);
  test_support::write_file(dir / "s_animation.gif", kOld);
  const auto before = test_support::snapshot(dir.path());
  for (const std::uint64_t limit : {100u, 1000000u, 2800000u}) {
    SCOPED_TRACE(testing::Message() << "files of at most " << limit << " bytes");
    EXPECT_EQ(test_support::run_tool(arguments(dir / "s"), ".", 0, limit).status, 3);
    EXPECT_EQ(test_support::snapshot(dir.path()), before);
  }
}

// The commit on a disk whose renames fail (calls counted in the commit
// helper, the preloaded shim failing the listed ones): the print image's exchange is
// call 1, the preview's call 2, putting the print image back call 3. A
// failed undo must not cost the old print image: it waits under its restore
// name, the status says the pair is mixed, and the next run puts it back.
// A commit that fails, or is killed, between its renames leaves what the
// next run of the set puts back before anything else: the old pair, never a
// mix, and no old file deleted.
TEST(CommitFailures, AFailedOrKilledCommitIsMendedByTheNextRun) {
  const ViewSet set = make_set(120, 80);
  const Bytes old_print{'o', 'l', 'd', 'B'}, old_preview{'o', 'l', 'd', 'G'};
  TempDir dir;
  put_views(dir, set);
  test_support::write_file(dir / "s_interlace.bmp", old_print);
  test_support::write_file(dir / "s_animation.gif", old_preview);
  const auto name_of = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
  const std::string print_aside = name_of(interlace::restore_name(dir / "s_interlace.bmp"));
  const std::string preview_aside = name_of(interlace::restore_name(dir / "s_animation.gif"));
  const std::string journal = name_of(interlace::journal_name(dir / "s_interlace.bmp"));
  // A killed run's commit helper clears up after it: the test adopts it and
  // waits for it to end before it looks at the folder.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const auto run_with = [&](const char* variable, const char* calls) {
    setenv("LD_PRELOAD", FAILING_RENAMES, 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    setenv(variable, calls, 1);
    const int status = test_support::run_tool(arguments(dir / "s")).status;
    unsetenv("LD_PRELOAD");
    unsetenv("ASAN_OPTIONS");
    unsetenv(variable);
    int orphan = 0;
    while (waitpid(-1, &orphan, 0) > 0) {
    }
    return status;
  };
  // What the folder holds besides the views, a temporary's random name
  // shown as "(temporary)", and a journal as the targets it names.
  const Bytes kJournal{'J'};
  const auto outputs = [&] {
    std::map<std::string, Bytes> found;
    for (auto& [name, bytes] : test_support::snapshot(dir.path())) {
      if (set.views.count(name)) continue;
      if (name == journal) {
        const auto parsed = interlace::parse_journal(std::string(bytes.begin(), bytes.end()));
        const bool both_named = parsed && parsed->targets.size() == 2 && parsed->targets[0].name == "s_interlace.bmp" &&
                                parsed->targets[1].name == "s_animation.gif" && parsed->targets[0].existed &&
                                parsed->targets[1].existed;
        found[name] = both_named ? kJournal : bytes;
        continue;
      }
      found[interlace::is_temporary_name(name) ? "(temporary)" : name] = bytes;
    }
    return found;
  };
  using Folder = std::map<std::string, Bytes>;
  const Folder old_pair{{"s_interlace.bmp", old_print}, {"s_animation.gif", old_preview}};
  // The commit helper outlives its run and removes the run's temporaries.
  const Folder killed_between{{"s_interlace.bmp", set.print}, {"s_animation.gif", old_preview},
                              {print_aside, old_print}, {preview_aside, old_preview}, {journal, kJournal}};
  const char* const kFail = "INTERLACE_TEST_FAILING_RENAMES";
  const char* const kKill = "INTERLACE_TEST_KILLING_RENAME";
  const char* const kFailRemoval = "INTERLACE_TEST_FAILING_REMOVALS";
  const Folder new_pair{{"s_interlace.bmp", set.print}, {"s_animation.gif", set.preview}};
  Folder stale_print_aside = new_pair;
  stale_print_aside[print_aside] = old_print;
  const struct {
    const char* variable;
    const char* calls;
    int status;
    Folder after;
    std::string said;  // what the explainer says of the folder after, if anything
    bool old_pair_first = false;  // the old pair put back in place before the run
    bool without_view_2 = false;  // view 2 missing for the run
  } steps[] = {
      {kFail, "1", 3, old_pair, "", false},
      {kFail, "2", 3, old_pair, "", false},
      {kFail, "2,3", 4, {{"s_interlace.bmp", set.print}, {"s_animation.gif", old_preview}, {print_aside, old_print},
                         {journal, kJournal}}, "", false},
      // The next run puts the old print image back first; its own failure
      // then leaves the old pair whole.
      {kFail, "2", 3, old_pair, "", false},
      // Killed between the two renames: the old files wait under their
      // restore names, the journal says a commit was under way.
      {kKill, "2", -1, killed_between, "", false},
      {kFail, "1", 3, old_pair, "", false},
      // The mend comes before anything can fail on a view: a view missing
      // after a killed commit still leaves the old pair whole.
      {kKill, "2", -1, killed_between, "", false},
      {kFail, "", 2, old_pair, "", false, true},
      {kKill, "2", -1, killed_between, "", false},
      {kFail, "", 0, new_pair, "", false},
      // Past the commit point the old print image's restore name can't be
      // removed: the run has succeeded, and the next run removes the stale
      // file rather than putting it back, even when its own commit fails.
      {kFailRemoval, "1", 0, stale_print_aside, print_aside + " holds an earlier s_interlace.bmp that a commit which got "
                                                              "past its commit point left: stale, the next run removes it",
       true, false},
      {kFail, "1", 3, new_pair, "", false},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(testing::Message() << step.variable << "=" << step.calls);
    if (step.old_pair_first) {
      test_support::write_file(dir / "s_interlace.bmp", old_print);
      test_support::write_file(dir / "s_animation.gif", old_preview);
    }
    if (step.without_view_2) std::remove((dir / "s_rs_c02.bmp").c_str());
    EXPECT_EQ(run_with(step.variable, step.calls), step.status);
    if (step.without_view_2) put_views(dir, set);
    EXPECT_TRUE(outputs() == step.after);
    // The explainer names what waits, and what the next run does with it.
    if (!step.said.empty()) {
      const std::string said = test_support::run_check(arguments(dir / "s")).output;
      EXPECT_NE(said.find(step.said), std::string::npos) << said;
    }
    if (step.status == -1) {
      const std::string said = test_support::run_check(arguments(dir / "s")).output;
      EXPECT_NE(said.find(journal + " is left by a commit that was stopped or failed: the next run puts the earlier "
                                    "outputs back"),
                std::string::npos)
          << said;
      EXPECT_NE(said.find(print_aside + " holds the earlier s_interlace.bmp: the next run puts it back"),
                std::string::npos);
    }
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// A commit killed with names that a journal of lines would split or
// mistake: the next run still knows which outputs are the killed run's new
// ones (none existed before) and removes them, leaving no print image
// without its preview.
TEST(CommitFailures, KilledCommitOfAnyNameIsMended) {
  const ViewSet set = make_set(120, 80);
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  for (const std::string base : {"s", "a\nnew line", "- leading dash", "+1 2 plus"}) {
    SCOPED_TRACE(base);
    TempDir dir;
    for (const auto& [name, bytes] : set.views) test_support::write_file(dir / (base + name.substr(1)), bytes);
    const std::vector<std::string> run_arguments{dir / base, "t", "4", "0", "0", "300", "0"};
    setenv("LD_PRELOAD", FAILING_RENAMES, 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    setenv("INTERLACE_TEST_KILLING_RENAME", "2", 1);  // the print image placed, the preview not
    EXPECT_EQ(test_support::run_tool(run_arguments).status, -1);
    unsetenv("INTERLACE_TEST_KILLING_RENAME");
    int orphan = 0;
    while (waitpid(-1, &orphan, 0) > 0) {  // the killed run's helper, clearing up
    }
    setenv("INTERLACE_TEST_FAILING_RENAMES", "1", 1);  // the next run's own commit fails
    EXPECT_EQ(test_support::run_tool(run_arguments).status, 3);
    unsetenv("INTERLACE_TEST_FAILING_RENAMES");
    unsetenv("LD_PRELOAD");
    unsetenv("ASAN_OPTIONS");
    EXPECT_EQ(test_support::entry_names(dir.path()).size(), set.views.size()) << "the killed run's print image stayed";
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// A folder others may write to (/tmp, a group drop box): what another user
// plants at the names a commit uses is left alone, never acted on, and the
// owner's outputs are neither deleted nor given away. Files are planted as
// nobody; the run is root's, which every permission check would let through.
TEST(SharedFolders, WhatAnotherUserPlantsIsLeftAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to plant files as another user";
  const ViewSet set = make_set(120, 80);
  constexpr uid_t kNobody = 65534;
  const auto plant = [](const std::string& path, const std::string& text) {
    test_support::write_file(path, Bytes(text.begin(), text.end()));
    EXPECT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
  };
  const auto journal = [](const std::string& folder) { return interlace::journal_name(folder + "/s_interlace.bmp"); };
  const auto restore = [](const std::string& folder) { return interlace::restore_name(folder + "/s_interlace.bmp"); };
  const auto done = [](const std::string& folder) { return interlace::done_name(folder + "/s_interlace.bmp"); };
  // A journal of this set saying neither output existed: acted on, it
  // would delete both.
  const std::string deleting = std::string("interlace commit journal 2\n- s_interlace.bmp") + '\0' + "- s_animation.gif" + '\0';
  const struct {
    const char* what;
    mode_t folder_mode;
    std::function<int(const std::string&)> plant;  // returns a descriptor to close after the run, or -1
    int status;
    const char* said;
  } cases[] = {
      {"a journal", 01777, [&](const std::string& f) { return plant(journal(f), deleting), -1; }, 3,
       "belongs to user 65534, not this one"},
      {"a done marker and a restore file", 01777,
       [&](const std::string& f) { return plant(done(f), ""), plant(restore(f), "evil"), -1; }, 3,
       "belongs to user 65534, not this one"},
      {"a restore file", 01777, [&](const std::string& f) { return plant(restore(f), "evil"), -1; }, 3,
       "belongs to user 65534, not this one"},
      {"a FIFO at the journal's name", 01777,
       [&](const std::string& f) {
         EXPECT_EQ(mkfifo(journal(f).c_str(), 0666), 0);
         EXPECT_EQ(chown(journal(f).c_str(), kNobody, kNobody), 0);
         return -1;
       },
       3, "is no regular file"},
      {"a file at the print image's name, sticky folder", 01777,
       [&](const std::string& f) { return plant(f + "/s_interlace.bmp", "theirs"), -1; }, 3,
       "user 65534's file stands where s_interlace.bmp goes"},
      {"a file at the print image's name, no sticky bit", 0777,
       [&](const std::string& f) {
         plant(f + "/s_interlace.bmp", "theirs");
         return chmod((f + "/s_interlace.bmp").c_str(), 0666), -1;
       },
       0, "exit status 0"},
      // This user's own journal, held by a run committing right now (in a
      // drop box no folder lock keeps two runs apart): no mend undoes it.
      {"a live run's journal", 01777,
       [&](const std::string& f) {
         test_support::write_file(restore(f), kOld);
         test_support::write_file(journal(f), Bytes(deleting.begin(), deleting.end()));
         const int held = open(journal(f).c_str(), O_RDONLY | O_CLOEXEC);
         EXPECT_EQ(flock(held, LOCK_EX), 0);
         return held;
       },
       3, "is held by a run committing this set now"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string folder = dir / "shared";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    for (const auto& [name, bytes] : set.views) test_support::write_file(folder + "/" + name, bytes);
    test_support::write_file(folder + "/s_animation.gif", kOld);
    if (std::string(c.what).find("print image's name") == std::string::npos) {
      test_support::write_file(folder + "/s_interlace.bmp", kOld);
    }
    ASSERT_EQ(chmod(folder.c_str(), c.folder_mode), 0);
    const int held = c.plant(folder);
    auto before = test_support::snapshot(folder);
    const test_support::ToolResult check = test_support::run_check(arguments(folder + "/s"));
    EXPECT_EQ(test_support::run_tool(arguments(folder + "/s")).status, c.status);
    if (held >= 0) close(held);
    EXPECT_EQ(check.status, c.status);
    EXPECT_NE(check.output.find(c.said), std::string::npos) << check.output;
    auto after = test_support::snapshot(folder);
    if (c.status == 0) {
      struct stat print {};
      ASSERT_EQ(stat((folder + "/s_interlace.bmp").c_str(), &print), 0);
      EXPECT_EQ(print.st_uid, 0u) << "the new print image was given to the planting user";
      EXPECT_EQ(print.st_mode & 07777, 0644u);
      EXPECT_TRUE(after["s_interlace.bmp"] == set.print);
      before.erase("s_interlace.bmp"), after.erase("s_interlace.bmp");
      before.erase("s_animation.gif"), after.erase("s_animation.gif");
    }
    EXPECT_EQ(after, before) << "something planted, or an output, was changed";
  }
}

// Upload and hot folders are often drop boxes: writable and searchable by
// all, listable by their owner only (0733, 1733). A run by another user
// can't open such a folder to lock it; it commits unlocked, and both the
// tool and its explainer say the set can be made. (Root passes every
// permission check, so the runs are made as nobody.)
TEST(OddFolders, DropBoxFolderRunsAsAnotherUser) {
  if (geteuid() != 0 || std::system("command -v runuser >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs root and runuser, to run the tool as another user";
  }
  const ViewSet set = make_set(120, 80);
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  // The tools where nobody may run them, whatever the build folder allows.
  const std::string tool = dir / "interlace", check = dir / "interlace-check", decoder = dir / "interlace-decoder";
  test_support::write_file(tool, test_support::read_file(INTERLACE_TOOL));
  test_support::write_file(check, test_support::read_file(INTERLACE_CHECK_TOOL));
  test_support::write_file(decoder, test_support::read_file(INTERLACE_DECODER));
  ASSERT_EQ(chmod(tool.c_str(), 0755) | chmod(check.c_str(), 0755) | chmod(decoder.c_str(), 0755), 0);
  for (const mode_t mode : {0733u, 01733u}) {
    SCOPED_TRACE(testing::Message() << "folder mode " << std::oct << mode);
    const std::string box = dir / ("box" + std::to_string(mode));
    ASSERT_EQ(mkdir(box.c_str(), 0755), 0);
    for (const auto& [name, bytes] : set.views) test_support::write_file(box + "/" + name, bytes);
    ASSERT_EQ(chmod(box.c_str(), mode), 0);
    const std::string arguments = " '" + box + "/s' t 4 0 0 300 0 >/dev/null 2>&1";
    for (int run = 0; run < 2; ++run) {  // outputs new, then replaced
      EXPECT_EQ(std::system(("runuser -u nobody -- '" + check + "'" + arguments).c_str()), 0);
      EXPECT_EQ(std::system(("runuser -u nobody -- '" + tool + "'" + arguments).c_str()), 0);
      EXPECT_TRUE(test_support::read_file(box + "/s_interlace.bmp") == set.print);
      EXPECT_TRUE(test_support::read_file(box + "/s_animation.gif") == set.preview);
    }
    EXPECT_EQ(test_support::snapshot(box).size(), set.views.size() + 2) << "a temporary was left";
  }
}

// A copy of the tools in a shared folder starts only a decoder it can trust:
// root's or the tool owner's, written by nobody else, in a folder nobody
// else writes; the installed one first. Any other ends the run with 5, the
// planted program unstarted, and interlace-check (text and JSON) says why.
TEST(OddFolders, OnlyATrustedDecoderProgramIsStarted) {
#ifndef INTERLACE_CONFINE
  GTEST_SKIP() << "built without a decoder program";
#endif
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to make files of another user's";
  const ViewSet set = make_set(120, 80);
  constexpr uid_t kNobody = 65534;
  const std::string planted = "#!/bin/sh\ntouch \"$(dirname \"$0\")/started\"\n";
  const auto copy = [](const std::string& from, const std::string& to, mode_t mode, uid_t owner) {
    test_support::write_file(to, test_support::read_file(from));
    EXPECT_EQ(chmod(to.c_str(), mode) | chown(to.c_str(), owner, owner), 0);
  };
  const auto plant = [&](const std::string& to) {
    test_support::write_file(to, Bytes(planted.begin(), planted.end()));
    EXPECT_EQ(chmod(to.c_str(), 0755) | chown(to.c_str(), kNobody, kNobody), 0);
  };
  const struct {
    const char* what;
    mode_t folder_mode;
    std::function<void(const std::string& bin)> place;  // the decoder, given the tools' folder
    int status;
    const char* said;
  } cases[] = {
      {"its own decoder beside it", 0755, [&](const std::string& b) { copy(INTERLACE_DECODER, b + "/interlace-decoder", 0755, 0); },
       0, "exit status 0"},
      {"no decoder", 0755, [](const std::string&) {}, 5, "interlace-decoder, is missing"},
      {"another user's program beside it", 0755, [&](const std::string& b) { plant(b + "/interlace-decoder"); }, 5,
       "belongs to user 65534, neither root nor the tool's owner"},
      {"a decoder others may write", 0755,
       [&](const std::string& b) { copy(INTERLACE_DECODER, b + "/interlace-decoder", 0777, 0); }, 5,
       "may be written by others"},
      {"a shared sticky folder", 01777,
       [&](const std::string& b) { copy(INTERLACE_DECODER, b + "/interlace-decoder", 0755, 0); }, 5,
       "its folder may be written by others"},
      {"the installed decoder, a planted one beside the tool", 0755,
       [&](const std::string& b) {
         EXPECT_EQ(std::system(("mkdir -p '" + b + "/../libexec/interlace'").c_str()), 0);
         copy(INTERLACE_DECODER, b + "/../libexec/interlace/interlace-decoder", 0755, 0);
         plant(b + "/interlace-decoder");
       },
       0, "exit status 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string bin = dir / "bin";
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    copy(INTERLACE_TOOL, bin + "/interlace", 0755, 0);
    copy(INTERLACE_CHECK_TOOL, bin + "/interlace-check", 0755, 0);
    c.place(bin);
    ASSERT_EQ(chmod(bin.c_str(), c.folder_mode), 0);
    put_views(dir, set);
    const std::string args = " '" + (dir / "s") + "' t 4 0 0 300 0 > '" + (dir / "said") + "' 2>&1";
    EXPECT_EQ(WEXITSTATUS(std::system((bin + "/interlace" + args).c_str())), c.status);
    EXPECT_EQ(WEXITSTATUS(std::system((bin + "/interlace-check" + args).c_str())), c.status);
    const Bytes said = test_support::read_file(dir / "said");
    EXPECT_NE(std::string(said.begin(), said.end()).find(c.said), std::string::npos) << std::string(said.begin(), said.end());
    EXPECT_EQ(WEXITSTATUS(std::system((bin + "/interlace-check --json" + args).c_str())), c.status);
    const Bytes json = test_support::read_file(dir / "said");
    EXPECT_NE(std::string(json.begin(), json.end()).find("\"exit_status\": " + std::to_string(c.status)), std::string::npos)
        << std::string(json.begin(), json.end());
    EXPECT_FALSE(test_support::file_exists(bin + "/started")) << "the planted program was started";
  }
}

// A run commits only while it holds its folder's lock; two runs that overlap
// end with one whole pair, never one run's print image with another's preview.
TEST(ConcurrentRuns, CommitsTakeTurnsAndPairsNeverMix) {
  const ViewSet first = make_set(300, 200), second = make_set(302, 200, "PNG");
  TempDir dir;
  put_views(dir, first);
  test_support::write_file(dir / "s_interlace.bmp", kOld);
  test_support::write_file(dir / "s_animation.gif", kOld);
  const int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(folder, LOCK_EX), 0);
  int status_a = 0, status_b = 0;
  // Each run is let go once it reaches for the lock, whatever the machine's
  // load: it has read its views by then.
  FolderWatch watch_a(dir.path(), kTakingTheLock.mask);
  const pid_t a = start_tool(dir / "s");
  ASSERT_TRUE(watch_a.wait_for(kTakingTheLock, a, status_a)) << "run A ended before its commit";
  for (const auto& [name, bytes] : second.views) {  // views replaced as a renderer would
    test_support::write_file(dir / "new", bytes);
    ASSERT_EQ(std::rename((dir / "new").c_str(), (dir / name).c_str()), 0);
  }
  FolderWatch watch_b(dir.path(), kTakingTheLock.mask);
  const pid_t b = start_tool(dir / "s");
  ASSERT_TRUE(watch_b.wait_for(kTakingTheLock, b, status_b)) << "run B ended before its commit";
  EXPECT_EQ(waitpid(a, &status_a, WNOHANG), 0) << "the run didn't wait for the lock";
  EXPECT_EQ(test_support::read_file(dir / "s_interlace.bmp"), kOld);
  close(folder);
  waitpid(a, &status_a, 0);
  waitpid(b, &status_b, 0);
  EXPECT_TRUE(WIFEXITED(status_a) && WEXITSTATUS(status_a) == 0);
  EXPECT_TRUE(WIFEXITED(status_b) && WEXITSTATUS(status_b) == 0);
  const Bytes print = test_support::read_file(dir / "s_interlace.bmp");
  const Bytes preview = test_support::read_file(dir / "s_animation.gif");
  EXPECT_TRUE((print == first.print && preview == first.preview) || (print == second.print && preview == second.preview));
  EXPECT_EQ(test_support::snapshot(dir.path()).size(), 6u) << "a temporary or backup was left";

  for (int attempt = 0; attempt < 10; ++attempt) {
    std::vector<pid_t> runs;
    for (int i = 0; i < 4; ++i) runs.push_back(start_tool(dir / "s"));
    for (pid_t run : runs) {
      int status = 0;
      waitpid(run, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    expect_one_pair(dir, second, false);
  }
}

// A renderer still writing a view, or a copy landing on it: a run that reads
// it meanwhile is refused or made from one whole version, never from parts.
TEST(ChangingViews, ViewRewrittenWhileReadIsRefusedOrWhole) {
  const ViewSet set = make_set(1200, 800);
  TempDir dir;
  put_views(dir, set);
  const Bytes& whole = set.views.at("s_rs_c02.bmp");
  const Bytes cut(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (bool full = false; !done; full = !full) test_support::write_file(dir / "s_rs_c02.bmp", full ? whole : cut);
  });
  int refused = 0;
  for (int run = 0; run < 40; ++run) {
    std::remove((dir / "s_interlace.bmp").c_str());
    std::remove((dir / "s_animation.gif").c_str());
    const int status = test_support::run_tool(arguments(dir / "s")).status;
    ASSERT_TRUE(status == 0 || status == 2) << "status " << status;
    refused += status == 2;
    if (status == 0) {
      EXPECT_TRUE(test_support::read_file(dir / "s_interlace.bmp") == set.print) << "run " << run;
      EXPECT_TRUE(test_support::read_file(dir / "s_animation.gif") == set.preview) << "run " << run;
    }
  }
  done = true;
  writer.join();
  RecordProperty("refused", refused);
}

// Each view is opened once: renamed over or deleted by name after the run has
// opened it, it is still read whole.
TEST(ChangingViews, ViewReplacedOrDeletedByNameAfterItsOpenChangesNothing) {
  const ViewSet set = make_set(600, 400), other = make_set(600, 400, "PNG");
  for (const bool deleted : {false, true}) {
    SCOPED_TRACE(deleted ? "deleted" : "replaced");
    TempDir dir;
    put_views(dir, set);
    test_support::write_file(dir / "other", other.views.at("s_rs_c02.bmp"));
    FolderWatch watch(dir.path(), IN_OPEN);
    const pid_t child = start_tool(dir / "s");
    int status = 0;
    ASSERT_TRUE(watch.wait_for(kReadingView2, child, status));
    if (deleted) {
      std::remove((dir / "s_rs_c02.bmp").c_str());
    } else {
      std::rename((dir / "other").c_str(), (dir / "s_rs_c02.bmp").c_str());
    }
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(test_support::read_file(dir / "s_interlace.bmp") == set.print);
    EXPECT_TRUE(test_support::read_file(dir / "s_animation.gif") == set.preview);
  }
}

// USB sticks and SD cards: no unnamed temporaries, hard links, modes or
// atomic exchange. Mounted with fusefat, as the kernel here may lack vfat.
class FatVolume {
 public:
  explicit FatVolume(const TempDir& dir) : mount_point_(dir / "stick") {
    if (geteuid() != 0 || system("command -v fusefat >/dev/null && command -v mkfs.vfat >/dev/null") != 0) return;
    mkdir(mount_point_.c_str(), 0755);
    const std::string image = dir / "stick.img";
    mounted_ = system(("truncate -s 64M '" + image + "' && mkfs.vfat '" + image + "' >/dev/null && fusefat -o rw+ '" +
                       image + "' '" + mount_point_ + "' >/dev/null 2>&1")
                          .c_str()) == 0;
  }
  ~FatVolume() {
    if (mounted_ && system(("fusermount -u '" + mount_point_ + "'").c_str()) != 0) umount2(mount_point_);
  }
  bool mounted() const { return mounted_; }

 private:
  static void umount2(const std::string& path) {
    if (system(("umount -l '" + path + "'").c_str()) != 0) {
    }
  }
  std::string mount_point_;
  bool mounted_ = false;
};


TEST(OddFileSystems, FatVolumeRunsAndClearsWhatAKilledRunLeft) {
  const ViewSet set = make_set(600, 400);
  TempDir dir;
  FatVolume stick(dir);
  if (!stick.mounted()) GTEST_SKIP() << "needs root, fusefat and mkfs.vfat (the test command installs them)";
  const std::string folder = dir / "stick";
  for (const auto& [name, bytes] : set.views) test_support::write_file(folder + "/" + name, bytes);
  const std::vector<std::string> outputs_and_views = {"s_animation.gif", "s_interlace.bmp", "s_rs_c01.bmp",
                                                      "s_rs_c02.bmp", "s_rs_c03.bmp", "s_rs_c04.bmp"};
  for (int run = 0; run < 2; ++run) {  // new outputs, then replacing them
    ASSERT_EQ(test_support::run_tool(arguments(folder + "/s")).status, 0);
    EXPECT_TRUE(test_support::read_file(folder + "/s_interlace.bmp") == set.print);
    EXPECT_TRUE(test_support::read_file(folder + "/s_animation.gif") == set.preview);
    EXPECT_EQ(test_support::entry_names(folder), outputs_and_views);
  }
  for (const int signal_number : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(strsignal(signal_number));
    FolderWatch watch(folder, IN_CREATE);
    const pid_t child = start_tool(folder + "/s");
    int status = 0;
    if (watch.wait_for({"making the outputs", IN_CREATE, ".interlace-"}, child, status)) {
      kill(child, signal_number);
      waitpid(child, &status, 0);
    }
    if (signal_number == SIGTERM) {
      EXPECT_EQ(test_support::entry_names(folder), outputs_and_views);
    }
    ASSERT_EQ(test_support::run_tool(arguments(folder + "/s")).status, 0);
    EXPECT_EQ(test_support::entry_names(folder), outputs_and_views) << "the next run left a dead run's temporary";
  }
}

void write_sparse_bmp(const std::string& path, std::int32_t width, std::int32_t height, std::uint16_t bits) {
  const std::uint32_t palette = bits <= 8 ? 4u << bits : 0;
  const std::uint64_t row = (std::uint64_t(width) * bits + 31) / 32 * 4;
  const std::uint64_t length = 54 + palette + row * std::uint64_t(height);
  Bytes header(54 + palette, 0);
  const auto put = [&header](std::size_t at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) header[at + std::size_t(i)] = static_cast<unsigned char>(value >> (8 * i));
  };
  header[0] = 'B';
  header[1] = 'M';
  put(2, length & 0xffffffffu, 4);
  put(10, 54 + palette, 4);
  put(14, 40, 4);
  put(18, std::uint32_t(width), 4);
  put(22, std::uint32_t(height), 4);
  put(26, 1, 2);
  put(28, bits, 2);
  test_support::write_file(path, header);
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(length)), 0);
}

// Refused on their headers, before any decoding: the test would take minutes
// and gigabytes otherwise.
TEST(HugeImages, RefusedBeforeDecoding) {
  const struct {
    const char* what;
    std::int32_t width, height;
    std::uint16_t bits;
    int status;
  } cases[] = {
      {"24-bit BMP view with 4.3 GB of pixels", 37000, 38700, 24, 2},
      {"8-bit BMP view whose 24-bit print image needs 6.3 GB", 70000, 30000, 8, 3},
      {"8-bit BMP view whose 24-bit print image is 128 KiB over 4 GiB", 65536, 21846, 8, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    write_sparse_bmp(dir / "b_rs_c01.bmp", c.width, c.height, c.bits);
    EXPECT_EQ(test_support::run_tool({dir / "b", "t", "1", "0", "0", "300", "0"}).status, c.status);
    EXPECT_EQ(test_support::entry_names(dir.path()), std::vector<std::string>{"b_rs_c01.bmp"});
  }
}

}  // namespace
