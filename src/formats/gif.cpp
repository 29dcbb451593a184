#include "formats/gif.h"

#include <algorithm>
#include <vector>

#include "byte_order.h"

namespace interlace {

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

}  // namespace interlace
