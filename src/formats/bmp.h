// BMP: all the tool knows of a BMP file: its headers, the checks made before
// the library reads one (length, pixel data under 4 GiB), and the valid
// forms the library refuses, shown to it in memory as the plain form it
// reads. Nothing on disk changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/byte_source.h"

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
  // Red, green and blue masks, which follow a 40-byte header (or sit in a
  // longer one) where the compression is bit fields.
  std::uint32_t colour_masks[3] = {0, 0, 0};
};

// The header in the first `length` bytes of a file.
BmpHeader read_bmp_header(const unsigned char* bytes, std::size_t length);
BmpHeader read_bmp_header(const ByteSource& file);

// Refuses (ViewRefused) an uncompressed BMP shorter than its header says its
// pixels need (the library would load it as if whole, with black rows), one
// whose header the library couldn't read at all, pixel data of 4 GiB or
// more (the library moves it with a 32-bit count), and bit-field colour
// masks other than those the library reads (5-5-5 and 5-6-5 in 16 bits,
// 8-8-8 in blue, green, red order in 32): it would print other colours.
void check_bmp(const ByteSource& file, const BmpHeader& header);

// The bytes an uncompressed BMP needs by its header: pixel offset plus the
// pixel rows, saturating at UINT64_MAX, or 0 for a file that is no BMP or is
// run-length coded (the library notices when such data runs out).
// UINT64_MAX too for a header that the library could not read at all.
std::uint64_t bmp_length_needed(const unsigned char* header, std::size_t header_length);

// True for an uncompressed BMP whose file is shorter than its header says its
// pixels need; the library would load such a file as if it were whole, with
// the missing rows black. `file_size` is the file's length in bytes.
bool is_truncated_bmp(const unsigned char* header, std::size_t header_length, std::uint64_t file_size);

// The bytes to present differently for the library to read `file`, whose
// header is `header`, as it is meant, none for a BMP it reads as it stands:
// - the 52-, 56-, 108- and 124-byte info headers (V2 to V5, which ImageMagick
//   writes) are given the 40-byte header's size. Their first 40 bytes are
//   that header, and their colour masks sit where a 40-byte header's
//   bit-field masks follow it; a palette is shown where it would follow a
//   40-byte header. The pixels are found by the file's offset.
// - a run-length coded BMP whose last row ends with end-of-line right
//   before end-of-bitmap has that end-of-line read as end-of-bitmap: the
//   library takes an end-of-line after the last row for a row too many.
std::vector<ByteOverride> bmp_overrides(const ByteSource& file, const BmpHeader& header);

// True when a 32-bit BMP's header gives its fourth byte as alpha (a V3 or
// later header with an alpha mask, or the alpha bit-fields compression).
// Plain 32-bit BMPs leave that byte zero or unset, and are opaque.
bool bmp_declares_alpha(const BmpHeader& header);

}  // namespace interlace
