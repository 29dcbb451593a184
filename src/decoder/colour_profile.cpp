#include "decoder/colour_profile.h"

#include <lcms2.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>

#include "view_problem.h"

namespace interlace {

namespace {

void close_profile(void* profile) { cmsCloseProfile(static_cast<cmsHPROFILE>(profile)); }
void delete_transform(void* transform) { cmsDeleteTransform(static_cast<cmsHTRANSFORM>(transform)); }

// Little CMS reports through a process-wide handler; the decoder stays quiet.
void ignore_errors(cmsContext, cmsUInt32Number, const char*) {}

std::string read_description(cmsHPROFILE profile) {
  char text[256] = {};
  cmsGetProfileInfoASCII(profile, cmsInfoDescription, "en", "US", text, sizeof text);
  std::string description(text);
  for (char& c : description) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return description.empty() ? "unnamed" : description;
}

// Little CMS makes its sRGB a version 4 profile, and forces black-point
// compensation on perceptual transforms that involve one; as version 2, the
// conversion is the plain perceptual one that viewers make.
cmsHPROFILE make_srgb() {
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  if (srgb != nullptr) cmsSetProfileVersion(srgb, 2.1);
  return srgb;
}

// Little CMS samples a CMYK profile's tables on a grid of 17 points a side
// for its fast transform, too coarse for press profiles: 2 to 4 levels off
// a reading through the tables themselves. 33 a side stays within about
// one, at a third of a second to build once per set. The transform keeps
// what it needs of both profiles. Throws ViewRefused (Malformed) if it
// can't be made.
std::shared_ptr<void> transform_to_srgb(cmsHPROFILE from, cmsUInt32Number input_format) {
  cmsHPROFILE srgb = make_srgb();
  const cmsUInt32Number flags = T_CHANNELS(input_format) == 4 ? cmsFLAGS_GRIDPOINTS(33) : 0;
  cmsHTRANSFORM transform =
      srgb == nullptr ? nullptr : cmsCreateTransform(from, input_format, srgb, TYPE_BGR_8, INTENT_PERCEPTUAL, flags);
  if (srgb != nullptr) cmsCloseProfile(srgb);
  if (transform == nullptr) refuse_malformed("its colour profile can't be converted to sRGB");
  return std::shared_ptr<void>(transform, delete_transform);
}

// Within one level everywhere on a grid through the cube, corners included.
bool converts_as_identity(cmsHTRANSFORM transform) {
  constexpr int kSteps = 18;
  std::vector<unsigned char> in, out;
  for (int b = 0; b < kSteps; ++b)
    for (int g = 0; g < kSteps; ++g)
      for (int r = 0; r < kSteps; ++r) {
        for (int v : {b, g, r}) in.push_back(static_cast<unsigned char>(v * 15));
      }
  out.resize(in.size());
  cmsDoTransform(transform, in.data(), out.data(), static_cast<cmsUInt32Number>(in.size() / 3));
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (std::abs(int(in[i]) - int(out[i])) > 1) return false;
  }
  return true;
}

const char* space_name(ProfileSpace space) {
  switch (space) {
    case ProfileSpace::Rgb: return "RGB";
    case ProfileSpace::Grey: return "grey";
    case ProfileSpace::Cmyk: return "CMYK";
  }
  return "";
}

ProfileSpace pixel_space(FIBITMAP* view) {
  switch (FreeImage_GetColorType(view)) {
    case FIC_CMYK: return ProfileSpace::Cmyk;
    case FIC_MINISBLACK:
    case FIC_MINISWHITE: return ProfileSpace::Grey;
    default: return ProfileSpace::Rgb;
  }
}

// Every pixel (or palette entry) has equal red, green and blue: a grey
// picture the library hands over as colour (grey with alpha, a palette).
bool all_grey(FIBITMAP* view) {
  const FREE_IMAGE_TYPE type = FreeImage_GetImageType(view);
  const unsigned bpp = FreeImage_GetBPP(view), width = FreeImage_GetWidth(view), height = FreeImage_GetHeight(view);
  if (type == FIT_BITMAP && bpp <= 8) {
    const RGBQUAD* palette = FreeImage_GetPalette(view);
    for (unsigned i = 0; palette != nullptr && i < FreeImage_GetColorsUsed(view); ++i) {
      if (palette[i].rgbRed != palette[i].rgbGreen || palette[i].rgbGreen != palette[i].rgbBlue) return false;
    }
    return palette != nullptr;
  }
  const bool wide = type == FIT_RGB16 || type == FIT_RGBA16;
  if (!wide && !(type == FIT_BITMAP && (bpp == 24 || bpp == 32))) return false;
  const unsigned samples = wide ? bpp / 16 : bpp / 8;
  for (unsigned y = 0; y < height; ++y) {
    const BYTE* row = FreeImage_GetScanLine(view, static_cast<int>(y));
    for (unsigned x = 0; x < width; ++x) {
      if (wide) {
        const auto* pixel = reinterpret_cast<const WORD*>(row) + std::size_t{x} * samples;
        if (pixel[0] != pixel[1] || pixel[1] != pixel[2]) return false;
      } else {
        const BYTE* pixel = row + std::size_t{x} * samples;
        if (pixel[0] != pixel[1] || pixel[1] != pixel[2]) return false;
      }
    }
  }
  return true;
}

}  // namespace

ColourProfile::ColourProfile(const std::vector<unsigned char>& bytes) {
  cmsSetLogErrorHandler(ignore_errors);
  cmsHPROFILE profile = cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size()));
  if (profile == nullptr) refuse_malformed("its colour profile can't be read");
  profile_.reset(profile, close_profile);
  switch (cmsGetColorSpace(profile)) {
    case cmsSigRgbData: space_ = ProfileSpace::Rgb; break;
    case cmsSigGrayData: space_ = ProfileSpace::Grey; break;
    case cmsSigCmykData: space_ = ProfileSpace::Cmyk; break;
    default: refuse_malformed("its colour profile is for a colour space other than RGB, grey or CMYK");
  }
  description_ = read_description(profile);
  const cmsUInt32Number input = space_ == ProfileSpace::Rgb    ? TYPE_BGR_8
                                : space_ == ProfileSpace::Grey ? TYPE_GRAY_8
                                                               : TYPE_CMYK_8;
  to_srgb_ = transform_to_srgb(profile, input);
  const auto transform = static_cast<cmsHTRANSFORM>(to_srgb_.get());
  if (space_ == ProfileSpace::Grey) {
    std::vector<unsigned char> greys(256);
    for (int i = 0; i < 256; ++i) greys[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
    grey_to_bgr_.resize(256 * 3);
    cmsDoTransform(transform, greys.data(), grey_to_bgr_.data(), 256);
    changes_colours_ = false;
    for (std::size_t i = 0; i < grey_to_bgr_.size(); ++i) {
      if (std::abs(int(grey_to_bgr_[i]) - int(i / 3)) > 1) changes_colours_ = true;
    }
  } else if (space_ == ProfileSpace::Rgb) {
    changes_colours_ = !converts_as_identity(transform);
  }
}

namespace {

// Chromaticities of the primaries and white by their H.273 code point.
struct Primaries {
  unsigned code;
  const char* name;
  cmsCIExyYTRIPLE rgb;
  cmsCIExyY white;
};

constexpr cmsCIExyY kD65{0.3127, 0.3290, 1.0};
const Primaries kPrimaries[] = {
    {1, "BT.709", {{0.640, 0.330, 1}, {0.300, 0.600, 1}, {0.150, 0.060, 1}}, kD65},
    {5, "BT.601 (625 lines)", {{0.640, 0.330, 1}, {0.290, 0.600, 1}, {0.150, 0.060, 1}}, kD65},
    {6, "BT.601 (525 lines)", {{0.630, 0.340, 1}, {0.310, 0.595, 1}, {0.155, 0.070, 1}}, kD65},
    {7, "SMPTE 240M", {{0.630, 0.340, 1}, {0.310, 0.595, 1}, {0.155, 0.070, 1}}, kD65},
    {9, "BT.2020", {{0.708, 0.292, 1}, {0.170, 0.797, 1}, {0.131, 0.046, 1}}, kD65},
    {11, "DCI-P3", {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}}, {0.314, 0.351, 1.0}},
    {12, "Display P3", {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}}, kD65},
};

// The curve from coded value to light, as Little CMS's parametric type 4
// (Y = (aX + b)^g above d, cX below) or a plain gamma; empty for a transfer
// not converted.
struct Transfer {
  const char* name;
  int type;
  cmsFloat64Number parameters[5];
};

std::optional<Transfer> transfer_of(unsigned code) {
  switch (code) {
    case 2:  // unspecified: sRGB, as viewers take it
    case 13: return Transfer{"sRGB", 4, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045}};
    case 1:
    case 6:
    case 14:
    case 15: return Transfer{"BT.709", 4, {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081}};
    case 4: return Transfer{"gamma 2.2", 1, {2.2}};
    case 5: return Transfer{"gamma 2.8", 1, {2.8}};
    case 8: return Transfer{"linear", 1, {1.0}};
    default: return std::nullopt;
  }
}

std::string codes_text(const ColourCodes& codes) {
  return std::to_string(codes.primaries) + "/" + std::to_string(codes.transfer) + "/" + std::to_string(codes.matrix);
}

void name_profile(cmsHPROFILE profile, const std::string& description) {
  cmsMLU* text = cmsMLUalloc(nullptr, 1);
  cmsMLUsetASCII(text, "en", "US", description.c_str());
  cmsWriteTag(profile, cmsSigProfileDescriptionTag, text);
  cmsMLUfree(text);
}

}  // namespace

std::optional<ColourProfile> ColourProfile::of_codes(const ColourCodes& codes) {
  if (const char* transfer = high_dynamic_range_transfer(codes.transfer)) refuse_high_dynamic_range(transfer);
  const unsigned primaries_code = codes.primaries == 2 ? 1 : codes.primaries;  // unspecified: sRGB's
  const Primaries* primaries = nullptr;
  for (const Primaries& known : kPrimaries) {
    if (known.code == primaries_code) primaries = &known;
  }
  const std::optional<Transfer> transfer = transfer_of(codes.transfer);
  if (primaries == nullptr || !transfer) {
    refuse_malformed("its colour code points (" + codes_text(codes) + ") name " +
                     (primaries == nullptr ? "primaries" : "a transfer") + " the tool doesn't convert");
  }
  if (primaries->code == 1 && std::string(transfer->name) == "sRGB") return std::nullopt;
  cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, transfer->type, transfer->parameters);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  cmsHPROFILE profile = curve == nullptr ? nullptr : cmsCreateRGBProfile(&primaries->white, &primaries->rgb, curves);
  if (curve != nullptr) cmsFreeToneCurve(curve);
  if (profile == nullptr) refuse_malformed("its colour code points (" + codes_text(codes) + ") make no profile");
  name_profile(profile, std::string(primaries->name) + " primaries, " + transfer->name + " transfer (code points " +
                            codes_text(codes) + ")");
  cmsSetProfileVersion(profile, 2.1);  // as sRGB's, so that no black-point compensation is forced
  cmsUInt32Number size = 0;
  std::vector<unsigned char> bytes;
  if (cmsSaveProfileToMem(profile, nullptr, &size) && size > 0) {
    bytes.resize(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
  }
  cmsCloseProfile(profile);
  return shared(bytes);
}

ColourProfile ColourProfile::shared(const std::vector<unsigned char>& bytes) {
  static std::vector<unsigned char> last_bytes;
  static std::unique_ptr<ColourProfile> last;
  if (!last || bytes != last_bytes) {
    last.reset();
    last = std::make_unique<ColourProfile>(bytes);  // throws for a bad profile, leaving nothing kept
    last_bytes = bytes;
  }
  return *last;
}

std::string ColourProfile::named() const {
  std::string tail = description_.size() >= 7 ? description_.substr(description_.size() - 7) : "";
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == "profile" ? description_ : description_ + " profile";
}

void ColourProfile::check_matches(FIBITMAP* view) const {
  const ProfileSpace pixels = pixel_space(view);
  // An RGB profile on grey pixels can say what they are (grey is R = G = B),
  // and so can a grey profile on colour pixels that are all grey; on other
  // colours it can't.
  if (pixels == space_ || (pixels == ProfileSpace::Grey && space_ == ProfileSpace::Rgb)) return;
  if (pixels == ProfileSpace::Rgb && space_ == ProfileSpace::Grey && all_grey(view)) return;
  refuse_malformed(std::string("its colour profile is for ") + space_name(space_) + " but its pixels are " +
                   space_name(pixels));
}

void ColourProfile::convert_row(unsigned char* bgr, unsigned count) const {
  if (space_ == ProfileSpace::Rgb) {
    cmsDoTransform(static_cast<cmsHTRANSFORM>(to_srgb_.get()), bgr, bgr, count);
    return;
  }
  for (unsigned i = 0; i < count; ++i, bgr += 3) {
    const std::size_t grey = static_cast<std::size_t>((bgr[0] + bgr[1] + bgr[2] + 1) / 3);
    std::copy_n(&grey_to_bgr_[grey * 3], 3, bgr);
  }
}

void ColourProfile::convert(FIBITMAP* bitmap) const {
  if (!converts_rgb_or_grey()) return;
  if (FreeImage_GetBPP(bitmap) == 8) {
    // Entries are blue, green, red and a spare byte.
    auto* palette = reinterpret_cast<unsigned char*>(FreeImage_GetPalette(bitmap));
    unsigned char colours[256 * 3];
    for (unsigned i = 0; i < 256; ++i) std::copy_n(&palette[i * 4], 3, &colours[i * 3]);
    convert_row(colours, 256);
    for (unsigned i = 0; i < 256; ++i) std::copy_n(&colours[i * 3], 3, &palette[i * 4]);
    return;
  }
  const unsigned width = FreeImage_GetWidth(bitmap), height = FreeImage_GetHeight(bitmap);
  if (FreeImage_GetBPP(bitmap) == 32) {
    std::vector<unsigned char> colours(std::size_t{width} * 3);
    for (unsigned y = 0; y < height; ++y) {
      BYTE* row = FreeImage_GetScanLine(bitmap, static_cast<int>(y));
      for (unsigned x = 0; x < width; ++x) std::copy_n(&row[x * 4], 3, &colours[x * 3]);
      convert_row(colours.data(), width);
      for (unsigned x = 0; x < width; ++x) std::copy_n(&colours[x * 3], 3, &row[x * 4]);
    }
    return;
  }
  for (unsigned y = 0; y < height; ++y) convert_row(FreeImage_GetScanLine(bitmap, static_cast<int>(y)), width);
}

Bitmap ColourProfile::converted_from_cmyk(FIBITMAP* view) const {
  const bool wide = FreeImage_GetImageType(view) == FIT_RGBA16;
  // The kept transform takes 8-bit ink values.
  const std::shared_ptr<void> owned =
      wide ? transform_to_srgb(static_cast<cmsHPROFILE>(profile_.get()), TYPE_CMYK_16) : to_srgb_;
  const auto transform = static_cast<cmsHTRANSFORM>(owned.get());
  const unsigned width = FreeImage_GetWidth(view), height = FreeImage_GetHeight(view);
  Bitmap rgb(FreeImage_Allocate(static_cast<int>(width), static_cast<int>(height), 24));
  if (!rgb) throw std::bad_alloc();
  FreeImage_SetDotsPerMeterX(rgb.get(), FreeImage_GetDotsPerMeterX(view));
  FreeImage_SetDotsPerMeterY(rgb.get(), FreeImage_GetDotsPerMeterY(view));
  for (unsigned y = 0; y < height; ++y) {
    cmsDoTransform(transform, FreeImage_GetScanLine(view, static_cast<int>(y)),
                   FreeImage_GetScanLine(rgb.get(), static_cast<int>(y)), width);
  }
  return rgb;
}

}  // namespace interlace
