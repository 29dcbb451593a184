// Embedded colour profiles. A view tagged with a profile other than sRGB is
// converted to sRGB with Little CMS, perceptual intent, no black-point
// compensation: what viewers show. Untagged views, and views whose profile
// is sRGB in all but name, keep their bytes.
#pragma once

#include <FreeImage.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bitmap.h"
#include "formats/format_facts.h"

namespace interlace {

enum class ProfileSpace { Rgb, Grey, Cmyk };

class ColourProfile {
 public:
  // Parses `bytes`, an ICC profile read from the view. Throws ViewRefused
  // (Malformed) for one Little CMS can't read, for one of a colour space no
  // view is stored in, or one it can't convert to sRGB.
  explicit ColourProfile(const std::vector<unsigned char>& bytes);

  // The same, kept from the last view when its profile is byte for byte this
  // one: the views of a set share one, and reading it and building its
  // transform cost more than converting a small view's strip.
  static ColourProfile shared(const std::vector<unsigned char>& bytes);

  // The profile of colours described by code points (ITU-T H.273) instead
  // of a profile, as HEIF and AVIF files may: the primaries of BT.709 and
  // sRGB, Display P3 and DCI-P3, BT.2020 and BT.601, with the transfer of
  // sRGB, BT.709 (BT.2020's alike), a plain gamma of 2.2 or 2.8, or linear
  // light. Empty for sRGB's own (nothing to convert). Throws ViewRefused
  // (Malformed) for any other, high-dynamic-range transfers (PQ, HLG)
  // included, which would print washed out.
  static std::optional<ColourProfile> of_codes(const ColourCodes& codes);

  ProfileSpace space() const { return space_; }
  // The profile's own description ("Adobe RGB (1998)"), or "unnamed".
  const std::string& description() const { return description_; }
  // "<description> profile", for reports, without saying "profile" twice.
  std::string named() const;
  // False for sRGB in all but name: every colour converts within one level.
  bool changes_colours() const { return changes_colours_; }
  // An RGB or grey profile that changes colours: one convert() applies.
  bool converts_rgb_or_grey() const { return changes_colours_ && space_ != ProfileSpace::Cmyk; }

  // Throws ViewRefused (Malformed) unless the decoded `view`'s pixels are of
  // this profile's colour space.
  void check_matches(FIBITMAP* view) const;

  // Converts a 24-bit bitmap's pixels, or an 8-bit one's palette, in place;
  // a 32-bit one's colours, its alpha kept. For an RGB or grey profile.
  void convert(FIBITMAP* bitmap) const;

  // A CMYK view (32-bit, or 64-bit with 16-bit samples; 0 is no ink, as the
  // library loads it) as a new 24-bit sRGB bitmap.
  Bitmap converted_from_cmyk(FIBITMAP* view) const;

 private:
  // `count` BGR pixels (or grey ones, R = G = B) to sRGB, in place.
  void convert_row(unsigned char* bgr, unsigned count) const;

  std::shared_ptr<void> profile_;  // cmsHPROFILE
  std::shared_ptr<void> to_srgb_;  // cmsHTRANSFORM, 8-bit BGR or grey to 8-bit BGR
  ProfileSpace space_ = ProfileSpace::Rgb;
  std::string description_;
  bool changes_colours_ = true;
  std::vector<unsigned char> grey_to_bgr_;  // 256 x 3, for grey profiles
};

}  // namespace interlace
