// View loading and strips: each numbered view file becomes one strip, the
// view squeezed to one N-th of its width at full height.
#pragma once

#include <FreeImage.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/bitmap.h"

namespace interlace {

struct ViewSize {
  int width = 0;
  int height = 0;
  bool operator==(const ViewSize& other) const {
    return width == other.width && height == other.height;
  }
};

// The strips of the views loaded so far, in view order; owns each strip
// until the table itself goes, and releases them view 1's first.
class StripTable {
 public:
  StripTable() = default;
  StripTable(const StripTable&) = delete;
  StripTable& operator=(const StripTable&) = delete;
  ~StripTable();

  void add(Bitmap strip);
  int count() const { return static_cast<int>(strips_.size()); }
  FIBITMAP* strip(int index) const { return strips_[static_cast<std::size_t>(index)].get(); }

 private:
  std::vector<Bitmap> strips_;
};

// A view file that passed the checks made before any decoding.
struct ViewFile {
  std::string name;
  FREE_IMAGE_FORMAT format = FIF_UNKNOWN;
  std::uint64_t size = 0;  // bytes
};

// Finds the view file's format, by content first and by name second, and
// checks everything that can be checked before its pixels are decoded: a
// regular file, a format the library reads and this tool accepts, the length
// of a BMP, Targa or binary PNM file against its header, and, from the
// header where the format allows,
// the size against `expected` and `view_count` and a pixel count the file's
// length can plausibly hold. Throws Failure(BadView).
ViewFile inspect_view(const std::string& name, const std::optional<ViewSize>& expected, int view_count);

// The checks of inspect_view() that follow from the format, for the survey
// of decoders that decides which formats are accepted. Throws
// Failure(BadView).
void check_before_decoding(const ViewFile& view, const std::optional<ViewSize>& expected, int view_count);

// Formats whose decoders survived fuzzing; the others are refused unread.
bool is_accepted_format(FREE_IMAGE_FORMAT format);

// Loads view `view_number` of `view_count` as a 24-bit bitmap the caller owns.
// The first view sets `size`; every later view must match it, and is refused
// on its header, before its pixels are decoded, where the format allows.
// Views of other depths are converted with the library's own conversion.
// Throws Failure(BadView) for a view that fails inspect_view(), can't be
// decoded or converted, or that the library decodes while reporting damage.
Bitmap load_view(const std::string& base_name, int view_number, int view_count,
                 std::optional<ViewSize>& size);

// The view resampled with the cubic B-spline to width div `view_count`
// columns at full height. Throws Failure(OutputFailed) when the strip can't be
// allocated.
Bitmap make_strip(FIBITMAP* view, int view_count);

// True for an uncompressed BMP whose file is shorter than its header says its
// pixels need; the library would load such a file as if it were whole, with
// the missing rows black. `file_size` is the file's length in bytes.
bool is_truncated_bmp(const unsigned char* header, std::size_t header_length,
                      std::uint64_t file_size);

}  // namespace interlace
