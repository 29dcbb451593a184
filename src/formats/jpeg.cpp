#include "formats/jpeg.h"

#include <cstring>

#include "formats/exif.h"

namespace interlace {

namespace {

constexpr unsigned kApp1 = 0xE1, kApp13 = 0xED, kApp15 = 0xEF;
constexpr unsigned kStartOfScan = 0xDA, kEndOfImage = 0xD9;

// Markers that stand alone, with no length after them.
bool stands_alone(unsigned code) { return code == 0x01 || code == 0xD8 || (code >= 0xD0 && code <= 0xD7); }


// The next marker's code from `at`, skipping what libjpeg skips before one:
// bytes other than 0xFF (it warns) and 0xFF fill. 0 at the end of the file.
unsigned next_marker(ByteReader& data, std::uint64_t& at) {
  while (data.has(at)) {
    while (data.has(at) && data[at] != 0xFF) ++at;
    while (data.has(at) && data[at] == 0xFF) ++at;
    if (!data.has(at)) return 0;
    const unsigned code = data[at++];
    if (code != 0) return code;
  }
  return 0;
}

}  // namespace

JpegFacts read_jpeg(const ByteSource& file) {
  JpegFacts facts;
  ByteReader data(file);
  if (!data.has(1) || data[0] != 0xFF || data[1] != 0xD8) return facts;
  std::uint64_t at = 2;
  for (unsigned code; (code = next_marker(data, at)) != 0 && code != kStartOfScan && code != kEndOfImage;) {
    if (stands_alone(code)) continue;
    if (!data.has(at + 1)) break;
    const std::uint64_t length = std::uint64_t{data[at]} << 8 | data[at + 1];
    if (length < 2) break;  // libjpeg stops there too
    if (code == kApp1 || code == kApp13) facts.hidden.push_back({at - 1, {static_cast<unsigned char>(kApp15)}});
    if (code == kApp1) {
      const std::vector<unsigned char> segment = file.bytes_at(at + 2, static_cast<std::size_t>(length - 2));
      const unsigned orientation = is_exif_segment(segment) ? exif_orientation(segment, 6) : 0;
      if (orientation != 0) facts.orientation = orientation;
    }
    at += length;
  }
  return facts;
}

}  // namespace interlace
