// What the run asks of a decoder for one view, and what comes back: the
// view's strip and preview page, or the reason it can't be used.
#pragma once

#include <optional>
#include <string>

#include "bitmap.h"
#include "exit_status.h"
#include "image_size.h"

namespace interlace {

struct DecodeRequest {
  int view_count = 1;
  std::optional<ViewSize> expected;  // view 1's size, for a later view where it is known
  bool last = false;                 // no view follows for this decoder
  // View 1: the print image of its size must fit a BMP. A later view
  // decoded before view 1's size is known leaves that, and the size, to the
  // run.
  bool first = true;
};

struct DecodedView {
  ViewSize size;              // the view's, upright
  std::string format;         // the library's name for its format
  unsigned stored_bits = 0;   // bits per pixel as decoded, before conversion
  std::string conversion;     // what made it 24-bit; empty when nothing did
  std::string profile;        // its embedded colour profile's description; empty for none
  Bitmap strip;               // 24-bit, size.width / view_count by size.height
  Bitmap page;                // 8-bit palette, 640 wide, no metadata
};

// Status 3 for a view that can't be used for want of an output: the print
// image of its size would be too large for a BMP (before decoding, `size`
// empty), or its strip or page can't be made (`size` set).
class OutputsUnmade : public Failure {
 public:
  explicit OutputsUnmade(std::optional<ViewSize> size) : Failure(ExitStatus::OutputFailed), size_(size) {}
  const std::optional<ViewSize>& size() const { return size_; }

 private:
  std::optional<ViewSize> size_;
};

}  // namespace interlace
