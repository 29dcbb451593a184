#include "pipeline/view_loader.h"

#include "pipeline/file_names.h"
#include "pipeline/interlacer.h"
#include "pipeline/view_checks.h"
#include "pipeline/view_problem.h"

namespace interlace {

namespace {

ViewSize size_of(FIBITMAP* bitmap) {
  return {static_cast<int>(FreeImage_GetWidth(bitmap)), static_cast<int>(FreeImage_GetHeight(bitmap))};
}

bool is_24_bit(FIBITMAP* bitmap) {
  return FreeImage_GetImageType(bitmap) == FIT_BITMAP && FreeImage_GetBPP(bitmap) == 24;
}

// 24-bit views pass untouched; others go through the library's conversion,
// by way of its standard 8-bit type for high-dynamic-range and grey types
// that have no direct conversion.
Bitmap to_24_bit(Bitmap view) {
  if (is_24_bit(view.get())) return view;
  Bitmap converted(FreeImage_ConvertTo24Bits(view.get()));
  if (!converted) {
    const Bitmap standard(FreeImage_ConvertToStandardType(view.get(), TRUE));
    if (standard) converted.reset(FreeImage_ConvertTo24Bits(standard.get()));
  }
  if (!converted || !is_24_bit(converted.get())) refuse_view(ViewProblemKind::CannotConvert);
  return converted;
}

}  // namespace

Bitmap load_view(ViewFile& file, int view_count, std::optional<ViewSize>& size) {
  const std::optional<ViewSize> header_size = check_before_decoding(file, size, view_count);
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
  view = to_24_bit(std::move(view));
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
