// The tool under conditions made to break it: damaged and absurd view files,
// full and read-only file systems, too little memory. Every run must end with
// a status, print nothing, and leave the folder as it was unless it
// succeeded.

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "test_support.h"

namespace {

using test_support::Bytes;
using test_support::TempDir;

std::vector<std::string> two_views(const std::string& base) { return {base, "t", "2", "0", "0", "300", "0"}; }

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
}

// Runs the tool on a folder whose view 2 is `view2` and checks the promise:
// status 0 with both outputs complete, or status 2 with nothing changed.
void expect_refused_or_done(const TempDir& dir, const Bytes& view2, const std::string& what) {
  SCOPED_TRACE(what);
  test_support::write_file(dir / "s_rs_c02.bmp", view2);
  std::remove((dir / "s_interlace.bmp").c_str());
  std::remove((dir / "s_animation.gif").c_str());
  const auto before = test_support::snapshot(dir.path());
  const test_support::ToolResult result = test_support::run_tool(two_views(dir / "s"));
  EXPECT_EQ(result.output, "");
  if (result.status == 0) {
    const auto bmp = test_support::parse_bmp(test_support::read_file(dir / "s_interlace.bmp"));
    EXPECT_EQ(bmp.width, 40);
    EXPECT_EQ(test_support::parse_gif(test_support::read_file(dir / "s_animation.gif")).frames.size(), 2u);
  } else {
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(test_support::snapshot(dir.path()), before);
  }
}

TEST(HostileViews, DamagedFilesOfEveryCommonFormat) {
  for (const char* format : {"BMP", "PNG", "JPEG", "TIFF", "GIF", "TARGA", "PPMRAW", "WEBP"}) {
    TempDir dir;
    const std::string depth = std::string(format) == "GIF" ? "pal" : "24";
    ASSERT_TRUE(test_support::make_views(dir / "s", 2, 40, 30, format, depth)) << format;
    ASSERT_TRUE(test_support::make_views(dir / "other", 1, 40, 30, "PNG"));
    const Bytes whole = test_support::read_file(dir / "s_rs_c02.bmp");
    const Bytes other = test_support::read_file(dir / "other_rs_c01.bmp");
    std::remove((dir / "other_rs_c01.bmp").c_str());
    std::mt19937 random(42);
    for (int i = 0; i < 12; ++i) {
      Bytes cut(whole.begin(), whole.begin() + static_cast<long>(random() % whole.size()));
      expect_refused_or_done(dir, cut, std::string(format) + " cut to " + std::to_string(cut.size()));

      Bytes flipped = whole;
      for (int f = 0; f < 4; ++f) flipped[random() % flipped.size()] ^= static_cast<unsigned char>(1 << (random() % 8));
      expect_refused_or_done(dir, flipped, std::string(format) + " bit-flipped, round " + std::to_string(i));

      Bytes spliced(whole.begin(), whole.begin() + static_cast<long>(random() % whole.size()));
      spliced.insert(spliced.end(), other.begin() + static_cast<long>(random() % other.size()), other.end());
      expect_refused_or_done(dir, spliced, std::string(format) + " spliced, round " + std::to_string(i));
    }
  }
}

// Some decoders load a file cut short as if it were whole, filling what is
// missing; such a view is refused all the same.
TEST(HostileViews, ViewsCutShortAreRefused) {
  const struct {
    const char* format;
    const char* depth;
  } formats[] = {{"BMP", "24"},   {"BMP", "pal"},  {"PNG", "24"},    {"JPEG", "24"},  {"TIFF", "24"},
                 {"GIF", "pal"},  {"TARGA", "24"}, {"TARGA", "pal"}, {"PPMRAW", "24"}, {"PGMRAW", "8"},
                 {"PPMRAW", "48"}, {"WEBP", "24"}};
  for (const auto& f : formats) {
    TempDir dir;
    ASSERT_TRUE(test_support::make_views(dir / "s", 2, 40, 30, f.format, f.depth)) << f.format;
    const Bytes whole = test_support::read_file(dir / "s_rs_c02.bmp");
    for (const double kept : {0.3, 0.6, 0.9}) {
      const Bytes cut(whole.begin(), whole.begin() + static_cast<long>(static_cast<double>(whole.size()) * kept));
      test_support::write_file(dir / "s_rs_c02.bmp", cut);
      const test_support::ToolResult result = test_support::run_tool(two_views(dir / "s"));
      EXPECT_EQ(result.status, 2) << f.format << " " << f.depth << " cut to " << cut.size() << " of " << whole.size();
    }
  }
}

TEST(HostileViews, AbsurdBmpHeaders) {
  TempDir dir;
  ASSERT_TRUE(test_support::make_views(dir / "s", 2, 40, 30));
  const Bytes whole = test_support::read_file(dir / "s_rs_c02.bmp");
  const struct {
    const char* what;
    std::size_t offset;
    std::uint32_t value;
  } fields[] = {
      {"width 2^31 - 1", 18, 0x7fffffff}, {"width -1", 18, 0xffffffff},  {"width 0", 18, 0},
      {"height 2^31 - 1", 22, 0x7fffffff}, {"height -2^31", 22, 0x80000000}, {"height 0", 22, 0},
      {"depth 0", 28, 0x00010000},       {"depth 13", 28, 0x000d0001},    {"depth 65535", 28, 0xffff0001},
      {"pixel offset past the end", 10, 0x7fffffff}, {"pixel offset 0", 10, 0},
      {"compression RLE8 on 24 bits", 30, 1}, {"compression JPEG", 30, 4}, {"compression 99", 30, 99},
      {"header size 0", 14, 0}, {"header size 2^32 - 1", 14, 0xffffffff},
      {"palette of 2^32 - 1 colours", 46, 0xffffffff},
  };
  for (const auto& f : fields) {
    Bytes view = whole;
    put32(view, f.offset, f.value);
    expect_refused_or_done(dir, view, f.what);
  }
}

// Every file in which fuzzing found a library decoder crashing or hanging is
// refused before it reaches that decoder.
TEST(HostileViews, FuzzFindingsAreRefused) {
  const auto findings = test_support::snapshot(FUZZ_FINDINGS_DIR);
  ASSERT_GE(findings.size(), 10u);
  for (const auto& [name, bytes] : findings) {
    SCOPED_TRACE(name);
    TempDir dir;
    test_support::write_file(dir / "s_rs_c01.bmp", bytes);
    test_support::write_file(dir / "s_rs_c02.bmp", bytes);
    const auto before = test_support::snapshot(dir.path());
    const test_support::ToolResult result = test_support::run_tool(two_views(dir / "s"));
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(test_support::snapshot(dir.path()), before);
  }
}

// Public proof-of-concept files for the image library's memory-safety bugs,
// when a folder of them is there: as view 1 of 1 and as view 2 of 2, over
// earlier outputs, each ends with status 2 and changes nothing. The tool's
// own checks stop every one before the library, so built without
// confinement, under the sanitizers, none may reach a memory error either.
TEST(HostileViews, PublicProofsOfConceptAreRefused) {
  struct stat folder {};
  if (stat(POC_DIR, &folder) != 0) GTEST_SKIP() << "no proof-of-concept files at " << POC_DIR;
  for (const auto& [name, bytes] : test_support::snapshot(POC_DIR)) {
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".md") == 0) continue;
    for (const int views : {1, 2}) {
      SCOPED_TRACE(testing::Message() << name << " as view " << views << " of " << views);
      TempDir dir;
      if (views == 2) {
        ASSERT_TRUE(test_support::make_views(dir / "s", 1, 64, 48));
      }
      test_support::write_file(dir / ("s_rs_c0" + std::to_string(views) + ".bmp"), bytes);
      test_support::write_file(dir / "s_interlace.bmp", {'o', 'l', 'd'});
      test_support::write_file(dir / "s_animation.gif", {'o', 'l', 'd'});
      const auto before = test_support::snapshot(dir.path());
      const test_support::ToolResult result =
          test_support::run_tool({dir / "s", "t", std::to_string(views), "0", "0", "300", "0"});
      EXPECT_EQ(result.status, 2);
      EXPECT_EQ(result.output, "");
      EXPECT_EQ(test_support::snapshot(dir.path()), before);
    }
  }
}

// A Targa file of `width` x `height` run-length coded 24-bit pixels whose
// data is `packets`, with the footer by which the library knows the format.
Bytes targa_rle(int width, int height, const Bytes& packets) {
  const auto byte = [](int value) { return static_cast<unsigned char>(value); };
  // Run-length coded true colour, 24 bits, top row first.
  Bytes file{0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, byte(width), 0, byte(height), 0, 24, 0x20};
  for (const unsigned char b : packets) file.push_back(b);
  for (const char c : std::string("\0\0\0\0\0\0\0\0TRUEVISION-XFILE.\0", 26)) file.push_back(byte(c));
  return file;
}

// A Radiance HDR file with `size_line` and then `data`.
Bytes radiance(const std::string& size_line, const Bytes& data) {
  const std::string header = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n" + size_line + "\n";
  Bytes file(header.begin(), header.end());
  for (const unsigned char b : data) file.push_back(b);
  return file;
}

// One run-length scanline of `width` pixels per channel as `runs` (count
// over 128: a run of one value; else that many literal values follow).
Bytes hdr_scanline(int declared_width, const std::vector<Bytes>& channels) {
  Bytes line{2, 2, static_cast<unsigned char>(declared_width >> 8), static_cast<unsigned char>(declared_width)};
  for (const Bytes& channel : channels) line.insert(line.end(), channel.begin(), channel.end());
  return line;
}

// `jpeg` with an APP1 segment of EXIF data right after its start: a
// big-endian TIFF structure whose first directory holds `entries` (12 bytes
// each) and then points to the directory at `next`.
Bytes with_exif(Bytes jpeg, const std::vector<Bytes>& entries, std::uint32_t next) {
  Bytes exif{'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, static_cast<unsigned char>(entries.size())};
  for (const Bytes& entry : entries) exif.insert(exif.end(), entry.begin(), entry.end());
  for (int shift = 24; shift >= 0; shift -= 8) exif.push_back(static_cast<unsigned char>(next >> shift));
  const std::size_t length = exif.size() + 2;
  Bytes segment{0xFF, 0xE1, static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
  segment.insert(segment.end(), exif.begin(), exif.end());
  jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
  return jpeg;
}

// A 16 x 16 `webp` in the extended form, with an EXIF chunk of `tiff`.
Bytes webp_with_exif(const Bytes& webp, const Bytes& tiff) {
  Bytes file{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'};
  const Bytes extended{'V', 'P', '8', 'X', 10, 0, 0, 0, 0x08, 0, 0, 0, 15, 0, 0, 15, 0, 0};
  for (const unsigned char b : extended) file.push_back(b);
  for (std::size_t i = 12; i < webp.size(); ++i) file.push_back(webp[i]);
  for (const unsigned char b : Bytes{'E', 'X', 'I', 'F', static_cast<unsigned char>(tiff.size()), 0, 0, 0}) file.push_back(b);
  for (const unsigned char b : tiff) file.push_back(b);
  if (tiff.size() % 2 != 0) file.push_back(0);
  put32(file, 4, static_cast<std::uint32_t>(file.size() - 8));
  return file;
}

// A little-endian TIFF of 2 x 2 grey pixels whose one directory holds
// `entries` (tag, type, count, value; values inline), followed by `next`.
struct TiffEntry {
  std::uint16_t tag, type;
  std::uint32_t count, value;
};
constexpr std::uint32_t kTiffPixels = 8 + 2 + 12 * 10 + 4;  // past a directory of ten entries
const std::vector<TiffEntry> kGreyTiff{{256, 3, 1, 2}, {257, 3, 1, 2},           {258, 3, 1, 8},
                                       {259, 3, 1, 1}, {262, 3, 1, 1},           {273, 4, 1, kTiffPixels},
                                       {277, 3, 1, 1}, {278, 3, 1, 2},           {279, 4, 1, 4},
                                       {284, 3, 1, 1}};
Bytes tiff_file(const std::vector<TiffEntry>& entries, std::uint32_t next = 0) {
  Bytes file{'I', 'I', 42, 0, 8, 0, 0, 0, static_cast<unsigned char>(entries.size()), 0};
  const auto put = [&file](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) file.push_back(static_cast<unsigned char>(value >> (8 * i)));
  };
  for (const TiffEntry& e : entries) {
    put(e.tag, 2);
    put(e.type, 2);
    put(e.count, 4);
    put(e.value, 4);
  }
  put(next, 4);
  for (int i = 0; i < 4; ++i) file.push_back(static_cast<unsigned char>(60 * i));
  return file;
}
// kGreyTiff with the entry of `tag` given `count` and `value`.
std::vector<TiffEntry> grey_tiff_with(std::uint16_t tag, std::uint32_t count, std::uint32_t value) {
  std::vector<TiffEntry> entries = kGreyTiff;
  for (TiffEntry& e : entries)
    if (e.tag == tag) e = {tag, e.type, count, value};
  return entries;
}

struct HoleCase {
  std::string what;
  Bytes file;
  std::string reason;
};

// kGreyTiff followed by 65,535 more directories of 65,535 entries each,
// overlapping one another in 1 MB: sound, but a walk that parsed every
// entry of every directory would take longer than the decoder is given.
Bytes tiff_of_a_long_chain() {
  constexpr std::uint32_t kChain = 65535, kFirst = kTiffPixels + 4, kEntriesBytes = 2 + 65535 * 12;
  Bytes file = tiff_file(kGreyTiff, kFirst);
  file.resize(kFirst + 4 * (kChain - 1) + kEntriesBytes + 4, 0);
  for (std::uint32_t k = 0; k < kChain; ++k) {
    const std::uint32_t at = kFirst + 4 * k;
    file[at] = file[at + 1] = 0xFF;
    put32(file, at + kEntriesBytes, k + 1 < kChain ? at + 4 : 0);
  }
  return file;
}

// The files the hostile ones below are made from are sound, and so are a
// long chain of directories that only the first of is an image, EXIF of
// types the tool doesn't know (EXIF 3.0's UTF-8) and a second EXIF segment,
// which viewers pass over (its orientation, 3, is not the first's, 6).
TEST(HostileViews, SoundFilesTheHolesAreMadeFromAreRead) {
  TempDir made;
  ASSERT_TRUE(test_support::make_views(made / "j", 1, 32, 16, "JPEG"));
  const Bytes jpeg = test_support::read_file(made / "j_rs_c01.bmp");
  const Bytes orientation_3{0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 3, 0, 0}, orientation_6{0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0};
  const Bytes utf8_text{0x01, 0x0E, 0, 129, 0, 0, 0, 3, 'o', 'k', 0, 0}, unknown_type{0x01, 0x31, 0, 99, 0, 0, 0, 1, 0, 0, 0, 0};
  const struct {
    const char* what;
    Bytes file;
    int width, height;
  } cases[] = {
      {"grey TIFF", tiff_file(kGreyTiff), 2, 2},
      {"TIFF of a long chain", tiff_of_a_long_chain(), 2, 2},
      {"EXIF of UTF-8 and unknown types", with_exif(jpeg, {orientation_6, utf8_text, unknown_type}, 0), 16, 32},
      {"two EXIF segments", with_exif(with_exif(jpeg, {orientation_3}, 0), {orientation_6}, 0), 16, 32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    test_support::write_file(dir / "s_rs_c01.bmp", c.file);
    ASSERT_EQ(test_support::run_tool({dir / "s", "t", "1", "0", "0", "300", "0"}).status, 0);
    const test_support::BmpFile print = test_support::parse_bmp(test_support::read_file(dir / "s_interlace.bmp"));
    EXPECT_EQ(print.width, c.width);
    EXPECT_EQ(print.height, c.height);
  }
}

// Each class of file that reaches a known memory-safety bug of the library's
// readers, made small here: refused on the tool's own walk before the library
// reads it, with the reason named by interlace-check.
TEST(HostileViews, KnownHolesAreRefusedWithTheirReason) {
  const Bytes eight_channel_run{0x88, 7};
  TempDir made;
  EXPECT_TRUE(test_support::make_views(made / "j", 1, 16, 16, "JPEG"));
  const Bytes jpeg = test_support::read_file(made / "j_rs_c01.bmp");
  const Bytes orientation_6{0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0};
  const Bytes text_far_away{0x01, 0x0E, 0, 2, 0, 0, 0, 100, 0, 0, 0xFF, 0xFF};
  const Bytes exif_pointer_far_away{0x87, 0x69, 0, 4, 0, 0, 0, 1, 0x7F, 0, 0, 0};
  EXPECT_TRUE(test_support::make_views(made / "w", 1, 16, 16, "WEBP"));
  const Bytes webp = test_support::read_file(made / "w_rs_c01.bmp");
  Bytes tiff_far_away{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1};
  tiff_far_away.insert(tiff_far_away.end(), text_far_away.begin(), text_far_away.end());
  tiff_far_away.insert(tiff_far_away.end(), {0, 0, 0, 0});
  std::vector<HoleCase> cases{
      {"Targa run past the image", targa_rle(4, 2, {0xFF, 1, 2, 3}), "Targa RLE packet runs past the image"},
      {"Targa literal past the image", targa_rle(2, 1, {0x02, 1, 2, 3, 4, 5, 6, 7, 8, 9}),
       "Targa RLE packet runs past the image"},
      {"HDR width past 32 bits", radiance("-Y 4 +X 24444444444444", {}), "Radiance HDR size is out of range"},
      {"HDR negative height", radiance("-Y -4 +X 8", {}), "Radiance HDR size is out of range"},
      {"HDR run past its scanline",
       radiance("-Y 1 +X 8", hdr_scanline(8, {{0x89, 7}, eight_channel_run, eight_channel_run, eight_channel_run})),
       "Radiance HDR run runs past its scanline"},
      {"HDR scanline of another width",
       radiance("-Y 1 +X 8", hdr_scanline(9, {eight_channel_run, eight_channel_run, eight_channel_run,
                                              eight_channel_run})),
       "Radiance HDR run-length scanline is not as wide as the image"},
      {"EXIF value past its segment", with_exif(jpeg, {orientation_6, text_far_away}, 0),
       "EXIF directory claims data past its segment"},
      {"EXIF sub-directory past its segment", with_exif(jpeg, {exif_pointer_far_away}, 0),
       "EXIF directory claims data past its segment"},
      {"EXIF directories in a loop", with_exif(jpeg, {orientation_6}, 8), "EXIF directories loop"},
      {"WebP EXIF value past its chunk", webp_with_exif(webp, tiff_far_away),
       "EXIF directory claims data past its segment"},
      {"HDR pixels cut short", radiance("-Y 2 +X 8", hdr_scanline(8, {eight_channel_run, eight_channel_run})),
       "truncated"},
  };
  std::vector<TiffEntry> swapped = kGreyTiff;
  std::swap(swapped[0], swapped[1]);
  std::vector<TiffEntry> two_grey_samples = grey_tiff_with(277, 1, 2);
  two_grey_samples[2] = {258, 3, 3, 8};
  std::vector<TiffEntry> colour_of_two = grey_tiff_with(277, 1, 2);
  colour_of_two[2] = {258, 3, 2, 8 | 8 << 16};
  colour_of_two[4] = {262, 3, 1, 2};
  std::vector<TiffEntry> separate_nibbles = grey_tiff_with(284, 1, 2);
  separate_nibbles[2] = {258, 3, 1, 4};
  cases.insert(cases.end(), {
      {"TIFF tags out of order", tiff_file(swapped), "TIFF directory's tags are out of order"},
      {"TIFF bits for more samples than it has", tiff_file(two_grey_samples),
       "TIFF BitsPerSample has 3 values for 2 samples per pixel"},
      {"TIFF colour of two samples", tiff_file(colour_of_two), "TIFF colour image with 2 samples per pixel"},
      {"TIFF separate planes of 4 bits", tiff_file(separate_nibbles),
       "TIFF separate planes of fewer than 8 bits per sample"},
      {"TIFF strip past the end", tiff_file(grey_tiff_with(273, 1, 5000)), "TIFF strip lies past the end of the file"},
      {"TIFF directories in a loop", tiff_file(kGreyTiff, 8), "TIFF directories loop"},
  });
  // Grey with alpha, at every depth the format allows: the library misreads
  // each (4-bit nibbles as one grey, floating point without its alpha).
  for (const std::uint32_t bits : {1u, 2u, 4u, 8u, 16u, 32u}) {
    std::vector<TiffEntry> grey_alpha = grey_tiff_with(277, 1, 2);
    grey_alpha[2] = {258, 3, 2, bits | bits << 16};
    grey_alpha.push_back({338, 3, 1, 2});  // unassociated alpha
    if (bits == 32) grey_alpha.push_back({339, 3, 2, 3 | 3 << 16});  // floating point
    cases.push_back({"TIFF grey and alpha of " + std::to_string(bits) + " bits", tiff_file(grey_alpha),
                     "TIFF grey with 1 further sample per pixel (alpha), which the library misreads"});
  }
  // A header longer than any buffer: the header is read to its end.
  const std::string long_header = "P6\n#" + std::string(5000, 'x') + "\n64 48\n255\n";
  Bytes ppm_cut_short(long_header.begin(), long_header.end());
  ppm_cut_short.resize(ppm_cut_short.size() + 64 * 48 * 3 / 4, 128);
  cases.push_back({"PPM with a long comment, cut short", ppm_cut_short, "truncated"});
  // The library reads no JPEG 2000 header alone; the tool reads the size.
  ASSERT_TRUE(test_support::make_views(made / "k", 1, 64, 48, "J2K"));
  Bytes j2k_bomb = test_support::read_file(made / "k_rs_c01.bmp");
  ASSERT_GT(j2k_bomb.size(), 16u);
  for (std::size_t at : {8u, 12u}) {  // SIZ's width and height
    for (int i = 0; i < 4; ++i) j2k_bomb[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(24000u >> (24 - 8 * i));
  }
  cases.push_back({"J2K claiming 24000 x 24000", j2k_bomb, "decompression bomb"});
  // 2 x 2 pixels of 32 bits whose masks put red in the low byte, as the
  // library never reads them: it would print red as blue.
  Bytes rgba_bmp{'B', 'M', 82, 0, 0, 0, 0, 0, 0, 0, 66, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 32, 0, 3, 0,
                 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                 0xFF, 0, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0xFF, 0};
  rgba_bmp.resize(82, 0xFF);
  cases.push_back({"BMP with red in the low byte", rgba_bmp, "BMP colour masks the library would misread"});
  // HEIF, AVIF and JPEG XL, where the build reads them: a size bomb, a
  // high-dynamic-range transfer, no primary image.
#if defined(INTERLACE_HEIF) && defined(INTERLACE_JXL)
  ASSERT_TRUE(test_support::run_shell("convert -size 64x48 gradient:red-blue s.png && heif-enc s.png -o s.heic && "
                                      "avifenc --cicp 9/16/9 s.png pq.avif",
                                      made.path()))
      << "needs ImageMagick, heif-enc and avifenc (the test command installs them)";
  const Bytes heic = test_support::read_file(made / "s.heic");
  const auto patched = [&heic](const char* box, const Bytes& contents) {
    Bytes file = heic;
    const auto at = std::search(file.begin(), file.end(), box, box + 4);
    EXPECT_NE(at, file.end()) << box;
    if (at != file.end()) std::copy(contents.begin(), contents.end(), at);
    return file;
  };
  // The image's spatial extents, 60000 x 60000, in a few kilobytes.
  cases.push_back({"HEIF claiming 60000 x 60000",
                   patched("ispe", {'i', 's', 'p', 'e', 0, 0, 0, 0, 0, 0, 0xEA, 0x60, 0, 0, 0xEA, 0x60}),
                   "decompression bomb"});
  cases.push_back({"HEIF without a primary image", patched("pitm", {'f', 'r', 'e', 'e'}), "has no primary image"});
  cases.push_back({"AVIF of the PQ transfer", test_support::read_file(made / "pq.avif"), "(PQ transfer)"});
  // A bare codestream whose size header claims 2^30 x 2^30 (30-bit height,
  // width by the ratio 1:1), then nothing.
  Bytes jxl{0xFF, 0x0A};
  std::vector<int> bits{0, 1, 1};  // not in eighths; the 30-bit width of the height
  bits.insert(bits.end(), 30, 1);
  bits.insert(bits.end(), {1, 0, 0, 1});  // ratio 1; all defaults
  for (std::size_t i = 0; i < bits.size(); i += 8) {
    unsigned char byte = 0;
    for (std::size_t b = 0; b < 8 && i + b < bits.size(); ++b) byte = static_cast<unsigned char>(byte | bits[i + b] << b);
    jxl.push_back(byte);
  }
  jxl.resize(64, 0);
  cases.push_back({"JPEG XL claiming 2^30 x 2^30", jxl, "decompression bomb"});
#endif
  // Its scan repeated: every scan is a pass over the whole picture.
  Bytes many_scans = jpeg;
  const Bytes start_of_scan{0xFF, 0xDA};
  const auto scan = std::search(many_scans.begin(), many_scans.end(), start_of_scan.begin(), start_of_scan.end());
  const Bytes one_scan(scan, many_scans.end() - 2);
  for (int i = 0; i < 500; ++i) many_scans.insert(many_scans.end() - 2, one_scan.begin(), one_scan.end());
  cases.push_back({"JPEG of 501 scans", many_scans, "more than 500 scans"});
  for (const HoleCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    test_support::write_file(dir / "s_rs_c01.bmp", c.file);
    test_support::write_file(dir / "s_interlace.bmp", {'o', 'l', 'd'});
    const auto before = test_support::snapshot(dir.path());
    const std::vector<std::string> arguments{dir / "s", "t", "1", "0", "0", "300", "0"};
    EXPECT_EQ(test_support::run_tool(arguments).status, 2);
    EXPECT_EQ(test_support::snapshot(dir.path()), before);
    const test_support::ToolResult check = test_support::run_check(arguments);
    EXPECT_EQ(check.status, 2);
    EXPECT_NE(check.output.find(c.reason), std::string::npos) << check.output;
  }
}

// What a customer's file says of itself stays out of both outputs: the
// preview goes to the customer's client, the print to the printer.
TEST(HostileViews, ViewMetadataReachesNeitherOutput) {
  TempDir dir;
  ASSERT_TRUE(test_support::make_views(dir / "s", 2, 64, 48, "JPEG"));
  const std::string secret = "CONFIDENTIAL client=Example price=1234";
  for (const char* name : {"s_rs_c01.bmp", "s_rs_c02.bmp"}) {
    Bytes jpeg = test_support::read_file(dir / name);
    const std::size_t length = secret.size() + 2;
    Bytes comment{0xFF, 0xFE, static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
    comment.insert(comment.end(), secret.begin(), secret.end());
    jpeg.insert(jpeg.begin() + 2, comment.begin(), comment.end());
    test_support::write_file(dir / name, jpeg);
  }
  ASSERT_EQ(test_support::run_tool(two_views(dir / "s")).status, 0);
  for (const char* output : {"s_interlace.bmp", "s_animation.gif"}) {
    const Bytes bytes = test_support::read_file(dir / output);
    EXPECT_EQ(std::search(bytes.begin(), bytes.end(), secret.begin(), secret.begin() + 12), bytes.end()) << output;
  }
}

bool sanitized_build() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

TEST(HostileConditions, MemoryCapFarBelowTheViews) {
  if (sanitized_build()) GTEST_SKIP() << "AddressSanitizer reserves more address space than any cap allows";
  TempDir dir;
  ASSERT_TRUE(test_support::make_views(dir / "s", 2, 6000, 4000));  // 72 MB a view
  test_support::write_file(dir / "s_interlace.bmp", {'o', 'l', 'd'});
  const auto before = test_support::snapshot(dir.path());
  for (const std::uint64_t megabytes : {48u, 64u, 96u}) {
    SCOPED_TRACE(testing::Message() << megabytes << " MB");
    const test_support::ToolResult result = test_support::run_tool(two_views(dir / "s"), ".", megabytes << 20);
    EXPECT_TRUE(result.status == 2 || result.status == 3) << "status " << result.status;
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(test_support::snapshot(dir.path()), before);
  }
}

// A small file system of our own, where the tests may fill it or make it
// read-only. Needs root, as CI has; elsewhere the tests say why they skip.
class ScratchMount {
 public:
  explicit ScratchMount(const std::string& path, const std::string& size) : path_(path) {
    mounted_ = geteuid() == 0 && mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~ScratchMount() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  bool make_read_only() {
    return mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }
  // Leaves `bytes` free, give or take a page.
  void fill_leaving(std::uint64_t bytes) {
    struct statvfs info {};
    statvfs(path_.c_str(), &info);
    const std::uint64_t free_bytes = std::uint64_t{info.f_bavail} * info.f_frsize;
    if (free_bytes > bytes) test_support::write_file(path_ + "/filler", Bytes(free_bytes - bytes, 0));
  }

 private:
  std::string path_;
  bool mounted_ = false;
};

constexpr const char* kNeedsMount = "needs root and tmpfs mounts (CI has both)";

// The folder with views, earlier outputs, and `free_bytes` left on the disk.
void expect_write_failure_changes_nothing(std::uint64_t free_bytes, bool read_only) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "disk").c_str(), 0755), 0);
  ScratchMount disk(dir / "disk", "1m");
  if (!disk.mounted()) GTEST_SKIP() << kNeedsMount;
  ASSERT_TRUE(test_support::make_views(dir / "disk/s", 2, 100, 100));  // BMP outputs of 30 KB
  test_support::write_file(dir / "disk/s_interlace.bmp", {'o', 'l', 'd'});
  test_support::write_file(dir / "disk/s_animation.gif", {'o', 'l', 'd'});
  if (read_only) {
    ASSERT_TRUE(disk.make_read_only());
  } else {
    disk.fill_leaving(free_bytes);
  }
  const auto before = test_support::snapshot(dir / "disk");
  const test_support::ToolResult result = test_support::run_tool(two_views("s"), dir / "disk");
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(test_support::snapshot(dir / "disk"), before);
}

TEST(HostileConditions, FullDiskBeforeThePrintImage) { expect_write_failure_changes_nothing(4096, false); }

TEST(HostileConditions, FullDiskBeforeThePreview) {
  // Room for the 30 KB print image but not the preview after it.
  expect_write_failure_changes_nothing(36 * 1024, false);
}

TEST(HostileConditions, ReadOnlyFolder) { expect_write_failure_changes_nothing(0, true); }

}  // namespace
