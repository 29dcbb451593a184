#include "formats/exif.h"

#include <cstring>
#include <set>

#include "byte_order.h"
#include "formats/tiff.h"
#include "view_problem.h"

namespace interlace {

namespace {

// Bytes of one value of an EXIF field type: the classic TIFF types, 1 to 13,
// and EXIF 3.0's UTF-8 (129); BigTIFF's are no EXIF type. 0 for none.
constexpr unsigned kUtf8 = 129;
std::uint64_t type_bytes(unsigned type) { return type == kUtf8 ? 1 : type <= 13 ? tiff_type_bytes(type) : 0; }

// EXIF data: a TIFF structure, from `start` in `data`.
// Every directory it reaches and every value it points to must lie inside
// the segment, and no directory may be reached twice: the library's EXIF
// readers trust these offsets, and no camera writes them otherwise.
class Exif {
 public:
  Exif(const std::vector<unsigned char>& data, std::size_t start)
      : tiff_(data.data() + start), length_(start <= data.size() ? data.size() - start : 0) {}

  // The orientation (tag 0x0112, one SHORT) of the first directory; 0 for
  // none. Throws ViewRefused for a structure that points outside itself.
  unsigned walk() {
    if (length_ < 8) refuse_malformed("EXIF data too short for its header");
    motorola_ = tiff_[0] == 'M' && tiff_[1] == 'M';
    if (!motorola_ && !(tiff_[0] == 'I' && tiff_[1] == 'I')) refuse_malformed("EXIF data of no known byte order");
    std::uint64_t directory = value(4, 4);
    for (int chain = 0; directory != 0; ++chain) {
      if (chain == kMostDirectories) refuse_malformed("EXIF directories run on too long");
      directory = walk_directory(directory, 0);
    }
    return orientation_;
  }

 private:
  static constexpr int kMostDirectories = 16;

  std::uint32_t value(std::uint64_t at, int bytes) const {
    return motorola_ ? big_endian(tiff_ + at, bytes) : little_endian(tiff_ + at, bytes);
  }

  // Checks the directory at `at` and those it points to; returns the offset
  // of the next directory in its chain (0 for none).
  std::uint64_t walk_directory(std::uint64_t at, int depth) {
    if (at > length_ || length_ - at < 2) refuse_malformed("EXIF directory claims data past its segment");
    if (!visited_.insert(at).second) refuse_malformed("EXIF directories loop");
    const std::uint64_t entries = value(at, 2);
    if ((length_ - at - 2) / 12 < entries) refuse_malformed("EXIF directory claims data past its segment");
    for (std::uint64_t i = 0; i < entries; ++i) walk_entry(at + 2 + 12 * i, depth);
    const std::uint64_t next = at + 2 + 12 * entries;
    return length_ - next >= 4 ? value(next, 4) : 0;
  }

  void walk_entry(std::uint64_t at, int depth) {
    const unsigned tag = value(at, 2), type = value(at + 2, 2);
    const std::uint64_t count = value(at + 4, 4);
    // Nothing reads an entry of a type it doesn't know, as viewers do: the
    // library is never shown EXIF.
    if (type_bytes(type) == 0) return;
    const std::uint64_t bytes = count * type_bytes(type);  // at most 2^32 x 8: no overflow
    const std::uint64_t offset = value(at + 8, 4);
    if (bytes > 4 && (offset > length_ || length_ - offset < bytes))
      refuse_malformed("EXIF directory claims data past its segment");
    if (depth == 0 && tag == 0x0112 && type == 3 && count == 1 && orientation_ == 0 && visited_.size() == 1) {
      const unsigned orientation = value(at + 8, 2);
      orientation_ = orientation >= 1 && orientation <= 8 ? orientation : 0;
    }
    // The EXIF, GPS and interoperability directories hang off the first.
    const bool sub_directory = tag == 0x8769 || tag == 0x8825 || tag == 0xA005;
    if (sub_directory && (type == 4 || type == 13) && count == 1) {
      if (depth == 2) refuse_malformed("EXIF directories nest too deep");
      walk_directory(offset, depth + 1);
    }
  }

  const unsigned char* tiff_;
  std::uint64_t length_;
  bool motorola_ = false;
  unsigned orientation_ = 0;
  std::set<std::uint64_t> visited_;
};

}  // namespace

bool is_exif_segment(const std::vector<unsigned char>& segment) {
  return segment.size() >= 6 && std::memcmp(segment.data(), "Exif\0\0", 6) == 0;
}

unsigned exif_orientation(const std::vector<unsigned char>& data, std::size_t start) {
  return Exif(data, start).walk();
}

}  // namespace interlace
