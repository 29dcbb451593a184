// Why a view can't be used: the reason, with the figures behind it, as the
// checks find it. The tool turns it into exit status 2; the checker into
// words.
#pragma once

#include <cstdint>
#include <string>

#include "exit_status.h"

namespace interlace {

enum class ViewProblemKind {
  Missing,           // no file of that name
  Unreadable,        // the file can't be opened (permissions, an I/O error)
  NotRegularFile,    // a folder, FIFO, device or socket
  Empty,             // zero bytes
  Truncated,         // file_bytes is less than the needed_bytes its header says
  UnknownFormat,     // neither its content nor its name tells a format the library reads
  RefusedFormat,     // a format whose decoder is unsafe on damaged files
  DecoderDamage,     // the library decoded it while reporting damage: `message`
  Bomb,              // its header claims `pixels` in file_bytes bytes
  TooLarge,          // its pixel data, needed_bytes, are 4 GiB or more
  SizeDiffers,       // width x height differ from view 1's expected_width x expected_height
  TooNarrow,         // narrower than the view count, expected_width
  ChangedWhileRead,  // size or modification time changed between opening and decoding
  CannotConvert,     // a pixel type with no conversion to 24 bits
  Malformed,         // its structure would mislead the library: `message` says how
  DecoderCrashed,    // the decoder process died of `signal` (0: it exited) on this view
  DecoderTooSlow,    // the decoder used more than `seconds` of processor time on it
  DecoderNonsense,   // the decoder's answer doesn't fit the request
  DecoderOutOfMemory,  // decoding needs more than the decoder's `needed_bytes` of memory
  DecoderSilent,     // the decoder neither worked nor answered for `seconds`
  DecoderLate,       // the decoder took more than `seconds` of wall-clock time on it
};
// The decoder's answers are checked against it: keep it the last kind.
constexpr ViewProblemKind kLastViewProblemKind = ViewProblemKind::DecoderLate;

struct ViewProblem {
  explicit ViewProblem(ViewProblemKind what = ViewProblemKind::Missing) : kind(what) {}
  ViewProblemKind kind;
  std::uint64_t file_bytes = 0;
  std::uint64_t needed_bytes = 0;
  std::uint64_t pixels = 0;
  std::int64_t width = 0, height = 0;
  std::int64_t expected_width = 0, expected_height = 0;
  std::string message;
  int signal = 0;
  std::uint64_t seconds = 0;
  std::string format;  // the library's name of the view's format, where known
};

// The failure a view check throws: status 2, and the reason.
class ViewRefused : public Failure {
 public:
  explicit ViewRefused(ViewProblem problem) : Failure(ExitStatus::BadView), problem_(std::move(problem)) {}
  const ViewProblem& problem() const { return problem_; }

 private:
  ViewProblem problem_;
};

[[noreturn]] inline void refuse_view(ViewProblemKind kind) { throw ViewRefused(ViewProblem{kind}); }
[[noreturn]] inline void refuse_view(ViewProblem problem) { throw ViewRefused(std::move(problem)); }

// A file of `file_bytes` whose own structure says it needs `needed_bytes`.
[[noreturn]] inline void refuse_truncated(std::uint64_t file_bytes, std::uint64_t needed_bytes) {
  ViewProblem problem{ViewProblemKind::Truncated};
  problem.file_bytes = file_bytes;
  problem.needed_bytes = needed_bytes;
  refuse_view(problem);
}

// A file whose structure would mislead the library, and how, in words.
[[noreturn]] inline void refuse_malformed(std::string why) {
  ViewProblem problem{ViewProblemKind::Malformed};
  problem.message = std::move(why);
  refuse_view(problem);
}

// A high-dynamic-range picture, of the `transfer` named ("PQ", "HLG"):
// printed, it would come out washed out.
[[noreturn]] inline void refuse_high_dynamic_range(const std::string& transfer) {
  refuse_malformed("a high-dynamic-range picture (" + transfer + " transfer), which would print washed out");
}

}  // namespace interlace
