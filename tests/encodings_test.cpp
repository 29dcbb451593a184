// Views as other programs write them: each encoding, made at test time by
// an encoder from outside this project, must print as ImageMagick shows the
// same file (upright, over white paper, 8 bits per channel).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "decoding/decoder.h"
#include "decoding/decoder_program.h"
#include "decoder/view_decoding.h"
#include "decoder/view_loader.h"
#include "test_support.h"
#include "view_problem.h"

namespace {

using test_support::Bytes;
using test_support::TempDir;

bool have(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

bool run(const std::string& command, const TempDir& dir) { return test_support::run_shell(command, dir.path()); }

using test_support::output_of;

// The picture as ImageMagick shows it: top row first, RGB.
Bytes as_imagemagick_shows(const std::string& path) {
  return output_of("convert '" + path + "[0]' -auto-orient -background white -alpha remove -alpha off " +
                   "-colorspace sRGB -depth 8 rgb:- 2>/dev/null");
}

// Smooth colour ramps with an alpha ramp from clear at the left to opaque
// in the middle and clear again at the right; a grey ramp over a narrow
// range, which shows any contrast stretching.
void make_sources(const TempDir& dir) {
  ASSERT_TRUE(run("convert -size 64x48 xc: -channel R -fx 'i/w' -channel G -fx 'j/h' -channel B -fx '(i+j)/(w+h)' "
                  "+channel -depth 8 src.png && convert src.png src.ppm && "
                  "convert src.png -alpha set -channel A -fx '1-abs(2*i/w-1)' +channel -depth 8 PNG32:srca.png && "
                  "convert -size 64x48 gradient:'gray(34%)'-'gray(44%)' -depth 16 narrow16.png",
                  dir));
}

// Inserts an EXIF block with `orientation` after a JPEG's start marker.
void add_exif_orientation(const std::string& path, unsigned orientation) {
  Bytes jpeg = test_support::read_file(path);
  const Bytes block = {0xff, 0xe1, 0, 34, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
                       0x12, 1, 3, 0, 1, 0, 0, 0, static_cast<unsigned char>(orientation), 0, 0, 0, 0, 0, 0, 0};
  jpeg.insert(jpeg.begin() + 2, block.begin(), block.end());
  test_support::write_file(path, jpeg);
}

// What the test itself does to an encoder's file, for variants no encoder
// here writes.
enum class Edit { None, ExifTurned, ExifUpsideDown, TopDown, RleEndsWithoutEndOfLine, HeifGrid, HeifTurned };

std::uint32_t get32(const Bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// Rows stored top row first, as a negative height says.
void make_top_down(const std::string& path) {
  Bytes bmp = test_support::read_file(path);
  const test_support::BmpFile info = test_support::parse_bmp(bmp);
  Bytes flipped = bmp;
  for (int y = 0; y < info.height; ++y)
    std::copy_n(bmp.begin() + static_cast<std::ptrdiff_t>(info.pixel_offset + info.row_bytes * static_cast<std::uint64_t>(y)),
                info.row_bytes,
                flipped.begin() + static_cast<std::ptrdiff_t>(info.pixel_offset + info.row_bytes * static_cast<std::uint64_t>(info.height - 1 - y)));
  put32(flipped, 22, static_cast<std::uint32_t>(-info.height));
  test_support::write_file(path, flipped);
}

// ImageMagick closes the last row with end-of-line, then end-of-bitmap;
// other writers give end-of-bitmap alone.
void drop_final_end_of_line(const std::string& path) {
  Bytes bmp = test_support::read_file(path);
  const std::size_t n = bmp.size();
  ASSERT_TRUE(n > 4 && bmp[n - 4] == 0 && bmp[n - 3] == 0 && bmp[n - 2] == 0 && bmp[n - 1] == 1);
  bmp.erase(bmp.end() - 4, bmp.end() - 2);
  put32(bmp, 2, static_cast<std::uint32_t>(bmp.size()));
  put32(bmp, 34, get32(bmp, 34) - 2);
  test_support::write_file(path, bmp);
}

// HEIF as phones write it and heif-enc doesn't: its boxes edited. Fields
// are big-endian; a box is its size, its type and its contents (a full box's
// contents start with a version and flags).
std::uint64_t field(const Bytes& b, std::size_t at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | b.at(at + static_cast<std::size_t>(i));
  return value;
}

void append(Bytes& out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

Bytes box(const char* type, const Bytes& contents) {
  Bytes out;
  append(out, 8 + contents.size(), 4);
  out.insert(out.end(), type, type + 4);
  append(out, contents);
  return out;
}

struct Box {
  std::string type;
  std::size_t at = 0, size = 0;  // the whole box
};

std::vector<Box> boxes_of(const Bytes& file, std::size_t at, std::size_t end) {
  std::vector<Box> boxes;
  for (std::size_t size; at + 8 <= end; at += size) {
    size = field(file, at, 4);
    boxes.push_back({std::string(file.begin() + static_cast<long>(at + 4), file.begin() + static_cast<long>(at + 8)), at, size});
  }
  return boxes;
}

Box find_box(const std::vector<Box>& boxes, const char* type) {
  for (const Box& b : boxes)
    if (b.type == type) return b;
  throw std::runtime_error(std::string("no ") + type + " box");
}

Bytes slice(const Bytes& file, std::size_t from, std::size_t to) {
  return Bytes(file.begin() + static_cast<long>(from), file.begin() + static_cast<long>(to));
}

// The item locations (version 0 or 1) with every file offset moved by
// `shift`, and the entry `more` after them.
Bytes moved_locations(const Bytes& file, const Box& iloc, std::uint64_t shift, const Bytes& more) {
  const int version = static_cast<int>(field(file, iloc.at + 8, 1));
  const std::size_t sizes = iloc.at + 12;
  const int offset = static_cast<int>(field(file, sizes, 1) >> 4), length = static_cast<int>(field(file, sizes, 1) & 15);
  const int base = static_cast<int>(field(file, sizes + 1, 1) >> 4);
  const int index = version == 1 ? static_cast<int>(field(file, sizes + 1, 1) & 15) : 0;
  Bytes out = slice(file, iloc.at + 8, sizes + 2);  // version, flags, sizes
  const std::size_t count = field(file, sizes + 2, 2);
  append(out, count + (more.empty() ? 0 : 1), 2);
  std::size_t at = sizes + 4;
  const auto copy = [&](int bytes, std::uint64_t plus) {
    append(out, field(file, at, bytes) + plus, bytes);
    at += static_cast<std::size_t>(bytes);
  };
  for (std::size_t i = 0; i < count; ++i) {
    copy(2, 0);  // the item
    const bool in_file = version == 0 || (field(file, at, 2) & 15) == 0;
    if (version == 1) copy(2, 0);  // its construction method
    copy(2, 0);                      // its data reference
    copy(base, in_file && base != 0 ? shift : 0);
    const std::uint64_t extents = field(file, at, 2);
    copy(2, 0);
    for (std::uint64_t e = 0; e < extents; ++e) {
      copy(index, 0);
      copy(offset, in_file && base == 0 ? shift : 0);
      copy(length, 0);
    }
  }
  append(out, more);
  return box("iloc", out);
}

// The file with its metadata remade by `remake` (told how far the data after
// it moves, and where `tail`, appended in a box of its own, will be).
Bytes rebuilt(const Bytes& file, const std::function<Bytes(std::uint64_t shift, std::uint64_t tail_at)>& remake,
              const Bytes& tail = {}) {
  const Box meta = find_box(boxes_of(file, 0, file.size()), "meta");
  const std::uint64_t shift = remake(0, 0).size() - meta.size;  // every field keeps its width
  Bytes out = slice(file, 0, meta.at);
  append(out, remake(shift, file.size() + shift + 8));
  append(out, slice(file, meta.at + meta.size, file.size()));
  if (!tail.empty()) append(out, box("mdat", tail));
  return out;
}

// The metadata's boxes, each remade by `remake` (or kept, where it gives
// nothing back).
Bytes remade_meta(const Bytes& file, const std::function<Bytes(const Box&)>& remake) {
  const Box meta = find_box(boxes_of(file, 0, file.size()), "meta");
  Bytes contents = slice(file, meta.at + 8, meta.at + 12);  // its version and flags
  for (const Box& part : boxes_of(file, meta.at + 12, meta.at + meta.size)) {
    const Bytes remade = remake(part);
    append(contents, remade.empty() ? slice(file, part.at, part.at + part.size) : remade);
  }
  return box("meta", contents);
}

// The item properties with `more` added to their container, and `count`
// associations, `entries`.
Bytes remade_properties(const Bytes& file, const Box& iprp, const Bytes& more, std::uint64_t count, const Bytes& entries) {
  const std::vector<Box> parts = boxes_of(file, iprp.at + 8, iprp.at + iprp.size);
  const Box& ipco = find_box(parts, "ipco");
  const Box& ipma = find_box(parts, "ipma");
  Bytes container = slice(file, ipco.at + 8, ipco.at + ipco.size);
  append(container, more);
  Bytes map = slice(file, ipma.at + 8, ipma.at + 12);
  append(map, count, 4);
  append(map, entries);
  Bytes both = box("ipco", container);
  append(both, box("ipma", map));
  return box("iprp", both);
}

// The properties' container and associations, and how many it holds.
struct Properties {
  Box ipco, ipma;
  std::size_t count = 0;
};
Properties properties_of(const Bytes& file, const Box& iprp) {
  const std::vector<Box> parts = boxes_of(file, iprp.at + 8, iprp.at + iprp.size);
  Properties p{find_box(parts, "ipco"), find_box(parts, "ipma"), 0};
  p.count = boxes_of(file, p.ipco.at + 8, p.ipco.at + p.ipco.size).size();
  return p;
}

// An item as the item information says it: its number, whether it is
// hidden (a tile, or the picture a crop is cut from) and its type.
struct Item {
  std::uint64_t id = 0;
  bool hidden = false;
};

std::vector<Item> items_of(const Bytes& file, const Box& iinf) {
  std::vector<Item> items;
  for (const Box& infe : boxes_of(file, iinf.at + 14, iinf.at + iinf.size)) {
    items.push_back({field(file, infe.at + 12, 2), (field(file, infe.at + 8, 4) & 1) != 0});
  }
  return items;
}

// The index (from 1) of the property of `type` among `item`'s (version 0
// associations); 0 for none.
std::size_t property_of_item(const Bytes& file, const Box& ipco, const Box& ipma, std::uint64_t item, const char* type) {
  const std::vector<Box> properties = boxes_of(file, ipco.at + 8, ipco.at + ipco.size);
  std::size_t at = ipma.at + 16;
  for (std::uint64_t e = field(file, ipma.at + 12, 4); e > 0; --e) {
    const std::uint64_t count = field(file, at + 2, 1);
    for (std::uint64_t i = 0; i < count && field(file, at, 2) == item; ++i) {
      const std::size_t index = field(file, at + 3 + i, 1) & 0x7f;
      if (properties.at(index - 1).type == type) return index;
    }
    at += 3 + count;
  }
  return 0;
}

// heif-enc's first four pictures made the tiles of a 2 x 2 grid, a new item
// and the primary image, as phones store a photo; its grid description is
// stored after the file's other data.
Bytes heif_grid_of_four(const Bytes& file) {
  const Box meta = find_box(boxes_of(file, 0, file.size()), "meta");
  const std::vector<Box> parts = boxes_of(file, meta.at + 12, meta.at + meta.size);
  std::vector<std::uint64_t> tiles;
  std::uint64_t grid_id = 0;
  for (const Item& item : items_of(file, find_box(parts, "iinf"))) {
    if (!item.hidden && tiles.size() < 4) tiles.push_back(item.id);
    grid_id = std::max(grid_id, item.id + 1);
  }
  const Properties p = properties_of(file, find_box(parts, "iprp"));
  const std::size_t tile_extents = property_of_item(file, p.ipco, p.ipma, tiles.at(0), "ispe");
  const Box tile_size = boxes_of(file, p.ipco.at + 8, p.ipco.at + p.ipco.size).at(tile_extents - 1);
  const std::uint64_t width = 2 * field(file, tile_size.at + 12, 4), height = 2 * field(file, tile_size.at + 16, 4);
  // The grid's samples are as deep as its tiles'.
  const std::size_t depth = property_of_item(file, p.ipco, p.ipma, tiles.at(0), "pixi");
  Bytes grid{0, 0, 1, 1};  // version, 16-bit sizes, two rows, two columns
  append(grid, width, 2);
  append(grid, height, 2);
  Bytes references;
  append(references, grid_id, 2);
  append(references, tiles.size(), 2);
  for (const std::uint64_t tile : tiles) append(references, tile, 2);
  const Bytes dimg = box("dimg", references);
  const bool has_references = std::any_of(parts.begin(), parts.end(), [](const Box& b) { return b.type == "iref"; });
  return rebuilt(file, [&](std::uint64_t shift, std::uint64_t grid_at) {
    return remade_meta(file, [&](const Box& part) {
      Bytes remade;
      if (part.type == "pitm") {
        remade = slice(file, part.at + 8, part.at + 12);
        append(remade, grid_id, 2);
        return box("pitm", remade);
      }
      if (part.type == "iloc") {
        const int offset = static_cast<int>(field(file, part.at + 12, 1) >> 4);
        const int length = static_cast<int>(field(file, part.at + 12, 1) & 15);
        const int base = static_cast<int>(field(file, part.at + 13, 1) >> 4);
        Bytes entry;
        append(entry, grid_id, 2);
        if (field(file, part.at + 8, 1) == 1) append(entry, 0, 2);  // in the file
        append(entry, 0, 2);
        append(entry, grid_at, base);
        append(entry, 1, 2);
        append(entry, base == 0 ? grid_at : 0, offset);
        append(entry, grid.size(), length);
        return moved_locations(file, part, shift, entry);
      }
      if (part.type == "iinf") {
        remade = slice(file, part.at + 8, part.at + 12);
        append(remade, field(file, part.at + 12, 2) + 1, 2);
        append(remade, slice(file, part.at + 14, part.at + part.size));
        Bytes info{2, 0, 0, 0};
        append(info, grid_id, 2);
        append(info, {0, 0, 'g', 'r', 'i', 'd', 0});
        append(remade, box("infe", info));
        remade = box("iinf", remade);
        if (!has_references) {
          Bytes iref{0, 0, 0, 0};  // the references' version and flags
          append(iref, dimg);
          append(remade, box("iref", iref));
        }
        return remade;
      }
      if (part.type == "iref") {
        remade = slice(file, part.at + 8, part.at + part.size);
        append(remade, dimg);
        return box("iref", remade);
      }
      if (part.type == "iprp") {
        Bytes extents{0, 0, 0, 0};
        append(extents, width, 4);
        append(extents, height, 4);
        Bytes entries = slice(file, p.ipma.at + 16, p.ipma.at + p.ipma.size);
        append(entries, grid_id, 2);
        if (depth != 0) {
          append(entries, {2, static_cast<unsigned char>(p.count + 1), static_cast<unsigned char>(depth)});
        } else {
          append(entries, {1, static_cast<unsigned char>(p.count + 1)});
        }
        return remade_properties(file, part, box("ispe", extents), field(file, p.ipma.at + 12, 4) + 1, entries);
      }
      return remade;
    });
  }, grid);
}

// heif-enc's one picture, its primary item's properties rebuilt (version 0
// associations) with a rotation of a quarter turn anticlockwise and a
// mirror about the vertical axis after its own.
Bytes heif_turned_and_mirrored(const Bytes& file) {
  return rebuilt(file, [&](std::uint64_t shift, std::uint64_t) {
    return remade_meta(file, [&](const Box& part) {
      if (part.type == "iloc") return moved_locations(file, part, shift, {});
      if (part.type != "iprp") return Bytes();
      const Properties p = properties_of(file, part);
      const Box meta = find_box(boxes_of(file, 0, file.size()), "meta");
      const Box pitm = find_box(boxes_of(file, meta.at + 12, meta.at + meta.size), "pitm");
      const std::uint64_t primary = field(file, pitm.at + 12, 2);
      Bytes entries;
      std::size_t at = p.ipma.at + 16;
      const std::uint64_t count = field(file, p.ipma.at + 12, 4);
      for (std::uint64_t e = 0; e < count; ++e) {
        const std::uint64_t item = field(file, at, 2), associations = field(file, at + 2, 1);
        const bool turned = item == primary;
        append(entries, item, 2);
        append(entries, associations + (turned ? 2 : 0), 1);
        append(entries, slice(file, at + 3, at + 3 + associations));
        if (turned) append(entries, {static_cast<unsigned char>(p.count + 1), static_cast<unsigned char>(p.count + 2)});
        at += 3 + associations;
      }
      Bytes turns = box("irot", {1});
      append(turns, box("imir", {1}));
      return remade_properties(file, part, turns, count, entries);
    });
  });
}

void apply(Edit edit, const std::string& path) {
  if (edit == Edit::HeifGrid) test_support::write_file(path, heif_grid_of_four(test_support::read_file(path)));
  if (edit == Edit::HeifTurned) test_support::write_file(path, heif_turned_and_mirrored(test_support::read_file(path)));
  if (edit == Edit::ExifTurned) add_exif_orientation(path, 6);
  if (edit == Edit::ExifUpsideDown) add_exif_orientation(path, 3);
  if (edit == Edit::TopDown) make_top_down(path);
  if (edit == Edit::RleEndsWithoutEndOfLine) drop_final_end_of_line(path);
}

struct Encoding {
  const char* name;
  const char* encoder;  // the program the command needs beyond ImageMagick
  const char* command;  // writes the file `view`, from src.png, src.ppm, srca.png or narrow16.png
  const char* file;     // the name it gets, for the reference decoder
  Edit edit = Edit::None;
  // Where ImageMagick reads the format through the very library the tool
  // uses, the encoder's own decoder writes ref.png instead, turned as the
  // format says where that decoder doesn't turn it.
  const char* reference = nullptr;
};

const Encoding kEncodings[] = {
    {"JPEG baseline", "cjpeg", "cjpeg -quality 95 src.ppm > v.jpg", "v.jpg"},
    {"JPEG progressive", "cjpeg", "cjpeg -progressive src.ppm > v.jpg", "v.jpg"},
    {"JPEG 4:4:4", "cjpeg", "cjpeg -sample 1x1 src.ppm > v.jpg", "v.jpg"},
    {"JPEG 4:2:2", "cjpeg", "cjpeg -sample 2x1 src.ppm > v.jpg", "v.jpg"},
    {"JPEG grey", "cjpeg", "cjpeg -grayscale src.ppm > v.jpg", "v.jpg"},
    {"JPEG CMYK", "convert", "convert src.png -colorspace cmyk v.jpg", "v.jpg"},
    {"PNG 8-bit RGB", "pnmtopng", "pnmtopng src.ppm > v.png", "v.png"},
    {"PNG Adam7", "pnmtopng", "pnmtopng -interlace src.ppm > v.png", "v.png"},
    {"PNG 16-bit RGB", "convert", "convert src.png -depth 16 PNG48:v.png", "v.png"},
    {"PNG grey", "convert", "convert src.png -colorspace gray v.png", "v.png"},
    {"PNG 16-bit grey", "convert", "cp narrow16.png v.png", "v.png"},
    {"PNG palette", "convert", "convert src.png -colors 64 PNG8:v.png", "v.png"},
    {"PNG RGBA", "convert", "cp srca.png v.png", "v.png"},
    {"PNG 16-bit RGBA", "convert", "convert srca.png -depth 16 PNG64:v.png", "v.png"},
    {"PNG grey with alpha", "convert", "convert srca.png -colorspace gray -type grayscalealpha v.png", "v.png"},
    {"PNG palette with tRNS", "pngquant", "pngquant --force -o v.png srca.png", "v.png"},
    {"TIFF plain", "convert", "convert src.png -compress none v.tif", "v.tif"},
    {"TIFF LZW with predictor", "tiffcp", "convert src.png -compress none s.tif && tiffcp -c lzw:2 s.tif v.tif", "v.tif"},
    {"TIFF Deflate", "tiffcp", "convert src.png -compress none s.tif && tiffcp -c zip s.tif v.tif", "v.tif"},
    {"TIFF JPEG", "tiffcp", "convert src.png -compress none s.tif && tiffcp -c jpeg -r 16 s.tif v.tif", "v.tif"},
    {"TIFF tiled", "tiffcp", "convert src.png -compress none s.tif && tiffcp -t -w 16 -l 16 s.tif v.tif", "v.tif"},
    {"TIFF 16-bit", "convert", "convert src.png -depth 16 v.tif", "v.tif"},
    {"TIFF 16-bit grey", "convert", "convert narrow16.png v.tif", "v.tif"},
    {"TIFF CMYK", "convert", "convert src.png -colorspace cmyk v.tif", "v.tif"},
    {"TIFF RGBA", "convert", "convert srca.png -define tiff:alpha=unassociated v.tif", "v.tif"},
    {"TIFF RGBA premultiplied", "convert", "convert srca.png -define tiff:alpha=associated v.tif", "v.tif"},
    {"TIFF RGBA premultiplied, big-endian", "tiffcp",
     "convert srca.png -define tiff:alpha=associated s.tif && tiffcp -B s.tif v.tif", "v.tif"},
    {"TIFF float", "convert", "convert src.png -define quantum:format=floating-point -depth 32 v.tif", "v.tif"},
    {"Radiance HDR", "convert", "convert src.png v.hdr", "v.hdr"},
    {"BMP 1-bit", "convert", "convert src.png -monochrome BMP3:v.bmp", "v.bmp"},
    {"BMP 8-bit", "convert", "convert src.png -colors 200 -compress none BMP3:v.bmp", "v.bmp"},
    {"BMP 24-bit, V5 header", "convert", "convert src.png -type truecolor BMP:v.bmp", "v.bmp"},
    {"BMP RLE8, V5 header", "convert", "convert src.png -colors 200 BMP:v.bmp", "v.bmp"},
    {"BMP 5-6-5, V5 header", "convert", "convert src.png -define bmp:subtype=RGB565 BMP:v.bmp", "v.bmp"},
    {"BMP 32-bit alpha, V5 header", "convert", "convert srca.png BMP:v.bmp", "v.bmp"},
    {"BMP from netpbm", "ppmtobmp", "ppmtobmp src.ppm > v.bmp", "v.bmp"},
    {"Targa", "convert", "convert src.png -compress none v.tga", "v.tga"},
    {"Targa RLE", "convert", "convert src.png -compress RLE v.tga", "v.tga"},
    {"PPM 16-bit", "pamdepth", "pamdepth 65535 src.ppm > v.ppm", "v.ppm"},
    {"PGM", "ppmtopgm", "ppmtopgm src.ppm > v.pgm", "v.pgm"},
    {"PFM (bottom row first)", "convert", "convert src.png v.pfm", "v.pfm"},
    {"WebP lossy", "cwebp", "cwebp -q 90 src.png -o v.webp", "v.webp"},
    {"WebP lossless", "cwebp", "cwebp -lossless src.png -o v.webp", "v.webp"},
    {"JPEG 2000 JP2", "opj_compress", "opj_compress -i src.ppm -o v.jp2", "v.jp2"},
    {"JPEG 2000 codestream", "opj_compress", "opj_compress -i src.ppm -o v.j2k", "v.j2k"},
    {"GIF", "convert", "convert src.png -colors 200 v.gif", "v.gif"},
    {"JPEG EXIF orientation 6", "cjpeg", "cjpeg -quality 95 src.ppm > v.jpg", "v.jpg", Edit::ExifTurned},
    {"JPEG EXIF orientation 3", "cjpeg", "cjpeg -quality 95 src.ppm > v.jpg", "v.jpg", Edit::ExifUpsideDown},
    {"BMP 4-bit", "convert", "convert src.png -colors 16 -type palette -compress none BMP3:v.bmp", "v.bmp"},
    {"BMP top-down", "convert", "convert src.png -type truecolor BMP3:v.bmp", "v.bmp", Edit::TopDown},
    {"BMP RLE8 closed by end-of-bitmap", "convert", "convert src.png -colors 200 BMP:v.bmp", "v.bmp",
     Edit::RleEndsWithoutEndOfLine},
    {"HEIC", "heif-enc", "heif-enc -q 95 src.png -o v.heic", "v.heic", Edit::None, "heif-convert v.heic ref.png"},
    {"HEIC 10-bit", "heif-enc", "convert src.png -depth 16 PNG48:s48.png && heif-enc -b 10 -q 95 s48.png -o v.heic",
     "v.heic", Edit::None, "heif-convert v.heic ref.png"},
    // As phones store photos: a grid of tiles, one picture; turned a
    // quarter anticlockwise and mirrored left to right by its properties.
    {"HEIC grid of 2 x 2", "heif-enc",
     "convert src.png -crop 2x2@ +repage -depth 8 PNG24:t%d.png && heif-enc -q 95 t0.png t1.png t2.png t3.png -o v.heic",
     "v.heic",
     Edit::HeifGrid, "cp src.png ref.png"},
    {"HEIC turned and mirrored", "heif-enc", "heif-enc -q 95 src.png -o v.heic", "v.heic", Edit::HeifTurned,
     "convert src.png -rotate -90 -flop ref.png"},
    // Coded in blocks of eight rows or more: 48 rows for 45.
    {"HEIC of an odd height", "heif-enc",
     "convert src.png -crop 40x45+0+0 +repage o.png && heif-enc -q 95 o.png -o v.heic", "v.heic", Edit::None,
     "heif-convert v.heic ref.png"},
    {"AVIF", "avifenc", "avifenc src.png v.avif", "v.avif", Edit::None, "avifdec v.avif ref.png"},
    {"AVIF with alpha", "avifenc", "avifenc srca.png v.avif", "v.avif", Edit::None, "avifdec v.avif ref.png"},
    {"AVIF 10-bit with alpha", "avifenc", "avifenc -d 10 srca.png v.avif", "v.avif", Edit::None,
     "avifdec v.avif ref.png"},
    // Rotated a quarter turn anticlockwise, then mirrored left to right, as
    // its properties say (avifdec leaves both to its caller).
    {"AVIF turned and mirrored", "avifenc", "avifenc --irot 1 --imir 1 src.png v.avif", "v.avif", Edit::None,
     "avifdec v.avif r.png && convert r.png -rotate -90 -flop ref.png"},
    // Tiles must be 64 pixels a side at least.
    {"AVIF grid of 2 x 2", "avifenc", "convert src.png -resize '128x128!' g.png && avifenc --grid 2x2 g.png v.avif",
     "v.avif", Edit::None, "avifdec v.avif ref.png"},
    {"JPEG XL lossy", "cjxl", "cjxl src.ppm v.jxl -d 1", "v.jxl", Edit::None, "djxl v.jxl ref.png"},
    {"JPEG XL lossless", "cjxl", "cjxl src.ppm v.jxl -d 0", "v.jxl", Edit::None, "djxl v.jxl ref.png"},
};

// The file `e` makes in `dir`, with the test's edit made; empty, with the
// failure reported, where its encoder is missing or fails.
std::string encoded(const Encoding& e, const TempDir& dir) {
  if (!have(e.encoder)) {
    ADD_FAILURE() << e.encoder << " is not installed: the test command installs the encoders";
    return {};
  }
  if (!run(std::string("rm -f v.* v_* ref.png; ") + e.command, dir)) {
    ADD_FAILURE() << "the encoder failed: " << e.command;
    return {};
  }
  const std::string file = dir / e.file;
  apply(e.edit, file);
  return file;
}

// Mean absolute difference per channel between the print image of a
// one-view run and the reference, the top row and right column left out.
double mean_difference(const Bytes& bmp, const Bytes& reference, std::string* size_error) {
  const test_support::BmpFile print = test_support::parse_bmp(bmp);
  const int width = print.width, height = print.height;
  if (reference.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3) {
    *size_error = "print is " + std::to_string(width) + "x" + std::to_string(height) + ", reference has " +
                  std::to_string(reference.size()) + " bytes";
    return 255;
  }
  double total = 0;
  for (int y = 0; y + 1 < height; ++y) {  // stored row y is picture row height-1-y
    const std::size_t reference_row = static_cast<std::size_t>(height - 1 - y) * static_cast<std::size_t>(width) * 3;
    for (int x = 0; x + 1 < width; ++x) {
      const unsigned char* bgr = print.pixel(bmp, x, y);
      const unsigned char* rgb = &reference[reference_row + static_cast<std::size_t>(x) * 3];
      total += std::abs(bgr[2] - rgb[0]) + std::abs(bgr[1] - rgb[1]) + std::abs(bgr[0] - rgb[2]);
    }
  }
  return total / (3.0 * (width - 1) * (height - 1));
}

TEST(Encodings, EveryEncodingPrintsAsAnIndependentDecoderShowsIt) {
  if (!have("convert")) GTEST_SKIP() << "ImageMagick is not installed (the test command installs imagemagick)";
  TempDir dir;
  make_sources(dir);
  for (const Encoding& e : kEncodings) {
    SCOPED_TRACE(e.name);
    const std::string file = encoded(e, dir);
    if (file.empty()) continue;
    if (e.reference != nullptr && !run(e.reference, dir)) {
      ADD_FAILURE() << "the encoder's own decoder failed: " << e.reference;
      continue;
    }
    const Bytes reference = as_imagemagick_shows(e.reference != nullptr ? dir / "ref.png" : file);
    if (reference.empty()) {
      ADD_FAILURE() << "ImageMagick can't read it";
      continue;
    }
    test_support::write_file(dir / "v_rs_c01.bmp", test_support::read_file(file));
    const auto result = test_support::run_tool({dir / "v", "t", "1", "0", "0", "300", "0"});
    EXPECT_EQ(result.status, 0);
    if (result.status != 0) continue;
    std::string size_error;
    EXPECT_LE(mean_difference(test_support::read_file(dir / "v_interlace.bmp"), reference, &size_error), 3.0)
        << size_error;
  }
}

// The sources at a real size: libraries take other paths on large pictures
// (libwebp decodes in a second thread from 512 pixels wide). A synthetic
// scene, a clear-to-opaque copy of it and a narrow 16-bit grey ramp.
void make_real_sized_sources(const TempDir& dir) {
  ASSERT_TRUE(test_support::make_views(dir / "scene", 1, 2048, 1536));
  ASSERT_TRUE(run("convert BMP:scene_rs_c01.bmp -type TrueColor PNG24:src.png && convert src.png src.ppm && "
                  "convert src.png \\( -size 1536x2048 gradient: -rotate 90 \\) -alpha off -compose CopyOpacity "
                  "-composite PNG32:srca.png && convert -size 2048x1536 gradient:'gray(34%)'-'gray(44%)' -depth 16 "
                  "narrow16.png",
                  dir));
}

// A Minolta MRW camera raw file of `width` x `height` 12-bit samples
// (stored in 16 bits) under a Bayer filter; LibRaw demosaics it with OpenMP
// threads.
Bytes minolta_raw(int width, int height) {
  const auto big = [](Bytes& out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
  };
  const auto block = [&big](Bytes& out, const char* tag, const Bytes& data) {
    out.insert(out.end(), tag, tag + 4);
    big(out, static_cast<std::uint32_t>(data.size()), 4);
    out.insert(out.end(), data.begin(), data.end());
  };
  Bytes prd{'2', '1', '8', '1', '0', '0', '0', '2'};
  for (int v : {height, width, height, width}) big(prd, static_cast<std::uint32_t>(v), 2);
  prd.insert(prd.end(), {12, 12, 0x59, 0, 0, 0, 0, 0});
  Bytes wbg{0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) big(wbg, 256, 2);
  // A TIFF of two tags, Make and Model, which name the camera.
  const std::string make("Minolta\0", 8), model("DiMAGE 7\0", 9);
  Bytes ttw{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 2};
  const std::uint32_t strings = 8 + 2 + 2 * 12 + 4;
  const struct {
    std::uint32_t tag;
    const std::string& text;
    std::uint32_t at;
  } tags[] = {{271, make, strings}, {272, model, strings + 8}};
  for (const auto& t : tags) {
    big(ttw, t.tag, 2);
    big(ttw, 2, 2);
    big(ttw, static_cast<std::uint32_t>(t.text.size()), 4);
    big(ttw, t.at, 4);
  }
  big(ttw, 0, 4);
  ttw.insert(ttw.end(), make.begin(), make.end());
  ttw.insert(ttw.end(), model.begin(), model.end());
  Bytes blocks;
  block(blocks, "\0PRD", prd);
  block(blocks, "\0WBG", wbg);
  block(blocks, "\0TTW", ttw);
  Bytes file{0, 'M', 'R', 'M'};
  big(file, static_cast<std::uint32_t>(blocks.size()), 4);
  file.insert(file.end(), blocks.begin(), blocks.end());
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) big(file, static_cast<std::uint32_t>((x * 4095 / width + y * 1000 / height + ((x ^ y) & 63)) & 0xFFF), 2);
  return file;
}

bool same_pixels(FIBITMAP* a, FIBITMAP* b) {
  if (FreeImage_GetPitch(a) != FreeImage_GetPitch(b) || FreeImage_GetHeight(a) != FreeImage_GetHeight(b)) return false;
  return std::equal(FreeImage_GetBits(a), FreeImage_GetBits(a) + std::size_t{FreeImage_GetPitch(a)} * FreeImage_GetHeight(a),
                    FreeImage_GetBits(b));
}

// Every encoding, at a real size, decodes in the confined decoder exactly as
// in the run's own process: strip and preview page, byte for byte. So do a
// camera raw file (threads of OpenMP) and a JPEG 2000 with the variables
// that make OpenJPEG and OpenMP start threads in the caller's environment.
TEST(Encodings, RealSizedViewsDecodeConfinedAsInProcess) {
#ifndef INTERLACE_CONFINE
  GTEST_SKIP() << "built without confinement: both decodes would be the same one";
#endif
  if (!have("convert")) GTEST_SKIP() << "ImageMagick is not installed (the test command installs imagemagick)";
  setenv("OPJ_NUM_THREADS", "4", 1);
  setenv("OMP_NUM_THREADS", "4", 1);
  TempDir dir;
  make_real_sized_sources(dir);
  test_support::write_file(dir / "raw.mrw", minolta_raw(1600, 1200));
  std::vector<Encoding> rows(std::begin(kEncodings), std::end(kEncodings));
  rows.push_back({"camera raw (Minolta MRW)", "cp", "cp raw.mrw v.mrw", "v.mrw"});
  interlace::use_decoder_program(INTERLACE_DECODER);  // the tool's, from the build tree
  interlace::Decoder decoder;
  for (const Encoding& e : rows) {
    SCOPED_TRACE(e.name);
    const std::string file = encoded(e, dir);
    if (file.empty()) continue;
    const interlace::DecodeRequest request{3, std::nullopt};
    try {
      const interlace::DecodedView confined = decoder.decode(interlace::OpenedView::open(file), request);
      const interlace::DecodedView in_process = interlace::decode_view(interlace::OpenedView::open(file), request);
      EXPECT_EQ(confined.size, in_process.size);
      EXPECT_TRUE(same_pixels(confined.strip.get(), in_process.strip.get())) << "strips differ";
      EXPECT_TRUE(same_pixels(confined.page.get(), in_process.page.get())) << "pages differ";
      EXPECT_EQ(confined.conversion, in_process.conversion);
    } catch (const interlace::ViewRefused& refused) {
      ADD_FAILURE() << "refused, kind " << static_cast<int>(refused.problem().kind) << ": " << refused.problem().message;
    }
  }
}

// A turned JPEG takes its upright size: it must match upright views and is
// refused beside views of its stored size.
TEST(Encodings, TurnedJpegIsSizedUpright) {
  if (!have("convert") || !have("cjpeg")) GTEST_SKIP() << "needs ImageMagick and cjpeg (the test command installs them)";
  const struct {
    const char* other_view;
    int status;
  } cases[] = {{"convert src.png -rotate 90 v_rs_c02.bmp", 0}, {"convert src.png BMP3:v_rs_c02.bmp", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.other_view);
    TempDir dir;
    make_sources(dir);
    ASSERT_TRUE(run(std::string("cjpeg src.ppm > v_rs_c01.bmp && ") + c.other_view, dir));
    add_exif_orientation(dir / "v_rs_c01.bmp", 6);
    EXPECT_EQ(test_support::run_tool({dir / "v", "t", "2", "0", "0", "300", "0"}).status, c.status);
    EXPECT_EQ(test_support::file_exists(dir / "v_interlace.bmp"), c.status == 0);
  }
}

// The TIFF decoder writes warnings about unknown tags to standard error
// itself; loading a view must not let them through.
TEST(Encodings, LoadingATiffPrintsNothing) {
  if (!have("convert")) GTEST_SKIP() << "ImageMagick is not installed (the test command installs imagemagick)";
  TempDir dir;
  make_sources(dir);
  ASSERT_TRUE(run("convert src.png -depth 16 TIFF:v_rs_c01.bmp", dir));
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  const int capture = open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(capture, STDERR_FILENO);
  std::optional<interlace::ViewSize> size;
  const bool loaded = interlace::load_view(dir / "v", 1, 1, size) != nullptr;
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(capture);
  EXPECT_TRUE(loaded);
  EXPECT_EQ(test_support::read_file(dir / "stderr").size(), 0u);
}

}  // namespace
