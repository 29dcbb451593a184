#include "pipeline/preview.h"

#include <cmath>
#include <cstdint>

#include "bitmap.h"
#include "exit_status.h"
#include "formats/gif.h"

namespace interlace {

namespace {

constexpr float kPreviewFramesPerSecond = 2.0f;

// The animation is opened from an empty source rather than from a file name:
// a named animation is written by the library at its close, non-atomically
// and with a cache file beside it; this one is written only by write().
unsigned read_nothing(void*, unsigned, unsigned, fi_handle) { return 0; }
unsigned write_nothing(void*, unsigned, unsigned, fi_handle) { return 0; }
int seek_nowhere(fi_handle, long, int) { return 0; }
long tell_start(fi_handle) { return 0; }
FreeImageIO g_empty_source{read_nothing, write_nothing, seek_nowhere, tell_start};
int g_empty_handle = 0;

// The library takes a value only once type, count and length agree with it.
// Returns false if it couldn't make the tag.
bool tag_animation(FIBITMAP* page, const char* key, FREE_IMAGE_MDTYPE type, DWORD length, const void* value) {
  FITAG* tag = FreeImage_CreateTag();
  if (tag == nullptr) return false;
  FreeImage_SetTagKey(tag, key);
  FreeImage_SetTagType(tag, type);
  FreeImage_SetTagCount(tag, 1);
  FreeImage_SetTagLength(tag, length);
  FreeImage_SetTagValue(tag, value);
  const bool set = FreeImage_SetMetadata(FIMD_ANIMATION, page, FreeImage_GetTagKey(tag), tag);
  FreeImage_DeleteTag(tag);
  return set;
}

// A tag the library can't create leaves the page without a frame time, as
// the GIF writer's default delay; the page is still shown.
void tag_frame_time(FIBITMAP* page) {
  const std::int32_t frame_time = preview_frame_time();
  tag_animation(page, "FrameTime", FIDT_LONG, 4, &frame_time);
}

// Top-down rows unless only the interlaced order packs safely: the page
// looks the same either way, and most pages keep the plain order's bytes.
void choose_row_order(FIBITMAP* page) {
  if (gif_writer_packs_safely(page, false)) return;
  const BYTE interlaced = 1;
  if (!gif_writer_packs_safely(page, true) ||
      !tag_animation(page, "Interlaced", FIDT_BYTE, 1, &interlaced)) {
    throw PreviewPageUnsafe();
  }
}

}  // namespace

int preview_frame_time() {
  return static_cast<int>(1000.0f / kPreviewFramesPerSecond + 0.5f);
}

PreviewAnimation::PreviewAnimation()
    : animation_(FreeImage_OpenMultiBitmapFromHandle(FIF_GIF, &g_empty_source, &g_empty_handle, 0)) {
  if (animation_ == nullptr) fail_output();
}

PreviewAnimation::~PreviewAnimation() { FreeImage_CloseMultiBitmap(animation_, 0); }

void PreviewAnimation::add_page(FIBITMAP* page) {
  prepare_page(page);
  append_page(page);
}

void PreviewAnimation::prepare_page(FIBITMAP* page) {
  FreeImage_SetMetadata(FIMD_ANIMATION, page, nullptr, nullptr);
  tag_frame_time(page);
  choose_row_order(page);
}

void PreviewAnimation::append_page(FIBITMAP* page) {
  // Appending returns nothing and drops a page it can't take; count instead.
  const int pages_before = page_count();
  FreeImage_AppendPage(animation_, page);
  if (page_count() != pages_before + 1) fail_output();
}

int PreviewAnimation::page_count() const { return FreeImage_GetPageCount(animation_); }

void PreviewAnimation::write(OutputFile& out) {
  if (!FreeImage_SaveMultiBitmapToHandle(FIF_GIF, animation_, out.io(), out.handle(), 0)) {
    fail_output();
  }
}

std::uint64_t PreviewAnimation::encoded_bytes() const {
  FIMEMORY* memory = FreeImage_OpenMemory(nullptr, 0);
  if (memory == nullptr) fail_output();
  const bool saved = FreeImage_SaveMultiBitmapToMemory(FIF_GIF, animation_, memory, 0);
  BYTE* data = nullptr;
  DWORD length = 0;
  const bool measured = saved && FreeImage_AcquireMemory(memory, &data, &length);
  FreeImage_CloseMemory(memory);
  if (!measured) fail_output();
  return length;
}

}  // namespace interlace
