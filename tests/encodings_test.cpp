// Views as other programs write them: each encoding, made at test time by
// an encoder from outside this project, must print as ImageMagick shows the
// same file (upright, over white paper, 8 bits per channel).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decoding/decoder.h"
#include "decoding/decoder_program.h"
#include "decoder/view_decoding.h"
#include "decoder/view_loader.h"
#include "test_support.h"
#include "view_problem.h"

namespace {

using test_support::Bytes;
using test_support::TempDir;

bool have(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

bool run(const std::string& command, const TempDir& dir) { return test_support::run_shell(command, dir.path()); }

using test_support::output_of;

// The picture as ImageMagick shows it: top row first, RGB.
Bytes as_imagemagick_shows(const std::string& path) {
  return output_of("convert '" + path + "[0]' -auto-orient -background white -alpha remove -alpha off " +
                   "-colorspace sRGB -depth 8 rgb:- 2>/dev/null");
}

// Smooth colour ramps with an alpha ramp from clear at the left to opaque
// in the middle and clear again at the right; a grey ramp over a narrow
// range, which shows any contrast stretching.
void make_sources(const TempDir& dir) {
  ASSERT_TRUE(run("convert -size 64x48 xc: -channel R -fx 'i/w' -channel G -fx 'j/h' -channel B -fx '(i+j)/(w+h)' "
                  "+channel -depth 8 src.png && convert src.png src.ppm && "
                  "convert src.png -alpha set -channel A -fx '1-abs(2*i/w-1)' +channel -depth 8 PNG32:srca.png && "
                  "convert -size 64x48 gradient:'gray(34%)'-'gray(44%)' -depth 16 narrow16.png",
                  dir));
}

// Inserts an EXIF block with `orientation` after a JPEG's start marker.
void add_exif_orientation(const std::string& path, unsigned orientation) {
  Bytes jpeg = test_support::read_file(path);
  const Bytes block = {0xff, 0xe1, 0, 34, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
                       0x12, 1, 3, 0, 1, 0, 0, 0, static_cast<unsigned char>(orientation), 0, 0, 0, 0, 0, 0, 0};
  jpeg.insert(jpeg.begin() + 2, block.begin(), block.end());
  test_support::write_file(path, jpeg);
}

// What the test itself does to an encoder's file, for variants no encoder
// here writes.
enum class Edit { None, ExifTurned, ExifUpsideDown, TopDown, RleEndsWithoutEndOfLine };

std::uint32_t get32(const Bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// Rows stored top row first, as a negative height says.
void make_top_down(const std::string& path) {
  Bytes bmp = test_support::read_file(path);
  const test_support::BmpFile info = test_support::parse_bmp(bmp);
  Bytes flipped = bmp;
  for (int y = 0; y < info.height; ++y)
    std::copy_n(bmp.begin() + static_cast<std::ptrdiff_t>(info.pixel_offset + info.row_bytes * static_cast<std::uint64_t>(y)),
                info.row_bytes,
                flipped.begin() + static_cast<std::ptrdiff_t>(info.pixel_offset + info.row_bytes * static_cast<std::uint64_t>(info.height - 1 - y)));
  put32(flipped, 22, static_cast<std::uint32_t>(-info.height));
  test_support::write_file(path, flipped);
}

// ImageMagick closes the last row with end-of-line, then end-of-bitmap;
// other writers give end-of-bitmap alone.
void drop_final_end_of_line(const std::string& path) {
  Bytes bmp = test_support::read_file(path);
  const std::size_t n = bmp.size();
  ASSERT_TRUE(n > 4 && bmp[n - 4] == 0 && bmp[n - 3] == 0 && bmp[n - 2] == 0 && bmp[n - 1] == 1);
  bmp.erase(bmp.end() - 4, bmp.end() - 2);
  put32(bmp, 2, static_cast<std::uint32_t>(bmp.size()));
  put32(bmp, 34, get32(bmp, 34) - 2);
  test_support::write_file(path, bmp);
}

void apply(Edit edit, const std::string& path) {
  if (edit == Edit::ExifTurned) add_exif_orientation(path, 6);
  if (edit == Edit::ExifUpsideDown) add_exif_orientation(path, 3);
  if (edit == Edit::TopDown) make_top_down(path);
  if (edit == Edit::RleEndsWithoutEndOfLine) drop_final_end_of_line(path);
}

struct Encoding {
  const char* name;
  const char* encoder;  // the program the command needs beyond ImageMagick
  const char* command;  // writes the file `view`, from src.png, src.ppm, srca.png or narrow16.png
  const char* file;     // the name it gets, for the reference decoder
  Edit edit = Edit::None;
  // Where ImageMagick reads the format through the very library the tool
  // uses, the encoder's own decoder writes ref.png instead, turned as the
  // format says where that decoder doesn't turn it.
  const char* reference = nullptr;
};

const Encoding kEncodings[] = {
    {"JPEG baseline", "cjpeg", "cjpeg -quality 95 src.ppm > v.jpg", "v.jpg"},
    {"JPEG progressive", "cjpeg", "cjpeg -progressive src.ppm > v.jpg", "v.jpg"},
    {"JPEG 4:4:4", "cjpeg", "cjpeg -sample 1x1 src.ppm > v.jpg", "v.jpg"},
    {"JPEG 4:2:2", "cjpeg", "cjpeg -sample 2x1 src.ppm > v.jpg", "v.jpg"},
    {"JPEG grey", "cjpeg", "cjpeg -grayscale src.ppm > v.jpg", "v.jpg"},
    {"JPEG CMYK", "convert", "convert src.png -colorspace cmyk v.jpg", "v.jpg"},
    {"PNG 8-bit RGB", "pnmtopng", "pnmtopng src.ppm > v.png", "v.png"},
    {"PNG Adam7", "pnmtopng", "pnmtopng -interlace src.ppm > v.png", "v.png"},
    {"PNG 16-bit RGB", "convert", "convert src.png -depth 16 PNG48:v.png", "v.png"},
    {"PNG grey", "convert", "convert src.png -colorspace gray v.png", "v.png"},
    {"PNG 16-bit grey", "convert", "cp narrow16.png v.png", "v.png"},
    {"PNG palette", "convert", "convert src.png -colors 64 PNG8:v.png", "v.png"},
    {"PNG RGBA", "convert", "cp srca.png v.png", "v.png"},
    {"PNG 16-bit RGBA", "convert", "convert srca.png -depth 16 PNG64:v.png", "v.png"},
    {"PNG grey with alpha", "convert", "convert srca.png -colorspace gray -type grayscalealpha v.png", "v.png"},
    {"PNG palette with tRNS", "pngquant", "pngquant --force -o v.png srca.png", "v.png"},
    {"TIFF plain", "convert", "convert src.png -compress none v.tif", "v.tif"},
    {"TIFF LZW with predictor", "tiffcp", "convert src.png -compress none s.tif && tiffcp -c lzw:2 s.tif v.tif", "v.tif"},
    {"TIFF Deflate", "tiffcp", "convert src.png -compress none s.tif && tiffcp -c zip s.tif v.tif", "v.tif"},
    {"TIFF JPEG", "tiffcp", "convert src.png -compress none s.tif && tiffcp -c jpeg -r 16 s.tif v.tif", "v.tif"},
    {"TIFF tiled", "tiffcp", "convert src.png -compress none s.tif && tiffcp -t -w 16 -l 16 s.tif v.tif", "v.tif"},
    {"TIFF 16-bit", "convert", "convert src.png -depth 16 v.tif", "v.tif"},
    {"TIFF 16-bit grey", "convert", "convert narrow16.png v.tif", "v.tif"},
    {"TIFF CMYK", "convert", "convert src.png -colorspace cmyk v.tif", "v.tif"},
    {"TIFF RGBA", "convert", "convert srca.png -define tiff:alpha=unassociated v.tif", "v.tif"},
    {"TIFF RGBA premultiplied", "convert", "convert srca.png -define tiff:alpha=associated v.tif", "v.tif"},
    {"TIFF RGBA premultiplied, big-endian", "tiffcp",
     "convert srca.png -define tiff:alpha=associated s.tif && tiffcp -B s.tif v.tif", "v.tif"},
    {"TIFF float", "convert", "convert src.png -define quantum:format=floating-point -depth 32 v.tif", "v.tif"},
    {"Radiance HDR", "convert", "convert src.png v.hdr", "v.hdr"},
    {"BMP 1-bit", "convert", "convert src.png -monochrome BMP3:v.bmp", "v.bmp"},
    {"BMP 8-bit", "convert", "convert src.png -colors 200 -compress none BMP3:v.bmp", "v.bmp"},
    {"BMP 24-bit, V5 header", "convert", "convert src.png -type truecolor BMP:v.bmp", "v.bmp"},
    {"BMP RLE8, V5 header", "convert", "convert src.png -colors 200 BMP:v.bmp", "v.bmp"},
    {"BMP 5-6-5, V5 header", "convert", "convert src.png -define bmp:subtype=RGB565 BMP:v.bmp", "v.bmp"},
    {"BMP 32-bit alpha, V5 header", "convert", "convert srca.png BMP:v.bmp", "v.bmp"},
    {"BMP from netpbm", "ppmtobmp", "ppmtobmp src.ppm > v.bmp", "v.bmp"},
    {"Targa", "convert", "convert src.png -compress none v.tga", "v.tga"},
    {"Targa RLE", "convert", "convert src.png -compress RLE v.tga", "v.tga"},
    {"PPM 16-bit", "pamdepth", "pamdepth 65535 src.ppm > v.ppm", "v.ppm"},
    {"PGM", "ppmtopgm", "ppmtopgm src.ppm > v.pgm", "v.pgm"},
    {"PFM (bottom row first)", "convert", "convert src.png v.pfm", "v.pfm"},
    {"WebP lossy", "cwebp", "cwebp -q 90 src.png -o v.webp", "v.webp"},
    {"WebP lossless", "cwebp", "cwebp -lossless src.png -o v.webp", "v.webp"},
    {"JPEG 2000 JP2", "opj_compress", "opj_compress -i src.ppm -o v.jp2", "v.jp2"},
    {"JPEG 2000 codestream", "opj_compress", "opj_compress -i src.ppm -o v.j2k", "v.j2k"},
    {"GIF", "convert", "convert src.png -colors 200 v.gif", "v.gif"},
    {"JPEG EXIF orientation 6", "cjpeg", "cjpeg -quality 95 src.ppm > v.jpg", "v.jpg", Edit::ExifTurned},
    {"JPEG EXIF orientation 3", "cjpeg", "cjpeg -quality 95 src.ppm > v.jpg", "v.jpg", Edit::ExifUpsideDown},
    {"BMP 4-bit", "convert", "convert src.png -colors 16 -type palette -compress none BMP3:v.bmp", "v.bmp"},
    {"BMP top-down", "convert", "convert src.png -type truecolor BMP3:v.bmp", "v.bmp", Edit::TopDown},
    {"BMP RLE8 closed by end-of-bitmap", "convert", "convert src.png -colors 200 BMP:v.bmp", "v.bmp",
     Edit::RleEndsWithoutEndOfLine},
    {"HEIC", "heif-enc", "heif-enc -q 95 src.png -o v.heic", "v.heic", Edit::None, "heif-convert v.heic ref.png"},
    {"HEIC 10-bit", "heif-enc", "convert src.png -depth 16 PNG48:s48.png && heif-enc -b 10 -q 95 s48.png -o v.heic",
     "v.heic", Edit::None, "heif-convert v.heic ref.png"},
    // Coded in blocks of eight rows or more: 48 rows for 45.
    {"HEIC of an odd height", "heif-enc",
     "convert src.png -crop 40x45+0+0 +repage o.png && heif-enc -q 95 o.png -o v.heic", "v.heic", Edit::None,
     "heif-convert v.heic ref.png"},
    {"AVIF", "avifenc", "avifenc src.png v.avif", "v.avif", Edit::None, "avifdec v.avif ref.png"},
    {"AVIF with alpha", "avifenc", "avifenc srca.png v.avif", "v.avif", Edit::None, "avifdec v.avif ref.png"},
    {"AVIF 10-bit with alpha", "avifenc", "avifenc -d 10 srca.png v.avif", "v.avif", Edit::None,
     "avifdec v.avif ref.png"},
    // Rotated a quarter turn anticlockwise, then mirrored left to right, as
    // its properties say (avifdec leaves both to its caller).
    {"AVIF turned and mirrored", "avifenc", "avifenc --irot 1 --imir 1 src.png v.avif", "v.avif", Edit::None,
     "avifdec v.avif r.png && convert r.png -rotate -90 -flop ref.png"},
    // Tiles must be 64 pixels a side at least.
    {"AVIF grid of 2 x 2", "avifenc", "convert src.png -resize '128x128!' g.png && avifenc --grid 2x2 g.png v.avif",
     "v.avif", Edit::None, "avifdec v.avif ref.png"},
    {"JPEG XL lossy", "cjxl", "cjxl src.ppm v.jxl -d 1", "v.jxl", Edit::None, "djxl v.jxl ref.png"},
    {"JPEG XL lossless", "cjxl", "cjxl src.ppm v.jxl -d 0", "v.jxl", Edit::None, "djxl v.jxl ref.png"},
};

// The file `e` makes in `dir`, with the test's edit made; empty, with the
// failure reported, where its encoder is missing or fails.
std::string encoded(const Encoding& e, const TempDir& dir) {
  if (!have(e.encoder)) {
    ADD_FAILURE() << e.encoder << " is not installed: the test command installs the encoders";
    return {};
  }
  if (!run(std::string("rm -f v.* v_* ref.png; ") + e.command, dir)) {
    ADD_FAILURE() << "the encoder failed: " << e.command;
    return {};
  }
  const std::string file = dir / e.file;
  apply(e.edit, file);
  return file;
}

// Mean absolute difference per channel between the print image of a
// one-view run and the reference, the top row and right column left out.
double mean_difference(const Bytes& bmp, const Bytes& reference, std::string* size_error) {
  const test_support::BmpFile print = test_support::parse_bmp(bmp);
  const int width = print.width, height = print.height;
  if (reference.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3) {
    *size_error = "print is " + std::to_string(width) + "x" + std::to_string(height) + ", reference has " +
                  std::to_string(reference.size()) + " bytes";
    return 255;
  }
  double total = 0;
  for (int y = 0; y + 1 < height; ++y) {  // stored row y is picture row height-1-y
    const std::size_t reference_row = static_cast<std::size_t>(height - 1 - y) * static_cast<std::size_t>(width) * 3;
    for (int x = 0; x + 1 < width; ++x) {
      const unsigned char* bgr = print.pixel(bmp, x, y);
      const unsigned char* rgb = &reference[reference_row + static_cast<std::size_t>(x) * 3];
      total += std::abs(bgr[2] - rgb[0]) + std::abs(bgr[1] - rgb[1]) + std::abs(bgr[0] - rgb[2]);
    }
  }
  return total / (3.0 * (width - 1) * (height - 1));
}

TEST(Encodings, EveryEncodingPrintsAsAnIndependentDecoderShowsIt) {
  if (!have("convert")) GTEST_SKIP() << "ImageMagick is not installed (the test command installs imagemagick)";
  TempDir dir;
  make_sources(dir);
  for (const Encoding& e : kEncodings) {
    SCOPED_TRACE(e.name);
    const std::string file = encoded(e, dir);
    if (file.empty()) continue;
    if (e.reference != nullptr && !run(e.reference, dir)) {
      ADD_FAILURE() << "the encoder's own decoder failed: " << e.reference;
      continue;
    }
    const Bytes reference = as_imagemagick_shows(e.reference != nullptr ? dir / "ref.png" : file);
    if (reference.empty()) {
      ADD_FAILURE() << "ImageMagick can't read it";
      continue;
    }
    test_support::write_file(dir / "v_rs_c01.bmp", test_support::read_file(file));
    const auto result = test_support::run_tool({dir / "v", "t", "1", "0", "0", "300", "0"});
    EXPECT_EQ(result.status, 0);
    if (result.status != 0) continue;
    std::string size_error;
    EXPECT_LE(mean_difference(test_support::read_file(dir / "v_interlace.bmp"), reference, &size_error), 3.0)
        << size_error;
  }
}

// The sources at a real size: libraries take other paths on large pictures
// (libwebp decodes in a second thread from 512 pixels wide). A synthetic
// scene, a clear-to-opaque copy of it and a narrow 16-bit grey ramp.
void make_real_sized_sources(const TempDir& dir) {
  ASSERT_TRUE(test_support::make_views(dir / "scene", 1, 2048, 1536));
  ASSERT_TRUE(run("convert BMP:scene_rs_c01.bmp -type TrueColor PNG24:src.png && convert src.png src.ppm && "
                  "convert src.png \\( -size 1536x2048 gradient: -rotate 90 \\) -alpha off -compose CopyOpacity "
                  "-composite PNG32:srca.png && convert -size 2048x1536 gradient:'gray(34%)'-'gray(44%)' -depth 16 "
                  "narrow16.png",
                  dir));
}

// A Minolta MRW camera raw file of `width` x `height` 12-bit samples
// (stored in 16 bits) under a Bayer filter; LibRaw demosaics it with OpenMP
// threads.
Bytes minolta_raw(int width, int height) {
  const auto big = [](Bytes& out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
  };
  const auto block = [&big](Bytes& out, const char* tag, const Bytes& data) {
    out.insert(out.end(), tag, tag + 4);
    big(out, static_cast<std::uint32_t>(data.size()), 4);
    out.insert(out.end(), data.begin(), data.end());
  };
  Bytes prd{'2', '1', '8', '1', '0', '0', '0', '2'};
  for (int v : {height, width, height, width}) big(prd, static_cast<std::uint32_t>(v), 2);
  prd.insert(prd.end(), {12, 12, 0x59, 0, 0, 0, 0, 0});
  Bytes wbg{0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) big(wbg, 256, 2);
  // A TIFF of two tags, Make and Model, which name the camera.
  const std::string make("Minolta\0", 8), model("DiMAGE 7\0", 9);
  Bytes ttw{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 2};
  const std::uint32_t strings = 8 + 2 + 2 * 12 + 4;
  const struct {
    std::uint32_t tag;
    const std::string& text;
    std::uint32_t at;
  } tags[] = {{271, make, strings}, {272, model, strings + 8}};
  for (const auto& t : tags) {
    big(ttw, t.tag, 2);
    big(ttw, 2, 2);
    big(ttw, static_cast<std::uint32_t>(t.text.size()), 4);
    big(ttw, t.at, 4);
  }
  big(ttw, 0, 4);
  ttw.insert(ttw.end(), make.begin(), make.end());
  ttw.insert(ttw.end(), model.begin(), model.end());
  Bytes blocks;
  block(blocks, "\0PRD", prd);
  block(blocks, "\0WBG", wbg);
  block(blocks, "\0TTW", ttw);
  Bytes file{0, 'M', 'R', 'M'};
  big(file, static_cast<std::uint32_t>(blocks.size()), 4);
  file.insert(file.end(), blocks.begin(), blocks.end());
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) big(file, static_cast<std::uint32_t>((x * 4095 / width + y * 1000 / height + ((x ^ y) & 63)) & 0xFFF), 2);
  return file;
}

bool same_pixels(FIBITMAP* a, FIBITMAP* b) {
  if (FreeImage_GetPitch(a) != FreeImage_GetPitch(b) || FreeImage_GetHeight(a) != FreeImage_GetHeight(b)) return false;
  return std::equal(FreeImage_GetBits(a), FreeImage_GetBits(a) + std::size_t{FreeImage_GetPitch(a)} * FreeImage_GetHeight(a),
                    FreeImage_GetBits(b));
}

// Every encoding, at a real size, decodes in the confined decoder exactly as
// in the run's own process: strip and preview page, byte for byte. So do a
// camera raw file (threads of OpenMP) and a JPEG 2000 with the variables
// that make OpenJPEG and OpenMP start threads in the caller's environment.
TEST(Encodings, RealSizedViewsDecodeConfinedAsInProcess) {
#ifndef INTERLACE_CONFINE
  GTEST_SKIP() << "built without confinement: both decodes would be the same one";
#endif
  if (!have("convert")) GTEST_SKIP() << "ImageMagick is not installed (the test command installs imagemagick)";
  setenv("OPJ_NUM_THREADS", "4", 1);
  setenv("OMP_NUM_THREADS", "4", 1);
  TempDir dir;
  make_real_sized_sources(dir);
  test_support::write_file(dir / "raw.mrw", minolta_raw(1600, 1200));
  std::vector<Encoding> rows(std::begin(kEncodings), std::end(kEncodings));
  rows.push_back({"camera raw (Minolta MRW)", "cp", "cp raw.mrw v.mrw", "v.mrw"});
  interlace::use_decoder_program(INTERLACE_DECODER);  // the tool's, from the build tree
  interlace::Decoder decoder;
  for (const Encoding& e : rows) {
    SCOPED_TRACE(e.name);
    const std::string file = encoded(e, dir);
    if (file.empty()) continue;
    const interlace::DecodeRequest request{3, std::nullopt};
    try {
      const interlace::DecodedView confined = decoder.decode(interlace::OpenedView::open(file), request);
      const interlace::DecodedView in_process = interlace::decode_view(interlace::OpenedView::open(file), request);
      EXPECT_EQ(confined.size, in_process.size);
      EXPECT_TRUE(same_pixels(confined.strip.get(), in_process.strip.get())) << "strips differ";
      EXPECT_TRUE(same_pixels(confined.page.get(), in_process.page.get())) << "pages differ";
      EXPECT_EQ(confined.conversion, in_process.conversion);
    } catch (const interlace::ViewRefused& refused) {
      ADD_FAILURE() << "refused, kind " << static_cast<int>(refused.problem().kind) << ": " << refused.problem().message;
    }
  }
}

// A turned JPEG takes its upright size: it must match upright views and is
// refused beside views of its stored size.
TEST(Encodings, TurnedJpegIsSizedUpright) {
  if (!have("convert") || !have("cjpeg")) GTEST_SKIP() << "needs ImageMagick and cjpeg (the test command installs them)";
  const struct {
    const char* other_view;
    int status;
  } cases[] = {{"convert src.png -rotate 90 v_rs_c02.bmp", 0}, {"convert src.png BMP3:v_rs_c02.bmp", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.other_view);
    TempDir dir;
    make_sources(dir);
    ASSERT_TRUE(run(std::string("cjpeg src.ppm > v_rs_c01.bmp && ") + c.other_view, dir));
    add_exif_orientation(dir / "v_rs_c01.bmp", 6);
    EXPECT_EQ(test_support::run_tool({dir / "v", "t", "2", "0", "0", "300", "0"}).status, c.status);
    EXPECT_EQ(test_support::file_exists(dir / "v_interlace.bmp"), c.status == 0);
  }
}

// The TIFF decoder writes warnings about unknown tags to standard error
// itself; loading a view must not let them through.
TEST(Encodings, LoadingATiffPrintsNothing) {
  if (!have("convert")) GTEST_SKIP() << "ImageMagick is not installed (the test command installs imagemagick)";
  TempDir dir;
  make_sources(dir);
  ASSERT_TRUE(run("convert src.png -depth 16 TIFF:v_rs_c01.bmp", dir));
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  const int capture = open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(capture, STDERR_FILENO);
  std::optional<interlace::ViewSize> size;
  const bool loaded = interlace::load_view(dir / "v", 1, 1, size) != nullptr;
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(capture);
  EXPECT_TRUE(loaded);
  EXPECT_EQ(test_support::read_file(dir / "stderr").size(), 0u);
}

}  // namespace
