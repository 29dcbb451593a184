#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include "decoder/standard_error_silenced.h"

namespace test_support {

namespace {

void remove_tree(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    chmod(path.c_str(), 0700);  // tests make read-only folders
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") remove_tree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

std::uint32_t u32(const Bytes& b, std::size_t at) {
  return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
         std::uint32_t(b[at + 3]) << 24;
}

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

int run_program(const std::vector<std::string>& argv, const std::string& folder, std::string* output,
                std::uint64_t memory_limit = 0, std::uint64_t file_size_limit = 0) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return -2;
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    dup2(pipe_fds[1], STDERR_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    if (chdir(folder.c_str()) != 0) _exit(126);
    if (memory_limit != 0) {
      const rlimit limit{memory_limit, memory_limit};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (file_size_limit != 0) {
      const rlimit limit{file_size_limit, file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    alarm(60);  // a hang fails the test instead of stalling the suite
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  const std::string text = read_all(pipe_fds[0]);
  close(pipe_fds[0]);
  if (output) *output = text;
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TempDir::TempDir() {
  const char* root = std::getenv("TMPDIR");
  std::string pattern = std::string(root && *root ? root : "/tmp") + "/interlace-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = pattern;
}

TempDir::~TempDir() { remove_tree(path_); }

std::vector<std::string> entry_names(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* listing = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(listing)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(listing);
  }
  std::sort(names.begin(), names.end());
  return names;
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

std::map<std::string, Bytes> snapshot(const std::string& folder) {
  std::map<std::string, Bytes> entries;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return entries;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + "/" + name;
    struct stat info {};
    lstat(path.c_str(), &info);
    if (S_ISDIR(info.st_mode)) {
      entries[name + "/"] = {};
      for (auto& [inner, bytes] : snapshot(path)) entries[name + "/" + inner] = bytes;
    } else if (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) {
      entries[name] = read_file(path);
    } else {
      const std::string special = "(no regular file)";  // a FIFO would block a read
      entries[name] = Bytes(special.begin(), special.end());
    }
  }
  closedir(dir);
  return entries;
}

const unsigned char* BmpFile::pixel(const Bytes& file, int x, int y) const {
  return file.data() + pixel_offset + static_cast<std::uint64_t>(y) * row_bytes +
         3 * static_cast<std::uint64_t>(x);
}

BmpFile parse_bmp(const Bytes& file) {
  BmpFile bmp;
  if (file.size() < 54 || file[0] != 'B' || file[1] != 'M') {
    ADD_FAILURE() << "not a BMP file";
    return bmp;
  }
  bmp.file_size = u32(file, 2);
  bmp.pixel_offset = u32(file, 10);
  bmp.width = static_cast<std::int32_t>(u32(file, 18));
  bmp.height = static_cast<std::int32_t>(u32(file, 22));
  bmp.bits_per_pixel = static_cast<std::uint16_t>(file[28] | file[29] << 8);
  bmp.compression = u32(file, 30);
  bmp.x_pixels_per_metre = static_cast<std::int32_t>(u32(file, 38));
  bmp.y_pixels_per_metre = static_cast<std::int32_t>(u32(file, 42));
  bmp.row_bytes = (static_cast<std::uint64_t>(bmp.width) * bmp.bits_per_pixel + 31) / 32 * 4;
  const std::uint64_t needed = bmp.pixel_offset + bmp.row_bytes * static_cast<std::uint64_t>(bmp.height);
  if (file.size() < needed) ADD_FAILURE() << "BMP pixel data cut short";
  return bmp;
}

FIBITMAP* random_bitmap(int width, int height, unsigned seed) {
  FIBITMAP* bitmap = FreeImage_Allocate(width, height, 24);
  std::mt19937 random(seed);
  for (int y = 0; y < height; ++y) {
    BYTE* row = FreeImage_GetScanLine(bitmap, y);
    for (int i = 0; i < 3 * width; ++i) row[i] = static_cast<BYTE>(random());
  }
  return bitmap;
}

void save_views(const std::string& base, const std::vector<FIBITMAP*>& views, FREE_IMAGE_FORMAT format) {
  for (std::size_t i = 0; i < views.size(); ++i) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "_rs_c%02zu.bmp", i + 1);
    ASSERT_TRUE(FreeImage_Save(format, views[i], (base + suffix).c_str(), 0)) << base << suffix;
  }
}

ToolResult run_tool(const std::vector<std::string>& arguments, const std::string& folder,
                    std::uint64_t memory_limit, std::uint64_t file_size_limit) {
  std::vector<std::string> argv{INTERLACE_TOOL};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ToolResult result;
  result.status = run_program(argv, folder, &result.output, memory_limit, file_size_limit);
  return result;
}

ToolResult run_check(const std::vector<std::string>& arguments, const std::string& folder) {
  std::vector<std::string> argv{INTERLACE_CHECK_TOOL};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ToolResult result;
  result.status = run_program(argv, folder, &result.output);
  return result;
}

bool make_views(const std::string& base, int views, int width, int height, const std::string& format,
                const std::string& depth) {
  // Some of the library's writers (PSD's) leak; that is not the tool's
  // doing, so a sanitized build's leak check is off for the generator.
  const char* sanitizer_options = std::getenv("ASAN_OPTIONS");
  const std::string options = std::string("ASAN_OPTIONS=") + (sanitizer_options ? sanitizer_options : "") +
                              ":detect_leaks=0";
  const std::vector<std::string> argv{"/usr/bin/env", options, MAKE_VIEWS_TOOL, base, std::to_string(views),
                                      std::to_string(width), std::to_string(height), format, depth};
  return run_program(argv, ".", nullptr) == 0;
}

}  // namespace test_support

namespace test_support {

namespace {

int u16(const Bytes& b, std::size_t at) { return b[at] | b[at + 1] << 8; }

// Skips a chain of data sub-blocks; false when the file ends inside it.
bool skip_sub_blocks(const Bytes& b, std::size_t& at) {
  while (at < b.size()) {
    const std::size_t length = b[at++];
    if (length == 0) return true;
    at += length;
  }
  return false;
}

}  // namespace

bool run_shell(const std::string& command, const std::string& folder) {
  return std::system(("cd '" + folder + "' && (" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

Bytes output_of(const std::string& command) {
  Bytes bytes;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    unsigned char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    pclose(pipe);
  }
  return bytes;
}

GifFile parse_gif(const Bytes& b) {
  GifFile gif;
  if (b.size() < 13 || std::string(b.begin(), b.begin() + 3) != "GIF") return gif;
  gif.screen_width = u16(b, 6);
  gif.screen_height = u16(b, 8);
  const int global_colours = (b[10] & 0x80) ? 2 << (b[10] & 7) : 0;
  std::size_t at = 13 + 3 * static_cast<std::size_t>(global_colours);
  int pending_delay = -1;
  while (at < b.size()) {
    const unsigned char block = b[at++];
    if (block == 0x3B) {
      gif.well_formed = true;
      break;
    }
    if (block == 0x21) {
      if (at + 1 >= b.size()) break;
      const unsigned char label = b[at++];
      if (label == 0xF9 && at + 4 < b.size()) pending_delay = u16(b, at + 2);
      if (!skip_sub_blocks(b, at)) break;
    } else if (block == 0x2C) {
      if (at + 9 > b.size()) break;
      GifFrame frame;
      frame.width = u16(b, at + 4);
      frame.height = u16(b, at + 6);
      const unsigned char flags = b[at + 8];
      const int local_colours = (flags & 0x80) ? 2 << (flags & 7) : 0;
      frame.colour_count = local_colours ? local_colours : global_colours;
      frame.interlaced = (flags & 0x40) != 0;
      frame.delay = pending_delay;
      pending_delay = -1;
      at += 9 + 3 * static_cast<std::size_t>(local_colours) + 1;  // descriptor, table, LZW code size
      if (!skip_sub_blocks(b, at)) break;
      gif.frames.push_back(frame);
    } else {
      break;
    }
  }
  return gif;
}

FIBITMAP* load_quietly(FREE_IMAGE_FORMAT format, const std::string& name) {
  const interlace::StandardErrorSilenced quiet;
  return FreeImage_Load(format, name.c_str(), 0);
}

}  // namespace test_support
