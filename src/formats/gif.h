// GIF: the library reads no GIF header alone, so the tool reads the sizes
// that bound what decoding will allocate itself.
#pragma once

#include <cstdint>

#include "formats/byte_source.h"

namespace interlace {

// The larger of the logical screen's and the first frame's pixel counts,
// walking the blocks before the first image descriptor; the screen's alone
// when the file ends first, 0 for a file too short for its header.
std::uint64_t gif_claimed_pixels(const ByteSource& file);

}  // namespace interlace
