// How many decoders a run keeps busy: no more than the processors it may
// use, its views, the descriptors it may hold, and the memory a view of the
// set's size needs in each.
#pragma once

#include <cstdint>

namespace interlace {

// What the process has room for now, read before the run confines itself.
struct MachineRoom {
  int processors = 1;                   // those it may run on (its affinity) that nothing else keeps busy now
  std::uint64_t memory = UINT64_MAX;    // bytes it may still take: the machine's and its control group's
};
MachineRoom room_of_this_process();

// Decoders to start for `view_count` views: no more than the processors or
// the views, and two descriptors each within `descriptor_limit` beside what
// a run holds anyway; one at least.
int decoders_to_start(const MachineRoom& room, int view_count, std::uint64_t descriptor_limit);

// Of `started` decoders, how many may decode at once views of `pixels`
// (view 1's claim): each holds one view while it decodes, at most
// kDecoderBytesPerPixel a pixel, beside the run's strips; one at least.
constexpr std::uint64_t kDecoderBytesPerPixel = 12;
int decoders_to_keep(const MachineRoom& room, int started, std::uint64_t pixels);

}  // namespace interlace
