// Strips: each view squeezed to one N-th of its width at full height, kept
// in view order until the interlacer weaves them.
#pragma once

#include <FreeImage.h>

#include <vector>

#include "bitmap.h"

namespace interlace {

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

}  // namespace interlace
