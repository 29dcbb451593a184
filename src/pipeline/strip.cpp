#include "pipeline/strip.h"

#include "exit_status.h"

namespace interlace {

StripTable::~StripTable() {
  for (Bitmap& strip : strips_) strip.reset();
}

void StripTable::add(Bitmap strip) { strips_.push_back(std::move(strip)); }

}  // namespace interlace
