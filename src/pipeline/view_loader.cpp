#include "pipeline/view_loader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "pipeline/exit_status.h"
#include "pipeline/file_names.h"

namespace interlace {

namespace {

[[noreturn]] void refuse_view() { throw Failure(ExitStatus::BadView); }

std::uint32_t little_endian(const unsigned char* bytes, int count) {
  std::uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

// Messages the library sent while the current view was read. Its decoders
// return a picture for some damaged files and only say so here: a JPEG cut
// short decodes with its missing part grey, after "Premature end of JPEG
// file". Valid files of every accepted format read without a message.
int g_complaints = 0;

extern "C" void count_complaint(FREE_IMAGE_FORMAT, const char*) { ++g_complaints; }

// Reads a file with the library, counting what it complains of meanwhile;
// null when it can't read it or complains.
Bitmap load_without_complaint(const ViewFile& view, int flags) {
  FreeImage_SetOutputMessage(count_complaint);
  g_complaints = 0;
  Bitmap bitmap(FreeImage_Load(view.format, view.name.c_str(), flags));
  if (g_complaints != 0) bitmap.reset();
  return bitmap;
}

// A picture this small decodes in moments whatever its file claims.
constexpr std::uint64_t kPixelsAlwaysAllowed = std::uint64_t{1} << 26;
// No real encoding packs more pixels than this into one byte (a blank 1-bit
// PNG manages about 8,000); a header claiming more is a decompression bomb
// that would cost minutes and gigabytes to find out.
constexpr std::uint64_t kMostPixelsPerByte = std::uint64_t{1} << 16;

// By content first: PNG data under a ".bmp" name loads as PNG.
FREE_IMAGE_FORMAT detect_format(const std::string& name) {
  FREE_IMAGE_FORMAT format = FreeImage_GetFileType(name.c_str(), 0);
  if (format == FIF_UNKNOWN) format = FreeImage_GetFIFFromFilename(name.c_str());
  if (format == FIF_UNKNOWN || !FreeImage_FIFSupportsReading(format)) refuse_view();
  return format;
}

// Pipes, devices and folders would block a decoder or feed it garbage.
std::uint64_t regular_file_size(const std::string& name) {
  struct stat info {};
  if (stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) refuse_view();
  return static_cast<std::uint64_t>(info.st_size);
}

// The first bytes of a file, as many as there are up to `count`.
std::vector<unsigned char> file_start(const ViewFile& view, std::size_t count) {
  std::vector<unsigned char> bytes(count);
  std::FILE* file = std::fopen(view.name.c_str(), "rb");
  if (file == nullptr) refuse_view();
  bytes.resize(std::fread(bytes.data(), 1, count, file));
  std::fclose(file);
  return bytes;
}

void check_bmp_length(const ViewFile& view) {
  const std::vector<unsigned char> header = file_start(view, 64);
  if (is_truncated_bmp(header.data(), header.size(), view.size)) refuse_view();
}

// The library takes a file for Targa when it merely ends in the 26-byte
// Targa footer, and then reads the 18-byte header from whatever is there: a
// file too short for both hands its decoder uninitialised sizes. An
// uncompressed Targa cut short loads as if whole, like a BMP.
void check_targa_length(const ViewFile& view) {
  constexpr std::uint64_t kHeader = 18, kFooter = 26;
  if (view.size < kHeader + kFooter) refuse_view();
  const std::vector<unsigned char> h = file_start(view, kHeader);
  const unsigned image_type = h[2];
  if (image_type != 1 && image_type != 2 && image_type != 3) return;  // run-length coded
  const std::uint64_t palette = h[1] == 1 ? std::uint64_t{little_endian(&h[5], 2)} * ((h[7] + 7u) / 8) : 0;
  const std::uint64_t pixels = std::uint64_t{little_endian(&h[12], 2)} * little_endian(&h[14], 2);
  if (view.size < kHeader + h[0] + palette + pixels * ((h[16] + 7u) / 8)) refuse_view();
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
  std::uint64_t pixel_bytes = 0;
  if (__builtin_mul_overflow(row_bytes, values[1], &pixel_bytes) || pixel_bytes > UINT64_MAX - data_start) {
    return UINT64_MAX;
  }
  return data_start + pixel_bytes;
}

void check_pnm_length(const ViewFile& view) {
  if (view.size < pnm_length_needed(file_start(view, 4096))) refuse_view();
}

bool is_pnm(FREE_IMAGE_FORMAT format) {
  return format == FIF_PBM || format == FIF_PBMRAW || format == FIF_PGM || format == FIF_PGMRAW ||
         format == FIF_PPM || format == FIF_PPMRAW;
}

void check_size(const ViewSize& view, const std::optional<ViewSize>& expected, int view_count) {
  if (expected && !(view == *expected)) refuse_view();
  if (view.width < view_count || view.height < 1) refuse_view();
}

ViewSize size_of(FIBITMAP* bitmap) {
  return {static_cast<int>(FreeImage_GetWidth(bitmap)), static_cast<int>(FreeImage_GetHeight(bitmap))};
}

void check_pixel_count(const ViewFile& view, std::uint64_t pixels) {
  if (pixels > kPixelsAlwaysAllowed && pixels / kMostPixelsPerByte > view.size) refuse_view();
}

// The library reads no GIF header alone, so walk the blocks to the first
// image descriptor: its size, and the logical screen's, bound what decoding
// will allocate. Zero when the file ends first.
std::uint64_t gif_claimed_pixels(const std::string& name) {
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) refuse_view();
  unsigned char b[13];
  std::uint64_t pixels = 0;
  if (std::fread(b, 1, 13, file) == 13) {
    pixels = std::uint64_t{little_endian(b + 6, 2)} * little_endian(b + 8, 2);
    if (b[10] & 0x80) std::fseek(file, 3L << ((b[10] & 7) + 1), SEEK_CUR);
    int block;
    while ((block = std::fgetc(file)) == 0x21) {  // extensions: label, then sub-blocks
      std::fgetc(file);
      int length;
      while ((length = std::fgetc(file)) > 0) std::fseek(file, length, SEEK_CUR);
    }
    if (block == 0x2C && std::fread(b, 1, 8, file) == 8) {
      pixels = std::max<std::uint64_t>(pixels, std::uint64_t{little_endian(b + 4, 2)} * little_endian(b + 6, 2));
    }
  }
  std::fclose(file);
  return pixels;
}

// Reads only the header where the format allows it, so a view of the wrong
// size or a bomb is refused before its pixels cost any memory or time.
void check_header(const ViewFile& view, const std::optional<ViewSize>& expected, int view_count) {
  if (view.format == FIF_GIF) check_pixel_count(view, gif_claimed_pixels(view.name));
  if (!FreeImage_FIFSupportsNoPixels(view.format)) return;
  const Bitmap header = load_without_complaint(view, FIF_LOAD_NOPIXELS);
  if (!header) refuse_view();
  check_pixel_count(view, std::uint64_t{FreeImage_GetWidth(header.get())} * FreeImage_GetHeight(header.get()));
  check_size(size_of(header.get()), expected, view_count);
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
  if (!converted || !is_24_bit(converted.get())) refuse_view();
  return converted;
}

}  // namespace

StripTable::~StripTable() {
  for (Bitmap& strip : strips_) strip.reset();
}

void StripTable::add(Bitmap strip) { strips_.push_back(std::move(strip)); }

bool is_truncated_bmp(const unsigned char* header, std::size_t header_length,
                      std::uint64_t file_size) {
  constexpr std::size_t kFileHeader = 14;
  if (header_length < kFileHeader + 4 || header[0] != 'B' || header[1] != 'M') return false;
  const std::uint32_t info_size = little_endian(header + 14, 4);
  std::int64_t width = 0, height = 0;
  std::uint32_t bits = 0, compression = 0;
  if (info_size == 12 && header_length >= 26) {  // OS/2 1.x core header
    width = little_endian(header + 18, 2);
    height = little_endian(header + 20, 2);
    bits = little_endian(header + 24, 2);
  } else if (info_size >= 40 && header_length >= 34) {
    width = static_cast<std::int32_t>(little_endian(header + 18, 4));
    height = static_cast<std::int32_t>(little_endian(header + 22, 4));
    bits = little_endian(header + 28, 2);
    compression = little_endian(header + 30, 4);
  } else {
    return true;  // no header the library could read
  }
  constexpr std::uint32_t kRgb = 0, kBitFields = 3, kAlphaBitFields = 6;
  if (compression != kRgb && compression != kBitFields && compression != kAlphaBitFields) {
    return false;  // run-length data: the library notices when it runs out
  }
  if (width <= 0 || height == 0 || bits == 0 || bits > 64) return true;
  const std::uint64_t row_bytes = (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4;
  const std::uint64_t rows = static_cast<std::uint64_t>(std::llabs(height));
  const std::uint64_t pixel_offset =
      std::max<std::uint64_t>(little_endian(header + 10, 4), kFileHeader + info_size);
  return file_size < pixel_offset || (file_size - pixel_offset) / row_bytes < rows;
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

void check_before_decoding(const ViewFile& view, const std::optional<ViewSize>& expected, int view_count) {
  if (view.format == FIF_BMP) check_bmp_length(view);
  if (view.format == FIF_TARGA) check_targa_length(view);
  if (is_pnm(view.format)) check_pnm_length(view);
  check_header(view, expected, view_count);
}

ViewFile inspect_view(const std::string& name, const std::optional<ViewSize>& expected, int view_count) {
  const std::uint64_t size = regular_file_size(name);
  const ViewFile view{name, detect_format(name), size};
  if (!is_accepted_format(view.format)) refuse_view();
  check_before_decoding(view, expected, view_count);
  return view;
}

Bitmap load_view(const std::string& base_name, int view_number, int view_count,
                 std::optional<ViewSize>& size) {
  const ViewFile file = inspect_view(view_file_name(base_name, view_number), size, view_count);
  Bitmap view = load_without_complaint(file, 0);
  if (!view) refuse_view();
  view = to_24_bit(std::move(view));
  check_size(size_of(view.get()), size, view_count);
  size = size_of(view.get());
  return view;
}

Bitmap make_strip(FIBITMAP* view, int view_count) {
  const int width = static_cast<int>(FreeImage_GetWidth(view));
  const int height = static_cast<int>(FreeImage_GetHeight(view));
  Bitmap strip(FreeImage_Rescale(view, width / view_count, height, FILTER_BSPLINE));
  if (!strip) throw Failure(ExitStatus::OutputFailed);
  return strip;
}

}  // namespace interlace
