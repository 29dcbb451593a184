// The process's descriptors: the three standard ones kept valid, and the
// ones inherited from a caller closed, so that neither the run nor a
// compromised decoder can reach a file, socket or pipe the caller left open.
#pragma once

namespace interlace {

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed. Called
// first thing: a view opened while 2 is closed would become standard error,
// and anything that quiets standard error would then point it elsewhere.
void ensure_standard_descriptors();

// Points standard input, output and error at /dev/null: the tool reads no
// terminal, prints nothing, and leaves the caller's terminal out of reach.
void silence_console();

// Closes every descriptor from 3 up, except `kept` (-1 for none).
void close_inherited_descriptors(int kept = -1);

}  // namespace interlace
