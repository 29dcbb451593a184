#include "decoder/view_loader.h"

#include "file_names.h"
#include "image_size.h"
#include "decoder/view_checks.h"
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

}  // namespace

Bitmap load_view(ViewFile& file, int view_count, std::optional<ViewSize>& size, ViewNotes* notes) {
  const ViewFacts facts = check_before_decoding(file, size, view_count);
  const std::optional<ViewSize>& header_size = facts.header_size;
  const unsigned orientation = facts.orientation;
  // The print image takes view 1's size: one that no BMP can hold is known
  // before any pixel is decoded, where the header tells it.
  if (!size && header_size) check_print_image_fits(*header_size);
  ViewNotes unused;
  ViewNotes& noted = notes != nullptr ? *notes : unused;
  // A profile that can't be read costs no decoding.
  if (!facts.icc_profile.empty()) noted.profile = ColourProfile::shared(facts.icc_profile);
  Bitmap view = file.decode(decode_flags(file.format(), noted.profile));
  if (!view) {
    ViewProblem problem{ViewProblemKind::DecoderDamage};
    problem.message = file.complaint();
    refuse_view(problem);
  }
  // A file written to while it was read may have decoded from parts of two
  // versions, or with rows missing that the decoder filled in silently.
  if (file.changed_since_opened()) refuse_view(ViewProblemKind::ChangedWhileRead);
  noted.stored_bits = FreeImage_GetBPP(view.get());
  if (noted.profile) view = apply_cmyk_profile(std::move(view), *noted.profile, noted.conversion);
  if (orientation != 1) {
    view = turned_upright(std::move(view), orientation);
    noted.conversion = joined(noted.conversion, facts.turn_note.empty() ? "EXIF turned" : facts.turn_note);
  }
  ViewEncoding encoding;
  encoding.format = file.format();
  encoding.alpha_declared = facts.alpha_declared;
  encoding.premultiplied = facts.premultiplied;
  if (noted.profile) view = converted_under_alpha(std::move(view), encoding, noted);
  std::string converted;
  view = to_24_bit(std::move(view), encoding, &converted);
  noted.conversion = joined(noted.conversion, converted);
  check_size(size_of(view.get()), size, view_count);
  // Again on the decoded size, which is what is written: a decoder need not
  // agree with its header.
  if (!size) check_print_image_fits(size_of(view.get()));
  size = size_of(view.get());
  return view;
}

Bitmap load_view(const std::string& base_name, int view_number, int view_count, std::optional<ViewSize>& size) {
  ViewFile file(view_file_name(base_name, view_number));
  return load_view(file, view_count, size);
}

}  // namespace interlace
