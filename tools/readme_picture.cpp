// readme_picture: shows what the tool does in one picture. The same region
// of every view and of the interlaced image, side by side and magnified, so
// the interleaved columns can be seen against the views they came from.
//
//   readme_picture BASE N X Y WIDTH HEIGHT SCALE OUT.png
//
// Reads BASE_rs_c01.bmp ... and BASE_interlace.bmp; the region's corner
// (X, Y) counts from the picture's top left.

#include <FreeImage.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kGap = 8;

FIBITMAP* magnified_crop(const std::string& name, int x, int y, int width, int height, int scale) {
  FIBITMAP* image = FreeImage_Load(FreeImage_GetFileType(name.c_str(), 0), name.c_str(), 0);
  if (image == nullptr) return nullptr;
  FIBITMAP* crop = FreeImage_Copy(image, x, y, x + width, y + height);
  FIBITMAP* big = crop ? FreeImage_Rescale(crop, width * scale, height * scale, FILTER_BOX) : nullptr;
  FreeImage_Unload(crop);
  FreeImage_Unload(image);
  return big;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 9) {
    std::fprintf(stderr, "usage: readme_picture BASE N X Y WIDTH HEIGHT SCALE OUT.png\n");
    return 1;
  }
  const std::string base = argv[1];
  const int views = std::atoi(argv[2]);
  const int x = std::atoi(argv[3]), y = std::atoi(argv[4]);
  const int width = std::atoi(argv[5]), height = std::atoi(argv[6]), scale = std::atoi(argv[7]);

  std::vector<std::string> names;
  for (int n = 1; n <= views; ++n) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "_rs_c%02d.bmp", n);
    names.push_back(base + suffix);
  }
  names.push_back(base + "_interlace.bmp");

  const int tile = width * scale;
  const int count = static_cast<int>(names.size());
  FIBITMAP* sheet = FreeImage_Allocate(count * tile + (count - 1) * kGap + kGap, height * scale, 24);
  RGBQUAD white{255, 255, 255, 0};
  FreeImage_FillBackground(sheet, &white, 0);
  int left = 0;
  for (int i = 0; i < count; ++i) {
    if (i == count - 1) left += kGap;  // set the interlaced image apart
    FIBITMAP* crop = magnified_crop(names[static_cast<std::size_t>(i)], x, y, width, height, scale);
    if (crop == nullptr) {
      std::fprintf(stderr, "readme_picture: can't read %s\n", names[static_cast<std::size_t>(i)].c_str());
      return 2;
    }
    FreeImage_Paste(sheet, crop, left, 0, 256);
    FreeImage_Unload(crop);
    left += tile + kGap;
  }
  const bool saved = FreeImage_Save(FIF_PNG, sheet, argv[8], PNG_Z_BEST_COMPRESSION);
  FreeImage_Unload(sheet);
  return saved ? 0 : 2;
}
