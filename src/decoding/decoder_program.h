// Where the decoder's program is, and how the run starts it: a program of its
// own, so that nothing of the run (its environment, arguments, stack canary
// or memory layout) is in the process that parses views.
#pragma once

#include <sys/types.h>

#include <string>

#include "channel/protocol.h"

namespace interlace {

// The program the run starts, once it is trusted: where the package
// installs it, ../libexec/interlace/ from the tool's own folder, or else
// beside the tool (a build tree). Trusted only as a regular file of root's
// or of the tool's own owner that nobody else may write, in a folder nobody
// else may write: a copy of the tool in a shared folder never starts
// another user's decoder placed beside it.
struct DecoderProgram {
  std::string path;     // the program, or where it was looked for
  int fd = -1;          // open (as a path) once trusted; -1 otherwise
  std::string problem;  // why there is none to start; empty when there is
  bool missing = false;  // none there at all
};
DecoderProgram find_decoder_program();

// Tests only: the decoder program to start instead (checked as any other).
void use_decoder_program(const std::string& path);

// Forks and executes `program` (open as program.fd) with an empty
// environment, its channel on kDecoderChannelFd and nothing else open but
// /dev/null on 0 to 2. The child dies with the run. The child's pid, or -1.
pid_t start_decoder_program(const DecoderProgram& program, int channel);

}  // namespace interlace
