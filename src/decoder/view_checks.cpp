#include "decoder/view_checks.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

#include "decoder/bmp_header.h"
#include "byte_order.h"
#include "formats/hdr.h"
#include "formats/targa.h"
#include "decoder/view_conversion.h"
#include "view_problem.h"

namespace interlace {

namespace {

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

std::uint64_t saturating_sum(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// A picture this small decodes in moments whatever its file claims.
constexpr std::uint64_t kPixelsAlwaysAllowed = std::uint64_t{1} << 26;
// No real encoding packs more pixels than this into one byte (a blank 1-bit
// PNG manages about 8,000); a header claiming more is a decompression bomb
// that would cost minutes and gigabytes to find out.
constexpr std::uint64_t kMostPixelsPerByte = std::uint64_t{1} << 16;
// The library's BMP reader moves pixel data with a 32-bit count.
constexpr std::uint64_t kMostBmpPixelBytes = (std::uint64_t{1} << 32) - 1;

[[noreturn]] void refuse_truncated(const ViewFile& view, std::uint64_t needed) {
  ViewProblem problem{ViewProblemKind::Truncated};
  problem.file_bytes = view.size();
  problem.needed_bytes = needed;
  refuse_view(problem);
}

// Where a BMP's pixel data lies and how long it is as decoded.
struct BmpPixels {
  bool run_length = false;
  bool sized = false;  // width, height and depth make sense
  std::uint64_t offset = 0;
  std::uint64_t bytes = 0;  // saturating
};

BmpPixels pixels_of(const BmpHeader& bmp) {
  BmpPixels pixels;
  pixels.run_length = bmp.compression != kBmpRgb && bmp.compression != kBmpBitFields &&
                      bmp.compression != kBmpAlphaBitFields;
  pixels.sized = bmp.width > 0 && bmp.height != 0 && bmp.bits != 0 && bmp.bits <= 64;
  if (!pixels.sized) return pixels;
  const std::uint64_t row_bytes = (static_cast<std::uint64_t>(bmp.width) * bmp.bits + 31) / 32 * 4;
  pixels.bytes = saturating_product(row_bytes, static_cast<std::uint64_t>(std::llabs(bmp.height)));
  pixels.offset = std::max<std::uint64_t>(bmp.data_offset, kBmpFileHeaderBytes + bmp.info_size);
  return pixels;
}

// What bmp_length_needed() says, from a header already read.
std::uint64_t length_needed(const BmpHeader& bmp, const BmpPixels& pixels) {
  if (!bmp.is_bmp) return 0;
  if (!bmp.understood) return UINT64_MAX;
  if (pixels.run_length) return 0;
  if (!pixels.sized) return UINT64_MAX;
  return saturating_sum(pixels.offset, pixels.bytes);
}

void check_bmp(const ViewFile& view) {
  const BmpHeader bmp = read_bmp_header(view);
  const BmpPixels pixels = pixels_of(bmp);
  if (pixels.sized && pixels.bytes > kMostBmpPixelBytes) {
    ViewProblem problem{ViewProblemKind::TooLarge};
    problem.needed_bytes = pixels.bytes;
    refuse_view(problem);
  }
  const std::uint64_t needed = length_needed(bmp, pixels);
  if (view.size() < needed) refuse_truncated(view, needed);
}

// The binary PNM formats (P4, P5, P6) hold their pixels uncoded after a text
// header; the library loads a file cut short as if whole. Returns the bytes
// the header says the file needs, or 0 when it can't tell.
std::uint64_t pnm_length_needed(const std::vector<unsigned char>& text) {
  if (text.size() < 2 || text[0] != 'P' || text[1] < '4' || text[1] > '6') return 0;
  const int fields = text[1] == '4' ? 2 : 3;
  std::uint64_t values[3] = {};
  std::size_t at = 2;
  for (int field = 0; field < fields; ++field) {
    while (at < text.size() && (std::isspace(text[at]) || text[at] == '#')) {
      if (text[at] == '#') {
        while (at < text.size() && text[at] != '\n') ++at;
      } else {
        ++at;
      }
    }
    if (at >= text.size() || !std::isdigit(text[at])) return 0;
    for (; at < text.size() && std::isdigit(text[at]) && values[field] < (std::uint64_t{1} << 32); ++at) {
      values[field] = values[field] * 10 + (text[at] - '0');
    }
  }
  const std::uint64_t data_start = at + 1;  // one white-space character ends the header
  const std::uint64_t row_bytes = text[1] == '4' ? (values[0] + 7) / 8
                                                 : values[0] * (text[1] == '6' ? 3 : 1) * (values[2] > 255 ? 2 : 1);
  // Sizes past 64 bits can't be held by any file.
  return saturating_sum(data_start, saturating_product(row_bytes, values[1]));
}

void check_pnm_length(const ViewFile& view) {
  const std::uint64_t needed = pnm_length_needed(view.bytes_at(0, 4096));
  if (view.size() < needed) refuse_truncated(view, needed);
}

bool is_pnm(FREE_IMAGE_FORMAT format) {
  return format == FIF_PBM || format == FIF_PBMRAW || format == FIF_PGM || format == FIF_PGMRAW ||
         format == FIF_PPM || format == FIF_PPMRAW;
}

void check_pixel_count(const ViewFile& view, std::uint64_t pixels) {
  if (pixels > kPixelsAlwaysAllowed && pixels / kMostPixelsPerByte > view.size()) {
    ViewProblem problem{ViewProblemKind::Bomb};
    problem.pixels = pixels;
    problem.file_bytes = view.size();
    refuse_view(problem);
  }
}

// The library reads no GIF header alone, so walk the blocks to the first
// image descriptor: its size, and the logical screen's, bound what decoding
// will allocate. Zero when the file ends first.
std::uint64_t gif_claimed_pixels(const ViewFile& view) {
  std::vector<unsigned char> b = view.bytes_at(0, 13);
  if (b.size() < 13) return 0;
  std::uint64_t pixels = std::uint64_t{little_endian(&b[6], 2)} * little_endian(&b[8], 2);
  std::uint64_t at = 13;
  if (b[10] & 0x80) at += 3u << ((b[10] & 7) + 1);
  const auto byte_at = [&view](std::uint64_t offset) {
    const std::vector<unsigned char> one = view.bytes_at(offset, 1);
    return one.empty() ? -1 : int{one[0]};
  };
  int block;
  while ((block = byte_at(at++)) == 0x21) {  // extensions: label, then sub-blocks
    ++at;
    int length;
    while ((length = byte_at(at++)) > 0) at += static_cast<std::uint64_t>(length);
  }
  b = view.bytes_at(at, 8);
  if (block == 0x2C && b.size() == 8) {
    pixels = std::max<std::uint64_t>(pixels, std::uint64_t{little_endian(&b[4], 2)} * little_endian(&b[6], 2));
  }
  return pixels;
}

// The library reads no SGI header alone either; its sizes are three 16-bit
// big-endian fields from byte 6, and run-length data lets a tiny file claim
// billions of pixels.
std::uint64_t sgi_claimed_pixels(const ViewFile& view) {
  const std::vector<unsigned char> h = view.bytes_at(0, 12);
  if (h.size() < 12) return 0;
  const auto field = [&h](std::size_t at) { return std::uint64_t{h[at]} << 8 | h[at + 1]; };
  return field(6) * field(8) * std::max<std::uint64_t>(1, field(10));
}

// Reads only the header where the format allows it, so a view of the wrong
// size or a bomb is refused before its pixels cost any memory or time.
std::optional<ViewSize> check_header(ViewFile& view, const std::optional<ViewSize>& expected, int view_count,
                                     unsigned orientation) {
  if (view.format() == FIF_GIF) check_pixel_count(view, gif_claimed_pixels(view));
  if (view.format() == FIF_SGI) check_pixel_count(view, sgi_claimed_pixels(view));
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

std::uint64_t bmp_length_needed(const unsigned char* header, std::size_t header_length) {
  const BmpHeader bmp = read_bmp_header(header, header_length);
  return length_needed(bmp, pixels_of(bmp));
}

bool is_truncated_bmp(const unsigned char* header, std::size_t header_length, std::uint64_t file_size) {
  return file_size < bmp_length_needed(header, header_length);
}

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

std::optional<ViewSize> check_before_decoding(ViewFile& view, const std::optional<ViewSize>& expected,
                                              int view_count, unsigned orientation) {
  if (!is_accepted_format(view.format())) refuse_view(ViewProblemKind::RefusedFormat);
  if (view.format() == FIF_BMP) check_bmp(view);
  if (view.format() == FIF_TARGA) check_targa(view);
  if (view.format() == FIF_HDR) check_hdr(view);
  if (is_pnm(view.format())) check_pnm_length(view);
  return check_header(view, expected, view_count, orientation);
}

}  // namespace interlace
