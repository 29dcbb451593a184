// JPEG XL through libjxl, on one thread (the run decodes views side by side
// already).
#include <jxl/decode.h>

#include <memory>
#include <string>

#include "decoder/library_decoding.h"
#include "view_problem.h"

namespace interlace {

namespace {

using Decoder = std::unique_ptr<JxlDecoder, decltype(&JxlDecoderDestroy)>;

[[noreturn]] void refuse_damage(const char* what) {
  ViewProblem problem{ViewProblemKind::DecoderDamage};
  problem.message = std::string("libjxl ") + what;
  refuse_view(problem);
}

void check(JxlDecoderStatus status, const char* what) {
  if (status != JXL_DEC_SUCCESS) refuse_damage(what);
}

// Its size turned upright as its orientation says: the size of the
// pixels the library gives.
struct UprightSize {
  unsigned width, height;
};
UprightSize upright_size(const JxlBasicInfo& info) {
  if (info.orientation >= JXL_ORIENT_TRANSPOSE) return {info.ysize, info.xsize};
  return {info.xsize, info.ysize};
}

// Upright, it is the size the tool read from its header.
void check_size(const JxlBasicInfo& info, const FormatFacts& facts) {
  if (!facts.claimed_size) refuse_damage("read a size the tool could not");
  const UprightSize size = upright_size(info);
  if (size.width != unsigned(facts.claimed_size->width) || size.height != unsigned(facts.claimed_size->height)) {
    refuse_damage("read another size than the file's header claims");
  }
}

// High-dynamic-range transfers would print washed out; the profile of the
// pixels it gives is converted to sRGB as any view's is.
std::vector<unsigned char> colour_profile(JxlDecoder* decoder) {
  JxlColorEncoding encoding{};
  // libjxl numbers transfers by their H.273 code points.
  if (JxlDecoderGetColorAsEncodedProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL, &encoding) ==
      JXL_DEC_SUCCESS) {
    if (const char* transfer = high_dynamic_range_transfer(encoding.transfer_function)) {
      refuse_high_dynamic_range(transfer);
    }
  }
  std::size_t size = 0;
  if (JxlDecoderGetICCProfileSize(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) != JXL_DEC_SUCCESS) return {};
  std::vector<unsigned char> profile(size);
  check(JxlDecoderGetColorAsICCProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, profile.data(), size),
        "could not give its colour profile");
  return profile;
}

}  // namespace

LibraryPicture decode_jxl(const std::vector<unsigned char>& file, const FormatFacts& facts) {
  const Decoder decoder(JxlDecoderCreate(nullptr), JxlDecoderDestroy);
  if (!decoder) throw std::bad_alloc();
  check(JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE),
        "could not start");
  check(JxlDecoderSetInput(decoder.get(), file.data(), file.size()), "could not start");
  JxlDecoderCloseInput(decoder.get());
  LibraryPicture picture;
  JxlBasicInfo info{};
  JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  std::vector<unsigned char> pixels;
  while (true) {
    switch (JxlDecoderProcessInput(decoder.get())) {
      case JXL_DEC_BASIC_INFO:
        check(JxlDecoderGetBasicInfo(decoder.get(), &info), "could not read its header");
        check_size(info, facts);
        format.num_channels = info.num_color_channels + (info.alpha_bits != 0 ? 1 : 0);
        format.data_type = info.bits_per_sample > 8 ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8;
        picture.stored_bits = info.bits_per_sample * format.num_channels;
        picture.sample_bits = info.bits_per_sample;
        picture.premultiplied = info.alpha_bits != 0 && info.alpha_premultiplied;
        break;
      case JXL_DEC_COLOR_ENCODING:
        picture.icc_profile = colour_profile(decoder.get());
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        std::size_t size = 0;
        check(JxlDecoderImageOutBufferSize(decoder.get(), &format, &size), "could not size its picture");
        pixels.resize(size);
        check(JxlDecoderSetImageOutBuffer(decoder.get(), &format, pixels.data(), size), "could not size its picture");
        break;
      }
      case JXL_DEC_FULL_IMAGE: {
        // The first frame: further ones (an animation's) are not the view.
        const UprightSize size = upright_size(info);
        const unsigned sample_bytes = format.data_type == JXL_TYPE_UINT16 ? 2 : 1;
        picture.bitmap = bitmap_of_rows(pixels.data(), std::size_t{size.width} * format.num_channels * sample_bytes,
                                        size.width, size.height, format.num_channels, 8 * sample_bytes, 8 * sample_bytes);
        return picture;
      }
      case JXL_DEC_NEED_MORE_INPUT: refuse_damage("found the file cut short");
      default: refuse_damage("reported damage");
    }
  }
}

}  // namespace interlace
