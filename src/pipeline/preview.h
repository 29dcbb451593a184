// The preview animation: a GIF with one 640-pixel-wide, 256-colour page per
// view, two views a second, for judging the set on screen before printing.
#pragma once

#include <FreeImage.h>

#include <cstdint>

#include "image_size.h"
#include "exit_status.h"
#include "output/output_file.h"

namespace interlace {

// Milliseconds per page: 1000 / 2.0 frames per second + 0.5, in single
// precision, truncated: 500.
int preview_frame_time();

// A page the library's GIF writer can't pack without fault, in either row
// order (see gif_writer_packs_safely()): the preview can't be written.
class PreviewPageUnsafe : public Failure {
 public:
  PreviewPageUnsafe() : Failure(ExitStatus::OutputFailed) {}
};

// The animation's pages live in memory until write(); nothing reaches the
// disk before then, so a run that fails midway leaves no file behind.
class PreviewAnimation {
 public:
  // Throws Failure(OutputFailed) if the library can't open an animation.
  PreviewAnimation();
  ~PreviewAnimation();
  PreviewAnimation(const PreviewAnimation&) = delete;
  PreviewAnimation& operator=(const PreviewAnimation&) = delete;

  // Appends `page` (made by make_preview_page()), which stays the caller's,
  // tagged with the frame time and nothing else, and stored interlaced where
  // only that order packs safely. Throws PreviewPageUnsafe if neither does,
  // Failure(OutputFailed) if the animation didn't grow by one page.
  void add_page(FIBITMAP* page);

  // add_page() in two halves: prepare_page() tags `page` and chooses its
  // row order, on any thread (it touches that page alone); append_page()
  // appends a prepared page, on the animation's.
  static void prepare_page(FIBITMAP* page);
  void append_page(FIBITMAP* page);

  int page_count() const;

  // The length in bytes of the GIF write() would write, found by encoding it
  // in memory. Throws Failure(OutputFailed) as write() does.
  std::uint64_t encoded_bytes() const;

  // Writes the whole GIF into `out`. Throws Failure(OutputFailed) if the
  // library reports failure or a write failed.
  void write(OutputFile& out);

 private:
  FIMULTIBITMAP* animation_ = nullptr;
};

}  // namespace interlace
