// Everything that reads a view's bytes, in one call: format detection, the
// checks before decoding, the decode, the conversion to 24 bits, and the
// strip and preview page made from the result. In the tool it runs inside
// the confined decoder process (decoder.h); built without confinement, in
// the run's own process.
#pragma once

#include <optional>
#include <string>

#include "bitmap.h"
#include "decoder/opened_view.h"
#include "exit_status.h"
#include "image_size.h"

namespace interlace {

struct DecodeRequest {
  int view_count = 1;
  std::optional<ViewSize> expected;  // view 1's size, for every later view
  bool last = false;                 // no view follows in this run
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

// Decodes `file` as the view that `request` describes. Throws ViewRefused
// (with the format's name in the problem, where it was found) or
// OutputsUnmade; std::bad_alloc where memory runs out.
DecodedView decode_view(OpenedView file, const DecodeRequest& request);

}  // namespace interlace
