// Formats FreeImage can't read at all, which the decoder reads through other
// libraries where the build has them (libheif: HEIF and AVIF; libjxl: JPEG
// XL): identifiers beside FreeImage's own, and every format's name.
#pragma once

#include <FreeImage.h>

#include <string>

namespace interlace {

// Past FreeImage's own, which count up from 0 to 36, and within the range
// its enumeration's values may take (-64 to 63).
constexpr FREE_IMAGE_FORMAT kFormatHeif = static_cast<FREE_IMAGE_FORMAT>(60);
constexpr FREE_IMAGE_FORMAT kFormatAvif = static_cast<FREE_IMAGE_FORMAT>(61);
constexpr FREE_IMAGE_FORMAT kFormatJxl = static_cast<FREE_IMAGE_FORMAT>(62);

bool is_library_format(FREE_IMAGE_FORMAT format);

// "HEIF", "AVIF", "JPEG XL", or FreeImage's own name for one of its formats.
std::string format_name(FREE_IMAGE_FORMAT format);

// The format unreadable_format() names ("HEIF", "AVIF", "JPEG XL");
// FIF_UNKNOWN for anything else.
FREE_IMAGE_FORMAT library_format_named(const std::string& name);

}  // namespace interlace
