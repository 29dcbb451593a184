// make_views: writes N views of a synthetic scene with depth, for tests, the
// demo and the benchmark.
//
//   make_views BASE N WIDTH HEIGHT [FORMAT [DEPTH]]
//
// Writes BASE_rs_c01.bmp ... BASE_rs_cNN.bmp. FORMAT is a FreeImage format
// name (BMP, PNG, TIFF, JPEG, GIF, ...; default BMP) and is what the files
// hold whatever their ".bmp" names say. DEPTH is 24 (default), 32, 48, 8 for
// grey or pal for a 256-colour palette.
//
// The scene: a sky, a far hill, a mid-distance disc on the focal plane, a near
// box and a patterned ground. Far things move one way from view to view, near
// things the other, so the parallax shows in the preview.

#include <FreeImage.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Rgb {
  BYTE r, g, b;
};

struct Scene {
  double width, height;
  double shift;  // this view's offset from the centre view, in units of width / 100
};

bool in_disc(double x, double y, double cx, double cy, double radius) {
  return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius;
}

// Colour of picture point (x, y), y counting down from the top.
Rgb scene_colour(const Scene& s, double x, double y) {
  const double unit = s.width / 100.0;
  const double u = x / s.width, v = y / s.height;
  // Near: a box with a window, moving furthest.
  const double box_x = x - 2.5 * s.shift * unit;
  if (box_x > 0.12 * s.width && box_x < 0.34 * s.width && v > 0.45 && v < 0.92) {
    const bool window = box_x > 0.18 * s.width && box_x < 0.28 * s.width && v > 0.55 && v < 0.7;
    return window ? Rgb{250, 230, 120} : Rgb{180, 40, 40};
  }
  // Focal plane: a disc that stays put.
  if (in_disc(x, y, 0.62 * s.width, 0.5 * s.height, 0.16 * std::fmin(s.width, s.height))) {
    const BYTE ring = static_cast<BYTE>(120 + 100 * std::fabs(std::sin(u * 60.0)));
    return Rgb{40, ring, 200};
  }
  // Ground with stripes, moving slightly toward the viewer's side.
  if (v > 0.75) {
    const double ground_x = x - 1.0 * s.shift * unit;
    const bool stripe = static_cast<long long>(std::floor(ground_x / (3.0 * unit))) % 2 == 0;
    return stripe ? Rgb{60, 150, 60} : Rgb{90, 180, 80};
  }
  // Far: a hill moving the other way.
  const double hill_x = (x + 1.2 * s.shift * unit) / s.width;
  if (v > 0.55 - 0.15 * std::sin(hill_x * 3.14159 * 2.0)) return Rgb{110, 120, 150};
  const BYTE sky = static_cast<BYTE>(255 - 120 * v);
  return Rgb{static_cast<BYTE>(sky / 2), static_cast<BYTE>(sky * 3 / 4), sky};
}

FIBITMAP* render_view(int width, int height, int view, int views) {
  FIBITMAP* bitmap = FreeImage_Allocate(width, height, 24);
  if (bitmap == nullptr) return nullptr;
  const Scene scene{double(width), double(height), view - (views - 1) / 2.0};
  BYTE* bits = FreeImage_GetBits(bitmap);
  const std::size_t pitch = FreeImage_GetPitch(bitmap);
  for (int row = 0; row < height; ++row) {
    BYTE* pixel = bits + static_cast<std::size_t>(row) * pitch;
    const double y = height - 1 - row;  // stored rows start at the bottom
    for (int x = 0; x < width; ++x, pixel += 3) {
      const Rgb c = scene_colour(scene, x + 0.5, y + 0.5);
      pixel[FI_RGBA_RED] = c.r;
      pixel[FI_RGBA_GREEN] = c.g;
      pixel[FI_RGBA_BLUE] = c.b;
    }
  }
  return bitmap;
}

FIBITMAP* convert_depth(FIBITMAP* view, const std::string& depth) {
  if (depth == "24") return FreeImage_Clone(view);
  if (depth == "32") return FreeImage_ConvertTo32Bits(view);
  if (depth == "48") return FreeImage_ConvertToRGB16(view);
  if (depth == "8") return FreeImage_ConvertToGreyscale(view);
  if (depth == "pal") return FreeImage_ColorQuantize(view, FIQ_WUQUANT);
  return nullptr;
}

int usage() {
  std::fprintf(stderr, "usage: make_views BASE N WIDTH HEIGHT [FORMAT [DEPTH]]\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return usage();
  const std::string base = argv[1];
  const int views = std::atoi(argv[2]);
  const int width = std::atoi(argv[3]);
  const int height = std::atoi(argv[4]);
  const char* format_name = argc > 5 ? argv[5] : "BMP";
  const std::string depth = argc > 6 ? argv[6] : "24";
  const FREE_IMAGE_FORMAT format = FreeImage_GetFIFFromFormat(format_name);
  if (views < 1 || width < 1 || height < 1 || format == FIF_UNKNOWN) return usage();

  for (int n = 1; n <= views; ++n) {
    FIBITMAP* rendered = render_view(width, height, n - 1, views);
    FIBITMAP* view = rendered ? convert_depth(rendered, depth) : nullptr;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "_rs_c%02d.bmp", n);
    const bool saved = view && FreeImage_Save(format, view, (base + suffix).c_str(), 0);
    FreeImage_Unload(view);
    FreeImage_Unload(rendered);
    if (!saved) {
      std::fprintf(stderr, "make_views: could not write view %d\n", n);
      return 2;
    }
  }
  return 0;
}
