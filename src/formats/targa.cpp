#include "formats/targa.h"

#include "byte_order.h"
#include "view_problem.h"

namespace interlace {

namespace {

constexpr std::uint64_t kHeaderBytes = 18;
constexpr std::uint64_t kFooterBytes = 26;

struct TargaHeader {
  unsigned image_type = 0;
  std::uint64_t pixels = 0;
  std::uint64_t bytes_per_pixel = 0;
  std::uint64_t data_offset = 0;  // past the header, the identifier and the palette
};

TargaHeader read_header(const ByteSource& file) {
  const std::vector<unsigned char> h = file.bytes_at(0, kHeaderBytes);
  TargaHeader header;
  header.image_type = h[2];
  const std::uint64_t palette = h[1] == 1 ? std::uint64_t{little_endian(&h[5], 2)} * ((h[7] + 7u) / 8) : 0;
  header.pixels = std::uint64_t{little_endian(&h[12], 2)} * little_endian(&h[14], 2);
  header.bytes_per_pixel = (h[16] + 7u) / 8;
  header.data_offset = kHeaderBytes + h[0] + palette;
  return header;
}

// Each packet is a byte whose low seven bits count its pixels less one: a run
// of one pixel value when the high bit is set, else that many pixel values.
void walk_run_length_data(const ByteSource& file, const TargaHeader& header) {
  ByteReader data(file);
  std::uint64_t at = header.data_offset;
  for (std::uint64_t done = 0; done < header.pixels;) {
    if (!data.has(at)) refuse_truncated(file.size(), at + 1);
    const unsigned packet = data[at++];
    const std::uint64_t count = (packet & 0x7Fu) + 1;
    if (count > header.pixels - done) refuse_malformed("Targa RLE packet runs past the image");
    at += (packet & 0x80u) != 0 ? header.bytes_per_pixel : count * header.bytes_per_pixel;
    done += count;
  }
  if (at > file.size()) refuse_truncated(file.size(), at);
}


// The library takes a file for Targa when it merely ends in the 26-byte
// Targa footer, and then reads the 18-byte header from whatever is there: a
// file too short for both hands its decoder uninitialised sizes. An
// uncompressed Targa cut short loads as if whole, like a BMP.
void check_targa(const ByteSource& file) {
  if (file.size() < kHeaderBytes + kFooterBytes) refuse_truncated(file.size(), kHeaderBytes + kFooterBytes);
  const TargaHeader header = read_header(file);
  if (header.image_type >= 9 && header.image_type <= 11) {
    walk_run_length_data(file, header);
    return;
  }
  if (header.image_type < 1 || header.image_type > 3) return;
  const std::uint64_t needed = header.data_offset + header.pixels * header.bytes_per_pixel;
  if (file.size() < needed) refuse_truncated(file.size(), needed);
}

}  // namespace

FormatFacts inspect_targa(const ByteSource& file) {
  check_targa(file);
  return {};
}

}  // namespace interlace
