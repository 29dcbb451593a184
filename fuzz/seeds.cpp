#include "seeds.h"

#include <lcms2.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>

namespace fuzz {

namespace {

// Some writers (ICO, JPEG 2000) refuse pictures much smaller than this.
constexpr int kWidth = 32, kHeight = 32;

FIBITMAP* picture() {
  FIBITMAP* bitmap = FreeImage_Allocate(kWidth, kHeight, 24);
  for (int y = 0; y < kHeight; ++y) {
    BYTE* row = FreeImage_GetScanLine(bitmap, y);
    for (int x = 0; x < kWidth; ++x) {
      row[3 * x] = static_cast<BYTE>(x * 8);
      row[3 * x + 1] = static_cast<BYTE>(y * 8);
      row[3 * x + 2] = static_cast<BYTE>((x ^ y) * 8);
    }
  }
  return bitmap;
}

// The picture at each depth and type the writers between them accept.
std::vector<FIBITMAP*> variants(FIBITMAP* colour) {
  return {FreeImage_Clone(colour),
          FreeImage_ConvertTo32Bits(colour),
          FreeImage_ConvertToGreyscale(colour),
          FreeImage_ColorQuantize(colour, FIQ_WUQUANT),
          FreeImage_Threshold(colour, 128),
          FreeImage_ConvertToRGBF(colour),
          FreeImage_ConvertToRGB16(colour),
          FreeImage_ConvertTo16Bits565(colour)};
}

Bytes encode(FREE_IMAGE_FORMAT format, FIBITMAP* bitmap) {
  Bytes bytes;
  // Some writers crash on what they don't support rather than refusing it.
  if (bitmap == nullptr || !FreeImage_FIFSupportsExportType(format, FreeImage_GetImageType(bitmap)) ||
      (FreeImage_GetImageType(bitmap) == FIT_BITMAP &&
       !FreeImage_FIFSupportsExportBPP(format, static_cast<int>(FreeImage_GetBPP(bitmap))))) {
    return bytes;
  }
  FIMEMORY* memory = FreeImage_OpenMemory();
  if (FreeImage_SaveToMemory(format, bitmap, memory, 0)) {
    BYTE* data = nullptr;
    DWORD size = 0;
    FreeImage_AcquireMemory(memory, &data, &size);
    bytes.assign(data, data + size);
  }
  FreeImage_CloseMemory(memory);
  return bytes;
}

void put16be(Bytes& b, std::size_t at, unsigned v) {
  b[at] = static_cast<unsigned char>(v >> 8);
  b[at + 1] = static_cast<unsigned char>(v);
}
void put32be(Bytes& b, std::size_t at, std::uint32_t v) {
  put16be(b, at, v >> 16);
  put16be(b, at + 2, v & 0xffff);
}
void put16le(Bytes& b, std::size_t at, unsigned v) {
  b[at] = static_cast<unsigned char>(v);
  b[at + 1] = static_cast<unsigned char>(v >> 8);
}
void put32le(Bytes& b, std::size_t at, std::uint32_t v) {
  put16le(b, at, v & 0xffff);
  put16le(b, at + 2, v >> 16);
}

// ZSoft PCX, 24-bit as three 8-bit planes, run-length coded one byte a run.
Bytes pcx() {
  Bytes b(128, 0);
  b[0] = 0x0A, b[1] = 5, b[2] = 1, b[3] = 8;
  put16le(b, 8, kWidth - 1);
  put16le(b, 10, kHeight - 1);
  b[65] = 3;
  put16le(b, 66, kWidth);
  put16le(b, 68, 1);
  for (int y = 0; y < kHeight; ++y)
    for (int plane = 0; plane < 3; ++plane)
      for (int x = 0; x < kWidth; ++x) {
        b.push_back(0xC1);
        b.push_back(static_cast<unsigned char>(x * 20 + plane * 50 + y));
      }
  return b;
}

// Sun raster, 24-bit, uncompressed, rows padded to 16 bits.
Bytes sun_raster() {
  Bytes b(32, 0);
  put32be(b, 0, 0x59a66a95);
  put32be(b, 4, kWidth);
  put32be(b, 8, kHeight);
  put32be(b, 12, 24);
  put32be(b, 16, kWidth * kHeight * 3);
  put32be(b, 20, 1);
  for (int i = 0; i < kWidth * kHeight * 3; ++i) b.push_back(static_cast<unsigned char>(i * 7));
  return b;
}

// SGI image, verbatim storage, three channels of one byte.
Bytes sgi() {
  Bytes b(512, 0);
  put16be(b, 0, 474);
  b[2] = 0, b[3] = 1;
  put16be(b, 4, 3);
  put16be(b, 6, kWidth);
  put16be(b, 8, kHeight);
  put16be(b, 10, 3);
  put32be(b, 16, 255);
  for (int i = 0; i < kWidth * kHeight * 3; ++i) b.push_back(static_cast<unsigned char>(i * 5));
  return b;
}

// DirectDraw surface, uncompressed 24-bit RGB, no mipmaps.
Bytes dds() {
  Bytes b(128, 0);
  std::memcpy(b.data(), "DDS ", 4);
  put32le(b, 4, 124);
  put32le(b, 8, 0x1 | 0x2 | 0x4 | 0x1000 | 0x8);
  put32le(b, 12, kHeight);
  put32le(b, 16, kWidth);
  put32le(b, 20, kWidth * 3);
  put32le(b, 76, 32);
  put32le(b, 80, 0x40);
  put32le(b, 88, 24);
  put32le(b, 92, 0xff0000);
  put32le(b, 96, 0x00ff00);
  put32le(b, 100, 0x0000ff);
  put32le(b, 108, 0x1000);
  for (int i = 0; i < kWidth * kHeight * 3; ++i) b.push_back(static_cast<unsigned char>(i * 3));
  return b;
}

// A string literal's bytes, NULs included, without the terminating one.
template <std::size_t N>
Bytes text(const char (&s)[N]) {
  return Bytes(s, s + N - 1);
}

// A signature the library's format test looks for, then noise: for formats
// only seen through a decoder's first steps.
Bytes signature_and_noise(const Bytes& signature, std::size_t length) {
  Bytes b = signature;
  std::mt19937 random(static_cast<unsigned>(length));
  while (b.size() < length) b.push_back(static_cast<unsigned char>(random()));
  return b;
}

std::vector<Bytes> hand_made(FREE_IMAGE_FORMAT format) {
  switch (format) {
    case FIF_PCX: return {pcx()};
    case FIF_RAS: return {sun_raster()};
    case FIF_SGI: return {sgi()};
    case FIF_DDS: return {dds()};
    case FIF_XBM: return {text("#define t_width 8\n#define t_height 2\nstatic char t_bits[] = {0x01, 0x82};\n")};
    case FIF_KOALA: return {signature_and_noise({0x00, 0x60}, 10003)};
    case FIF_IFF: return {signature_and_noise(text("FORM\0\0\0\x50ILBMBMHD"), 200)};
    case FIF_MNG: return {signature_and_noise({0x8A, 'M', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, 300)};
    case FIF_CUT: return {signature_and_noise({kWidth, 0, kHeight, 0, 0, 0}, 300)};
    case FIF_PICT: return {signature_and_noise(Bytes(512, 0), 900)};
    case FIF_PCD: return {signature_and_noise(Bytes(2048, 0xff), 4096)};
    case FIF_JXR: return {signature_and_noise(text("II\xBC\x01"), 600)};
    case FIF_RAW: return {signature_and_noise(text("II*\0\x08\0\0\0"), 2000)};
    default: return {};
  }
}

// A wide-gamut RGB profile (Adobe RGB's primaries, gamma 2.2), for seeds
// whose colours the tool converts.
Bytes wide_gamut_profile() {
  const cmsCIExyY white{0.3127, 0.3290, 1};
  const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}};
  cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.2);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  Bytes bytes(size);
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsCloseProfile(profile);
  cmsFreeToneCurve(curve);
  return bytes;
}

// The picture with that profile embedded, where the format's writer keeps one.
Bytes tagged(FREE_IMAGE_FORMAT format, FIBITMAP* colour) {
  FIBITMAP* copy = FreeImage_Clone(colour);
  Bytes profile = wide_gamut_profile();
  FreeImage_CreateICCProfile(copy, profile.data(), static_cast<long>(profile.size()));
  Bytes bytes = encode(format, copy);
  FreeImage_Unload(copy);
  return bytes;
}

}  // namespace

bool write_file(const std::string& path, const Bytes& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

bool has_real_seeds(FREE_IMAGE_FORMAT format) {
  if (FreeImage_FIFSupportsWriting(format) && format != FIF_JXR) return true;
  switch (format) {
    case FIF_PCX: case FIF_RAS: case FIF_SGI: case FIF_DDS: case FIF_XBM: return true;
    default: return false;
  }
}

std::vector<Bytes> make_seeds(FREE_IMAGE_FORMAT format) {
  // The JPEG-XR writer fails on every picture tried, so it goes by hand too.
  if (!FreeImage_FIFSupportsWriting(format) || format == FIF_JXR) return hand_made(format);
  std::vector<Bytes> seeds;
  FIBITMAP* colour = picture();
  for (FIBITMAP* variant : variants(colour)) {
    Bytes bytes = encode(format, variant);
    if (!bytes.empty()) seeds.push_back(std::move(bytes));
    FreeImage_Unload(variant);
  }
  if (format == FIF_JPEG || format == FIF_TIFF || format == FIF_PNG || format == FIF_WEBP) {
    Bytes bytes = tagged(format, colour);
    if (!bytes.empty()) seeds.push_back(std::move(bytes));
  }
  FreeImage_Unload(colour);
  return seeds;
}

}  // namespace fuzz
