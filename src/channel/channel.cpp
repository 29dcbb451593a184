#include "channel/channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "descriptor_passing.h"

namespace interlace {

namespace {

constexpr int kWaitMilliseconds = 1000;

std::uint64_t little_endian_value(const unsigned char* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

}  // namespace

MessageWriter& MessageWriter::put(std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<unsigned char>(value >> (8 * i)));
  return *this;
}

MessageWriter& MessageWriter::put_signed(std::int64_t value) { return put(static_cast<std::uint64_t>(value)); }

MessageWriter& MessageWriter::put(const std::string& text) {
  put(std::uint64_t{text.size()});
  return put_bytes(text.data(), text.size());
}

MessageWriter& MessageWriter::put_bytes(const void* data, std::size_t count) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  bytes_.insert(bytes_.end(), bytes, bytes + count);
  return *this;
}

const unsigned char* MessageReader::take(std::size_t count) {
  if (broken_ || count > bytes_.size() - at_) {
    broken_ = true;
    return nullptr;
  }
  const unsigned char* start = bytes_.data() + at_;
  at_ += count;
  return start;
}

std::uint64_t MessageReader::get() {
  const unsigned char* bytes = take(8);
  return bytes == nullptr ? 0 : little_endian_value(bytes);
}

std::int64_t MessageReader::get_signed() { return static_cast<std::int64_t>(get()); }

std::string MessageReader::get_string() {
  const std::uint64_t length = get();
  if (length > bytes_.size()) {
    broken_ = true;
    return {};
  }
  const unsigned char* bytes = take(static_cast<std::size_t>(length));
  return bytes == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(bytes), length);
}

bool MessageReader::get_bytes(void* data, std::size_t count) {
  const unsigned char* bytes = take(count);
  if (bytes != nullptr) std::memcpy(data, bytes, count);
  return bytes != nullptr;
}

Channel::~Channel() { close(); }

Channel& Channel::operator=(Channel&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    peer_ = other.peer_;
    waiting_ = std::move(other.waiting_);
    received_ = other.received_;
    other.fd_ = -1;
  }
  return *this;
}

void Channel::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Channel::send(const MessageWriter& message, int passed_fd) {
  const std::uint64_t length = message.bytes().size();
  unsigned char header[8];
  for (int i = 0; i < 8; ++i) header[i] = static_cast<unsigned char>(length >> (8 * i));
  const ssize_t sent = send_with_descriptor(fd_, header, sizeof header, passed_fd);
  if (sent <= 0) return false;
  // The descriptor went with the first byte; the rest is plain data.
  const auto done = static_cast<std::size_t>(sent);
  return send_block(header + done, sizeof header - done) && send_block(message.bytes().data(), length);
}

std::optional<MessageReader> Channel::receive(std::size_t most_bytes, int* received_fd) {
  if (received_fd != nullptr) *received_fd = -1;
  unsigned char header[8];
  if (!receive_exactly(header, sizeof header, received_fd)) return std::nullopt;
  const std::uint64_t length = little_endian_value(header);
  if (length > most_bytes) return std::nullopt;
  std::vector<unsigned char> bytes(static_cast<std::size_t>(length));
  if (!receive_block(bytes.data(), length)) return std::nullopt;
  return MessageReader(std::move(bytes));
}

bool Channel::send_block(const void* data, std::uint64_t count) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (count > 0) {
    const ssize_t sent = ::send(fd_, bytes, count, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes += sent;
    count -= static_cast<std::uint64_t>(sent);
  }
  return true;
}

bool Channel::receive_block(void* data, std::uint64_t count) { return receive_exactly(data, count, nullptr); }

bool Channel::wait_readable() {
  if (!waiting_) return true;
  while (true) {
    pollfd ready[2] = {{fd_, POLLIN, 0}, {peer_, POLLIN, 0}};
    const int result = poll(ready, peer_ >= 0 ? 2 : 1, kWaitMilliseconds);
    if (result < 0 && errno != EINTR) return false;
    if (!waiting_(received_)) return false;
    if (result > 0 && ready[0].revents != 0) return true;
    if (result > 0 && ready[1].revents != 0) return false;  // the peer ended with nothing left to read
  }
}

// Reads `count` bytes; a descriptor that arrives with them is kept in
// `received_fd` when asked for, and closed otherwise.
bool Channel::receive_exactly(void* data, std::uint64_t count, int* received_fd) {
  auto* bytes = static_cast<unsigned char*>(data);
  while (count > 0) {
    if (!wait_readable()) return false;
    const ssize_t got = receive_with_descriptor(fd_, bytes, count, waiting_ ? MSG_DONTWAIT : 0, received_fd);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return false;
    bytes += got;
    count -= static_cast<std::uint64_t>(got);
    received_ += static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace interlace
