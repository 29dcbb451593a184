#include "formats/unreadable.h"

#include <cstring>
#include <vector>

#include "byte_order.h"

namespace interlace {

namespace {

// An ISO media file's brands: major, then compatible ones, in its "ftyp" box.
std::string iso_media_format(const ByteSource& file) {
  const std::vector<unsigned char> head = file.bytes_at(0, 64);
  if (head.size() < 16 || std::memcmp(&head[4], "ftyp", 4) != 0) return {};
  const std::size_t box = std::min<std::size_t>(big_endian(&head[0], 4), head.size());
  std::string heif;
  for (std::size_t at = 8; at + 4 <= box; at += at == 8 ? 8 : 4) {  // past the minor version
    const std::string brand(head.begin() + static_cast<std::ptrdiff_t>(at),
                            head.begin() + static_cast<std::ptrdiff_t>(at + 4));
    if (brand == "avif" || brand == "avis") return "AVIF";
    if (brand == "heic" || brand == "heix" || brand == "hevc" || brand == "hevx" || brand == "heim" ||
        brand == "heis" || brand == "mif1" || brand == "msf1") {
      heif = "HEIF";
    }
  }
  return heif;
}

}  // namespace

std::string unreadable_format(const ByteSource& file) {
  const std::vector<unsigned char> head = file.bytes_at(0, 12);
  static const unsigned char kJxlBox[] = {0, 0, 0, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
  if ((head.size() >= 2 && head[0] == 0xFF && head[1] == 0x0A) ||
      (head.size() == sizeof kJxlBox && std::memcmp(head.data(), kJxlBox, sizeof kJxlBox) == 0)) {
    return "JPEG XL";
  }
  return iso_media_format(file);
}

}  // namespace interlace
