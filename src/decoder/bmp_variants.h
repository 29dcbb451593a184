// BMP variants that are valid files but that the library refuses, presented
// to it in memory as the plain form it reads. Nothing on disk changes.
#pragma once

#include <cstdint>
#include <vector>

#include "decoder/bmp_header.h"
#include "decoder/view_file.h"

namespace interlace {

// The bytes to present differently for the library to read `view`, whose
// header is `header`, as it is meant, none for a BMP it reads as it stands:
// - the 52-, 56-, 108- and 124-byte info headers (V2 to V5, which ImageMagick
//   writes) are given the 40-byte header's size. Their first 40 bytes are
//   that header, and their colour masks sit where a 40-byte header's
//   bit-field masks follow it; a palette is shown where it would follow a
//   40-byte header. The pixels are found by the file's offset.
// - a run-length coded BMP whose last row ends with end-of-line right
//   before end-of-bitmap has that end-of-line read as end-of-bitmap: the
//   library takes an end-of-line after the last row for a row too many.
std::vector<ByteOverride> bmp_overrides(const ViewFile& view, const BmpHeader& header);

// True when a 32-bit BMP's header gives its fourth byte as alpha (a V3 or
// later header with an alpha mask, or the alpha bit-fields compression).
// Plain 32-bit BMPs leave that byte zero or unset, and are opaque.
bool bmp_declares_alpha(const BmpHeader& header);

}  // namespace interlace
