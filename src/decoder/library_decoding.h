// Views in formats FreeImage can't read (formats/library_formats.h), decoded
// by the library that reads each, libheif or libjxl, into a bitmap the rest
// of the decoder takes as it takes FreeImage's: 24- or 32-bit, or 16-bit
// RGB(A) for deeper samples (reduced as 16-bit PNGs are), upright as the
// file's own rotation, mirror and crop (HEIF) or orientation (JPEG XL) say.
// Only the primary image, or the first frame, is decoded.
#pragma once

#include <FreeImage.h>

#include <vector>

#include "bitmap.h"
#include "formats/format_facts.h"

namespace interlace {

struct LibraryPicture {
  Bitmap bitmap;
  // The colour profile of its pixels, as the library gives it (JPEG XL);
  // empty where the file's own (FormatFacts) says it.
  std::vector<unsigned char> icc_profile;
  unsigned stored_bits = 0;  // bits per pixel as coded
  unsigned sample_bits = 0;  // bits per sample as coded
  bool premultiplied = false;
};

// Whether this build has the library that reads `format`.
bool library_reads(FREE_IMAGE_FORMAT format);

// Decodes `file`, the whole view in `format`, whose header the tool read as
// `facts`. The library may not read a larger picture than that. Throws
// ViewRefused for a file the library can't decode, or reads otherwise than
// its header says.
LibraryPicture decode_with_library(FREE_IMAGE_FORMAT format, const std::vector<unsigned char>& file,
                                   const FormatFacts& facts);

// What the libraries would look up on first use, done before the decoder
// confines itself.
void prime_library_decoders();

// Internal to the libraries' decoders: `height` rows of `width` pixels of
// `channels` interleaved samples (1 to 4: grey, grey and alpha, RGB, RGBA),
// top row first, each row `stride` bytes apart, of 8 bits, or of 16 bits in
// the machine's order holding `significant` bits, as a bitmap.
Bitmap bitmap_of_rows(const unsigned char* rows, std::size_t stride, unsigned width, unsigned height, unsigned channels,
                      unsigned sample_bits, unsigned significant);
LibraryPicture decode_heif(const std::vector<unsigned char>& file, const FormatFacts& facts);
LibraryPicture decode_jxl(const std::vector<unsigned char>& file, const FormatFacts& facts);
void prime_heif();

}  // namespace interlace
