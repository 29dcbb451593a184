#include "formats/tiff.h"

#include <algorithm>
#include <set>
#include <string>

#include "byte_order.h"
#include "view_problem.h"

namespace interlace {

namespace {

enum Tag : unsigned {
  kBitsPerSample = 258,
  kPhotometric = 262,
  kStripOffsets = 273,
  kOrientation = 274,
  kSamplesPerPixel = 277,
  kStripByteCounts = 279,
  kPlanarConfiguration = 284,
  kTileOffsets = 324,
  kTileByteCounts = 325,
  kExtraSamples = 338,
  kIccProfile = 34675,
};

// Tags whose contents the library hands to its metadata readers.
bool is_hidden_metadata(unsigned tag) {
  switch (tag) {
    case 700:    // XMP
    case 33723:  // IPTC
    case 34377:  // Photoshop
    case 34665:  // EXIF directory
    case 34675:  // ICC profile: the tool reads it itself
    case 34853:  // GPS directory
    case 37724:  // Photoshop layers
    case 40965:  // interoperability directory
      return true;
    default:
      return false;
  }
}

constexpr std::uint64_t kMostDirectories = 1 << 16;


struct Entry {
  unsigned tag = 0, type = 0;
  std::uint64_t count = 0;
  std::uint64_t start = 0;  // where the entry, its tag first, is in the file
  std::uint64_t field = 0;  // where its value, or the offset of its values, is
};

class TiffFile {
 public:
  explicit TiffFile(const ByteSource& file) : file_(file) {}

  // False for a file that is no TIFF (the library will say so itself).
  bool open() {
    const std::vector<unsigned char> header = file_.bytes_at(0, 16);
    if (header.size() < 8 || header[0] != header[1] || (header[0] != 'I' && header[0] != 'M')) return false;
    motorola_ = header[0] == 'M';
    const std::uint64_t version = number(&header[2], 2);
    big_ = version == 43;
    if (version != 42 && !(big_ && header.size() == 16)) return false;
    first_ = big_ ? number(&header[8], 8) : number(&header[4], 4);
    return true;
  }

  std::uint64_t first_directory() const { return first_; }

  // The directory at `at`, and in `next` the offset of the one after it.
  std::vector<Entry> directory(std::uint64_t at, std::uint64_t& next) const {
    const std::uint64_t count_bytes = big_ ? 8 : 2, entry_bytes = big_ ? 20 : 12, next_bytes = big_ ? 8 : 4;
    const std::vector<unsigned char> count = file_.bytes_at(at, count_bytes);
    if (count.size() != count_bytes) refuse_malformed("TIFF directory lies past the end of the file");
    const std::uint64_t entries = number(count.data(), static_cast<int>(count_bytes));
    if (entries > (file_.size() - at) / entry_bytes) refuse_malformed("TIFF directory lies past the end of the file");
    const std::uint64_t table = at + count_bytes;
    const std::vector<unsigned char> bytes =
        file_.bytes_at(table, static_cast<std::size_t>(entries * entry_bytes + next_bytes));
    std::vector<Entry> list;
    for (std::uint64_t i = 0; i < entries; ++i) {
      const unsigned char* e = &bytes[i * entry_bytes];
      const std::uint64_t start = table + i * entry_bytes;
      list.push_back({static_cast<unsigned>(number(e, 2)), static_cast<unsigned>(number(e + 2, 2)),
                      big_ ? number(e + 4, 8) : number(e + 4, 4), start,
                      start + (big_ ? 12 : 8)});
    }
    const std::uint64_t tail = entries * entry_bytes;
    next = bytes.size() >= tail + next_bytes ? number(&bytes[tail], static_cast<int>(next_bytes)) : 0;
    return list;
  }

  // The offset of the directory after the one at `at`, read as libtiff counts
  // directories: its entry count and its link, not its entries.
  std::uint64_t next_directory(std::uint64_t at) const {
    const std::uint64_t count_bytes = big_ ? 8 : 2, entry_bytes = big_ ? 20 : 12, next_bytes = big_ ? 8 : 4;
    const std::vector<unsigned char> count = file_.bytes_at(at, count_bytes);
    if (count.size() != count_bytes) refuse_malformed("TIFF directory lies past the end of the file");
    const std::uint64_t entries = number(count.data(), static_cast<int>(count_bytes));
    if (entries > (file_.size() - at) / entry_bytes) refuse_malformed("TIFF directory lies past the end of the file");
    const std::vector<unsigned char> next = file_.bytes_at(at + count_bytes + entries * entry_bytes, next_bytes);
    return next.size() == next_bytes ? number(next.data(), static_cast<int>(next_bytes)) : 0;
  }

  // Where an entry's values are, checked to lie inside the file.
  std::uint64_t values_at(const Entry& entry) const {
    const std::uint64_t bytes = entry.count * tiff_type_bytes(entry.type);  // count < 2^61 is checked below
    if (entry.count > file_.size()) refuse_malformed("TIFF tag data lies past the end of the file");
    if (bytes <= (big_ ? 8u : 4u)) return entry.field;
    const std::uint64_t at = number(file_.bytes_at(entry.field, big_ ? 8 : 4).data(), big_ ? 8 : 4);
    if (at > file_.size() || file_.size() - at < bytes) refuse_malformed("TIFF tag data lies past the end of the file");
    return at;
  }

  // An entry's integer values (BYTE, SHORT, LONG, LONG8 or IFD), at most `most`.
  std::vector<std::uint64_t> integers(const Entry& entry, std::uint64_t most = UINT64_MAX) const {
    const std::uint64_t size = tiff_type_bytes(entry.type);
    const bool integral = entry.type == 1 || entry.type == 3 || entry.type == 4 || entry.type == 13 ||
                          entry.type == 16 || entry.type == 18;
    if (!integral) return {};
    const std::uint64_t count = std::min(entry.count, most);
    const std::vector<unsigned char> bytes = file_.bytes_at(values_at(entry), static_cast<std::size_t>(count * size));
    std::vector<std::uint64_t> values;
    for (std::uint64_t i = 0; i < count && (i + 1) * size <= bytes.size(); ++i)
      values.push_back(number(&bytes[i * size], static_cast<int>(size)));
    return values;
  }

  std::vector<unsigned char> encode(std::uint64_t value, int bytes) const {
    std::vector<unsigned char> out(static_cast<std::size_t>(bytes));
    for (int i = 0; i < bytes; ++i) out[static_cast<std::size_t>(motorola_ ? bytes - 1 - i : i)] =
        static_cast<unsigned char>(value >> (8 * i));
    return out;
  }
  std::uint64_t file_size() const { return file_.size(); }

 private:
  std::uint64_t number(const unsigned char* at, int bytes) const {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= std::uint64_t{at[motorola_ ? bytes - 1 - i : i]} << (8 * i);
    return value;
  }

  const ByteSource& file_;
  bool motorola_ = false, big_ = false;
  std::uint64_t first_ = 0;
};

// The chain of directories, as the library counts its pages; returns the
// first directory, the image the library reads (none for no directory).
// Only the first is parsed: the others are followed by their links, two
// reads each, however many entries they claim.
std::vector<Entry> walk_chain(const TiffFile& tiff) {
  std::set<std::uint64_t> visited;
  std::vector<Entry> first;
  for (std::uint64_t at = tiff.first_directory(); at != 0;) {
    if (!visited.insert(at).second) refuse_malformed("TIFF directories loop");
    if (visited.size() > kMostDirectories) refuse_malformed("TIFF has too many directories");
    if (visited.size() == 1) {
      first = tiff.directory(at, at);
    } else {
      at = tiff.next_directory(at);
    }
  }
  return first;
}

const Entry* find(const std::vector<Entry>& entries, unsigned tag) {
  for (const Entry& entry : entries)
    if (entry.tag == tag) return &entry;
  return nullptr;
}

std::uint64_t first_value(const TiffFile& tiff, const std::vector<Entry>& entries, unsigned tag, std::uint64_t fallback) {
  const Entry* entry = find(entries, tag);
  if (entry == nullptr) return fallback;
  const std::vector<std::uint64_t> values = tiff.integers(*entry, 1);
  return values.empty() ? fallback : values[0];
}

// Samples the photometric interpretation and bits per sample agree with:
// the library fills a pixel's samples by them.
void check_samples(const TiffFile& tiff, const std::vector<Entry>& entries) {
  const std::uint64_t samples = first_value(tiff, entries, kSamplesPerPixel, 1);
  if (samples == 0) refuse_malformed("TIFF has no samples per pixel");
  if (const Entry* bits = find(entries, kBitsPerSample); bits != nullptr && bits->count > 1 && bits->count != samples)
    refuse_malformed("TIFF BitsPerSample has " + std::to_string(bits->count) + " values for " +
                     std::to_string(samples) + " samples per pixel");
  // The library's reader of separate planes steps through a row by whole
  // bytes and never moves on narrower samples.
  if (first_value(tiff, entries, kPlanarConfiguration, 1) == 2 && first_value(tiff, entries, kBitsPerSample, 1) < 8)
    refuse_malformed("TIFF separate planes of fewer than 8 bits per sample");
  const std::uint64_t photometric = first_value(tiff, entries, kPhotometric, 1);
  if ((photometric == 2 || photometric == 6) && samples < 3)
    refuse_malformed("TIFF colour image with " + std::to_string(samples) + " samples per pixel");
  if (photometric == 5 && samples < 4)
    refuse_malformed("TIFF CMYK image with " + std::to_string(samples) + " samples per pixel");
  // Grey with further samples (alpha, or anything else) the library misreads
  // at every depth: 16-bit as colour, bytes as channels; 8-bit as a palette
  // with one opacity per grey level; 4-bit with grey and alpha nibbles as one
  // grey level; floating point without its alpha. No depth prints right.
  if (photometric <= 1 && samples >= 2)
    refuse_malformed("TIFF grey with " + std::to_string(samples - 1) + " further sample" + (samples > 2 ? "s" : "") +
                     " per pixel (alpha), which the library misreads");
}

// Every strip or tile must lie inside the file.
void check_pieces(const TiffFile& tiff, const std::vector<Entry>& entries, unsigned offsets_tag, unsigned counts_tag,
                  const char* what) {
  const Entry* offsets = find(entries, offsets_tag);
  const Entry* counts = find(entries, counts_tag);
  if (offsets == nullptr || counts == nullptr) return;
  const std::vector<std::uint64_t> starts = tiff.integers(*offsets), lengths = tiff.integers(*counts);
  for (std::size_t i = 0; i < std::min(starts.size(), lengths.size()); ++i) {
    if (starts[i] > tiff.file_size() || tiff.file_size() - starts[i] < lengths[i])
      refuse_malformed(std::string("TIFF ") + what + " lies past the end of the file");
  }
}

}  // namespace

std::uint64_t tiff_type_bytes(unsigned type) {
  static const unsigned char kBytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};
  return type < sizeof kBytes ? kBytes[type] : 0;
}

namespace {

// The library reads YCbCr (JPEG-compressed, mostly) and CIELab images
// through libtiff's RGBA interface, which applies the orientation's flips
// itself: orientations 2 to 4 come out upright, and 5 to 8 as though 1 to 4.
bool read_through_rgba(std::uint64_t photometric) { return photometric == 6 || photometric == 8; }

// What is left to turn of `orientation` once libtiff has flipped the
// picture as for orientation - 4: a transpose (5) or a transverse (7).
unsigned left_to_turn(unsigned orientation) {
  static const unsigned kLeft[9] = {1, 1, 1, 1, 1, 5, 7, 5, 7};
  return kLeft[orientation];
}

}  // namespace

FormatFacts inspect_tiff(const ByteSource& file) {
  FormatFacts facts;
  facts.alpha_declared = false;
  TiffFile tiff(file);
  if (!tiff.open()) return facts;
  const std::vector<Entry> entries = walk_chain(tiff);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    // Readers find tags by their order, and the hidden ones keep theirs.
    if (i > 0 && entry.tag <= entries[i - 1].tag) refuse_malformed("TIFF directory's tags are out of order");
    if (tiff_type_bytes(entry.type) != 0) tiff.values_at(entry);
    // One below keeps the directory in the ascending order readers expect.
    if (is_hidden_metadata(entry.tag)) facts.shown.push_back({entry.start, tiff.encode(entry.tag - 1, 2)});
  }
  check_samples(tiff, entries);
  check_pieces(tiff, entries, kStripOffsets, kStripByteCounts, "strip");
  check_pieces(tiff, entries, kTileOffsets, kTileByteCounts, "tile");
  const std::uint64_t orientation = first_value(tiff, entries, kOrientation, 1);
  facts.orientation = orientation >= 1 && orientation <= 8 ? static_cast<unsigned>(orientation) : 1;
  facts.turn_note = "turned upright (TIFF orientation " + std::to_string(facts.orientation) + ")";
  if (read_through_rgba(first_value(tiff, entries, kPhotometric, 1))) facts.orientation = left_to_turn(facts.orientation);
  if (const Entry* profile = find(entries, kIccProfile)) {
    if (profile->type == 7 || profile->type == 1) {  // UNDEFINED or BYTE
      facts.icc_profile = file.bytes_at(tiff.values_at(*profile), static_cast<std::size_t>(profile->count));
    }
  }
  facts.alpha_declared = find(entries, kExtraSamples) != nullptr;
  if (const Entry* extra = find(entries, kExtraSamples)) {
    const std::vector<std::uint64_t> kinds = tiff.integers(*extra, 1);
    facts.premultiplied = !kinds.empty() && kinds[0] == 1;
  }
  return facts;
}

}  // namespace interlace
