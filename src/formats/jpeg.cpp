#include "formats/jpeg.h"

#include <cstring>
#include <map>

#include "formats/exif.h"
#include "view_problem.h"

namespace interlace {

namespace {

constexpr unsigned kApp1 = 0xE1, kApp2 = 0xE2, kApp13 = 0xED, kApp15 = 0xEF;
constexpr char kIccSignature[] = "ICC_PROFILE";  // and its terminating zero
constexpr std::size_t kIccHeader = sizeof kIccSignature + 2;  // then sequence number and count
constexpr unsigned kStartOfScan = 0xDA, kEndOfImage = 0xD9;
// Every scan of a progressive JPEG makes libjpeg pass over the whole
// picture's coefficients again: 1,000 scans of a 4096 x 4096 view take 12 s
// of a file of 430 KB. Sound files have about ten; libjpeg-turbo's own
// limit for untrusted files is 500.
constexpr unsigned kMostScans = 500;

// Markers libjpeg reads a length after. It passes over the others where
// they stand: those that stand alone, and those it doesn't know, on which
// the library lets it go on (JPGn, DHP, EXP, reserved codes).
bool has_length(unsigned code) {
  const bool frame = code >= 0xC0 && code <= 0xCF && code != 0xC8;  // SOFn, DHT, DAC
  return frame || (code >= 0xDA && code <= 0xDD) || (code >= 0xE0 && code <= 0xEF) || code == 0xFE;
}


// The next marker's code from `at`, skipping what libjpeg skips before one:
// bytes other than 0xFF (it warns), 0xFF fill, and in entropy-coded data the
// stuffed zero and the restart markers. 0 at the end of the file.
unsigned next_marker(ByteReader& data, std::uint64_t& at, bool in_scan) {
  while (data.has(at)) {
    at = data.find(at, 0xFF);
    while (data.has(at) && data[at] == 0xFF) ++at;
    if (!data.has(at)) return 0;
    const unsigned code = data[at++];
    if (code != 0 && !(in_scan && code >= 0xD0 && code <= 0xD7)) return code;
  }
  return 0;
}

// An ICC profile travels in up to 255 APP2 segments, each numbered 1 to
// their count; one missing, repeated or counted differently makes none.
class IccParts {
 public:
  void add(const std::vector<unsigned char>& segment) {
    if (segment.size() < kIccHeader || std::memcmp(segment.data(), kIccSignature, sizeof kIccSignature) != 0) return;
    const unsigned number = segment[sizeof kIccSignature], count = segment[sizeof kIccSignature + 1];
    if (number == 0 || number > count || (count_ != 0 && count != count_) || parts_.count(number)) broken_ = true;
    count_ = count;
    parts_[number].assign(segment.begin() + kIccHeader, segment.end());
  }

  std::vector<unsigned char> joined() const {
    std::vector<unsigned char> profile;
    if (broken_ || parts_.size() != count_) return profile;
    for (const auto& part : parts_) profile.insert(profile.end(), part.second.begin(), part.second.end());
    return profile;
  }

 private:
  std::map<unsigned, std::vector<unsigned char>> parts_;
  unsigned count_ = 0;
  bool broken_ = false;
};

}  // namespace

FormatFacts inspect_jpeg(const ByteSource& file) {
  FormatFacts facts;
  ByteReader data(file);
  if (!data.has(1) || data[0] != 0xFF || data[1] != 0xD8) return facts;
  std::uint64_t at = 2;
  bool scanned = false, exif_read = false;
  unsigned scans = 0;
  IccParts icc;
  for (unsigned code; (code = next_marker(data, at, scanned)) != 0 && code != kEndOfImage;) {
    if (!has_length(code)) continue;
    if (!data.has(at + 1)) break;
    const std::uint64_t length = std::uint64_t{data[at]} << 8 | data[at + 1];
    if (length < 2) break;  // libjpeg stops there too
    if (code == kApp1 || code == kApp13) facts.shown.push_back({at - 1, {static_cast<unsigned char>(kApp15)}});
    if (code == kApp1) {
      const std::vector<unsigned char> segment = file.bytes_at(at + 2, static_cast<std::size_t>(length - 2));
      const unsigned orientation = is_exif_segment(segment) ? exif_orientation(segment, 6) : 0;
      // Viewers take the first EXIF segment before the first scan.
      if (orientation != 0 && !scanned && !exif_read) facts.orientation = orientation;
      exif_read = exif_read || is_exif_segment(segment);
    }
    if (code == kApp2 && !scanned) icc.add(file.bytes_at(at + 2, static_cast<std::size_t>(length - 2)));
    scanned = scanned || code == kStartOfScan;
    if (code == kStartOfScan && ++scans > kMostScans) {
      refuse_malformed("more than " + std::to_string(kMostScans) +
                       " scans, each a pass over the whole picture: made to keep the decoder busy");
    }
    at += length;
  }
  facts.icc_profile = icc.joined();
  return facts;
}

}  // namespace interlace
