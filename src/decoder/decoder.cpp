#include "decoder/decoder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "decoder/decoder_process.h"
#include "decoder/protocol.h"
#include "view_problem.h"

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

Decoder::Decoder() {
#ifdef INTERLACE_CONFINE
  start();
#endif
}

Decoder::~Decoder() { stop(); }

void Decoder::start() {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) fail_output();
  const pid_t run = getpid();
  pid_ = fork();
  if (pid_ < 0) {
    close(ends[0]);
    close(ends[1]);
    fail_output();
  }
  if (pid_ == 0) {
    close(ends[0]);
    run_decoder_process(ends[1], run);
  }
  close(ends[1]);
  channel_ = Channel(ends[0]);
  channel_.while_waiting([this] {
    too_slow_ = cpu_seconds() - cpu_at_request_ > kDecoderCpuSeconds;
    return !too_slow_;
  });
}

void Decoder::stop() {
  if (pid_ <= 0) return;
  channel_.close();
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::uint64_t Decoder::cpu_seconds() const {
  clockid_t clock;
  timespec used{};
  if (clock_getcpuclockid(pid_, &clock) != 0 || clock_gettime(clock, &used) != 0) return 0;
  return static_cast<std::uint64_t>(used.tv_sec);
}

DecodedView Decoder::decode(const OpenedView& file, const DecodeRequest& request) {
#ifdef INTERLACE_CONFINE
  DecodedView decoded = decode_confined(file, request);
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

DecodedView Decoder::decode_confined(const OpenedView& file, const DecodeRequest& request) {
  if (pid_ <= 0) start();
  cpu_at_request_ = cpu_seconds();
  too_slow_ = false;
  if (!channel_.send(request_message(file.name(), request), file.fd())) lost();
  try {
    std::optional<DecodedView> decoded = receive_answer(channel_, request);
    if (!decoded) lost();
    return std::move(*decoded);
  } catch (const ViewRefused& refused) {
    // A decoder that answered nonsense is not asked again.
    if (refused.problem().kind == ViewProblemKind::DecoderNonsense) stop();
    throw;
  }
}

// The channel broke: the decoder died, or was stopped for taking too long.
void Decoder::lost() {
  channel_.close();
  int status = 0;
  // Killed first, in case it broke the channel and lives: the wait must end.
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  ViewProblem problem{too_slow_ ? ViewProblemKind::DecoderTooSlow : ViewProblemKind::DecoderCrashed};
  problem.seconds = kDecoderCpuSeconds;
  if (WIFSIGNALED(status)) problem.signal = WTERMSIG(status);
  if (WIFEXITED(status) && WEXITSTATUS(status) == kDecoderNotConfined) problem.message = "it could not be confined";
  refuse_view(problem);
}

}  // namespace interlace
