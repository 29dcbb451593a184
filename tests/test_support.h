// Helpers shared by the tests: temporary folders, file bytes, an independent
// BMP reader, synthetic views and running the built tool.
#pragma once

#include <FreeImage.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace test_support {

using Bytes = std::vector<unsigned char>;

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);
bool file_exists(const std::string& path);

// The names of a folder's entries (hidden ones too), sorted, without opening
// them: a FIFO would block and some test files are huge.
std::vector<std::string> entry_names(const std::string& folder);

// Every entry of a folder (hidden ones too) with its contents; sub-folders
// are listed with their own entries under "name/", FIFOs, sockets and
// devices with "(no regular file)".
std::map<std::string, Bytes> snapshot(const std::string& folder);

// The fields of a BMP file, read straight from its bytes.
struct BmpFile {
  std::uint32_t file_size = 0;
  std::uint32_t pixel_offset = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint16_t bits_per_pixel = 0;
  std::uint32_t compression = 0;
  std::int32_t x_pixels_per_metre = 0;
  std::int32_t y_pixels_per_metre = 0;
  std::uint64_t row_bytes = 0;  // stored row length, padded to 4 bytes
  // Pixel (x, y) with y counting rows as stored (0 is the picture's bottom).
  const unsigned char* pixel(const Bytes& file, int x, int y) const;
};
BmpFile parse_bmp(const Bytes& file);  // fails the current test when malformed

// A 24-bit bitmap with pseudo-random pixels (and padding left as allocated).
FIBITMAP* random_bitmap(int width, int height, unsigned seed);

// Saves views BASE_rs_c01.bmp ... from `views` in `format`.
void save_views(const std::string& base, const std::vector<FIBITMAP*>& views,
                FREE_IMAGE_FORMAT format = FIF_BMP);

// Runs the built tool with these arguments (argument 0 excluded) and returns
// its exit status; -1 when it died of a signal. Captures anything it prints.
struct ToolResult {
  int status = -1;
  std::string output;  // standard output and standard error together
};
// `memory_limit` (bytes of address space) and `file_size_limit` (bytes a
// file may grow to), 0 for none, are set in the child before the tool
// starts. A run still going after a minute is killed.
ToolResult run_tool(const std::vector<std::string>& arguments, const std::string& folder = ".",
                    std::uint64_t memory_limit = 0, std::uint64_t file_size_limit = 0);

// FreeImage_Load with the TIFF decoder's warnings, which it prints to
// standard error itself, kept out of the test's output.
FIBITMAP* load_quietly(FREE_IMAGE_FORMAT format, const std::string& name);

// The same for interlace-check.
ToolResult run_check(const std::vector<std::string>& arguments, const std::string& folder = ".");

// Runs `command` with sh in `folder`, its output discarded; true when it
// ended with status 0. For encoders installed at test time.
bool run_shell(const std::string& command, const std::string& folder);

// What `command` (run with sh) writes to standard output.
Bytes output_of(const std::string& command);

// Runs the view generator; true when it succeeded.
bool make_views(const std::string& base, int views, int width, int height,
                const std::string& format = "BMP", const std::string& depth = "24");

}  // namespace test_support

namespace test_support {

// The frames of a GIF file, walked block by block from its bytes.
struct GifFrame {
  int width = 0, height = 0;
  int delay = -1;         // hundredths of a second; -1 without a control block
  int colour_count = 0;   // entries in the colour table the frame uses
  bool interlaced = false;
};
struct GifFile {
  bool well_formed = false;
  int screen_width = 0, screen_height = 0;
  std::vector<GifFrame> frames;
};
GifFile parse_gif(const Bytes& file);

}  // namespace test_support
