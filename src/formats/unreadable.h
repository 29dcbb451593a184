// Formats the library can't read at all, named by their signatures, so a
// HEIC photo under a ".bmp" name is reported as HEIC rather than handed to
// the BMP decoder by its name.
#pragma once

#include <string>

#include "formats/byte_source.h"

namespace interlace {

// "HEIF", "AVIF" or "JPEG XL"; empty for anything else.
std::string unreadable_format(const ByteSource& file);

}  // namespace interlace
