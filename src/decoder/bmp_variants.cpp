#include "decoder/bmp_variants.h"

#include "formats/byte_source.h"

namespace interlace {

namespace {

bool is_newer_header(std::uint32_t size) { return size == 52 || size == 56 || size == 108 || size == 124; }

// Walks run-length coded pixel data to its end; returns the offset of an
// end-of-line that closes the last row and is followed at once by
// end-of-bitmap, or 0 when there is none. A stream that runs out or goes
// astray gives 0, leaving the library to judge the file.
std::uint64_t trailing_end_of_line(const ViewFile& view, const BmpHeader& info) {
  ByteReader data(view);
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

}  // namespace

std::vector<ByteOverride> bmp_overrides(const ViewFile& view, const BmpHeader& info) {
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
          {kBmpFileHeaderBytes + 40, view.bytes_at(kBmpFileHeaderBytes + info.info_size, std::size_t{colours} * 4)});
    }
  }
  if (info.compression == kBmpRle8 || info.compression == kBmpRle4) {
    const std::uint64_t end_of_line = trailing_end_of_line(view, info);
    if (end_of_line != 0) overrides.push_back({end_of_line + 1, {1}});  // now end-of-bitmap
  }
  return overrides;
}

bool bmp_declares_alpha(const BmpHeader& info) {
  if (!info.understood || info.info_size < 40 || info.bits != 32) return false;
  if (info.compression == kBmpAlphaBitFields) return true;
  return info.compression == kBmpBitFields && info.info_size >= 56 && info.alpha_mask != 0;
}

}  // namespace interlace
