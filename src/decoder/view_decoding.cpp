#include "decoder/view_decoding.h"

#include "decoder/strip_and_page.h"
#include "decoder/view_file.h"
#include "decoder/view_loader.h"
#include "formats/library_formats.h"
#include "view_problem.h"

namespace interlace {

namespace {

DecodedView strip_and_page_of(FIBITMAP* picture, const DecodeRequest& request) {
  DecodedView decoded;
  decoded.size = {static_cast<int>(FreeImage_GetWidth(picture)), static_cast<int>(FreeImage_GetHeight(picture))};
  try {
    // The page first: its resampling scratch (640 columns at the view's full
    // height) is then free again for the strip to reuse, which keeps the
    // peak at one view plus the strips.
    decoded.page = make_preview_page(picture);
    decoded.strip = make_strip(picture, request.view_count);
  } catch (const Failure&) {
    throw OutputsUnmade(decoded.size);
  }
  return decoded;
}

// An RGB or grey profile converts the strip and the page's palette, 1/N of
// the view's pixels and 256 colours, rather than the whole view.
void apply_profile(const ColourProfile& profile, DecodedView& decoded) {
  if (!profile.converts_rgb_or_grey()) return;
  profile.convert(decoded.strip.get());
  profile.convert(decoded.page.get());
  const std::string converted = profile.named() + " to sRGB";
  decoded.conversion = decoded.conversion.empty() ? converted : decoded.conversion + ", " + converted;
}

}  // namespace

DecodedView decode_view(OpenedView file, const DecodeRequest& request) {
  std::string format;
  try {
    ViewFile view(std::move(file));
    format = format_name(view.format());
    std::optional<ViewSize> size = request.expected;
    ViewNotes notes;
    const Bitmap picture = load_view(view, request.view_count, size, &notes, request.first);
    DecodedView decoded = strip_and_page_of(picture.get(), request);
    decoded.format = format;
    decoded.stored_bits = notes.stored_bits;
    decoded.conversion = notes.conversion;
    if (notes.profile) decoded.profile = notes.profile->description();
    if (notes.profile && !notes.profile_applied) apply_profile(*notes.profile, decoded);
    return decoded;
  } catch (const ViewRefused& refused) {
    ViewProblem problem = refused.problem();
    if (!format.empty()) problem.format = format;
    refuse_view(problem);
  } catch (const OutputsUnmade&) {
    throw;
  } catch (const Failure&) {
    throw OutputsUnmade(std::nullopt);  // the print image's size, found before decoding
  }
}

}  // namespace interlace
