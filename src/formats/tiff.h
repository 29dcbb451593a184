// TIFF (and BigTIFF): what the tool reads of a TIFF itself, what it checks
// before the library reads one, and what it hides from it.
#pragma once

#include <vector>

#include "formats/byte_source.h"

namespace interlace {

// Bytes of one value of TIFF field type `type` (1 to 13, and BigTIFF's 16
// to 18); 0 for a type no TIFF defines.
std::uint64_t tiff_type_bytes(unsigned type);

struct TiffFacts {
  // The first image's extra sample is associated (premultiplied) alpha.
  bool premultiplied = false;
  // It has an extra sample at all: only then can it hold alpha, whatever
  // transparency the library makes up for a grey or palette image.
  bool alpha_declared = false;
  // Its Orientation tag, 1 to 8 (1 also when it has none or another value).
  unsigned orientation = 1;
  // Its embedded ICC profile (tag 34675), hidden from the library; empty if none.
  std::vector<unsigned char> icc_profile;
  // The bytes to show the library instead of the file's: the first
  // directory's EXIF, GPS, interoperability, IPTC, XMP and Photoshop tags
  // and its ICC profile renumbered to tags no reader knows (the library's readers of them have
  // public memory-safety bugs; reading the EXIF directory frees data it goes
  // on using).
  std::vector<ByteOverride> shown;
};

// Throws ViewRefused (Malformed) when the chain of directories loops or
// leaves the file; when the first directory's tags are out of order, a
// value of it lies past the end of the file, its samples don't fit its bits
// per sample or photometric interpretation, it holds 16-bit grey with alpha
// (which the library reads as colour), it keeps samples of fewer than
// 8 bits in separate planes (the library loops for ever on them), or one of
// its strips or tiles lies past the end.
TiffFacts read_tiff(const ByteSource& file);

}  // namespace interlace
