#include "pipeline/bmp_variants.h"

namespace interlace {

namespace {

constexpr std::size_t kFileHeader = 14;
constexpr std::uint32_t kRle8 = 1, kRle4 = 2, kBitFields = 3, kAlphaBitFields = 6;

std::uint32_t little_endian(const std::vector<unsigned char>& bytes, std::size_t at, int count) {
  std::uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[at + static_cast<std::size_t>(i)];
  return value;
}

struct InfoHeader {
  bool valid = false;
  std::uint32_t size = 0;
  std::uint32_t pixel_offset = 0;
  std::int32_t height = 0;
  std::uint32_t bits = 0;
  std::uint32_t compression = 0;
  std::uint32_t alpha_mask = 0;
  std::uint32_t colours_used = 0;
};

InfoHeader read_info_header(const ViewFile& view) {
  const std::vector<unsigned char> h = view.bytes_at(0, kFileHeader + 56);
  InfoHeader info;
  if (h.size() < kFileHeader + 40 || h[0] != 'B' || h[1] != 'M') return info;
  info.size = little_endian(h, 14, 4);
  if (info.size < 40) return info;
  info.valid = true;
  info.pixel_offset = little_endian(h, 10, 4);
  info.height = static_cast<std::int32_t>(little_endian(h, 22, 4));
  info.bits = little_endian(h, 28, 2);
  info.compression = little_endian(h, 30, 4);
  info.colours_used = little_endian(h, 46, 4);
  if (info.size >= 56 && h.size() >= kFileHeader + 56) info.alpha_mask = little_endian(h, 66, 4);
  return info;
}

bool is_newer_header(std::uint32_t size) { return size == 52 || size == 56 || size == 108 || size == 124; }

// The file's bytes one at a time, read a window at a time: run-length data
// can be as large as the file.
class ByteReader {
 public:
  explicit ByteReader(const ViewFile& view) : view_(view) {}
  bool has(std::uint64_t at) const { return at < view_.size(); }
  unsigned operator[](std::uint64_t at) {
    if (at < start_ || at >= start_ + window_.size()) {
      start_ = at;
      window_ = view_.bytes_at(at, kWindow);
      if (window_.empty()) return 0;
    }
    return window_[static_cast<std::size_t>(at - start_)];
  }

 private:
  static constexpr std::size_t kWindow = 64 * 1024;
  const ViewFile& view_;
  std::uint64_t start_ = 0;
  std::vector<unsigned char> window_;
};

// Walks run-length coded pixel data to its end; returns the offset of an
// end-of-line that closes the last row and is followed at once by
// end-of-bitmap, or 0 when there is none. A stream that runs out or goes
// astray gives 0, leaving the library to judge the file.
std::uint64_t trailing_end_of_line(const ViewFile& view, const InfoHeader& info) {
  ByteReader data(view);
  const std::uint64_t rows = info.height < 0 ? 0u - static_cast<std::uint64_t>(info.height)
                                             : static_cast<std::uint64_t>(info.height);
  std::uint64_t row = 0;
  for (std::uint64_t at = info.pixel_offset; data.has(at + 1);) {
    const unsigned count = data[at], code = data[at + 1];
    if (count != 0 || code >= 3) {  // a run, or literal pixels padded to 16 bits
      const std::uint64_t literal = info.compression == kRle4 ? (code + 1u) / 2u : code;
      at += 2 + (count != 0 ? 0 : (literal + 1u) / 2u * 2u);
      continue;
    }
    if (code == 1) return 0;  // end-of-bitmap before any row too many
    if (code == 2) {          // move right and up
      if (!data.has(at + 3)) return 0;
      row += data[at + 3];
      at += 4;
      continue;
    }
    ++row;  // end-of-line
    if (row == rows) return data.has(at + 3) && data[at + 2] == 0 && data[at + 3] == 1 ? at : 0;
    at += 2;
  }
  return 0;
}

}  // namespace

std::vector<ByteOverride> bmp_overrides(const ViewFile& view) {
  const InfoHeader info = read_info_header(view);
  std::vector<ByteOverride> overrides;
  if (!info.valid) return overrides;
  if (is_newer_header(info.size)) {
    overrides.push_back({14, {40, 0, 0, 0}});
    // The palette follows the header: the library looks for it where a
    // 40-byte header ends.
    if (info.bits <= 8) {
      const std::uint32_t most = 1u << info.bits;
      const std::uint32_t colours = info.colours_used == 0 || info.colours_used > most ? most : info.colours_used;
      overrides.push_back({kFileHeader + 40, view.bytes_at(kFileHeader + info.size, std::size_t{colours} * 4)});
    }
  }
  if (info.compression == kRle8 || info.compression == kRle4) {
    const std::uint64_t end_of_line = trailing_end_of_line(view, info);
    if (end_of_line != 0) overrides.push_back({end_of_line + 1, {1}});  // now end-of-bitmap
  }
  return overrides;
}

bool bmp_declares_alpha(const ViewFile& view) {
  const InfoHeader info = read_info_header(view);
  if (!info.valid || info.bits != 32) return false;
  if (info.compression == kAlphaBitFields) return true;
  return info.compression == kBitFields && info.size >= 56 && info.alpha_mask != 0;
}

}  // namespace interlace
