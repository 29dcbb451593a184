#include "decoder/tiff_alpha.h"

#include <cstdint>
#include <vector>

#include "byte_order.h"

namespace interlace {

namespace {

constexpr unsigned kExtraSamples = 338;
constexpr unsigned kAssociatedAlpha = 1;
constexpr unsigned kShortType = 3;
constexpr std::size_t kEntryBytes = 12;

}  // namespace

bool tiff_alpha_is_premultiplied(const ViewFile& view) {
  const std::vector<unsigned char> header = view.bytes_at(0, 8);
  if (header.size() != 8 || header[0] != header[1] || (header[0] != 'I' && header[0] != 'M')) return false;
  const bool big = header[0] == 'M';
  const auto number = [big](const unsigned char* bytes, int count) {
    return big ? big_endian(bytes, count) : little_endian(bytes, count);
  };
  if (number(&header[2], 2) != 42) return false;  // not classic TIFF (BigTIFF is 43)
  const std::uint64_t directory = number(&header[4], 4);
  const std::vector<unsigned char> count = view.bytes_at(directory, 2);
  if (count.size() != 2) return false;
  const std::size_t entries = number(count.data(), 2);
  const std::vector<unsigned char> table = view.bytes_at(directory + 2, entries * kEntryBytes);
  for (std::size_t at = 0; at + kEntryBytes <= table.size(); at += kEntryBytes) {
    const unsigned char* entry = &table[at];
    if (number(entry, 2) != kExtraSamples) continue;
    const std::uint32_t values = number(entry + 4, 4);
    if (number(entry + 2, 2) != kShortType || values == 0) return false;
    // One or two values sit in the entry itself; more, at the offset it holds.
    if (values <= 2) return number(entry + 8, 2) == kAssociatedAlpha;
    const std::vector<unsigned char> first = view.bytes_at(number(entry + 8, 4), 2);
    return first.size() == 2 && number(first.data(), 2) == kAssociatedAlpha;
  }
  return false;
}

}  // namespace interlace
