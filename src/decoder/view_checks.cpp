#include "decoder/view_checks.h"

#include <algorithm>
#include <map>

#include "formats/bmp.h"
#include "formats/gif.h"
#include "formats/hdr.h"
#include "formats/heif.h"
#include "formats/jpeg.h"
#include "formats/jpeg2000.h"
#include "formats/jxl.h"
#include "formats/library_formats.h"
#include "formats/pfm.h"
#include "formats/pnm.h"
#include "formats/sgi.h"
#include "formats/targa.h"
#include "formats/tiff.h"
#include "formats/png.h"
#include "formats/webp.h"
#include "decoder/view_conversion.h"
#include "view_problem.h"

namespace interlace {

namespace {

std::function<void(std::uint64_t)>& claim_listener() {
  static std::function<void(std::uint64_t)> listener;
  return listener;
}

void check_pixel_count(const ViewFile& view, std::uint64_t pixels) {
  if (pixels > most_pixels_in(view.size())) {
    ViewProblem problem{ViewProblemKind::Bomb};
    problem.pixels = pixels;
    problem.file_bytes = view.size();
    refuse_view(problem);
  }
  if (claim_listener()) claim_listener()(pixels);
}

// Reads only the header where the format allows it, so a view of the wrong
// size or a bomb is refused before its pixels cost any memory or time.
std::optional<ViewSize> check_header(ViewFile& view, const std::optional<ViewSize>& expected, int view_count,
                                     unsigned orientation) {
  if (!FreeImage_FIFSupportsNoPixels(view.format())) return std::nullopt;
  const Bitmap header = view.decode(FIF_LOAD_NOPIXELS);
  if (!header) {
    ViewProblem problem{ViewProblemKind::DecoderDamage};
    problem.message = view.complaint();
    refuse_view(problem);
  }
  const ViewSize stored{static_cast<int>(FreeImage_GetWidth(header.get())),
                        static_cast<int>(FreeImage_GetHeight(header.get()))};
  const ViewSize size = upright_size(stored, orientation);
  check_pixel_count(view, std::uint64_t{FreeImage_GetWidth(header.get())} * FreeImage_GetHeight(header.get()));
  check_size(size, expected, view_count);
  return size;
}

}  // namespace

void listen_for_claims(std::function<void(std::uint64_t)> listener) { claim_listener() = std::move(listener); }

// Mutation fuzzing of every decoder (docs/robustness.md) crashed these on
// damaged files: PSD on about one file in five, ICO, XPM and Sun raster more
// rarely. The others took more than seconds, and gigabytes, on files of a
// few hundred bytes that no check of ours can see through; the JNG and MNG
// reader loops for ever on a file that is just its signature. Files in these
// formats are refused before the library decodes them.
bool is_accepted_format(FREE_IMAGE_FORMAT format) {
  switch (format) {
    case FIF_PSD:
    case FIF_ICO:
    case FIF_XPM:
    case FIF_RAS:
    case FIF_DDS:
    case FIF_EXR:
    case FIF_IFF:
    case FIF_PICT:
    case FIF_WBMP:
    case FIF_XBM:
    case FIF_JNG:
    case FIF_MNG:
      return false;
    default:
      return true;
  }
}

void check_size(const ViewSize& size, const std::optional<ViewSize>& expected, int view_count) {
  ViewProblem problem;
  problem.width = size.width;
  problem.height = size.height;
  if (expected && !(size == *expected)) {
    problem.kind = ViewProblemKind::SizeDiffers;
    problem.expected_width = expected->width;
    problem.expected_height = expected->height;
    refuse_view(problem);
  }
  if (size.width < view_count || size.height < 1) {
    problem.kind = ViewProblemKind::TooNarrow;
    problem.expected_width = view_count;
    refuse_view(problem);
  }
}

namespace {

using Inspector = FormatFacts (*)(const ByteSource&);

// Each format's own reader (src/formats/), by the library's format.
const std::map<FREE_IMAGE_FORMAT, Inspector>& inspectors() {
  static const std::map<FREE_IMAGE_FORMAT, Inspector> table{
      {FIF_BMP, inspect_bmp},     {FIF_JPEG, inspect_jpeg},  {FIF_TIFF, inspect_tiff},  {FIF_WEBP, inspect_webp},
      {FIF_PNG, inspect_png},     {FIF_TARGA, inspect_targa}, {FIF_HDR, inspect_hdr},    {FIF_GIF, inspect_gif},
      {FIF_SGI, inspect_sgi},     {FIF_J2K, inspect_j2k},    {FIF_JP2, inspect_jp2},    {FIF_PBM, inspect_pnm},
      {FIF_PBMRAW, inspect_pnm},  {FIF_PGM, inspect_pnm},    {FIF_PGMRAW, inspect_pnm}, {FIF_PPM, inspect_pnm},
      {FIF_PPMRAW, inspect_pnm},  {FIF_PFM, inspect_pfm},     {kFormatHeif, inspect_heif}, {kFormatAvif, inspect_heif},
      {kFormatJxl, inspect_jxl},
  };
  return table;
}

}  // namespace

ViewFacts check_format(ViewFile& view) {
  ViewFacts facts;
  if (!is_accepted_format(view.format())) refuse_view(ViewProblemKind::RefusedFormat);
  const auto inspector = inspectors().find(view.format());
  if (inspector == inspectors().end()) return facts;
  static_cast<FormatFacts&>(facts) = inspector->second(view);
  view.present_to_library(std::move(facts.shown));
  if (facts.claimed_pixels != 0) check_pixel_count(view, facts.claimed_pixels);
  return facts;
}

ViewFacts check_before_decoding(ViewFile& view, const std::optional<ViewSize>& expected, int view_count) {
  ViewFacts facts = check_format(view);
  if (is_library_format(view.format())) {
    // The tool read the whole header itself; the library reads none alone.
    if (facts.claimed_size) check_size(*facts.claimed_size, expected, view_count);
    facts.header_size = facts.claimed_size;
    return facts;
  }
  facts.header_size = check_header(view, expected, view_count, facts.orientation);
  return facts;
}

}  // namespace interlace
