#include "decoding/decoder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sys/syscall.h>

#include <algorithm>
#include <cstring>

#include "decoding/decoder_program.h"
#include "channel/protocol.h"
#include "clock.h"
#include "image_size.h"
#include "view_problem.h"

#ifndef INTERLACE_CONFINE
// Unconfined (for sanitizers), views are decoded in the run's own process.
#include "decoder/view_decoding.h"
#endif

namespace interlace {

namespace {

#ifndef INTERLACE_CONFINE
// A copy that holds pixels and palette only: whatever metadata the library
// carried over from the view (comments, EXIF, XMP) stays behind, as it does
// when the pixels come over the channel.
Bitmap bare_copy(FIBITMAP* source) {
  const unsigned bits = FreeImage_GetBPP(source);
  Bitmap copy(FreeImage_Allocate(static_cast<int>(FreeImage_GetWidth(source)),
                                 static_cast<int>(FreeImage_GetHeight(source)), static_cast<int>(bits)));
  if (!copy) fail_output();
  std::memcpy(FreeImage_GetBits(copy.get()), FreeImage_GetBits(source),
              std::uint64_t{FreeImage_GetPitch(source)} * FreeImage_GetHeight(source));
  if (bits <= 8) std::memcpy(FreeImage_GetPalette(copy.get()), FreeImage_GetPalette(source), sizeof(RGBQUAD) << bits);
  return copy;
}
#endif

}  // namespace

std::uint64_t decoder_seconds_for(std::uint64_t pixels) {
  return kDecoderFloorSeconds + std::min(pixels, kMostClaimedPixels) / (1000000000 / kDecoderNanosecondsPerPixel);
}

Decoder::Decoder() {
#ifdef INTERLACE_CONFINE
  start();
#endif
}

Decoder::~Decoder() { stop(); }

void Decoder::start() {
  DecoderProgram program = find_decoder_program();
  if (!program.problem.empty()) {
    throw DecoderUnavailable("its program, " + program.path + ", " + program.problem + ": reinstall the package");
  }
  program_ = program.path;
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    close(program.fd);
    fail_output();
  }
  const pid_t child = start_decoder_program(program, ends[1]);
  close(program.fd);
  close(ends[1]);
  if (child < 0) {
    close(ends[0]);
    fail_output();
  }
  {
    const std::lock_guard<std::mutex> lock(process_mutex_);
    pid_ = child;
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  }
  ready_ = false;
  channel_ = Channel(ends[0]);
  channel_.while_waiting([this](std::uint64_t bytes) { return still_worth_waiting(bytes); }, pidfd_);
}

void Decoder::stop() {
  if (pid_ > 0) end();
}

// Ends the decoder, killed first in case it broke the channel and lives (the
// wait must end), and returns its exit status as waitpid gives it.
int Decoder::end() {
  channel_.close();
  const std::lock_guard<std::mutex> lock(process_mutex_);
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  if (pidfd_ >= 0) close(pidfd_);
  pidfd_ = -1;
  pid_ = -1;
  return status;
}

void Decoder::interrupt() {
  const std::lock_guard<std::mutex> lock(process_mutex_);
  if (pid_ > 0) kill(pid_, SIGKILL);  // not yet reaped, under this lock: still this decoder
}

namespace {

// Without a pidfd (kernels before 5.3), the decoder's end is seen here,
// on the wake-up after it, without reaping it.
bool has_ended(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

}  // namespace

std::uint64_t Decoder::cpu_nanoseconds() const {
  clockid_t clock;
  return clock_getcpuclockid(pid_, &clock) == 0 ? nanoseconds_on(clock) : 0;
}

void Decoder::begin_watch(std::uint64_t work) {
  cpu_at_request_ = last_cpu_ = cpu_nanoseconds();
  request_start_ = last_progress_ = nanoseconds_on(CLOCK_MONOTONIC);
  limit_seconds_ = decoder_seconds_for(work);
  verdict_ = Verdict::Waiting;
}

// Checked on every wake-up: a decoder is given up once it has used its
// processor time, or has neither worked nor sent a byte for a while.
bool Decoder::still_worth_waiting(std::uint64_t bytes_received) {
  const std::uint64_t cpu = cpu_nanoseconds(), now = nanoseconds_on(CLOCK_MONOTONIC);
  if (cpu != last_cpu_ || bytes_received != last_bytes_) last_progress_ = now;
  last_cpu_ = cpu;
  last_bytes_ = bytes_received;
  if (now - request_start_ > wall_limit_seconds() * 1000000000u) verdict_ = Verdict::Late;
  // Past its deadline, a decoder that has also gone quiet or used its
  // processor time is said to have done that.
  if (now - last_progress_ > kDecoderSilentSeconds * 1000000000u) verdict_ = Verdict::Silent;
  if (cpu - cpu_at_request_ > limit_seconds_ * 1000000000u) verdict_ = Verdict::TooSlow;
  if (verdict_ != Verdict::Waiting) return false;
  return pidfd_ >= 0 || !has_ended(pid_);
}

// The decoder says it is confined before it is handed anything.
void Decoder::ensure_ready() {
  if (pid_ <= 0) start();
  if (ready_) return;
  begin_watch(0);
  if (receive_ready(channel_)) {
    ready_ = true;
    return;
  }
  const int status = end();
  if (WIFEXITED(status) && WEXITSTATUS(status) == kDecoderNotConfined) {
    throw DecoderUnavailable("this system won't confine it (the kernel or container allows no seccomp filters): "
                             "run where it does, or, only for views you trust, use a build made with "
                             "-DINTERLACE_CONFINE=OFF");
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kDecoderNotStarted) {
    throw DecoderUnavailable("its program, " + program_ + ", could not be started: reinstall the package");
  }
  throw DecoderUnavailable("it ended before it was ready");
}

DecodedView Decoder::decode(const OpenedView& file, const DecodeRequest& request) {
  send(file, request);
  return receive(file, request);
}

void Decoder::send(const OpenedView& file, const DecodeRequest& request) {
#ifdef INTERLACE_CONFINE
  ensure_ready();
  begin_watch(file.size());
  if (!channel_.send(request_message(file.name(), request), file.fd())) lost();
#else
  (void)file;
  (void)request;
#endif
}

DecodedView Decoder::receive(const OpenedView& file, const DecodeRequest& request) {
#ifdef INTERLACE_CONFINE
  DecodedView decoded = receive_confined(file, request);
#else
  const int own_fd = fcntl(file.fd(), F_DUPFD_CLOEXEC, 3);
  if (own_fd < 0) refuse_view(ViewProblemKind::Unreadable);
  DecodedView decoded = decode_view(OpenedView(own_fd, file.name()), request);
  decoded.strip = bare_copy(decoded.strip.get());
  decoded.page = bare_copy(decoded.page.get());
#endif
  // A file written to while it was read may have decoded from parts of two
  // versions.
  if (file.changed_since_opened()) refuse_view(ViewProblemKind::ChangedWhileRead);
  return decoded;
}

DecodedView Decoder::receive_confined(const OpenedView& file, const DecodeRequest& request) {
  // A claim earns time only for what the file can hold: a small file that
  // claims billions of pixels is a bomb, whatever its decoder says.
  const auto claimed = [this, &file](std::uint64_t pixels) {
    limit_seconds_ = decoder_seconds_for(std::max(std::min(pixels, most_pixels_in(file.size())), file.size()));
    if (claim_listener_) claim_listener_(pixels);
  };
  try {
    std::optional<DecodedView> decoded = receive_answer(channel_, request, claimed, most_pixels_in(file.size()));
    if (!decoded) lost();
    return std::move(*decoded);
  } catch (const ViewRefused& refused) {
    // A decoder that answered nonsense is not asked again.
    if (refused.problem().kind == ViewProblemKind::DecoderNonsense) stop();
    throw;
  }
}

// The channel broke, the decoder ended, or it was given up.
void Decoder::lost() {
  const int status = end();
  ViewProblem problem{ViewProblemKind::DecoderCrashed};
  if (verdict_ == Verdict::TooSlow) problem.kind = ViewProblemKind::DecoderTooSlow;
  if (verdict_ == Verdict::Silent) problem.kind = ViewProblemKind::DecoderSilent;
  if (verdict_ == Verdict::Late) problem.kind = ViewProblemKind::DecoderLate;
  problem.seconds = verdict_ == Verdict::Silent ? kDecoderSilentSeconds
                    : verdict_ == Verdict::Late ? wall_limit_seconds()
                                                : limit_seconds_;
  if (verdict_ == Verdict::Waiting && WIFSIGNALED(status)) problem.signal = WTERMSIG(status);
  refuse_view(problem);
}

}  // namespace interlace
