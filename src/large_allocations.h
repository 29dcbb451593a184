// Heap settings for processes that handle views: the run, its decoder, and
// interlace-check.
#pragma once

#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

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

// One heap for every thread: the run takes its decoders' strips on threads
// of their own, and a thread's own heap can't grow past 64 MiB without
// mapping memory afresh, which the settings above rule out.
inline void one_heap_for_all_threads() {
#ifndef INTERLACE_SYSTEM_ALLOCATOR
  mallopt(M_ARENA_MAX, 1);
#endif
}

// Every page of a view's memory is faulted in afresh the first time. The
// heap's next `bytes` are advised to take transparent huge pages, so that
// they are faulted 2 MiB at a time; only whole huge pages inside them are,
// so none is left partly used beyond them. Nothing is touched here, and
// failing to advise changes nothing.
inline void prefer_huge_pages_for(std::uint64_t bytes) {
#ifndef INTERLACE_SYSTEM_ALLOCATOR
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  if (bytes < 2 * kHugePage) return;
  void* next = std::malloc(static_cast<std::size_t>(bytes));
  if (next == nullptr) return;
  const auto start = (reinterpret_cast<std::uintptr_t>(next) + kHugePage - 1) & ~(kHugePage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(next) + bytes) & ~(kHugePage - 1);
  madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
  std::free(next);
#else
  (void)bytes;
#endif
}

}  // namespace interlace
