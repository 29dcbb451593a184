// make_seeds: writes the fuzzing seeds of the formats named (all readable
// formats when none is) into a folder, one file each, for a fuzzer's corpus.
//
//   make_seeds FOLDER [FORMAT ...]

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "seeds.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_seeds FOLDER [FORMAT ...]\n");
    return 1;
  }
  mkdir(argv[1], 0755);
  std::vector<FREE_IMAGE_FORMAT> formats;
  for (int i = 2; i < argc; ++i) formats.push_back(FreeImage_GetFIFFromFormat(argv[i]));
  if (formats.empty()) {
    for (int i = 0; i < FreeImage_GetFIFCount(); ++i) formats.push_back(static_cast<FREE_IMAGE_FORMAT>(i));
  }
  int written = 0;
  for (const FREE_IMAGE_FORMAT format : formats) {
    const std::vector<fuzz::Bytes> seeds = fuzz::make_seeds(format);
    for (std::size_t i = 0; i < seeds.size(); ++i) {
      const std::string name = std::string(argv[1]) + "/" + FreeImage_GetFormatFromFIF(format) + "-" + std::to_string(i);
      written += fuzz::write_file(name, seeds[i]) ? 1 : 0;
    }
  }
  std::printf("%d seeds\n", written);
  return written > 0 ? 0 : 2;
}
