#include "descriptor_passing.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace interlace {

ssize_t send_with_descriptor(int socket, const void* data, std::size_t count, int fd) {
  iovec part{const_cast<void*>(data), count};
  msghdr envelope{};
  envelope.msg_iov = &part;
  envelope.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd >= 0) {
    envelope.msg_control = control;
    envelope.msg_controllen = sizeof control;
    cmsghdr* rights = CMSG_FIRSTHDR(&envelope);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &fd, sizeof(int));
  }
  ssize_t sent;
  do {
    sent = sendmsg(socket, &envelope, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

namespace {

void take_descriptors(msghdr& envelope, int* kept) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&envelope); c != nullptr; c = CMSG_NXTHDR(&envelope, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS || c->cmsg_len < CMSG_LEN(0)) continue;
    const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      if (kept != nullptr && *kept < 0 && count == 1) {
        *kept = fd;
      } else {
        close(fd);
      }
    }
  }
}

}  // namespace

// Room for a few descriptors a message: those that don't fit are dropped by
// the kernel.
ssize_t receive_with_descriptor(int socket, void* data, std::size_t count, int flags, int* fd) {
  iovec part{data, count};
  msghdr envelope{};
  envelope.msg_iov = &part;
  envelope.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(16 * sizeof(int))] = {};
  envelope.msg_control = control;
  envelope.msg_controllen = sizeof control;
  const ssize_t got = recvmsg(socket, &envelope, flags | MSG_CMSG_CLOEXEC);
  if (got >= 0) take_descriptors(envelope, fd);
  return got;
}

}  // namespace interlace
