// Where the decoder's program is, and how the run starts it: a program of its
// own, so that nothing of the run (its environment, arguments, stack canary
// or memory layout) is in the process that parses views.
#pragma once

#include <sys/types.h>

#include <string>

namespace interlace {

// Beside the running tool (a build tree), or where the package installs it,
// ../libexec/interlace/ from the tool's folder. Empty when neither exists.
std::string decoder_program();

// Tests only: the decoder program to start instead.
void use_decoder_program(const std::string& path);

// The descriptor the decoder finds its channel on.
constexpr int kDecoderChannelFd = 3;

// Forks and executes the decoder program with an empty environment, its
// channel on kDecoderChannelFd and nothing else open but /dev/null on 0 to
// 2. The child dies with the run. The child's pid, or -1.
pid_t start_decoder_program(int channel);

}  // namespace interlace
