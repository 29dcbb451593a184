// libFuzzer target over the tool's whole path from view files to outputs:
// each input becomes both views of a two-view run, which loads, checks,
// squeezes, previews, interlaces and writes them, in a folder of its own.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
