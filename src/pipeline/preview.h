// The preview animation: a GIF with one 640-pixel-wide, 256-colour page per
// view, two views a second, for judging the set on screen before printing.
#pragma once

#include <FreeImage.h>

#include <cstdint>

#include "output/output_file.h"

namespace interlace {

constexpr int kPreviewWidth = 640;

// floor(640 * h / w + 0.5) with the product in 64 bits, and at least 1 so a
// very wide view still gets a page. 0 when the page would be taller than a
// GIF page can be (65535 rows).
int preview_page_height(int view_width, int view_height);

// Milliseconds per page: 1000 / 2.0 frames per second + 0.5, in single
// precision, truncated: 500.
int preview_frame_time();

// The animation's pages live in memory until write(); nothing reaches the
// disk before then, so a run that fails midway leaves no file behind.
class PreviewAnimation {
 public:
  // Throws Failure(OutputFailed) if the library can't open an animation.
  PreviewAnimation();
  ~PreviewAnimation();
  PreviewAnimation(const PreviewAnimation&) = delete;
  PreviewAnimation& operator=(const PreviewAnimation&) = delete;

  // Appends the page for a 24-bit `view`, which stays the caller's: resampled
  // bilinearly to 640 pixels wide, quantized with Wu's method, tagged with
  // the frame time. Throws Failure(OutputFailed) if the page can't be made or
  // the animation didn't grow by one page.
  void add_page(FIBITMAP* view);

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
