// libFuzzer target over the tool's whole path from view files to outputs:
// each input becomes both views of a two-view run, which loads, checks,
// squeezes, previews, interlaces and writes them, in a folder of its own.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <FreeImage.h>

#include "interlace.h"

namespace {

std::string make_folder() {
  const char* root = std::getenv("TMPDIR");
  std::string pattern = std::string(root && *root ? root : "/tmp") + "/view-fuzzer-XXXXXX";
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

const std::string& folder() {
  static const std::string path = make_folder();
  return path;
}

void write_view(const std::string& name, const uint8_t* data, size_t size) {
  if (std::FILE* file = std::fopen(name.c_str(), "wb")) {
    std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
}

// The library is not instrumented, so the fuzzer sees no difference between
// a PNG and a TIFF; one distinct edge per detected format keeps a seed of
// each in its corpus.
template <int Format>
void mark_format() {
  static volatile int seen = 0;
  seen = seen + Format;
}

void note_format(const uint8_t* data, size_t size) {
  FIMEMORY* memory = FreeImage_OpenMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size));
  switch (FreeImage_GetFileTypeFromMemory(memory, 0)) {
    case FIF_BMP: mark_format<FIF_BMP>(); break;
    case FIF_JPEG: mark_format<FIF_JPEG>(); break;
    case FIF_PNG: mark_format<FIF_PNG>(); break;
    case FIF_TIFF: mark_format<FIF_TIFF>(); break;
    case FIF_GIF: mark_format<FIF_GIF>(); break;
    case FIF_TARGA: mark_format<FIF_TARGA>(); break;
    case FIF_PPMRAW: mark_format<FIF_PPMRAW>(); break;
    case FIF_PGMRAW: mark_format<FIF_PGMRAW>(); break;
    case FIF_WEBP: mark_format<FIF_WEBP>(); break;
    case FIF_HDR: mark_format<FIF_HDR>(); break;
    case FIF_J2K: mark_format<FIF_J2K>(); break;
    case FIF_JP2: mark_format<FIF_JP2>(); break;
    case FIF_PCX: mark_format<FIF_PCX>(); break;
    case FIF_SGI: mark_format<FIF_SGI>(); break;
    case FIF_PFM: mark_format<FIF_PFM>(); break;
    default: mark_format<FIF_UNKNOWN>(); break;
  }
  FreeImage_CloseMemory(memory);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  note_format(data, size);
  const std::string base = folder() + "/f";
  write_view(base + "_rs_c01.bmp", data, size);
  write_view(base + "_rs_c02.bmp", data, size);
  try {
    interlace::interlace_views(interlace::RunSettings{base, 2, 300});
  } catch (const interlace::Failure&) {
    // Refusing a malformed view is the expected outcome.
  }
  for (const char* suffix : {"_rs_c01.bmp", "_rs_c02.bmp", "_interlace.bmp", "_animation.gif"}) {
    std::remove((base + suffix).c_str());
  }
  return 0;
}
