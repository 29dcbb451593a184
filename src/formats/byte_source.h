// The bytes of a view file as the format readers see them: read at offsets,
// never past the end, from the one descriptor the decoder was handed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace interlace {

// Bytes the library is to read in place of the file's own at `offset`: how
// the tool shows the library a safer or plainer form of a file without
// touching the file.
struct ByteOverride {
  std::uint64_t offset = 0;
  std::vector<unsigned char> bytes;
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // The bytes from `offset`, as many as there are up to `count`. A file
  // that has fewer than size() promised refuses the view as changed.
  virtual std::vector<unsigned char> bytes_at(std::uint64_t offset, std::size_t count) const = 0;
};

// A byte source's bytes one at a time, read a window at a time: run-length
// data can be as large as the file, and a system call a byte would cost
// seconds on a crafted one.
class ByteReader {
 public:
  explicit ByteReader(const ByteSource& source) : source_(source) {}
  bool has(std::uint64_t at) const { return at < source_.size(); }
  // The offset of the first byte `value` from `at`; size() when none.
  std::uint64_t find(std::uint64_t at, unsigned char value) {
    while (has(at)) {
      (*this)[at];  // brings `at` into the window
      if (at < start_ || at >= start_ + window_.size()) return source_.size();  // nothing more to read
      const auto* start = window_.data() + (at - start_);
      const auto* found = static_cast<const unsigned char*>(std::memchr(start, value, window_.size() - (at - start_)));
      if (found != nullptr) return start_ + static_cast<std::uint64_t>(found - window_.data());
      at = start_ + window_.size();
    }
    return source_.size();
  }

  // The byte at `at`; 0 past the end (check has() first).
  unsigned operator[](std::uint64_t at) {
    if (at < start_ || at >= start_ + window_.size()) {
      start_ = at;
      window_ = source_.bytes_at(at, kWindow);
      if (window_.empty()) return 0;
    }
    return window_[static_cast<std::size_t>(at - start_)];
  }

 private:
  static constexpr std::size_t kWindow = 64 * 1024;
  const ByteSource& source_;
  std::uint64_t start_ = 0;
  std::vector<unsigned char> window_;
};

}  // namespace interlace
