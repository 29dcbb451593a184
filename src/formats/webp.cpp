#include "formats/webp.h"

#include <cstring>
#include <string>

#include "byte_order.h"
#include "formats/exif.h"
#include "view_problem.h"

namespace interlace {

namespace {

constexpr std::uint64_t kRiffHeader = 12;  // "RIFF", its length, "WEBP"
constexpr unsigned kIccFlag = 0x20, kExifFlag = 0x08, kXmpFlag = 0x04;

std::vector<unsigned char> bytes_of(const char* text) { return {text, text + 4}; }

// EXIF in WebP is a TIFF structure, which some writers start with the JPEG
// segment's "Exif\0\0".
void check_exif(const std::vector<unsigned char>& payload) {
  exif_orientation(payload, is_exif_segment(payload) ? 6 : 0);
}

}  // namespace

FormatFacts inspect_webp(const ByteSource& file) {
  FormatFacts facts;
  std::vector<ByteOverride>& hidden = facts.shown;
  const std::vector<unsigned char> header = file.bytes_at(0, kRiffHeader);
  if (header.size() < kRiffHeader || std::memcmp(header.data(), "RIFF", 4) != 0) return facts;
  const std::uint64_t end = std::min<std::uint64_t>(file.size(), 8 + std::uint64_t{little_endian(&header[4], 4)});
  for (std::uint64_t at = kRiffHeader; end >= 8 && at <= end - 8;) {
    const std::vector<unsigned char> chunk = file.bytes_at(at, 8);
    const std::string name(chunk.begin(), chunk.begin() + 4);
    const std::uint64_t length = little_endian(&chunk[4], 4);
    if (length > end - at - 8) refuse_malformed("WebP chunk runs past the file");
    if (name == "VP8X" && length >= 1) {
      const unsigned flags = file.bytes_at(at + 8, 1)[0];
      hidden.push_back({at + 8, {static_cast<unsigned char>(flags & ~(kIccFlag | kExifFlag | kXmpFlag))}});
    } else if (name == "ICCP") {
      facts.icc_profile = file.bytes_at(at + 8, static_cast<std::size_t>(length));
      hidden.push_back({at, bytes_of("iccp")});
    } else if (name == "EXIF") {
      check_exif(file.bytes_at(at + 8, static_cast<std::size_t>(length)));
      hidden.push_back({at, bytes_of("exif")});
    } else if (name == "XMP ") {
      hidden.push_back({at, bytes_of("xmp ")});
    }
    at += 8 + length + (length & 1);
  }
  return facts;
}

}  // namespace interlace
