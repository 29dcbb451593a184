// Bytes over a Unix socket with, at most, one descriptor riding along: how
// the run hands views to its decoders and temporaries to its commit helper.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace interlace {

// Sends up to `count` bytes of `data` on `socket`, with `fd` (-1 for none)
// going with the first of them; retried when a signal interrupts it. What
// sendmsg() returns.
ssize_t send_with_descriptor(int socket, const void* data, std::size_t count, int fd);

// Receives up to `count` bytes into `data` with recvmsg() `flags`. A
// descriptor that comes alone with them is put in `*fd` when `fd` is given
// and no descriptor is held there yet (-1); every other descriptor that
// comes is closed at once: a peer that passed the run its own end of their
// socket would keep the run from ever seeing it close. What recvmsg()
// returns.
ssize_t receive_with_descriptor(int socket, void* data, std::size_t count, int flags, int* fd);

}  // namespace interlace
