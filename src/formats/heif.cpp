#include "formats/heif.h"

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "formats/iso_boxes.h"
#include "view_problem.h"

namespace interlace {

namespace {

// A sound file's metadata is a few kilobytes, a few hundred for a phone's
// grid of tiles; more is no picture's.
constexpr std::uint64_t kMostMetaBytes = std::uint64_t{16} << 20;

// A box's place: its type, and where its contents start and end.
struct Box {
  std::string type;
  std::uint64_t start = 0, end = 0;
};

// Bytes read from a start, big-endian as ISO media files keep them; a read
// past the end marks them broken and gives zeros.
class Reader {
 public:
  Reader(const std::vector<unsigned char>& bytes, std::uint64_t at, std::uint64_t end)
      : bytes_(bytes), at_(at), end_(std::min<std::uint64_t>(end, bytes.size())) {}
  std::uint64_t number(int count) {
    if (count == 0) return 0;
    if (broken_ || end_ - at_ < std::uint64_t(count) || at_ > end_) {
      broken_ = true;
      return 0;
    }
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | bytes_[at_++];
    return value;
  }
  std::string type() {
    std::string text;
    for (int i = 0; i < 4; ++i) text += static_cast<char>(number(1));
    return text;
  }
  void skip(std::uint64_t count) {
    if (end_ - at_ < count) broken_ = true;
    at_ = std::min(at_ + count, end_);
  }
  std::uint64_t at() const { return at_; }
  std::uint64_t end() const { return end_; }
  bool broken() const { return broken_; }

 private:
  const std::vector<unsigned char>& bytes_;
  std::uint64_t at_, end_;
  bool broken_ = false;
};

[[noreturn]] void refuse(const std::string& why) { refuse_malformed("HEIF " + why); }

// The boxes between `start` and `end` of `bytes`, one level.
std::vector<Box> boxes_in(const std::vector<unsigned char>& bytes, std::uint64_t start, std::uint64_t end) {
  std::vector<Box> boxes;
  end = std::min<std::uint64_t>(end, bytes.size());
  for (std::uint64_t at = start; at < end;) {
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(16, end - at));
    const std::optional<BoxHeader> header = box_header(bytes.data() + at, count, end - at);
    if (!header) refuse("box runs past its parent");
    boxes.push_back({header->type, at + header->header, at + header->size});
    at += header->size;
  }
  return boxes;
}

const Box* find(const std::vector<Box>& boxes, const char* type) {
  for (const Box& box : boxes) {
    if (box.type == type) return &box;
  }
  return nullptr;
}

// The top-level box `type`, found by walking box headers only, read whole.
std::vector<unsigned char> read_top_level(const ByteSource& file, const char* type) {
  std::uint64_t at = 0;
  while (at + 8 <= file.size()) {
    const std::vector<unsigned char> head = file.bytes_at(at, 16);
    const std::optional<BoxHeader> box = box_header(head.data(), head.size(), file.size() - at);
    if (!box) refuse("box runs past the end of the file");
    if (box->type == type) {
      if (box->size > kMostMetaBytes) refuse("metadata of more than 16 MiB");
      return file.bytes_at(at, static_cast<std::size_t>(box->size));
    }
    at += box->size;
  }
  return {};
}

struct Item {
  std::string type;
  std::vector<std::uint32_t> properties;  // 1-based indices into ipco, in order
};

struct Meta {
  std::vector<unsigned char> bytes;
  std::vector<Box> children;
  std::uint32_t primary = 0;
  std::map<std::uint32_t, Item> items;
  std::vector<Box> properties;  // ipco's children
};

// The items the primary image is made from (its tiles, the picture it
// crops or turns): what the library decodes besides it.
std::vector<std::uint32_t> sources_of(const Meta& meta) {
  std::vector<std::uint32_t> sources;
  const Box* iref = find(meta.children, "iref");
  if (iref == nullptr) return sources;
  Reader head(meta.bytes, iref->start, iref->end);
  const int id_bytes = head.number(1) == 0 ? 2 : 4;
  head.skip(3);
  for (const Box& reference : boxes_in(meta.bytes, head.at(), iref->end)) {
    if (reference.type != "dimg") continue;
    Reader reader(meta.bytes, reference.start, reference.end);
    const std::uint64_t from = reader.number(id_bytes), count = reader.number(2);
    for (std::uint64_t i = 0; i < count && !reader.broken(); ++i) {
      const auto to = static_cast<std::uint32_t>(reader.number(id_bytes));
      if (from == meta.primary && !reader.broken()) sources.push_back(to);
    }
  }
  return sources;
}

// The largest image the primary one is made from, as their sizes say: a
// small picture cropped from a vast one costs the vast one.
struct Largest {
  std::uint64_t pixels = 0, side = 0;
};
Largest largest_source(const Meta& meta) {
  Largest largest;
  for (const std::uint32_t source : sources_of(meta)) {
    const auto item = meta.items.find(source);
    if (item == meta.items.end()) continue;
    for (const std::uint32_t index : item->second.properties) {
      if (index == 0 || index > meta.properties.size() || meta.properties[index - 1].type != "ispe") continue;
      Reader reader(meta.bytes, meta.properties[index - 1].start, meta.properties[index - 1].end);
      reader.skip(4);
      const std::uint64_t width = reader.number(4), height = reader.number(4);
      largest.pixels = std::max(largest.pixels, width * height);
      largest.side = std::max({largest.side, width, height});
    }
  }
  return largest;
}

std::uint32_t read_primary(const Meta& meta) {
  const Box* pitm = find(meta.children, "pitm");
  if (pitm == nullptr) refuse("file has no primary image");
  Reader reader(meta.bytes, pitm->start, pitm->end);
  const std::uint64_t version = reader.number(1);
  reader.skip(3);
  const auto id = static_cast<std::uint32_t>(reader.number(version == 0 ? 2 : 4));
  if (reader.broken()) refuse("file has no primary image");
  return id;
}

void read_item_types(Meta& meta) {
  const Box* iinf = find(meta.children, "iinf");
  if (iinf == nullptr) return;
  Reader reader(meta.bytes, iinf->start, iinf->end);
  const std::uint64_t version = reader.number(1);
  reader.skip(3);
  reader.number(version == 0 ? 2 : 4);  // the count: the boxes say it
  for (const Box& infe : boxes_in(meta.bytes, reader.at(), iinf->end)) {
    if (infe.type != "infe") continue;
    Reader entry(meta.bytes, infe.start, infe.end);
    const std::uint64_t entry_version = entry.number(1);
    entry.skip(3);
    if (entry_version < 2) continue;  // no item type before version 2
    const auto id = static_cast<std::uint32_t>(entry.number(entry_version == 2 ? 2 : 4));
    entry.number(2);  // protection index
    const std::string type = entry.type();
    if (!entry.broken()) meta.items[id].type = type;
  }
}

void read_properties(Meta& meta) {
  const Box* iprp = find(meta.children, "iprp");
  if (iprp == nullptr) return;
  const std::vector<Box> parts = boxes_in(meta.bytes, iprp->start, iprp->end);
  if (const Box* ipco = find(parts, "ipco")) meta.properties = boxes_in(meta.bytes, ipco->start, ipco->end);
  for (const Box& ipma : parts) {
    if (ipma.type != "ipma") continue;
    Reader reader(meta.bytes, ipma.start, ipma.end);
    const std::uint64_t version = reader.number(1);
    const std::uint64_t flags = reader.number(3);
    const std::uint64_t entries = reader.number(4);
    for (std::uint64_t e = 0; e < entries && !reader.broken(); ++e) {
      const auto id = static_cast<std::uint32_t>(reader.number(version < 1 ? 2 : 4));
      const std::uint64_t associations = reader.number(1);
      for (std::uint64_t a = 0; a < associations && !reader.broken(); ++a) {
        const std::uint64_t value = reader.number((flags & 1) != 0 ? 2 : 1);
        const std::uint64_t index = value & ((flags & 1) != 0 ? 0x7fff : 0x7f);
        if (index != 0 && !reader.broken()) meta.items[id].properties.push_back(static_cast<std::uint32_t>(index));
      }
    }
    if (reader.broken()) refuse("item properties run past their box");
  }
}

// Every extent of every item lies inside the file, or inside the metadata's
// own data box.
void check_locations(const Meta& meta, std::uint64_t file_bytes) {
  const Box* iloc = find(meta.children, "iloc");
  if (iloc == nullptr) return;
  const Box* idat = find(meta.children, "idat");
  const std::uint64_t idat_bytes = idat != nullptr ? idat->end - idat->start : 0;
  Reader reader(meta.bytes, iloc->start, iloc->end);
  const std::uint64_t version = reader.number(1);
  reader.skip(3);
  const std::uint64_t sizes = reader.number(2);
  const int offset_size = static_cast<int>(sizes >> 12), length_size = static_cast<int>(sizes >> 8 & 15);
  const int base_size = static_cast<int>(sizes >> 4 & 15), index_size = version >= 1 ? static_cast<int>(sizes & 15) : 0;
  for (const int size : {offset_size, length_size, base_size, index_size}) {
    if (size != 0 && size != 4 && size != 8) refuse("item locations of an unknown size");
  }
  const std::uint64_t items = reader.number(version < 2 ? 2 : 4);
  for (std::uint64_t i = 0; i < items && !reader.broken(); ++i) {
    reader.number(version < 2 ? 2 : 4);  // the item
    const std::uint64_t method = version >= 1 ? reader.number(2) & 15 : 0;
    reader.number(2);  // data reference
    const std::uint64_t base = reader.number(base_size);
    const std::uint64_t extents = reader.number(2);
    for (std::uint64_t e = 0; e < extents && !reader.broken(); ++e) {
      reader.number(index_size);
      const std::uint64_t offset = reader.number(offset_size), length = reader.number(length_size);
      const std::uint64_t limit = method == 0 ? file_bytes : method == 1 ? idat_bytes : UINT64_MAX;
      if (base > limit || offset > limit - base || length > limit - base - offset) {
        refuse("item data lies past the end of the file");
      }
    }
  }
  if (reader.broken()) refuse("item locations run past their box");
}

// What the primary item's properties say, in their order.
struct Primary {
  std::uint64_t width = 0, height = 0;
  bool sized = false, cropped = false, turned_sideways = false;
  std::vector<std::string> turns;
};

void read_colour(Reader& reader, FormatFacts& facts, const std::vector<unsigned char>& bytes) {
  const std::string kind = reader.type();
  if (kind == "nclx" && !facts.colour_codes) {
    ColourCodes codes;
    codes.primaries = static_cast<unsigned>(reader.number(2));
    codes.transfer = static_cast<unsigned>(reader.number(2));
    codes.matrix = static_cast<unsigned>(reader.number(2));
    if (const char* transfer = high_dynamic_range_transfer(codes.transfer)) refuse_high_dynamic_range(transfer);
    if (!reader.broken()) facts.colour_codes = codes;
  } else if ((kind == "prof" || kind == "rICC") && facts.icc_profile.empty()) {
    facts.icc_profile.assign(bytes.begin() + static_cast<std::ptrdiff_t>(reader.at()),
                             bytes.begin() + static_cast<std::ptrdiff_t>(reader.end()));
  }
}

Primary read_primary_properties(const Meta& meta, const Item& item, FormatFacts& facts) {
  Primary primary;
  for (const std::uint32_t index : item.properties) {
    if (index > meta.properties.size()) refuse("item property out of range");
    const Box& box = meta.properties[index - 1];
    Reader reader(meta.bytes, box.start, box.end);
    if (box.type == "ispe" && !primary.sized) {
      reader.skip(4);
      primary.width = reader.number(4);
      primary.height = reader.number(4);
      primary.sized = !reader.broken();
    } else if (box.type == "irot") {
      const std::uint64_t quarter_turns = reader.number(1) & 3;
      if (quarter_turns % 2 == 1) primary.turned_sideways = !primary.turned_sideways;
      if (quarter_turns != 0) primary.turns.push_back("rotation " + std::to_string(90 * quarter_turns) + " degrees");
    } else if (box.type == "imir") {
      primary.turns.push_back("mirror");
    } else if (box.type == "clap") {
      primary.cropped = true;
    } else if (box.type == "colr") {
      read_colour(reader, facts, meta.bytes);
    }
  }
  return primary;
}

}  // namespace

FormatFacts inspect_heif(const ByteSource& file) {
  FormatFacts facts;
  Meta meta;
  meta.bytes = read_top_level(file, "meta");
  if (meta.bytes.empty()) refuse("file has no metadata, so no primary image");
  Reader head(meta.bytes, 0, meta.bytes.size());
  if (head.number(4) == 1) head.skip(8);  // the box's size, then its type
  head.skip(4);
  head.skip(4);  // its version and flags
  meta.children = boxes_in(meta.bytes, head.at(), meta.bytes.size());
  meta.primary = read_primary(meta);
  read_item_types(meta);
  read_properties(meta);
  check_locations(meta, file.size());
  const auto item = meta.items.find(meta.primary);
  if (item == meta.items.end() || item->second.type.empty()) refuse("file has no primary image");
  const std::string& type = item->second.type;
  if (type != "hvc1" && type != "av01" && type != "grid" && type != "iden" && type != "iovl") {
    refuse("primary image is coded as '" + type + "', which the library doesn't decode");
  }
  const Primary primary = read_primary_properties(meta, item->second, facts);
  if (!primary.sized || primary.width == 0 || primary.height == 0) refuse("primary image has no size");
  const Largest sources = largest_source(meta);
  facts.claimed_pixels = std::max(primary.width * primary.height, sources.pixels);
  facts.longest_side = std::max({primary.width, primary.height, sources.side});
  // A crop's rounding is the library's to make; the decoded size is checked.
  if (!primary.cropped && primary.width <= INT32_MAX && primary.height <= INT32_MAX) {
    const ViewSize stored{static_cast<int>(primary.width), static_cast<int>(primary.height)};
    facts.claimed_size = primary.turned_sideways ? ViewSize{stored.height, stored.width} : stored;
  }
  if (!primary.turns.empty()) {
    facts.turn_note = "turned upright (HEIF " + primary.turns.front();
    for (std::size_t i = 1; i < primary.turns.size(); ++i) facts.turn_note += ", " + primary.turns[i];
    facts.turn_note += ")";
  }
  facts.alpha_declared = true;
  return facts;
}

}  // namespace interlace
