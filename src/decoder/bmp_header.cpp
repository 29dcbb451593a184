#include "decoder/bmp_header.h"

#include <vector>

#include "byte_order.h"

namespace interlace {

BmpHeader read_bmp_header(const unsigned char* bytes, std::size_t length) {
  BmpHeader bmp;
  if (length < kBmpFileHeaderBytes + 4 || bytes[0] != 'B' || bytes[1] != 'M') return bmp;
  bmp.is_bmp = true;
  bmp.info_size = little_endian(bytes + 14, 4);
  bmp.data_offset = little_endian(bytes + 10, 4);
  if (bmp.info_size == 12 && length >= 26) {  // OS/2 1.x core header
    bmp.width = little_endian(bytes + 18, 2);
    bmp.height = little_endian(bytes + 20, 2);
    bmp.bits = little_endian(bytes + 24, 2);
  } else if (bmp.info_size >= 40 && length >= 34) {
    bmp.width = static_cast<std::int32_t>(little_endian(bytes + 18, 4));
    bmp.height = static_cast<std::int32_t>(little_endian(bytes + 22, 4));
    bmp.bits = little_endian(bytes + 28, 2);
    bmp.compression = little_endian(bytes + 30, 4);
    if (length >= 50) bmp.colours_used = little_endian(bytes + 46, 4);
    if (bmp.info_size >= 56 && length >= 70) bmp.alpha_mask = little_endian(bytes + 66, 4);
  } else {
    return bmp;
  }
  bmp.understood = true;
  return bmp;
}

BmpHeader read_bmp_header(const ViewFile& view) {
  const std::vector<unsigned char> header = view.bytes_at(0, kBmpHeaderBytes);
  return read_bmp_header(header.data(), header.size());
}

}  // namespace interlace
