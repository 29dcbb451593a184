#include "formats/library_formats.h"

namespace interlace {

bool is_library_format(FREE_IMAGE_FORMAT format) {
  return format == kFormatHeif || format == kFormatAvif || format == kFormatJxl;
}

std::string format_name(FREE_IMAGE_FORMAT format) {
  if (format == kFormatHeif) return "HEIF";
  if (format == kFormatAvif) return "AVIF";
  if (format == kFormatJxl) return "JPEG XL";
  const char* name = FreeImage_GetFormatFromFIF(format);
  return name != nullptr ? name : "";
}

FREE_IMAGE_FORMAT library_format_named(const std::string& name) {
  for (const FREE_IMAGE_FORMAT format : {kFormatHeif, kFormatAvif, kFormatJxl}) {
    if (format_name(format) == name) return format;
  }
  return FIF_UNKNOWN;
}

}  // namespace interlace
