#include "formats/png.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "byte_order.h"
#include "view_problem.h"

namespace interlace {

namespace {

constexpr unsigned char kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// Real profiles are at most a few megabytes; a stream that inflates past
// this is a bomb.
constexpr std::size_t kLargestProfile = 16u << 20;

std::vector<unsigned char> inflated(const std::vector<unsigned char>& packed) {
  std::vector<unsigned char> out(64 * 1024);
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) refuse_malformed("PNG colour profile doesn't inflate");
  stream.next_in = const_cast<unsigned char*>(packed.data());
  stream.avail_in = static_cast<uInt>(packed.size());
  int result = Z_OK;
  while (result == Z_OK) {
    if (stream.total_out == out.size()) {
      if (out.size() >= kLargestProfile) break;
      out.resize(out.size() * 2);
    }
    stream.next_out = out.data() + stream.total_out;
    stream.avail_out = static_cast<uInt>(out.size() - stream.total_out);
    result = inflate(&stream, Z_NO_FLUSH);
  }
  out.resize(stream.total_out);
  inflateEnd(&stream);
  if (result != Z_STREAM_END) refuse_malformed("PNG colour profile doesn't inflate");
  return out;
}


std::vector<unsigned char> png_icc_profile(const ByteSource& file) {
  const std::vector<unsigned char> signature = file.bytes_at(0, sizeof kSignature);
  if (signature.size() != sizeof kSignature || std::memcmp(signature.data(), kSignature, sizeof kSignature) != 0) {
    return {};
  }
  for (std::uint64_t at = sizeof kSignature; at + 8 <= file.size();) {
    const std::vector<unsigned char> head = file.bytes_at(at, 8);
    const std::uint64_t length = big_endian(&head[0], 4);
    const std::string type(head.begin() + 4, head.end());
    if (type == "IDAT" || type == "IEND" || length > file.size() - at - 8) return {};
    if (type == "iCCP") {
      const std::vector<unsigned char> data = file.bytes_at(at + 8, static_cast<std::size_t>(length));
      const auto name_end = std::find(data.begin(), data.end(), 0);
      // The name, its terminating zero, compression method 0 (deflate).
      if (name_end == data.end() || name_end + 1 == data.end() || name_end[1] != 0) {
        refuse_malformed("PNG colour profile doesn't inflate");
      }
      return inflated(std::vector<unsigned char>(name_end + 2, data.end()));
    }
    at += 12 + length;  // length, type, data, CRC
  }
  return {};
}

}  // namespace

FormatFacts inspect_png(const ByteSource& file) {
  FormatFacts facts;
  facts.icc_profile = png_icc_profile(file);
  return facts;
}

}  // namespace interlace
