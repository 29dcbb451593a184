// The process's descriptors: the three standard ones kept valid, and the
// ones inherited from a caller closed, so that neither the run nor a
// compromised decoder can reach a file, socket or pipe the caller left open.
#pragma once

#include <cstdint>

namespace interlace {

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed. Called
// first thing: a view opened while 2 is closed would become standard error,
// and anything that quiets standard error would then point it elsewhere.
void ensure_standard_descriptors();

// Points standard input, output and error at /dev/null: the tool reads no
// terminal, prints nothing, and leaves the caller's terminal out of reach.
void silence_console();

// Raises the soft limit on open descriptors to the hard one: a run holds
// every view open at once, N + 10 descriptors in all, and shells often set a
// soft limit far below what the system allows.
void raise_descriptor_limit();

// Descriptors a run of `view_count` views holds open at once with
// `decoders` decoder processes: the standard three, every view, the outputs'
// folder, the two outputs' temporaries and the commit's journal, the commit
// helper's channel, a channel and a process handle per decoder, and one
// more for a moment as the run confines itself.
int descriptors_needed(int view_count, int decoders);

// The most descriptors this process may open: the hard limit, to which
// raise_descriptor_limit() lifts the soft one.
std::uint64_t descriptor_limit();

// Closes every descriptor from 3 up, except `kept` (-1 for none).
void close_inherited_descriptors(int kept = -1);

}  // namespace interlace
