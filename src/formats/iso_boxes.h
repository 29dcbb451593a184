// Files made of ISO base media boxes: JPEG 2000's JP2, HEIF and AVIF, and
// JPEG XL's container. A box starts with its size (4 bytes, big-endian) and
// its type (4 bytes); a size of 1 is followed by the true size in 8 bytes,
// and a size of 0 runs to the end of the box's parent (or the file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace interlace {

struct BoxHeader {
  std::string type;
  std::uint64_t header = 8;  // bytes before its contents
  std::uint64_t size = 0;    // bytes in all, its header's included
};

// The header of the box whose first `count` bytes (16 are enough) are at
// `bytes`, with `room` bytes from its start to its parent's end. Empty where
// it is cut short, or its size is smaller than its header or runs past
// `room`.
std::optional<BoxHeader> box_header(const unsigned char* bytes, std::size_t count, std::uint64_t room);

}  // namespace interlace
