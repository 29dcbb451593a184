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

}  // namespace

Bitmap load_view(ViewFile& file, int view_count, std::optional<ViewSize>& size, ViewNotes* notes) {
  const ViewFacts facts = check_before_decoding(file, size, view_count);
  const std::optional<ViewSize>& header_size = facts.header_size;
  const unsigned orientation = facts.orientation;
  // The print image takes view 1's size: one that no BMP can hold is known
  // before any pixel is decoded, where the header tells it.
  if (!size && header_size) check_print_image_fits(*header_size);
  Bitmap view = file.decode(0);
  if (!view) {
    ViewProblem problem{ViewProblemKind::DecoderDamage};
    problem.message = file.complaint();
    refuse_view(problem);
  }
  // A file written to while it was read may have decoded from parts of two
  // versions, or with rows missing that the decoder filled in silently.
  if (file.changed_since_opened()) refuse_view(ViewProblemKind::ChangedWhileRead);
  ViewNotes unused;
  ViewNotes& noted = notes != nullptr ? *notes : unused;
  noted.stored_bits = FreeImage_GetBPP(view.get());
  if (orientation != 1) {
    view = turned_upright(std::move(view), orientation);
    noted.conversion = "EXIF turned";
  }
  ViewEncoding encoding;
  encoding.format = file.format();
  encoding.alpha_declared = facts.alpha_declared;
  encoding.premultiplied = facts.premultiplied;
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
