// Heap settings for processes that handle views: the run, its decoder, and
// interlace-check.
#pragma once

#include <malloc.h>

namespace interlace {

// Every view and strip is one large allocation. By default the C library
// maps each afresh and unmaps it when freed, so every view pays again for the
// kernel to fault in and zero its pages, over half the run on print-size
// views. Kept on the heap and never trimmed, the memory of one view is reused
// by the next (in the decoder, which inherits these settings, too).
inline void keep_large_allocations() {
#ifndef INTERLACE_SYSTEM_ALLOCATOR
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
#endif
}

}  // namespace interlace
