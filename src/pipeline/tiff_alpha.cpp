#include "pipeline/tiff_alpha.h"

#include <cstdint>
#include <vector>

namespace interlace {

namespace {

constexpr unsigned kExtraSamples = 338;
constexpr unsigned kAssociatedAlpha = 1;
constexpr unsigned kShortType = 3;

class TiffBytes {
 public:
  TiffBytes(const ViewFile& view, bool big_endian) : view_(view), big_endian_(big_endian) {}
  // The unsigned integer of `length` bytes at `offset`; 0 past the end.
  std::uint32_t at(std::uint64_t offset, unsigned length) const {
    const std::vector<unsigned char> bytes = view_.bytes_at(offset, length);
    if (bytes.size() != length) return 0;
    std::uint32_t value = 0;
    for (unsigned i = 0; i < length; ++i) {
      const unsigned char byte = bytes[big_endian_ ? i : length - 1 - i];
      value = (value << 8) | byte;
    }
    return value;
  }

 private:
  const ViewFile& view_;
  bool big_endian_;
};

}  // namespace

bool tiff_alpha_is_premultiplied(const ViewFile& view) {
  const std::vector<unsigned char> header = view.bytes_at(0, 4);
  if (header.size() != 4 || header[0] != header[1] || (header[0] != 'I' && header[0] != 'M')) return false;
  const TiffBytes tiff(view, header[0] == 'M');
  if (tiff.at(2, 2) != 42) return false;  // not classic TIFF (BigTIFF is 43)
  const std::uint64_t directory = tiff.at(4, 4);
  const unsigned entries = tiff.at(directory, 2);
  for (unsigned i = 0; i < entries; ++i) {
    const std::uint64_t entry = directory + 2 + 12 * std::uint64_t{i};
    if (tiff.at(entry, 2) != kExtraSamples) continue;
    if (tiff.at(entry + 2, 2) != kShortType || tiff.at(entry + 4, 4) == 0) return false;
    // One or two values sit in the entry itself; more, at the offset it holds.
    const std::uint64_t first = tiff.at(entry + 4, 4) <= 2 ? entry + 8 : tiff.at(entry + 8, 4);
    return tiff.at(first, 2) == kAssociatedAlpha;
  }
  return false;
}

}  // namespace interlace
