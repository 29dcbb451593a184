// The decoder: the one place where a view's bytes meet the image library.
// Built with confinement (the default), it is a child process started once
// per run, before any view is opened, that may read what it is handed and
// answer, and nothing else (decoder_process.h); a view that crashes it, runs
// it out of time or memory, or makes it answer nonsense is refused like any
// damaged view. Built without (INTERLACE_CONFINE=OFF, for sanitizer and
// valgrind runs), it decodes in the run's own process.
#pragma once

#include <sys/types.h>

#include "decoder/channel.h"
#include "decoder/opened_view.h"
#include "decoder/view_decoding.h"

namespace interlace {

// Processor time a decoder may spend on one view: a print-size JPEG 2000
// takes seconds; a decoder looping for ever on a crafted file is stopped.
#ifndef INTERLACE_DECODER_CPU_SECONDS
#define INTERLACE_DECODER_CPU_SECONDS 300
#endif
constexpr std::uint64_t kDecoderCpuSeconds = INTERLACE_DECODER_CPU_SECONDS;

class Decoder {
 public:
  // Starts the decoder process. Throws Failure(OutputFailed) when it can't.
  Decoder();
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // The strip and preview page of `file`. Throws ViewRefused for a view that
  // can't be used (including one that brought the decoder down: the next
  // call starts a new one), OutputsUnmade, or Failure(OutputFailed) when the
  // run's own memory runs out.
  DecodedView decode(const OpenedView& file, const DecodeRequest& request);

  // Ends the decoder process, giving its memory back; decode() starts
  // another if called again.
  void stop();

 private:
  void start();
  DecodedView decode_confined(const OpenedView& file, const DecodeRequest& request);
  [[noreturn]] void lost();
  std::uint64_t cpu_seconds() const;

  pid_t pid_ = -1;
  Channel channel_;
  std::uint64_t cpu_at_request_ = 0;
  bool too_slow_ = false;
};

}  // namespace interlace
