// The run and its decoder talk over one stream socket: framed messages of
// plain fields (one of which may carry a view's descriptor), and raw blocks
// of pixels that follow an answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace interlace {

// Fields in the order they are put; integers as 8 little-endian bytes,
// strings with their length first.
class MessageWriter {
 public:
  MessageWriter& put(std::uint64_t value);
  MessageWriter& put_signed(std::int64_t value);
  MessageWriter& put(const std::string& text);
  MessageWriter& put_bytes(const void* data, std::size_t count);
  const std::vector<unsigned char>& bytes() const { return bytes_; }

 private:
  std::vector<unsigned char> bytes_;
};

// Reads back what a MessageWriter put. A read past the end gives zeros and
// marks the message broken: the other side is not trusted to be well formed.
class MessageReader {
 public:
  explicit MessageReader(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t get();
  std::int64_t get_signed();
  std::string get_string();
  bool get_bytes(void* data, std::size_t count);
  bool broken() const { return broken_; }

 private:
  const unsigned char* take(std::size_t count);
  std::vector<unsigned char> bytes_;
  std::size_t at_ = 0;
  bool broken_ = false;
};

class Channel {
 public:
  Channel() = default;
  explicit Channel(int fd) : fd_(fd) {}
  ~Channel();
  Channel(Channel&& other) noexcept
      : fd_(other.fd_), peer_(other.peer_), waiting_(std::move(other.waiting_)), received_(other.received_) {
    other.fd_ = -1;
  }
  Channel& operator=(Channel&& other) noexcept;
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  int fd() const { return fd_; }
  void close();

  // Called on every wake-up of a receive (bytes arrived, `peer` ended, or a
  // second passed) with the count of bytes received so far; returning false
  // gives the receive up (as a failure). `peer`, when not -1, is a pidfd of
  // the process on the other end: once it has ended and nothing is left to
  // read, the receive fails, whoever else holds the other end.
  void while_waiting(std::function<bool(std::uint64_t)> check, int peer = -1) {
    waiting_ = std::move(check);
    peer_ = peer;
  }

  // False when the other side is gone. `passed_fd`, when not -1, travels
  // with the message as a descriptor of the receiver's own.
  bool send(const MessageWriter& message, int passed_fd = -1);
  // Empty when the other side is gone, breaks the framing or sends a message
  // longer than `most_bytes`. A descriptor that came with the message's first
  // byte is put in `received_fd` (the caller owns it), or -1; every other
  // descriptor that comes is closed at once.
  std::optional<MessageReader> receive(std::size_t most_bytes, int* received_fd = nullptr);

  bool send_block(const void* data, std::uint64_t count);
  bool receive_block(void* data, std::uint64_t count);

 private:
  bool wait_readable();
  bool receive_exactly(void* data, std::uint64_t count, int* received_fd);

  int fd_ = -1;
  int peer_ = -1;
  std::function<bool(std::uint64_t)> waiting_;
  std::uint64_t received_ = 0;
};

}  // namespace interlace
