// The decoder: the one place where a view's bytes meet the image library.
// Built with confinement (the default), it is a program of its own
// (interlace-decoder) started once per run, before any view is opened, that
// may read what it is handed and answer, and nothing else
// (decoder_process.h); a view that crashes it, runs it out of time or
// memory, stalls it or makes it answer nonsense is refused like any damaged
// view. Built without (INTERLACE_CONFINE=OFF, for sanitizer and valgrind
// runs), it decodes in the run's own process.
#pragma once

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <string>

#include "channel/channel.h"
#include "channel/opened_view.h"
#include "channel/decoded_view.h"

namespace interlace {

// Processor time a decoder may spend on one view: a floor for any view, and
// more in proportion to the pixels its header claims (or, before it claims
// any, its file's bytes). The figures behind them are in the README.
#ifndef INTERLACE_DECODER_CPU_SECONDS
#define INTERLACE_DECODER_CPU_SECONDS 10
#endif
constexpr std::uint64_t kDecoderFloorSeconds = INTERLACE_DECODER_CPU_SECONDS;
#ifndef INTERLACE_DECODER_NANOSECONDS_PER_PIXEL
#define INTERLACE_DECODER_NANOSECONDS_PER_PIXEL 500
#endif
constexpr std::uint64_t kDecoderNanosecondsPerPixel = INTERLACE_DECODER_NANOSECONDS_PER_PIXEL;
// Wall-clock time a decoder may take on one view, in processor limits: a
// decoder that sends a byte or uses a little processor time now and then
// never looks stalled, and would keep the run for days. Three limits leave a
// sound view room on a machine whose every core is shared by three busy
// processes (the basis is in the README).
constexpr std::uint64_t kDecoderWallFactor = 3;
// No view's decode claims more than this (the largest print image a BMP holds
// has fewer pixels), whatever a decoder says.
constexpr std::uint64_t kMostClaimedPixels = std::uint64_t{1} << 31;
// A decoder that neither uses processor time nor sends a byte this long is
// blocked on nothing that will come, and given up.
#ifndef INTERLACE_DECODER_SILENT_SECONDS
#define INTERLACE_DECODER_SILENT_SECONDS 30
#endif
constexpr std::uint64_t kDecoderSilentSeconds = INTERLACE_DECODER_SILENT_SECONDS;

// Processor seconds allowed for a view that claims `pixels`.
std::uint64_t decoder_seconds_for(std::uint64_t pixels);

// The decoder can't run here: its program is missing, or the system won't
// confine it. No view was read; `reason` says why.
class DecoderUnavailable : public Failure {
 public:
  explicit DecoderUnavailable(std::string reason)
      : Failure(ExitStatus::DecoderUnavailable), reason_(std::move(reason)) {}
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

class Decoder {
 public:
  // Starts the decoder process. Throws Failure(OutputFailed) when it can't
  // make the channel or fork.
  Decoder();
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // The strip and preview page of `file`. Throws ViewRefused for a view that
  // can't be used (including one that brought the decoder down: the next
  // call starts a new one), OutputsUnmade, DecoderUnavailable, or
  // Failure(OutputFailed) when the run's own memory runs out.
  DecodedView decode(const OpenedView& file, const DecodeRequest& request);

  // decode() in two halves, so that the run can work on one view's answer
  // while the decoder decodes the next: send() hands `file` over and
  // returns at once; receive() waits for its answer. One view at a time is
  // handed over.
  void send(const OpenedView& file, const DecodeRequest& request);
  DecodedView receive(const OpenedView& file, const DecodeRequest& request);

  // Ends the decoder process, giving its memory back; decode() starts
  // another if called again.
  void stop();

  // Kills the decoder process at once, from any thread: the thread decoding
  // with it sees it gone and gives its view up.
  void interrupt();

  // The decoder process's id; -1 when none runs.
  pid_t pid() const { return pid_; }

  // Told the pixels each view's header claims, as the decoder says them,
  // before its answer.
  void on_claim(std::function<void(std::uint64_t)> listener) { claim_listener_ = std::move(listener); }

 private:
  enum class Verdict { Waiting, TooSlow, Silent, Late };

  void start();
  void ensure_ready();
  DecodedView receive_confined(const OpenedView& file, const DecodeRequest& request);
  void begin_watch(std::uint64_t work);
  // Wall-clock time the current request may take, from its start.
  std::uint64_t wall_limit_seconds() const { return kDecoderWallFactor * limit_seconds_; }
  bool still_worth_waiting(std::uint64_t bytes_received);
  int end();
  [[noreturn]] void lost();
  std::uint64_t cpu_nanoseconds() const;

  // The process and its handle, changed only under the mutex, so that
  // interrupt() never signals a process that is no longer this decoder's.
  std::mutex process_mutex_;
  pid_t pid_ = -1;
  int pidfd_ = -1;
  std::string program_;
  std::function<void(std::uint64_t)> claim_listener_;
  bool ready_ = false;
  Channel channel_;
  // The watch over the current request.
  std::uint64_t cpu_at_request_ = 0;
  std::uint64_t limit_seconds_ = 0;
  std::uint64_t last_cpu_ = 0;
  std::uint64_t last_bytes_ = 0;
  std::uint64_t last_progress_ = 0;  // monotonic nanoseconds
  std::uint64_t request_start_ = 0;  // monotonic nanoseconds
  Verdict verdict_ = Verdict::Waiting;
};

}  // namespace interlace
