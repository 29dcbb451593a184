#include "formats/jxl.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "formats/iso_boxes.h"
#include "view_problem.h"

namespace interlace {

namespace {

// The size header and the start of the image metadata fit in this many bytes.
constexpr std::size_t kHeaderBytes = 64;

[[noreturn]] void refuse(const std::string& why) { refuse_malformed("JPEG XL " + why); }

// Bits least significant first, as the codestream packs them.
class BitReader {
 public:
  explicit BitReader(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}
  std::uint64_t bits(int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i, ++at_) {
      if (at_ / 8 >= bytes_.size()) refuse("header is cut short");
      value |= std::uint64_t{(static_cast<unsigned>(bytes_[at_ / 8]) >> (at_ % 8)) & 1u} << i;
    }
    return value;
  }
  bool flag() { return bits(1) != 0; }
  // The codestream's U32 coding of a size: a two-bit selector, then that
  // many bits of the chosen width, plus one.
  std::uint64_t size() {
    static const int kWidths[4] = {9, 13, 18, 30};
    return bits(kWidths[bits(2)]) + 1;
  }

 private:
  const std::vector<unsigned char>& bytes_;
  std::size_t at_ = 0;
};

// The codestream's first bytes: the file itself, or its first codestream
// boxes' contents (the partial ones' after their four-byte index).
std::vector<unsigned char> codestream_start(const ByteSource& file) {
  const std::vector<unsigned char> head = file.bytes_at(0, 2);
  if (head.size() == 2 && head[0] == 0xFF && head[1] == 0x0A) return file.bytes_at(0, kHeaderBytes);
  std::vector<unsigned char> stream;
  std::uint64_t at = 0;
  while (at + 8 <= file.size() && stream.size() < kHeaderBytes) {
    const std::vector<unsigned char> first = file.bytes_at(at, 16);
    const std::optional<BoxHeader> box = box_header(first.data(), first.size(), file.size() - at);
    if (!box) refuse("box runs past the end of the file");
    const std::uint64_t skip = box->type == "jxlp" ? 4 : 0;
    if ((box->type == "jxlc" || box->type == "jxlp") && box->size >= box->header + skip) {
      const std::uint64_t from = box->header + skip;
      const std::vector<unsigned char> part =
          file.bytes_at(at + from, static_cast<std::size_t>(std::min<std::uint64_t>(box->size - from, kHeaderBytes)));
      stream.insert(stream.end(), part.begin(), part.end());
    }
    at += box->size;
  }
  if (stream.size() < 2 || stream[0] != 0xFF || stream[1] != 0x0A) refuse("container holds no codestream");
  return stream;
}

// Width from height by one of the size header's fixed aspect ratios.
std::uint64_t width_by_ratio(std::uint64_t ratio, std::uint64_t height) {
  static const unsigned kRatios[8][2] = {{1, 1}, {1, 1}, {12, 10}, {4, 3}, {3, 2}, {16, 9}, {5, 4}, {2, 1}};
  return height * kRatios[ratio][0] / kRatios[ratio][1];
}

}  // namespace

FormatFacts inspect_jxl(const ByteSource& file) {
  FormatFacts facts;
  const std::vector<unsigned char> stream = codestream_start(file);
  BitReader reader(stream);
  reader.bits(16);  // the signature
  const bool in_eighths = reader.flag();
  const std::uint64_t height = in_eighths ? (reader.bits(5) + 1) * 8 : reader.size();
  const std::uint64_t ratio = reader.bits(3);
  std::uint64_t width = width_by_ratio(ratio, height);
  if (ratio == 0) width = in_eighths ? (reader.bits(5) + 1) * 8 : reader.size();
  unsigned orientation = 1;
  if (!reader.flag() && reader.flag()) orientation = static_cast<unsigned>(reader.bits(3)) + 1;  // not all default; extra fields
  facts.claimed_pixels = width * height;
  if (width <= INT32_MAX && height <= INT32_MAX) {
    const ViewSize stored{static_cast<int>(width), static_cast<int>(height)};
    facts.claimed_size = orientation >= 5 ? ViewSize{stored.height, stored.width} : stored;
  }
  if (orientation != 1) facts.turn_note = "turned upright (JPEG XL orientation " + std::to_string(orientation) + ")";
  facts.alpha_declared = true;
  return facts;
}

}  // namespace interlace
