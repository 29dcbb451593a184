// EXIF data, as JPEG and WebP files carry it: a TIFF structure of
// directories and values. The library's EXIF readers have public memory-safety
// bugs, so the tool hides EXIF from them and reads what it needs itself, and
// refuses EXIF whose offsets point outside it.
#pragma once

#include <cstddef>
#include <vector>

namespace interlace {

// True when a JPEG APP1 segment's data starts with the EXIF signature.
bool is_exif_segment(const std::vector<unsigned char>& segment);

// The orientation (1 to 8, 0 for none) of the EXIF structure from `start` in
// `data`. Throws ViewRefused (Malformed) when a directory or a value lies
// outside the data, directories loop or nest too deep, or a value is of no
// known type.
unsigned exif_orientation(const std::vector<unsigned char>& data, std::size_t start);

}  // namespace interlace
