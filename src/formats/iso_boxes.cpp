#include "formats/iso_boxes.h"

#include "byte_order.h"

namespace interlace {

std::optional<BoxHeader> box_header(const unsigned char* bytes, std::size_t count, std::uint64_t room) {
  if (count < 8) return std::nullopt;
  BoxHeader box;
  box.type.assign(reinterpret_cast<const char*>(bytes) + 4, 4);
  box.size = big_endian(bytes, 4);
  if (box.size == 1 && count >= 16) {
    box.size = std::uint64_t{big_endian(bytes + 8, 4)} << 32 | big_endian(bytes + 12, 4);
    box.header = 16;
  }
  if (box.size == 0) box.size = room;
  if (box.size < box.header || box.size > room) return std::nullopt;
  return box;
}

}  // namespace interlace
