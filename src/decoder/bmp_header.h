// A BMP's file and info headers: one reader for every check and fix-up that
// needs them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/view_file.h"

namespace interlace {

constexpr std::size_t kBmpFileHeaderBytes = 14;
// The file header and the longest info header fields read here (to the V3
// header's alpha mask).
constexpr std::size_t kBmpHeaderBytes = kBmpFileHeaderBytes + 56;

enum BmpCompression : std::uint32_t {
  kBmpRgb = 0,
  kBmpRle8 = 1,
  kBmpRle4 = 2,
  kBmpBitFields = 3,
  kBmpAlphaBitFields = 6,
};

struct BmpHeader {
  bool is_bmp = false;      // starts with "BM"
  bool understood = false;  // an OS/2 1.x core header or an info header of 40 bytes or more
  std::uint32_t info_size = 0;
  std::uint32_t data_offset = 0;  // the pixel data's offset, as the file header gives it
  std::int64_t width = 0;
  std::int64_t height = 0;  // negative for rows stored top row first
  std::uint32_t bits = 0;
  std::uint32_t compression = kBmpRgb;
  std::uint32_t colours_used = 0;  // 0 when the header is too short to say
  std::uint32_t alpha_mask = 0;    // V3 headers and later
};

// The header in the first `length` bytes of a file.
BmpHeader read_bmp_header(const unsigned char* bytes, std::size_t length);
BmpHeader read_bmp_header(const ViewFile& view);

}  // namespace interlace
