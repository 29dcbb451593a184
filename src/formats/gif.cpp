#include "formats/gif.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "byte_order.h"

namespace interlace {

namespace {

std::uint64_t gif_claimed_pixels(const ByteSource& file) {
  std::vector<unsigned char> b = file.bytes_at(0, 13);
  if (b.size() < 13) return 0;
  std::uint64_t pixels = std::uint64_t{little_endian(&b[6], 2)} * little_endian(&b[8], 2);
  std::uint64_t at = 13;
  if (b[10] & 0x80) at += 3u << ((b[10] & 7) + 1);
  // Through the file's window, not a read a byte: extensions can be
  // millions of tiny blocks.
  ByteReader data(file);
  const auto byte_at = [&data](std::uint64_t offset) { return data.has(offset) ? int(data[offset]) : -1; };
  int block;
  while ((block = byte_at(at++)) == 0x21) {  // extensions: label, then sub-blocks
    ++at;
    int length;
    while ((length = byte_at(at++)) > 0) at += static_cast<std::uint64_t>(length);
  }
  b = file.bytes_at(at, 8);
  if (block == 0x2C && b.size() == 8) {
    pixels = std::max<std::uint64_t>(pixels, std::uint64_t{little_endian(&b[4], 2)} * little_endian(&b[6], 2));
  }
  return pixels;
}


// The codes made since the packer's last clear, by (prefix code, pixel):
// at most 4094 at a time, in an open-addressed table of twice that many
// slots (64 KiB, which stays in the cache, where a map of every possible
// key would take 4 MiB). A generation number per slot stands in for
// clearing it.
class CodeTable {
 public:
  CodeTable() : slots_(new std::uint64_t[kSlots]()) {}

  // The code made for `key` since the last clear, or -1.
  int find(std::uint32_t key) const {
    for (std::uint32_t at = slot_of(key);; at = (at + 1) & (kSlots - 1)) {
      const std::uint64_t slot = slots_[at];
      if ((slot >> 32) != generation_) return -1;
      if (((slot >> 12) & 0xFFFFFu) == key) return static_cast<int>(slot & 0xFFFu);
    }
  }

  void add(std::uint32_t key, unsigned code) {
    std::uint32_t at = slot_of(key);
    while ((slots_[at] >> 32) == generation_) at = (at + 1) & (kSlots - 1);
    slots_[at] = std::uint64_t{generation_} << 32 | std::uint64_t{key} << 12 | code;
  }

  void clear() {
    if (++generation_ == 0) {  // generations wrap: clear for real
      std::fill(slots_.get(), slots_.get() + kSlots, std::uint64_t{0});
      generation_ = 1;
    }
  }

 private:
  static constexpr std::uint32_t kSlots = 8192;
  static std::uint32_t slot_of(std::uint32_t key) { return (key * 2654435761u) >> 19; }

  std::unique_ptr<std::uint64_t[]> slots_;
  std::uint32_t generation_ = 1;
};

// The writer's LZW packer, as far as the number of pending bits goes. It
// maps (prefix code, pixel) to codes and clears the map when the 4096th
// code would be made.
class GifPackerReplay {
 public:
  void pixel(unsigned char value) {
    if (!started_) {
      started_ = true;
      prefix_ = value;
      return;
    }
    const std::uint32_t key = ((prefix_ << 8) & 0xFFF00u) + value;
    const int code = codes_.find(key);
    if (code >= 0) {
      prefix_ = static_cast<std::uint32_t>(code);
    } else {
      emit_code(key);
      prefix_ = value;
    }
    if (used_ == kSubBlock) used_ = 0;  // the writer writes out a full sub-block
  }

  // The closing prefix and end codes go into the 4-byte buffer.
  bool finish() {
    if (!pend(code_size_)) return false;
    int bytes = 0;
    for (; pending_ >= 8; pending_ -= 8) ++bytes;
    if (!pend(code_size_)) return false;
    for (; pending_ > 0; pending_ -= 8) ++bytes;
    return ok_ && bytes <= 4;
  }

  bool ok() const { return ok_; }

 private:
  static constexpr int kSubBlock = 255;
  static constexpr int kMinCodeSize = 8;
  static constexpr unsigned kFirstCode = (1u << kMinCodeSize) + 2;
  static constexpr unsigned kCodeLimit = 4096;

  // Pending bits past 31 reach the sign bit, which the packer's arithmetic
  // shifts then smear over the codes that follow.
  bool pend(int bits) {
    pending_ += bits;
    if (pending_ > 31) ok_ = false;
    return ok_;
  }

  void emit_code(std::uint32_t key) {
    pend(code_size_);
    while (pending_ >= 8 && used_ < kSubBlock) {
      ++used_;
      pending_ -= 8;
    }
    codes_.add(key, next_code_);
    if (next_code_ == (1u << code_size_)) ++code_size_;
    if (++next_code_ == kCodeLimit) {
      pend(code_size_);  // the clear code, packed without a flush
      clear();
    }
  }

  void clear() {
    next_code_ = kFirstCode;
    code_size_ = kMinCodeSize + 1;
    codes_.clear();
  }

  CodeTable codes_;
  unsigned next_code_ = kFirstCode;
  int code_size_ = kMinCodeSize + 1;
  int pending_ = kMinCodeSize + 1;  // the opening clear code
  int used_ = 0;
  std::uint32_t prefix_ = 0;
  bool started_ = false;
  bool ok_ = true;
};

// The rows in the order the writer packs them. Interlaced, that is every
// 8th row from 0, every 8th from 4, every 4th from 2 and every 2nd from 1,
// but the writer stops at the first pass that starts past the last row: a
// picture under 5 rows loses rows.
std::vector<unsigned> packed_rows(unsigned height, bool interlaced) {
  std::vector<unsigned> rows;
  const unsigned starts[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
  unsigned y = 0, pass = 0;
  while (y < height) {
    rows.push_back(y);
    if (!interlaced) {
      ++y;
      continue;
    }
    y += steps[pass];
    if (y >= height && ++pass < 4) y = starts[pass];
  }
  return rows;
}

}  // namespace

bool gif_writer_packs_safely(FIBITMAP* page, bool interlaced) {
  const unsigned width = FreeImage_GetWidth(page), height = FreeImage_GetHeight(page);
  const std::vector<unsigned> rows = packed_rows(height, interlaced);
  if (rows.size() != height) return false;
  GifPackerReplay packer;
  for (unsigned y : rows) {
    const BYTE* row = FreeImage_GetScanLine(page, static_cast<int>(height - 1 - y));  // stored bottom up
    for (unsigned x = 0; x < width && packer.ok(); ++x) packer.pixel(row[x]);
    if (!packer.ok()) return false;
  }
  return packer.finish();
}

FormatFacts inspect_gif(const ByteSource& file) {
  FormatFacts facts;
  facts.claimed_pixels = gif_claimed_pixels(file);
  return facts;
}

}  // namespace interlace
