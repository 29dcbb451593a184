#include "formats/bmp.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "byte_order.h"
#include "saturating.h"
#include "view_problem.h"

namespace interlace {

namespace {

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
    if (length >= 66) {
      for (int i = 0; i < 3; ++i) bmp.colour_masks[i] = little_endian(bytes + 54 + 4 * i, 4);
    }
  } else {
    return bmp;
  }
  bmp.understood = true;
  return bmp;
}

BmpHeader read_bmp_header(const ByteSource& file) {
  const std::vector<unsigned char> header = file.bytes_at(0, kBmpHeaderBytes);
  return read_bmp_header(header.data(), header.size());
}

// The library's BMP reader moves pixel data with a 32-bit count.
constexpr std::uint64_t kMostBmpPixelBytes = (std::uint64_t{1} << 32) - 1;

// Where a BMP's pixel data lies and how long it is as decoded.
struct BmpPixels {
  bool run_length = false;
  bool sized = false;  // width, height and depth make sense
  std::uint64_t offset = 0;
  std::uint64_t bytes = 0;  // saturating
};

BmpPixels pixels_of(const BmpHeader& bmp) {
  BmpPixels pixels;
  pixels.run_length = bmp.compression != kBmpRgb && bmp.compression != kBmpBitFields &&
                      bmp.compression != kBmpAlphaBitFields;
  pixels.sized = bmp.width > 0 && bmp.height != 0 && bmp.bits != 0 && bmp.bits <= 64;
  if (!pixels.sized) return pixels;
  const std::uint64_t row_bytes = (static_cast<std::uint64_t>(bmp.width) * bmp.bits + 31) / 32 * 4;
  pixels.bytes = saturating_product(row_bytes, static_cast<std::uint64_t>(std::llabs(bmp.height)));
  pixels.offset = std::max<std::uint64_t>(bmp.data_offset, kBmpFileHeaderBytes + bmp.info_size);
  return pixels;
}

// What bmp_length_needed() says, from a header already read.
std::uint64_t length_needed(const BmpHeader& bmp, const BmpPixels& pixels) {
  if (!bmp.is_bmp) return 0;
  if (!bmp.understood) return UINT64_MAX;
  if (pixels.run_length) return 0;
  if (!pixels.sized) return UINT64_MAX;
  return saturating_sum(pixels.offset, pixels.bytes);
}

bool masks_are(const BmpHeader& bmp, std::uint32_t red, std::uint32_t green, std::uint32_t blue) {
  return bmp.colour_masks[0] == red && bmp.colour_masks[1] == green && bmp.colour_masks[2] == blue;
}

void check_colour_masks(const BmpHeader& bmp) {
  if (bmp.compression != kBmpBitFields && bmp.compression != kBmpAlphaBitFields) return;
  const bool read_as_meant =
      (bmp.bits == 16 && (masks_are(bmp, 0x7C00, 0x03E0, 0x001F) || masks_are(bmp, 0xF800, 0x07E0, 0x001F))) ||
      (bmp.bits == 32 && masks_are(bmp, 0x00FF0000, 0x0000FF00, 0x000000FF)) || (bmp.bits != 16 && bmp.bits != 32);
  if (read_as_meant) return;
  char masks[64];
  std::snprintf(masks, sizeof masks, "red %08X, green %08X, blue %08X", bmp.colour_masks[0], bmp.colour_masks[1],
                bmp.colour_masks[2]);
  refuse_malformed(std::string("BMP colour masks the library would misread (") + masks + ")");
}

// Refuses (ViewRefused) an uncompressed BMP shorter than its header says its
// pixels need (the library would load it as if whole, with black rows), one
// whose header the library couldn't read at all, pixel data of 4 GiB or
// more (the library moves it with a 32-bit count), and bit-field colour
// masks other than those the library reads (5-5-5 and 5-6-5 in 16 bits,
// 8-8-8 in blue, green, red order in 32): it would print other colours.
void check_bmp(const ByteSource& view, const BmpHeader& bmp) {
  check_colour_masks(bmp);
  const BmpPixels pixels = pixels_of(bmp);
  if (pixels.sized && pixels.bytes > kMostBmpPixelBytes) {
    ViewProblem problem{ViewProblemKind::TooLarge};
    problem.needed_bytes = pixels.bytes;
    refuse_view(problem);
  }
  const std::uint64_t needed = length_needed(bmp, pixels);
  if (view.size() < needed) refuse_truncated(view.size(), needed);
}

// The bytes an uncompressed BMP needs by its header: pixel offset plus the
// pixel rows, saturating at UINT64_MAX, or 0 for a file that is no BMP or is
// run-length coded (the library notices when such data runs out).
// UINT64_MAX too for a header that the library could not read at all.
std::uint64_t bmp_length_needed(const unsigned char* header, std::size_t header_length) {
  const BmpHeader bmp = read_bmp_header(header, header_length);
  return length_needed(bmp, pixels_of(bmp));
}

bool is_newer_header(std::uint32_t size) { return size == 52 || size == 56 || size == 108 || size == 124; }

// Walks run-length coded pixel data to its end; returns the offset of an
// end-of-line that closes the last row and is followed at once by
// end-of-bitmap, or 0 when there is none. A stream that runs out or goes
// astray gives 0, leaving the library to judge the file.
std::uint64_t trailing_end_of_line(const ByteSource& file, const BmpHeader& info) {
  ByteReader data(file);
  const std::uint64_t rows = static_cast<std::uint64_t>(info.height < 0 ? -info.height : info.height);
  std::uint64_t row = 0;
  for (std::uint64_t at = info.data_offset; data.has(at + 1);) {
    const unsigned count = data[at], code = data[at + 1];
    if (count != 0 || code >= 3) {  // a run, or literal pixels padded to 16 bits
      const std::uint64_t literal = info.compression == kBmpRle4 ? (code + 1u) / 2u : code;
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
std::vector<ByteOverride> bmp_overrides(const ByteSource& file, const BmpHeader& info) {
  std::vector<ByteOverride> overrides;
  if (!info.understood || info.info_size < 40) return overrides;
  if (is_newer_header(info.info_size)) {
    overrides.push_back({14, {40, 0, 0, 0}});
    // The palette follows the header: the library looks for it where a
    // 40-byte header ends.
    if (info.bits <= 8) {
      const std::uint32_t most = 1u << info.bits;
      const std::uint32_t colours = info.colours_used == 0 || info.colours_used > most ? most : info.colours_used;
      overrides.push_back(
          {kBmpFileHeaderBytes + 40, file.bytes_at(kBmpFileHeaderBytes + info.info_size, std::size_t{colours} * 4)});
    }
  }
  if (info.compression == kBmpRle8 || info.compression == kBmpRle4) {
    const std::uint64_t end_of_line = trailing_end_of_line(file, info);
    if (end_of_line != 0) overrides.push_back({end_of_line + 1, {1}});  // now end-of-bitmap
  }
  return overrides;
}

// True when a 32-bit BMP's header gives its fourth byte as alpha (a V3 or
// later header with an alpha mask, or the alpha bit-fields compression).
// Plain 32-bit BMPs leave that byte zero or unset, and are opaque.
bool bmp_declares_alpha(const BmpHeader& info) {
  if (!info.understood || info.info_size < 40 || info.bits != 32) return false;
  if (info.compression == kBmpAlphaBitFields) return true;
  return info.compression == kBmpBitFields && info.info_size >= 56 && info.alpha_mask != 0;
}

}  // namespace

FormatFacts inspect_bmp(const ByteSource& file) {
  FormatFacts facts;
  const BmpHeader header = read_bmp_header(file);
  check_bmp(file, header);
  if (header.is_bmp) {
    facts.shown = bmp_overrides(file, header);
    facts.alpha_declared = bmp_declares_alpha(header);
  }
  return facts;
}

bool is_truncated_bmp(const unsigned char* header, std::size_t header_length, std::uint64_t file_size) {
  return file_size < bmp_length_needed(header, header_length);
}

}  // namespace interlace
