// The decoder's confinement, seen from inside: a test build's hook makes the
// decoder try, right before decoding, what an attacker who owned it would
// try. Every attempt must be refused, the damage a dying decoder does must
// end as a refused view, and the next view must decode again.

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "confinement/run_confinement.h"
#include "decoding/decoder.h"
#include "decoding/decoder_program.h"
#include "channel/protocol.h"
#include "decoder/strip_and_page.h"
#include "decoder/view_checks.h"
#include "output/commit_helper.h"
#include "output/output_file.h"
#include "test_support.h"
#include "view_problem.h"

namespace {

using interlace::ViewProblemKind;
using test_support::TempDir;

// Every test here starts the test build's decoder, which has the hook.
const bool kHookedDecoder = [] {
  interlace::use_decoder_program(HOOKED_DECODER);
  return true;
}();

enum class Outcome { Refused, Crashed, TooSlow, Silent, Late, Nonsense, Succeeded };

struct Attack {
  const char* name;
  Outcome expected;
};

const Attack kAttacks[] = {
    {"nothing", Outcome::Succeeded},  // the hook itself works, and success would show
    {"read-shadow", Outcome::Refused},
    {"read-root", Outcome::Refused},
    {"create-in-tmp", Outcome::Refused},
    {"delete-file", Outcome::Refused},
    {"reopen-view-writable", Outcome::Refused},
    {"write-view", Outcome::Refused},
    {"write-inherited", Outcome::Refused},
    {"fork", Outcome::Refused},
    {"exec-shell", Outcome::Refused},
    {"tcp-connect", Outcome::Refused},
    {"abstract-bind", Outcome::Refused},
    {"ptrace-parent", Outcome::Refused},
    {"kill-parent", Outcome::Refused},
    {"map-executable", Outcome::Refused},
    {"make-executable", Outcome::Refused},
    {"memfd", Outcome::Refused},
    {"allocate-everything", Outcome::Refused},
    {"crash", Outcome::Crashed},
    {"spin", Outcome::TooSlow},
    // Ways to keep the run waiting: each ends as soon as the decoder is seen
    // neither working nor sending, or dead, or over its processor time.
    {"stall-on-futex", Outcome::Silent},
    {"stall-reading-channel", Outcome::Silent},
    {"half-a-header", Outcome::Silent},
    {"answer-and-200-pixel-bytes", Outcome::Silent},
    // Refused on its claim, before 4 GiB are set aside for it: the view's
    // file is far too small to hold so many pixels.
    {"claim-37800-square", Outcome::Nonsense},
    {"pass-channel-back", Outcome::Crashed},
    {"trickle-while-busy", Outcome::TooSlow},
    // Neither busy nor silent for long: given up at its wall-clock deadline.
    {"trickle-idle", Outcome::Late},
    // Its limit comes from what its file can hold, not from what it claims.
    {"claim-2147483648-and-spin", Outcome::TooSlow},
};

int open_descriptors() {
  int count = 0;
  for (int fd = 0; fd < 4096; ++fd) count += fcntl(fd, F_GETFD) != -1;
  return count;
}

// What came of decoding a view, as the run sees it; `seconds`, the limit
// the decoder was given up at, where it was.
Outcome outcome_of(interlace::Decoder& decoder, const std::string& file, std::uint64_t* seconds = nullptr) {
  try {
    decoder.decode(interlace::OpenedView::open(file), {1, std::nullopt});
  } catch (const interlace::ViewRefused& refused) {
    const interlace::ViewProblem& p = refused.problem();
    if (seconds != nullptr) *seconds = p.seconds;
    if (p.kind == ViewProblemKind::DecoderLate) return Outcome::Late;
    if (p.kind == ViewProblemKind::DecoderCrashed && p.signal == SIGSYS) return Outcome::Refused;
    if (p.kind == ViewProblemKind::DecoderCrashed) return Outcome::Crashed;
    if (p.kind == ViewProblemKind::DecoderTooSlow) return Outcome::TooSlow;
    if (p.kind == ViewProblemKind::DecoderSilent) return Outcome::Silent;
    if (p.kind == ViewProblemKind::DecoderNonsense) return Outcome::Nonsense;
    if (p.message == "attack succeeded") return Outcome::Succeeded;
    if (p.message.rfind("attack refused", 0) == 0) return Outcome::Refused;
    ADD_FAILURE() << "unexpected answer: " << p.message;
  }
  return Outcome::Succeeded;
}

TEST(Confinement, WhatACompromisedDecoderTriesIsRefused) {
  TempDir dir;
  const std::string target = "/tmp/interlace-attack-target";
  test_support::write_file(target, {'k', 'e', 'e', 'p'});
  std::remove("/tmp/interlace-attack-made");
  // A pipe left open by whoever started the run.
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_NONBLOCK), 0);
  ASSERT_EQ(dup2(pipe_ends[1], 50), 50);
  const int descriptors = open_descriptors();
  interlace::Decoder decoder;
  for (const Attack& attack : kAttacks) {
    SCOPED_TRACE(attack.name);
    const std::string view = dir / "attack.bmp";
    const std::string text = std::string("attack:") + attack.name;
    test_support::write_file(view, test_support::Bytes(text.begin(), text.end()));
    std::uint64_t seconds = 0;
    const Outcome outcome = outcome_of(decoder, view, &seconds);
    if (attack.expected == Outcome::TooSlow) {
      // Given up at its processor limit, the one its file's size allows; on
      // a machine busy with other tests, a looping decoder that gets only a
      // share of a processor may reach its wall-clock deadline first, three
      // such limits.
      const std::uint64_t limit = interlace::decoder_seconds_for(interlace::most_pixels_in(text.size()));
      EXPECT_TRUE((outcome == Outcome::TooSlow && seconds == limit) ||
                  (outcome == Outcome::Late && seconds == interlace::kDecoderWallFactor * limit))
          << "outcome " << static_cast<int>(outcome) << " at " << seconds << " s; the file allows " << limit;
    } else {
      EXPECT_EQ(outcome, attack.expected);
    }
  }
  decoder.stop();
  EXPECT_EQ(open_descriptors(), descriptors) << "the run kept descriptors a decoder sent";
  close(50);
  char byte;
  EXPECT_EQ(read(pipe_ends[0], &byte, 1), -1) << "the inherited pipe was written to";
  EXPECT_EQ(test_support::read_file(target), (test_support::Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_FALSE(test_support::file_exists("/tmp/interlace-attack-made"));
  std::remove(target.c_str());

  // A decoder brought down is replaced for the next view.
  ASSERT_TRUE(test_support::make_views(dir / "s", 1, 64, 48));
  const interlace::DecodedView decoded = decoder.decode(interlace::OpenedView::open(dir / "s_rs_c01.bmp"), {2, {}});
  EXPECT_EQ(decoded.size, (interlace::ViewSize{64, 48}));
  EXPECT_EQ(FreeImage_GetWidth(decoded.strip.get()), 32u);
}

// An answer that doesn't fit what was asked is refused as nonsense, whatever
// its pixels: a decoder is not trusted to answer sense.
TEST(Confinement, AnswersThatDontFitTheRequestAreRefused) {
  const auto decoded_of = [](int width, int height, int strip_width) {
    interlace::DecodedView decoded;
    decoded.size = {width, height};
    decoded.strip.reset(test_support::random_bitmap(strip_width, height, 1));
    const interlace::Bitmap view(test_support::random_bitmap(width, height, 2));
    decoded.page = interlace::make_preview_page(view.get());
    return decoded;
  };
  const struct {
    const char* what;
    interlace::DecodeRequest request;
    int width, height, strip_width;
    bool sense;
  } cases[] = {
      {"as asked", {2, interlace::ViewSize{64, 48}}, 64, 48, 32, true},
      {"another size than view 1's", {2, interlace::ViewSize{64, 48}}, 64, 40, 32, false},
      {"a strip of another pitch", {2, std::nullopt}, 64, 48, 30, false},
      {"narrower than the view count", {100, std::nullopt}, 64, 48, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    interlace::Channel run(ends[0]), decoder(ends[1]);
    std::thread answering([&] { interlace::send_decoded(decoder, decoded_of(c.width, c.height, c.strip_width)); });
    bool nonsense = false;
    try {
      const std::optional<interlace::DecodedView> answer = interlace::receive_answer(run, c.request);
      EXPECT_TRUE(answer.has_value());
    } catch (const interlace::ViewRefused& refused) {
      nonsense = refused.problem().kind == ViewProblemKind::DecoderNonsense;
    }
    run.close();  // the decoder's sending stops at the closed end, as at a run that gave up
    answering.join();
    EXPECT_EQ(nonsense, !c.sense);
  }
}

// A decoder busy on a view (here, looping) dies with its run, however the run
// dies: killed with SIGKILL, the run can't stop it itself.
TEST(Confinement, ABusyDecoderDiesWithItsRun) {
  TempDir dir;
  const std::string view = dir / "spin.bmp";
  const std::string text = "attack:spin";
  test_support::write_file(view, test_support::Bytes(text.begin(), text.end()));
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, view.c_str(), IN_ACCESS), 0);
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const pid_t run = fork();
  if (run == 0) {
    interlace::Decoder decoder;
    outcome_of(decoder, view);
    _exit(0);
  }
  // The decoder has read the view: it loops from here on.
  alignas(inotify_event) char event[sizeof(inotify_event) + 256];
  ASSERT_GT(read(watch, event, sizeof event), 0);
  close(watch);
  kill(run, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(run, &status, 0), run);
  alarm(60);  // a decoder that outlived its run would hold the test here
  int orphans = 0;
  while (waitpid(-1, &status, 0) > 0) {
    ++orphans;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
  }
  alarm(0);
  EXPECT_EQ(orphans, 1);
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace

namespace {

// Runs `body` in a child process under a filter that makes the seccomp()
// call fail with ENOSYS, as older kernels and some container runtimes do,
// and, with `refuse_prctl`, prctl(PR_SET_SECCOMP) too; its exit status.
int under_seccomp_refusals(bool refuse_prctl, const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(seccomp), 0);
    if (refuse_prctl) {
      seccomp_rule_add(filter, SCMP_ACT_ERRNO(EINVAL), SCMP_SYS(prctl), 1, SCMP_A0(SCMP_CMP_EQ, PR_SET_SECCOMP));
    }
    if (seccomp_load(filter) != 0) _exit(99);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Where the kernel filters system calls through prctl() alone, the decoder
// is confined that way and the set prints; where it filters none, nothing
// is decoded, and the status and interlace-check say it is the system.
TEST(Confinement, KernelsWithoutTheSeccompCall) {
  const struct {
    bool refuse_prctl;
    int status;
    const char* said;
  } cases[] = {{false, 0, "exit status 0"}, {true, 5, "the decoder can't run here: this system won't confine it"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refuse_prctl ? "no seccomp() and no prctl() form" : "no seccomp()");
    TempDir dir;
    ASSERT_TRUE(test_support::make_views(dir / "s", 3, 64, 48));
    const std::vector<std::string> arguments{dir / "s", "t", "3", "0", "0", "300", "0"};
    EXPECT_EQ(under_seccomp_refusals(c.refuse_prctl, [&] { return test_support::run_tool(arguments).status; }), c.status);
    EXPECT_EQ(test_support::file_exists(dir / "s_interlace.bmp"), c.status == 0);
    const std::string report = dir / "report";
    EXPECT_EQ(under_seccomp_refusals(c.refuse_prctl, [&] {
                const test_support::ToolResult check = test_support::run_check(arguments);
                test_support::write_file(report, test_support::Bytes(check.output.begin(), check.output.end()));
                return check.status;
              }),
              c.status);
    const test_support::Bytes said = test_support::read_file(report);
    EXPECT_NE(std::string(said.begin(), said.end()).find(c.said), std::string::npos) << std::string(said.begin(), said.end());
  }
}

}  // namespace

std::optional<std::string> attack(const std::string& name, int view_fd, int channel_fd);
extern const char* attack_target;

namespace {

// Descriptor 0 a terminal, as when the tool is started from a shell.
void terminal_on_standard_input() {
  const int pty = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty < 0 || grantpt(pty) != 0 || unlockpt(pty) != 0) return;
  const int tty = open(ptsname(pty), O_RDWR | O_NOCTTY);
  if (tty >= 0) dup2(tty, 0);
}

// What a second bug, in the run itself after it has confined itself, could
// try: the same stand-in, called in the run with its views, outputs and
// folder open. Each in a run of its own.
TEST(Confinement, WhatABugInTheConfinedRunTriesIsRefused) {
  const std::string set = "/tmp/interlace-attack-set", target = "/tmp/interlace-run-attack-target";
  attack_target = "/tmp/interlace-run-attack-target";
  ASSERT_EQ(std::system(("rm -rf " + set).c_str()), 0);
  ASSERT_EQ(mkdir(set.c_str(), 0755) | mkdir((set + "/sub").c_str(), 0755), 0);
  const test_support::Bytes kept{'k', 'e', 'e', 'p'};
  test_support::write_file(set + "/sub/.bashrc", kept);
  test_support::write_file(target, kept);
  ASSERT_EQ(chmod(target.c_str(), 0644), 0);
  ASSERT_TRUE(test_support::make_views(set + "/s", 1, 64, 48));
  const std::pair<const char*, bool> cases[] = {
      {"nothing", true},  // the hook works in the run, and success would show
      {"read-shadow", false}, {"create-in-tmp", false}, {"delete-file", false}, {"read-subfolder-file", false},
      {"write-subfolder-file", false}, {"chmod-outside", false}, {"chown-outside", false},
      {"utimes-outside", false}, {"setxattr-outside", false}, {"kill-parent", false},
      {"read-session-keyring", false}, {"bpf-map", false}, {"io-uring", false}, {"type-into-terminal", false},
      {"fork", false}, {"exec-shell", false}, {"tcp-connect", false}, {"abstract-bind", false},
      {"ptrace-parent", false}, {"memfd", false}, {"map-executable", false},
      {"signal-through-descriptor", false}, {"chmod-held-descriptor", false}, {"chown-held-descriptor", false},
      {"replace-subfolder-file", false}, {"delete-subfolder-file", false},
  };
  for (const auto& [name, succeeds] : cases) {
    SCOPED_TRACE(name);
    const pid_t run = fork();
    if (run == 0) {
      terminal_on_standard_input();
      interlace::Decoder decoder;
      const interlace::OpenedView view = interlace::OpenedView::open(set + "/s_rs_c01.bmp");
      const interlace::OutputFolder folder(set + "/");
      const interlace::OutputFile print(set + "/s_interlace.bmp"), preview(set + "/s_animation.gif");
      interlace::confine_run({decoder.pid()});
      const std::string said = attack(name, view.fd(), -1).value_or("");
      _exit(said == "attack succeeded" ? 0 : said.rfind("attack refused", 0) == 0 ? 1 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(run, &status, 0), run);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), succeeds ? 0 : 1);
  }
  // What the run may ask its commit helper is the commit's own changes,
  // in the set's folder only.
  const struct {
    const char* what;
    std::function<int(interlace::CommitHelper&, int view)> ask;
  } requests[] = {
      {"remove a file below the folder", [](interlace::CommitHelper& h, int) { return h.remove("sub/.bashrc"); }},
      {"rename a view onto a file below", [](interlace::CommitHelper& h, int) {
         return h.rename("s_rs_c01.bmp", "sub/.bashrc");
       }},
      {"remove a view", [](interlace::CommitHelper& h, int) { return h.remove("s_rs_c01.bmp"); }},
      {"give a view a temporary's name", [](interlace::CommitHelper& h, int view) {
         return h.name_file(view, ".interlace-AAAAAA");
       }},
      {"rename a file it did not name", [](interlace::CommitHelper& h, int) {
         return h.rename(".interlace-BBBBBB", "s_interlace.bmp");
       }},
  };
  for (const auto& r : requests) {
    SCOPED_TRACE(r.what);
    const pid_t run = fork();
    if (run == 0) {
      interlace::CommitHelper helper({set + "/s_interlace.bmp", set + "/s_animation.gif"}, {});
      const interlace::OpenedView view = interlace::OpenedView::open(set + "/s_rs_c01.bmp");
      interlace::confine_run({});
      _exit(r.ask(helper, view.fd()) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(run, &status, 0), run);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
  }
  EXPECT_TRUE(test_support::file_exists(set + "/s_rs_c01.bmp"));
  EXPECT_EQ(test_support::read_file(set + "/sub/.bashrc"), kept);
  EXPECT_EQ(test_support::read_file(target), kept);
  struct stat info {};
  EXPECT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_EQ(info.st_uid, getuid());
  EXPECT_FALSE(test_support::file_exists("/tmp/interlace-attack-made"));
  EXPECT_EQ(std::system(("rm -rf " + set + " " + target).c_str()), 0);
}

}  // namespace
