// HEIF and AVIF through libheif (its HEVC and AV1 codecs as Debian builds it).
#include <libheif/heif.h>

#include <algorithm>
#include <memory>
#include <string>

#include "decoder/library_decoding.h"
#include "view_problem.h"

namespace interlace {

namespace {

using Context = std::unique_ptr<heif_context, decltype(&heif_context_free)>;
using Handle = std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)>;
using Image = std::unique_ptr<heif_image, decltype(&heif_image_release)>;
using Options = std::unique_ptr<heif_decoding_options, decltype(&heif_decoding_options_free)>;

// The library reports damage as an error whose message names it.
void refuse_on(const heif_error& error) {
  if (error.code == heif_error_Ok) return;
  ViewProblem problem{ViewProblemKind::DecoderDamage};
  problem.message = error.message != nullptr ? error.message : "libheif could not decode it";
  refuse_view(problem);
}

// No larger picture than its header claims: tiles, the picture a crop is
// cut from and the whole alike are no wider or taller than the longest side
// the tool read, rounded up to the 64-pixel blocks the codecs code in (a
// 3508-row picture is coded as 3512). The library refuses a side as long as
// its limit, so the limit is one more.
int size_limit(const FormatFacts& facts) {
  const std::uint64_t coded = (std::min<std::uint64_t>(facts.longest_side, INT32_MAX / 2) + 63) / 64 * 64;
  return static_cast<int>(coded) + 1;
}

}  // namespace

void prime_heif() { heif_init(nullptr); }

LibraryPicture decode_heif(const std::vector<unsigned char>& file, const FormatFacts& facts) {
  Context context(heif_context_alloc(), heif_context_free);
  if (!context) throw std::bad_alloc();
  if (facts.longest_side != 0) heif_context_set_maximum_image_size_limit(context.get(), size_limit(facts));
  refuse_on(heif_context_read_from_memory_without_copy(context.get(), file.data(), file.size(), nullptr));
  heif_image_handle* primary = nullptr;
  refuse_on(heif_context_get_primary_image_handle(context.get(), &primary));
  const Handle handle(primary, heif_image_handle_release);
  const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
  const int luma_bits = heif_image_handle_get_luma_bits_per_pixel(handle.get());
  const unsigned bits = luma_bits > 8 ? static_cast<unsigned>(luma_bits) : 8;
  const heif_chroma chroma = bits > 8 ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                                      : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
  const Options options(heif_decoding_options_alloc(), heif_decoding_options_free);
  if (!options) throw std::bad_alloc();
  options->ignore_transformations = 0;  // rotation, mirror and crop applied, EXIF not
  if (options->version >= 3) options->strict_decoding = 1;
  heif_image* decoded = nullptr;
  refuse_on(heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB, chroma, options.get()));
  const Image image(decoded, heif_image_release);
  int stride = 0;
  const std::uint8_t* rows = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
  const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
  if (rows == nullptr || width < 1 || height < 1 || stride < 1) refuse_view(ViewProblemKind::CannotConvert);
  const unsigned channels = alpha ? 4 : 3;
  LibraryPicture picture;
  picture.bitmap = bitmap_of_rows(rows, static_cast<std::size_t>(stride), static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), channels, bits > 8 ? 16 : 8, bits);
  picture.stored_bits = bits * channels;
  picture.sample_bits = bits;
  picture.premultiplied = alpha && heif_image_handle_is_premultiplied_alpha(handle.get()) != 0;
  return picture;
}

}  // namespace interlace
