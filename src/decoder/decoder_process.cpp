#include "decoder/decoder_process.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include <algorithm>
#include <cstdint>
#include <new>

#include "confinement/descriptors.h"
#include "confinement/landlock.h"
#include "confinement/seccomp_filters.h"
#include "decoder/library_decoding.h"
#include "channel/protocol.h"
#include "decoder/standard_error_silenced.h"
#include "large_allocations.h"
#include "decoder/view_checks.h"
#include "decoder/view_decoding.h"

#ifdef INTERLACE_DECODER_TEST_HOOK
#include <optional>
#include <string>
// Tests only: given the view's descriptor before it is decoded, and the
// channel, may act as a compromised decoder would and say what came of it.
std::optional<std::string> decoder_test_hook(int view_fd, int channel_fd);
#endif

namespace interlace {

namespace {

// Signals the run catches are the run's business; the decoder dies of them.
// Those the caller ignores (nohup) stay ignored.
void default_signals() {
  for (int number = 1; number < NSIG; ++number) {
    struct sigaction current {};
    if (sigaction(number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) signal(number, SIG_DFL);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Half the machine's memory, never more than the run was given: a view
// that needs more is a decompression bomb, and ends as a refusal rather
// than with the machine out of memory. No core files of hostile input.
void limit_resources() {
  const auto physical = static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  rlimit memory{};
  getrlimit(RLIMIT_AS, &memory);
  const rlim_t half = std::max<rlim_t>(physical / 2, rlim_t{1} << 30);
  memory.rlim_cur = std::min(memory.rlim_cur, half);
  setrlimit(RLIMIT_AS, &memory);
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
}

// The decoder's standard descriptors are all /dev/null, and stay so.
void null_console() {
  const int null_device = open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int fd = 0; fd <= 2; ++fd) dup2(null_device, fd);
  if (null_device > 2) close(null_device);
  g_standard_error_is_null = true;
}

// What the libraries would read from files on first use, settled before
// the filter. OpenMP (LibRaw) reads the processors it may use as it loads,
// before main; libjpeg-turbo, libwebp and OpenJPEG probe the processor with
// cpuid, and OpenJPEG starts threads only when the environment asks. The C
// library counts processors from a file once a process has more than eight
// heaps; capping the heaps spares that, and memory. A file opened later
// still (none is known) is refused with EACCES rather than fatal.
void prime_libraries() {
  mallopt(M_ARENA_MAX, 4);
  prime_library_decoders();
}

std::uint64_t memory_limit() {
  rlimit memory{};
  getrlimit(RLIMIT_AS, &memory);
  return memory.rlim_cur;
}

bool answer(Channel& channel, int view_fd, const std::string& name, const DecodeRequest& request) {
#ifdef INTERLACE_DECODER_TEST_HOOK
  if (const std::optional<std::string> said = decoder_test_hook(view_fd, channel.fd())) {
    close(view_fd);
    ViewProblem problem{ViewProblemKind::DecoderDamage};
    problem.message = *said;
    return send_refused(channel, problem);
  }
#endif
  try {
    const DecodedView decoded = decode_view(OpenedView(view_fd, name), request);
    // The decoder keeps its freed memory for the next view; after the last
    // it gives it back before the run receives the strip, so that the two
    // processes never hold a full view each at once.
    if (request.last) malloc_trim(0);
    return send_decoded(channel, decoded);
  } catch (const ViewRefused& refused) {
    return send_refused(channel, refused.problem());
  } catch (const OutputsUnmade& unmade) {
    return send_outputs_unmade(channel, unmade.size());
  } catch (const std::bad_alloc&) {
    ViewProblem problem{ViewProblemKind::DecoderOutOfMemory};
    problem.needed_bytes = memory_limit();
    return send_refused(channel, problem);
  }
}

// A decoded view and its 24-bit copy: 8 bytes a pixel covers a 32-bit one,
// within what any view may claim.
constexpr std::uint64_t kHeapBytesPerPixel = 8;
constexpr std::uint64_t kMostPixelsAdvised = std::uint64_t{1} << 31;

[[noreturn]] void serve(Channel& channel) {
  bool claimed = false;
  bool heap_advised = false;
  listen_for_claims([&](std::uint64_t pixels) {
    if (!claimed && !send_claim(channel, pixels)) _exit(0);
    claimed = true;
    // The first view's pages come 2 MiB at a time, for the decoded view and
    // what it is converted to, a set's every view after it reusing them.
    if (!heap_advised) prefer_huge_pages_for(std::min(pixels, kMostPixelsAdvised) * kHeapBytesPerPixel);
    heap_advised = true;
  });
  while (true) {
    claimed = false;
    int view_fd = -1;
    std::optional<MessageReader> message = channel.receive(kMostMessageBytes, &view_fd);
    std::string name;
    DecodeRequest request;
    if (!message || !read_request(*message, name, request) || view_fd < 0) _exit(0);  // the run is done
    if (!answer(channel, view_fd, name, request)) _exit(0);
  }
}

}  // namespace

void run_decoder_process(int channel_fd) {
  default_signals();
  close_inherited_descriptors(channel_fd);
  null_console();
  keep_large_allocations();
  // Readers of date tags ask the C library for local time, which would read
  // (and re-check) the time zone file. Only pixels leave the decoder, so
  // universal time, which needs no file, serves. The environment is
  // otherwise empty: the caller's doesn't steer the libraries.
  setenv("TZ", "UTC0", 1);
  tzset();
  prime_libraries();
  limit_resources();
  restrict_file_access({{}, true});
  Channel channel(channel_fd);
  if (!confine_decoder_calls(channel_fd)) _exit(kDecoderNotConfined);
  if (!send_ready(channel)) _exit(0);
  serve(channel);
}

}  // namespace interlace
