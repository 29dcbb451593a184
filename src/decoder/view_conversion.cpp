#include "decoder/view_conversion.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "view_problem.h"

namespace interlace {

namespace {

// Orientations 5 to 8 turn the picture a quarter turn, swapping its sides.
bool turns_sideways(unsigned orientation) { return orientation >= 5 && orientation <= 8; }

Bitmap rotated(const Bitmap& view, double degrees) {
  Bitmap turned(FreeImage_Rotate(view.get(), degrees));
  if (!turned) refuse_view(ViewProblemKind::CannotConvert);
  return turned;
}

// Rows by 64-bit offsets: the library's own row lookup multiplies in 32 bits.
BYTE* row_of(FIBITMAP* bitmap, std::uint64_t y) {
  return FreeImage_GetBits(bitmap) + y * std::uint64_t{FreeImage_GetPitch(bitmap)};
}

Bitmap allocate_24_bit(FIBITMAP* like) {
  Bitmap bitmap(FreeImage_Allocate(static_cast<int>(FreeImage_GetWidth(like)),
                                   static_cast<int>(FreeImage_GetHeight(like)), 24));
  if (!bitmap || FreeImage_GetBits(bitmap.get()) == nullptr) refuse_view(ViewProblemKind::CannotConvert);
  return bitmap;
}

BYTE over_white(unsigned colour, unsigned alpha) {
  return static_cast<BYTE>((colour * alpha + 255u * (255u - alpha) + 127u) / 255u);
}

// A colour already multiplied by its alpha only needs the paper's share.
BYTE premultiplied_over_white(unsigned colour, unsigned alpha) {
  return static_cast<BYTE>(std::min(255u, colour + 255u - alpha));
}

// A 32-bit bitmap with alpha, laid over white paper.
Bitmap composite_over_white(FIBITMAP* rgba, bool premultiplied) {
  const auto over = premultiplied ? premultiplied_over_white : over_white;
  Bitmap result = allocate_24_bit(rgba);
  const std::uint64_t width = FreeImage_GetWidth(rgba), height = FreeImage_GetHeight(rgba);
  for (std::uint64_t y = 0; y < height; ++y) {
    const BYTE* in = row_of(rgba, y);
    BYTE* out = row_of(result.get(), y);
    for (std::uint64_t x = 0; x < width; ++x, in += 4, out += 3) {
      out[FI_RGBA_RED] = over(in[FI_RGBA_RED], in[FI_RGBA_ALPHA]);
      out[FI_RGBA_GREEN] = over(in[FI_RGBA_GREEN], in[FI_RGBA_ALPHA]);
      out[FI_RGBA_BLUE] = over(in[FI_RGBA_BLUE], in[FI_RGBA_ALPHA]);
    }
  }
  return result;
}

// Radiance HDR holds linear light; shown on paper it takes the sRGB curve.
float light_to_srgb(float linear) {
  return linear <= 0.0031308f ? 12.92f * linear : 1.055f * std::pow(linear, 1.0f / 2.4f) - 0.055f;
}

BYTE float_to_byte(float value, bool linear) {
  if (!(value > 0.0f)) return 0;  // NaN too
  value = std::min(value, 1.0f);
  if (linear) value = light_to_srgb(value);
  return static_cast<BYTE>(std::lround(value * 255.0f));
}

Bitmap float_to_24_bit(FIBITMAP* view, bool linear, bool premultiplied) {
  const auto over = premultiplied ? premultiplied_over_white : over_white;
  const FREE_IMAGE_TYPE type = FreeImage_GetImageType(view);
  const std::uint64_t samples = type == FIT_FLOAT ? 1 : type == FIT_RGBF ? 3 : 4;
  Bitmap result = allocate_24_bit(view);
  const std::uint64_t width = FreeImage_GetWidth(view), height = FreeImage_GetHeight(view);
  for (std::uint64_t y = 0; y < height; ++y) {
    const float* in = reinterpret_cast<const float*>(row_of(view, y));
    BYTE* out = row_of(result.get(), y);
    for (std::uint64_t x = 0; x < width; ++x, in += samples, out += 3) {
      const float alpha = samples == 4 ? std::clamp(in[3], 0.0f, 1.0f) : 1.0f;
      const auto shade = [&](float sample) {
        return over(float_to_byte(sample, linear), static_cast<unsigned>(std::lround(alpha * 255.0f)));
      };
      out[FI_RGBA_RED] = shade(in[0]);
      out[FI_RGBA_GREEN] = shade(samples == 1 ? in[0] : in[1]);
      out[FI_RGBA_BLUE] = shade(samples == 1 ? in[0] : in[2]);
    }
  }
  return result;
}


Bitmap checked(Bitmap converted) {
  if (!converted || FreeImage_GetImageType(converted.get()) != FIT_BITMAP || FreeImage_GetBPP(converted.get()) != 24)
    refuse_view(ViewProblemKind::CannotConvert);
  return converted;
}

}  // namespace

bool has_alpha(FIBITMAP* view, const ViewEncoding& encoding) {
  if (FreeImage_GetImageType(view) == FIT_RGBA16) return true;
  if (FreeImage_GetImageType(view) != FIT_BITMAP || !FreeImage_IsTransparent(view)) return false;
  if (FreeImage_GetBPP(view) == 32) return encoding.alpha_declared;
  return FreeImage_GetBPP(view) <= 8 && FreeImage_GetTransparencyCount(view) > 0 && encoding.alpha_declared;
}

ViewSize upright_size(ViewSize stored, unsigned orientation) {
  return turns_sideways(orientation) ? ViewSize{stored.height, stored.width} : stored;
}

Bitmap turned_upright(Bitmap view, unsigned orientation) {
  switch (orientation) {
    case 2: FreeImage_FlipHorizontal(view.get()); return view;
    case 3: return rotated(view, 180);
    case 4: FreeImage_FlipVertical(view.get()); return view;
    case 5: view = rotated(view, 90); FreeImage_FlipVertical(view.get()); return view;
    case 6: return rotated(view, -90);
    case 7: view = rotated(view, -90); FreeImage_FlipVertical(view.get()); return view;
    case 8: return rotated(view, 90);
    default: return view;
  }
}

Bitmap to_24_bit(Bitmap view, const ViewEncoding& encoding, std::string* conversion) {
  std::string done;
  const FREE_IMAGE_TYPE type = FreeImage_GetImageType(view.get());
  // Samples held in 16 bits may have been coded in fewer (10-bit HEIF).
  const std::string wide = std::to_string(encoding.sample_bits != 0 ? encoding.sample_bits : 16) + "-bit";
  Bitmap result;
  if (type == FIT_BITMAP && FreeImage_GetBPP(view.get()) == 24) {
    result = std::move(view);
  } else if (type == FIT_FLOAT || type == FIT_RGBF || type == FIT_RGBAF) {
    const bool linear = encoding.format == FIF_HDR;
    done = linear ? "linear light to sRGB" : "floating point to 8-bit";
    if (type == FIT_RGBAF) done += ", alpha over white";
    result = float_to_24_bit(view.get(), linear, encoding.premultiplied);
  } else if (has_alpha(view.get(), encoding)) {
    done = type == FIT_RGBA16 ? wide + " to 8, alpha over white" : "alpha over white";
    const Bitmap rgba(FreeImage_ConvertTo32Bits(view.get()));
    if (!rgba) refuse_view(ViewProblemKind::CannotConvert);
    result = composite_over_white(rgba.get(), encoding.premultiplied);
  } else if (type == FIT_UINT16) {
    done = "16-bit grey to 8";
    const Bitmap rgb16(FreeImage_ConvertToRGB16(view.get()));
    if (rgb16) result.reset(FreeImage_ConvertTo24Bits(rgb16.get()));
  } else if (type == FIT_BITMAP || type == FIT_RGB16) {
    done = type == FIT_RGB16 ? wide + " to 8" : std::to_string(FreeImage_GetBPP(view.get())) + "-bit to 24";
    result.reset(FreeImage_ConvertTo24Bits(view.get()));
  }
  if (conversion != nullptr) *conversion = done;
  return checked(std::move(result));
}

}  // namespace interlace
