#include "decoder/library_decoding.h"

#include <cstdint>
#include <cstring>

#include "formats/library_formats.h"
#include "view_problem.h"

namespace interlace {

namespace {

// A 16-bit sample holding `significant` bits, spread over all 16 as a 16-bit
// PNG holds it (bits repeated from the top): its high byte is then what a
// viewer shows.
std::uint16_t widened(std::uint16_t sample, unsigned significant) {
  if (significant >= 16) return sample;
  std::uint32_t wide = 0;
  for (int shift = 16 - static_cast<int>(significant); shift > -static_cast<int>(significant);
       shift -= static_cast<int>(significant)) {
    wide |= shift >= 0 ? std::uint32_t{sample} << shift : std::uint32_t{sample} >> -shift;
  }
  return static_cast<std::uint16_t>(wide);
}

void copy_8_bit_row(const unsigned char* in, BYTE* out, unsigned width, unsigned channels) {
  const bool alpha = channels == 2 || channels == 4, grey = channels <= 2;
  const unsigned out_bytes = alpha ? 4 : 3;
  for (unsigned x = 0; x < width; ++x, in += channels, out += out_bytes) {
    out[FI_RGBA_RED] = in[0];
    out[FI_RGBA_GREEN] = grey ? in[0] : in[1];
    out[FI_RGBA_BLUE] = grey ? in[0] : in[2];
    if (alpha) out[FI_RGBA_ALPHA] = in[channels - 1];
  }
}

// FreeImage's 16-bit pixels are red, green, blue (and alpha) in that order.
void copy_16_bit_row(const unsigned char* in, BYTE* out, unsigned width, unsigned channels, unsigned significant) {
  const bool alpha = channels == 2 || channels == 4, grey = channels <= 2;
  const unsigned out_samples = alpha ? 4 : 3;
  auto* target = reinterpret_cast<WORD*>(out);
  for (unsigned x = 0; x < width; ++x, in += 2 * channels, target += out_samples) {
    std::uint16_t sample[4];
    std::memcpy(sample, in, 2 * channels);
    target[0] = widened(sample[0], significant);
    target[1] = widened(grey ? sample[0] : sample[1], significant);
    target[2] = widened(grey ? sample[0] : sample[2], significant);
    if (alpha) target[3] = widened(sample[channels - 1], significant);
  }
}

}  // namespace

Bitmap bitmap_of_rows(const unsigned char* rows, std::size_t stride, unsigned width, unsigned height, unsigned channels,
                      unsigned sample_bits, unsigned significant) {
  const bool alpha = channels == 2 || channels == 4;
  Bitmap bitmap(sample_bits == 8
                    ? FreeImage_Allocate(static_cast<int>(width), static_cast<int>(height), alpha ? 32 : 24)
                    : FreeImage_AllocateT(alpha ? FIT_RGBA16 : FIT_RGB16, static_cast<int>(width), static_cast<int>(height)));
  if (!bitmap || FreeImage_GetBits(bitmap.get()) == nullptr) throw std::bad_alloc();
  const std::uint64_t pitch = FreeImage_GetPitch(bitmap.get());
  for (std::uint64_t y = 0; y < height; ++y) {
    // The library's rows come top first; FreeImage keeps the bottom row first.
    BYTE* out = FreeImage_GetBits(bitmap.get()) + (height - 1 - y) * pitch;
    const unsigned char* in = rows + y * stride;
    if (sample_bits == 8) {
      copy_8_bit_row(in, out, width, channels);
    } else {
      copy_16_bit_row(in, out, width, channels, significant);
    }
  }
  return bitmap;
}

bool library_reads(FREE_IMAGE_FORMAT format) {
#ifdef INTERLACE_HEIF
  if (format == kFormatHeif || format == kFormatAvif) return true;
#endif
#ifdef INTERLACE_JXL
  if (format == kFormatJxl) return true;
#endif
  (void)format;
  return false;
}

LibraryPicture decode_with_library(FREE_IMAGE_FORMAT format, const std::vector<unsigned char>& file,
                                   const FormatFacts& facts) {
#ifdef INTERLACE_HEIF
  if (format == kFormatHeif || format == kFormatAvif) return decode_heif(file, facts);
#endif
#ifdef INTERLACE_JXL
  if (format == kFormatJxl) return decode_jxl(file, facts);
#endif
  (void)file;
  (void)facts;
  ViewProblem problem{ViewProblemKind::UnknownFormat};
  problem.format = format_name(format);
  refuse_view(problem);
}

void prime_library_decoders() {
#ifdef INTERLACE_HEIF
  prime_heif();
#endif
}

}  // namespace interlace
