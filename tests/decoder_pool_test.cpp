// Several decoders at once: a set decodes byte for byte as one decoder
// decodes it, and a set with a view that can't be used ends at the first
// such view by number, for the reason one decoder gives, whichever decoder
// met it first, a decoder that dies or loops among them. The test's own
// process stands in for the run; its decoders are the test build's, whose
// hook acts out a compromised decoder on views that ask for it.

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "confinement/descriptors.h"
#include "decoding/decoder_count.h"
#include "decoding/decoder_pool.h"
#include "decoding/decoder_program.h"
#include "test_support.h"
#include "view_problem.h"

namespace {

using test_support::Bytes;
using test_support::TempDir;

// What decoding a set came to: every view's strip and page, and where and
// why it stopped, if it did.
struct Outcome {
  std::vector<Bytes> pixels;  // each taken view's strip, then its page with its palette
  int stopped_at = 0;         // views taken before the failure; all of them when none
  int status = 0;
  int kind = -1;              // the refusal's, where a view was refused
  std::string words;          // its message
};

Bytes pixels_of(FIBITMAP* bitmap) {
  const BYTE* bits = FreeImage_GetBits(bitmap);
  Bytes bytes(bits, bits + std::size_t{FreeImage_GetPitch(bitmap)} * FreeImage_GetHeight(bitmap));
  if (FreeImage_GetBPP(bitmap) == 8) {
    const auto* palette = reinterpret_cast<const BYTE*>(FreeImage_GetPalette(bitmap));
    bytes.insert(bytes.end(), palette, palette + 1024);
  }
  return bytes;
}

Outcome decode_with(int decoders, const std::vector<std::string>& files, int view_count) {
  Outcome outcome;
  std::vector<interlace::OpenedView> views;
  for (const std::string& file : files) views.push_back(interlace::OpenedView::open(file));
  interlace::DecoderPool pool(decoders);
  EXPECT_EQ(static_cast<int>(pool.pids().size()), decoders);
  try {
    const auto nothing = [](interlace::DecodedView&) {};
    pool.decode(views, view_count, interlace::MachineRoom{decoders, UINT64_MAX}, nothing, [&](interlace::DecodedView& view) {
      outcome.pixels.push_back(pixels_of(view.strip.get()));
      outcome.pixels.push_back(pixels_of(view.page.get()));
      ++outcome.stopped_at;
    });
  } catch (const interlace::ViewRefused& refused) {
    outcome.status = 2;
    outcome.kind = static_cast<int>(refused.problem().kind);
    outcome.words = refused.problem().message;
  } catch (const interlace::Failure& failure) {
    outcome.status = static_cast<int>(failure.status());
  }
  return outcome;
}

void write_text(const std::string& path, const std::string& text) { test_support::write_file(path, Bytes(text.begin(), text.end())); }

// A looping decoder is given up at its processor limit or, on a machine
// busy with other tests, at its wall-clock deadline first: the same end.
int ended_as(int kind) {
  const auto late = static_cast<int>(interlace::ViewProblemKind::DecoderLate);
  return kind == late ? static_cast<int>(interlace::ViewProblemKind::DecoderTooSlow) : kind;
}

TEST(DecoderPool, SeveralDecodersDecodeAsOneInOrder) {
#ifndef INTERLACE_CONFINE
  GTEST_SKIP() << "built without decoder processes";
#endif
  interlace::use_decoder_program(HOOKED_DECODER);
  TempDir dir;
  ASSERT_TRUE(test_support::make_views(dir / "s", 6, 96, 64, "PNG"));
  ASSERT_TRUE(test_support::make_views(dir / "other", 1, 64, 48));
  ASSERT_TRUE(test_support::make_views(dir / "narrow", 1, 3, 64));
  Bytes cut = test_support::read_file(dir / "s_rs_c06.bmp");
  cut.resize(cut.size() / 2);
  test_support::write_file(dir / "cut.png", cut);
  write_text(dir / "crash", "attack:crash");
  write_text(dir / "spin", "attack:spin");
  const auto view = [&](int n) { return dir / ("s_rs_c0" + std::to_string(n) + ".bmp"); };
  const struct {
    const char* what;
    std::vector<std::string> files;
    int stopped_at;  // the first view that can't be used, counted from 0; the count when all can
    interlace::ViewProblemKind kind;
  } cases[] = {
      {"a whole set", {view(1), view(2), view(3), view(4), view(5), view(6)}, 6, interlace::ViewProblemKind::Missing},
      // Decoded before view 1's size was known, a view of another size is
      // still refused as of another size, and before a later damaged view.
      {"another size, then damage", {view(1), dir / "other_rs_c01.bmp", view(3), dir / "cut.png"}, 1,
       interlace::ViewProblemKind::SizeDiffers},
      {"damage, then another size", {view(1), view(2), dir / "cut.png", dir / "other_rs_c01.bmp"}, 2,
       interlace::ViewProblemKind::DecoderDamage},
      {"narrower than the views, and of another size", {view(1), dir / "narrow_rs_c01.bmp", view(3)}, 1,
       interlace::ViewProblemKind::SizeDiffers},
      // A decoder that dies, or loops until its limit, among others still
      // at work on earlier views.
      {"a decoder crashes", {view(1), view(2), view(3), dir / "crash", view(5), view(6)}, 3,
       interlace::ViewProblemKind::DecoderCrashed},
      {"a decoder loops, a later one crashes", {view(1), dir / "spin", view(3), dir / "crash"}, 1,
       interlace::ViewProblemKind::DecoderTooSlow},
      {"view 1 can't be used", {dir / "crash", view(2), view(3)}, 0, interlace::ViewProblemKind::DecoderCrashed},
  };
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome one = decode_with(1, c.files, 4), three = decode_with(3, c.files, 4);
    EXPECT_EQ(one.stopped_at, c.stopped_at);
    EXPECT_EQ(three.stopped_at, c.stopped_at);
    if (c.stopped_at < static_cast<int>(c.files.size())) {
      EXPECT_EQ(ended_as(three.kind), static_cast<int>(c.kind));
      EXPECT_EQ(ended_as(three.kind), ended_as(one.kind));
      if (three.kind == one.kind) {
        EXPECT_EQ(three.words, one.words);
      }
    }
    EXPECT_TRUE(three.pixels == one.pixels) << "several decoders gave other strips or pages";
    // Every decoder has ended, a dead one and one stopped mid-view alike.
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a decoder outlived its pool";
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// How many decoders a run starts and keeps: processors, views, descriptors
// and memory each bound them, and one is always there.
TEST(DecoderPool, AsManyDecodersAsTheMachineHasRoomFor) {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  const std::uint64_t a4 = 4960 * 3508;  // pixels of an A4 page at 600 dpi
  const struct {
    const char* what;
    int processors, views;
    std::uint64_t descriptors, memory, pixels;
    int started, kept;
  } cases[] = {
      {"two processors", 2, 8, 1024, 64 * 1024 * kMiB, a4, 2, 2},
      {"sixteen processors, eight views", 16, 8, 1024, 64 * 1024 * kMiB, a4, 8, 8},
      {"one processor free", 1, 8, 1024, 64 * 1024 * kMiB, a4, 1, 1},
      {"descriptors for two", 16, 8, std::uint64_t(interlace::descriptors_needed(8, 1)) + 2, 64 * 1024 * kMiB, a4, 2, 2},
      {"descriptors for one", 16, 8, std::uint64_t(interlace::descriptors_needed(8, 1)), 64 * 1024 * kMiB, a4, 1, 1},
      {"memory for three A4 views", 16, 8, 1024, 900 * kMiB, a4, 8, 3},
      {"memory for none", 16, 8, 1024, 16 * kMiB, a4, 8, 1},
      {"small views in a little memory", 16, 100, 1024, 900 * kMiB, 400 * 300, 16, 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const interlace::MachineRoom room{c.processors, c.memory};
    const int started = interlace::decoders_to_start(room, c.views, c.descriptors);
    EXPECT_EQ(started, c.started);
    EXPECT_EQ(interlace::decoders_to_keep(room, started, c.pixels), c.kept);
  }
}

// Processes that keep processors busy are counted, however briefly the
// run looks: with as many spinning as this process may use, one processor
// is left to it (other tests running beside it can only make that fewer).
TEST(DecoderPool, ProcessorsBusyElsewhereAreLeftToThem) {
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  const int processors = CPU_COUNT(&set);
  std::vector<pid_t> spinners;
  for (int i = 0; i < processors; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (;;) {
      }
    }
    spinners.push_back(pid);
  }
  const int free = interlace::room_of_this_process().processors;
  for (const pid_t pid : spinners) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  EXPECT_EQ(free, 1);
}

}  // namespace
