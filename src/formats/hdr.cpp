#include "formats/hdr.h"

#include <cctype>
#include <cstdint>
#include <optional>
#include <string>

#include "view_problem.h"

namespace interlace {

namespace {

// The library reads header lines into a buffer of this many bytes.
constexpr std::size_t kMostLineBytes = 256;

// The next line from `at`, with its newline, as the library reads it; empty
// when the file ends or the line is longer than the library's buffer.
std::optional<std::string> next_line(ByteReader& data, std::uint64_t& at) {
  std::string line;
  while (line.size() < kMostLineBytes && data.has(at)) {
    line.push_back(static_cast<char>(data[at++]));
    if (line.back() == '\n') return line;
  }
  return std::nullopt;
}

// scanf's "%d": white space, a sign, digits; empty when there are no digits.
// The value saturates past 32 bits, which is out of range all the same.
std::optional<std::int64_t> scan_number(const std::string& text, std::size_t& at) {
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  const bool negative = at < text.size() && text[at] == '-';
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
  if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at]))) return std::nullopt;
  std::int64_t value = 0;
  for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
    value = std::min<std::int64_t>(value * 10 + (text[at] - '0'), std::int64_t{1} << 40);
  }
  return negative ? -value : value;
}

// Matches `text` against a scanf pattern of literal characters, spaces (any
// white space, or none) and two "%d"; the numbers in order.
std::optional<std::pair<std::int64_t, std::int64_t>> scan_pair(const std::string& text, const char* pattern) {
  std::int64_t numbers[2] = {};
  int found = 0;
  std::size_t at = 0;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (*p == ' ') {
      while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    } else if (*p == '%') {
      ++p;  // the 'd'
      const std::optional<std::int64_t> number = scan_number(text, at);
      if (!number) return std::nullopt;
      numbers[found++] = *number;
    } else if (at < text.size() && text[at] == *p) {
      ++at;
    } else {
      return std::nullopt;
    }
  }
  return std::make_pair(numbers[0], numbers[1]);
}

struct HdrSize {
  std::uint64_t width = 0, height = 0;
  std::uint64_t data_offset = 0;
};

// The header's lines up to the blank one, then the size line. Empty where
// the library itself would refuse the header.
std::optional<HdrSize> read_size(const ByteSource& file) {
  ByteReader data(file);
  std::uint64_t at = 0;
  if (!next_line(data, at)) return std::nullopt;  // the signature
  for (std::optional<std::string> line; (line = next_line(data, at));) {
    if (line->front() != '\n' && line->front() != '\0') continue;
    const std::optional<std::string> size_line = next_line(data, at);
    if (!size_line) return std::nullopt;
    // As the library reads them: height then width either way.
    auto numbers = scan_pair(*size_line, "-Y %d +X %d");
    if (!numbers) numbers = scan_pair(*size_line, "+X %d +Y %d");
    if (!numbers) return std::nullopt;
    const auto [height, width] = *numbers;
    if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX)
      refuse_malformed("Radiance HDR size is out of range");
    return HdrSize{static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), at};
  }
  return std::nullopt;
}

// One scanline from `at`, as the library reads it: flat when the width
// allows no run-length coding or the line doesn't start with one, else
// four channels of runs and literals that must fill the width exactly.
void walk_scanline(const ByteSource& file, ByteReader& data, std::uint64_t width, std::uint64_t& at) {
  const auto need = [&](std::uint64_t bytes) {
    if (file.size() < at || file.size() - at < bytes) refuse_truncated(file.size(), at + bytes);
  };
  need(4);
  const bool coded = width >= 8 && width <= 0x7fff && data[at] == 2 && data[at + 1] == 2 && (data[at + 2] & 0x80) == 0;
  if (!coded) {
    need(4 * width);
    at += 4 * width;
    return;
  }
  if ((std::uint64_t{data[at + 2]} << 8 | data[at + 3]) != width)
    refuse_malformed("Radiance HDR run-length scanline is not as wide as the image");
  at += 4;
  for (int channel = 0; channel < 4; ++channel) {
    for (std::uint64_t filled = 0; filled < width;) {
      need(2);
      const unsigned code = data[at];
      const std::uint64_t count = code > 128 ? code - 128 : code;
      if (count == 0 || count > width - filled) refuse_malformed("Radiance HDR run runs past its scanline");
      const std::uint64_t bytes = code > 128 ? 2 : 1 + count;  // a run's value, or the literal values
      need(bytes);
      at += bytes;
      filled += count;
    }
  }
}


void check_hdr(const ByteSource& file) {
  const std::optional<HdrSize> size = read_size(file);
  if (!size) return;
  ByteReader data(file);
  std::uint64_t at = size->data_offset;
  for (std::uint64_t row = 0; row < size->height; ++row) walk_scanline(file, data, size->width, at);
}

}  // namespace

FormatFacts inspect_hdr(const ByteSource& file) {
  check_hdr(file);
  return {};
}

}  // namespace interlace
