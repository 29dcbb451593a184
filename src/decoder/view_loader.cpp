#include "decoder/view_loader.h"

#include "file_names.h"
#include "image_size.h"
#include "decoder/library_decoding.h"
#include "decoder/view_checks.h"
#include "formats/library_formats.h"
#include "decoder/view_conversion.h"
#include "view_problem.h"

namespace interlace {

namespace {

ViewSize size_of(FIBITMAP* bitmap) {
  return {static_cast<int>(FreeImage_GetWidth(bitmap)), static_cast<int>(FreeImage_GetHeight(bitmap))};
}

std::string joined(std::string first, const std::string& second) {
  if (first.empty()) return second;
  if (second.empty()) return first;
  return first + ", " + second;
}

// CMYK reaches the profile as ink values only when the library is asked
// for them; without a CMYK profile it converts by its own formula. A JPEG
// whose colours are converted is decoded accurately (the library's default
// is its fast, coarser decoding, which wide-gamut profiles magnify);
// untagged ones keep the default, and their bytes.
int decode_flags(FREE_IMAGE_FORMAT format, const std::optional<ColourProfile>& profile) {
  if (!profile || !profile->changes_colours()) return 0;
  const bool cmyk = profile->space() == ProfileSpace::Cmyk;
  if (format == FIF_JPEG) return JPEG_ACCURATE | (cmyk ? JPEG_CMYK : 0);
  if (format == FIF_TIFF && cmyk) return TIFF_CMYK;
  return 0;
}

Bitmap apply_cmyk_profile(Bitmap view, const ColourProfile& profile, std::string& conversion) {
  profile.check_matches(view.get());
  if (profile.space() != ProfileSpace::Cmyk) return view;
  conversion = "CMYK through its " + profile.named() + " to sRGB";
  return profile.converted_from_cmyk(view.get());
}

// A viewer converts colours first and lays them over the page after; the
// other way round, the paper's white goes through the profile too. Only
// straight alpha: premultiplied colours are laid over white as they are.
Bitmap converted_under_alpha(Bitmap view, const ViewEncoding& encoding, ViewNotes& noted) {
  const ColourProfile& profile = *noted.profile;
  if (!profile.converts_rgb_or_grey() || encoding.premultiplied || !has_alpha(view.get(), encoding)) {
    return view;
  }
  Bitmap rgba(FreeImage_ConvertTo32Bits(view.get()));
  if (!rgba) refuse_view(ViewProblemKind::CannotConvert);
  FreeImage_SetTransparent(rgba.get(), TRUE);
  profile.convert(rgba.get());
  noted.conversion = joined(noted.conversion, profile.named() + " to sRGB");
  noted.profile_applied = true;
  return rgba;
}

// The profile its header names: an ICC profile, or colour code points.
std::optional<ColourProfile> header_profile(const ViewFacts& facts) {
  if (!facts.icc_profile.empty()) return ColourProfile::shared(facts.icc_profile);
  if (facts.colour_codes) return ColourProfile::of_codes(*facts.colour_codes);
  return std::nullopt;
}

// The whole file through the library that reads its format (HEIF, AVIF,
// JPEG XL), which also turns it upright and may say its pixels' profile.
Bitmap decode_through_library(ViewFile& file, const ViewFacts& facts, ViewNotes& noted, ViewEncoding& encoding) {
  LibraryPicture picture = decode_with_library(file.format(), file.bytes_at(0, static_cast<std::size_t>(file.size())), facts);
  if (!noted.profile && !picture.icc_profile.empty()) noted.profile = ColourProfile::shared(picture.icc_profile);
  noted.stored_bits = picture.stored_bits;
  encoding.premultiplied = picture.premultiplied;
  encoding.sample_bits = picture.sample_bits;
  if (!facts.turn_note.empty()) noted.conversion = joined(noted.conversion, facts.turn_note);
  return std::move(picture.bitmap);
}

// The file through FreeImage, with the flags its profile asks for.
Bitmap decode_through_freeimage(ViewFile& file, ViewNotes& noted) {
  Bitmap view = file.decode(decode_flags(file.format(), noted.profile));
  if (!view) {
    ViewProblem problem{ViewProblemKind::DecoderDamage};
    problem.message = file.complaint();
    refuse_view(problem);
  }
  noted.stored_bits = FreeImage_GetBPP(view.get());
  return view;
}

}  // namespace

Bitmap load_view(ViewFile& file, int view_count, std::optional<ViewSize>& size, ViewNotes* notes, bool first) {
  const ViewFacts facts = check_before_decoding(file, size, view_count);
  const std::optional<ViewSize>& header_size = facts.header_size;
  const unsigned orientation = facts.orientation;
  // The print image takes view 1's size: one that no BMP can hold is known
  // before any pixel is decoded, where the header tells it.
  if (first && !size && header_size) check_print_image_fits(*header_size);
  ViewNotes unused;
  ViewNotes& noted = notes != nullptr ? *notes : unused;
  // A profile that can't be read costs no decoding.
  noted.profile = header_profile(facts);
  ViewEncoding encoding;
  encoding.format = file.format();
  encoding.alpha_declared = facts.alpha_declared;
  encoding.premultiplied = facts.premultiplied;
  const bool library = is_library_format(file.format());
  Bitmap view = library ? decode_through_library(file, facts, noted, encoding) : decode_through_freeimage(file, noted);
  // A file written to while it was read may have decoded from parts of two
  // versions, or with rows missing that the decoder filled in silently.
  if (file.changed_since_opened()) refuse_view(ViewProblemKind::ChangedWhileRead);
  if (noted.profile) view = apply_cmyk_profile(std::move(view), *noted.profile, noted.conversion);
  if (orientation != 1 && !library) {
    view = turned_upright(std::move(view), orientation);
    noted.conversion = joined(noted.conversion, facts.turn_note.empty() ? "EXIF turned" : facts.turn_note);
  }
  if (noted.profile) view = converted_under_alpha(std::move(view), encoding, noted);
  std::string converted;
  view = to_24_bit(std::move(view), encoding, &converted);
  noted.conversion = joined(noted.conversion, converted);
  check_size(size_of(view.get()), size, view_count);
  // Again on the decoded size, which is what is written: a decoder need not
  // agree with its header.
  if (first && !size) check_print_image_fits(size_of(view.get()));
  size = size_of(view.get());
  return view;
}

Bitmap load_view(const std::string& base_name, int view_number, int view_count, std::optional<ViewSize>& size) {
  ViewFile file(view_file_name(base_name, view_number));
  return load_view(file, view_count, size);
}

}  // namespace interlace
