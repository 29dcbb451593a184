// System-call filters (seccomp-bpf, through libseccomp): the decoder's
// allowlist, and what the run's own process gives up once its decoder runs.
// Both set no_new_privs, which a filter needs and which keeps set-user-ID
// programs from gaining rights for anything the process might start.
#pragma once

#include <sys/types.h>

#include <vector>

namespace interlace {

// The decoder may read the descriptors it holds and is handed, write its
// answers on `channel` (and to standard output and error, /dev/null there),
// manage memory but never map it executable, start threads (never a
// process), wait on futexes, signal itself (abort) and exit. Any other call
// ends it with SIGSYS, except the file-status calls the C library makes on
// its own (they fail with EPERM) and opening files (EACCES). False when the
// kernel refuses the filter.
bool confine_decoder_calls(int channel);

// The run's own process, once its decoders have started and its views,
// outputs and folder are open, may only use the descriptors it holds (but
// change no file's mode or owner, and ask fcntl() only what it asks itself:
// nothing that signals another process), manage memory (never
// executable), start threads (one for each decoder), sleep, signal itself
// and `decoders` and wait for them; any other call fails with EPERM
// (opening files EACCES, ioctl ENOTTY). It links, renames and removes
// nothing: its commit helper does. False when the kernel refuses the
// filter.
bool confine_run_calls(const std::vector<pid_t>& decoders);

// The commit helper may read requests on `channel` and answer them, link,
// rename and remove entries (of its folder: Landlock), look at a descriptor
// it is handed, and exit; any other call ends it with SIGSYS.
bool confine_commit_helper_calls(int channel);

}  // namespace interlace
