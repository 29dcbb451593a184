#include "formats/sgi.h"

#include <algorithm>
#include <vector>

namespace interlace {

namespace {

std::uint64_t sgi_claimed_pixels(const ByteSource& file) {
  const std::vector<unsigned char> h = file.bytes_at(0, 12);
  if (h.size() < 12) return 0;
  const auto field = [&h](std::size_t at) { return std::uint64_t{h[at]} << 8 | h[at + 1]; };
  return field(6) * field(8) * std::max<std::uint64_t>(1, field(10));
}

}  // namespace

FormatFacts inspect_sgi(const ByteSource& file) {
  FormatFacts facts;
  facts.claimed_pixels = sgi_claimed_pixels(file);
  return facts;
}

}  // namespace interlace
