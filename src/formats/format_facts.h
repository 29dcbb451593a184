// What a format's reader learns of a view file before the library reads a
// byte of it. Every file in this folder that reads a format has one entry,
//
//   FormatFacts inspect_<format>(const ByteSource& file);
//
// which reads the file within work bounded by its length, refuses it
// (ViewRefused) where the library would misread it, crash on it or spend
// out of proportion on it, and otherwise returns these. A new format copies
// one such file and takes a row in the dispatcher's table (view_checks.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "formats/byte_source.h"
#include "image_size.h"

namespace interlace {

// A colour description by code points (ITU-T H.273), as HEIF and AVIF carry
// it in place of an ICC profile: colour primaries, transfer characteristics
// and matrix coefficients.
struct ColourCodes {
  unsigned primaries = 2, transfer = 2, matrix = 2;  // 2: unspecified
};

// The name of a high-dynamic-range transfer by its code point (16: PQ,
// 18: HLG); nullptr for any other.
inline const char* high_dynamic_range_transfer(unsigned code) {
  return code == 16 ? "PQ" : code == 18 ? "HLG" : nullptr;
}

struct FormatFacts {
  // The pixels its header claims, where the tool reads the header itself;
  // 0 where the library's reading of the header alone says.
  std::uint64_t claimed_pixels = 0;
  unsigned orientation = 1;            // EXIF (JPEG) or TIFF orientation, 1 to 8
  std::string turn_note;               // what turning it is called in reports; empty: "EXIF turned"
  std::vector<unsigned char> icc_profile;  // embedded, as the tool read it; empty for none
  bool alpha_declared = true;  // a 32-bit BMP's fourth byte is alpha only when its header says so
  bool premultiplied = false;  // colours already multiplied by alpha (a TIFF's associated alpha)
  // The size its header claims, upright, where the library reads no header
  // alone: checked against view 1's before anything is decoded.
  std::optional<ViewSize> claimed_size;
  // The longest side of any picture the view is made from, where the
  // library decodes several (a HEIF's tiles, or the picture it crops): the
  // library is held to it. 0 where unknown.
  std::uint64_t longest_side = 0;
  // Its colour by code points, where it has them and no ICC profile.
  std::optional<ColourCodes> colour_codes;
  // The bytes the library is shown in place of the file's: metadata hidden
  // from its readers, valid forms it misreads given in a form it reads.
  std::vector<ByteOverride> shown;
};

}  // namespace interlace
