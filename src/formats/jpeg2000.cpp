#include "formats/jpeg2000.h"

#include <cstring>
#include <vector>

#include "byte_order.h"

namespace interlace {

namespace {

// SOC, then SIZ: its length, capabilities, then the reference grid's width
// and height and the image's offset on it.
std::uint64_t codestream_pixels(const ByteSource& file, std::uint64_t at) {
  const std::vector<unsigned char> siz = file.bytes_at(at, 4 + 2 + 2 + 16);
  if (siz.size() < 24 || siz[0] != 0xFF || siz[1] != 0x4F || siz[2] != 0xFF || siz[3] != 0x51) return 0;
  const std::uint64_t width = big_endian(&siz[8], 4), height = big_endian(&siz[12], 4);
  const std::uint64_t left = big_endian(&siz[16], 4), top = big_endian(&siz[20], 4);
  return (width > left ? width - left : 0) * (height > top ? height - top : 0);
}

// The boxes from `at` to `end`: the image header inside the JP2 header box,
// or else a contiguous codestream box.
std::uint64_t jp2_pixels(const ByteSource& file, std::uint64_t at, std::uint64_t end, int depth) {
  while (end >= 8 && at <= end - 8) {
    const std::vector<unsigned char> box = file.bytes_at(at, 16);
    if (box.size() < 8) return 0;
    std::uint64_t length = big_endian(&box[0], 4), header = 8;
    if (length == 1 && box.size() == 16) {
      length = std::uint64_t{big_endian(&box[8], 4)} << 32 | big_endian(&box[12], 4);
      header = 16;
    }
    if (length == 0) length = end - at;  // to the end of the file
    if (length < header || length > end - at) return 0;
    const char* type = reinterpret_cast<const char*>(&box[4]);
    if (std::memcmp(type, "jp2h", 4) == 0 && depth == 0) return jp2_pixels(file, at + header, at + length, 1);
    if (std::memcmp(type, "ihdr", 4) == 0) {
      const std::vector<unsigned char> ihdr = file.bytes_at(at + header, 8);
      return ihdr.size() == 8 ? std::uint64_t{big_endian(&ihdr[0], 4)} * big_endian(&ihdr[4], 4) : 0;
    }
    if (std::memcmp(type, "jp2c", 4) == 0) return codestream_pixels(file, at + header);
    at += length;
  }
  return 0;
}


std::uint64_t jpeg2000_claimed_pixels(const ByteSource& file, bool jp2) {
  return jp2 ? jp2_pixels(file, 0, file.size(), 0) : codestream_pixels(file, 0);
}

}  // namespace

FormatFacts inspect_j2k(const ByteSource& file) {
  FormatFacts facts;
  facts.claimed_pixels = jpeg2000_claimed_pixels(file, false);
  return facts;
}

FormatFacts inspect_jp2(const ByteSource& file) {
  FormatFacts facts;
  facts.claimed_pixels = jpeg2000_claimed_pixels(file, true);
  return facts;
}

}  // namespace interlace
