#include "formats/jpeg2000.h"

#include <optional>
#include <vector>

#include "byte_order.h"
#include "formats/iso_boxes.h"

namespace interlace {

namespace {

// SOC, then SIZ: its length, capabilities, then the reference grid's width
// and height and the image's offset on it.
std::uint64_t codestream_pixels(const ByteSource& file, std::uint64_t at) {
  const std::vector<unsigned char> siz = file.bytes_at(at, 4 + 2 + 2 + 16);
  if (siz.size() < 24 || siz[0] != 0xFF || siz[1] != 0x4F || siz[2] != 0xFF || siz[3] != 0x51) return 0;
  const std::uint64_t width = big_endian(&siz[8], 4), height = big_endian(&siz[12], 4);
  const std::uint64_t left = big_endian(&siz[16], 4), top = big_endian(&siz[20], 4);
  return (width > left ? width - left : 0) * (height > top ? height - top : 0);
}

// The boxes from `at` to `end`: the image header inside the JP2 header box,
// or else a contiguous codestream box.
std::uint64_t jp2_pixels(const ByteSource& file, std::uint64_t at, std::uint64_t end, int depth) {
  while (end >= 8 && at <= end - 8) {
    const std::vector<unsigned char> head = file.bytes_at(at, 16);
    const std::optional<BoxHeader> box = box_header(head.data(), head.size(), end - at);
    if (!box) return 0;
    if (box->type == "jp2h" && depth == 0) return jp2_pixels(file, at + box->header, at + box->size, 1);
    if (box->type == "ihdr") {
      const std::vector<unsigned char> ihdr = file.bytes_at(at + box->header, 8);
      return ihdr.size() == 8 ? std::uint64_t{big_endian(&ihdr[0], 4)} * big_endian(&ihdr[4], 4) : 0;
    }
    if (box->type == "jp2c") return codestream_pixels(file, at + box->header);
    at += box->size;
  }
  return 0;
}


std::uint64_t jpeg2000_claimed_pixels(const ByteSource& file, bool jp2) {
  return jp2 ? jp2_pixels(file, 0, file.size(), 0) : codestream_pixels(file, 0);
}

}  // namespace

FormatFacts inspect_j2k(const ByteSource& file) {
  FormatFacts facts;
  facts.claimed_pixels = jpeg2000_claimed_pixels(file, false);
  return facts;
}

FormatFacts inspect_jp2(const ByteSource& file) {
  FormatFacts facts;
  facts.claimed_pixels = jpeg2000_claimed_pixels(file, true);
  return facts;
}

}  // namespace interlace
