// One view file, opened once: every check, the format detection and the
// decoding read this one open file, so a view renamed, replaced or deleted
// by name meanwhile changes nothing, and one rewritten in place is noticed.
#pragma once

#include <FreeImage.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bitmap.h"
#include "channel/opened_view.h"
#include "formats/byte_source.h"
#include "image_size.h"

namespace interlace {



class ViewFile : public ByteSource {
 public:
  // Opens `name` and finds its format, by content first and by name second,
  // as the library reads it. Throws ViewRefused when it is missing, can't be
  // opened, isn't a regular file, is empty or has no format the library
  // reads.
  explicit ViewFile(std::string name);
  // The same for a file the run opened.
  explicit ViewFile(OpenedView file);
  // The same, taking the file to be in `format` whatever it holds: for the
  // survey of decoders, which feeds each one damaged files of its own.
  ViewFile(std::string name, FREE_IMAGE_FORMAT format);
  ViewFile(const ViewFile&) = delete;
  ViewFile& operator=(const ViewFile&) = delete;

  const std::string& name() const { return file_.name(); }
  FREE_IMAGE_FORMAT format() const { return format_; }
  std::uint64_t size() const override { return file_.size(); }

  // The bytes from `offset`, as many as there are up to `count`.
  std::vector<unsigned char> bytes_at(std::uint64_t offset, std::size_t count) const override;

  // Decodes the file with the library from its start, with load `flags`.
  // Null when the library can't, or when it complained meanwhile: some of its
  // decoders return a picture for a damaged file and only say so in a
  // message (a JPEG cut short decodes with its missing part grey), while
  // valid files of every accepted format read without one. The message is
  // kept in complaint().
  Bitmap decode(int flags);
  const std::string& complaint() const { return complaint_; }

  // From now on the library's reads see `overrides` in place of the file's
  // bytes there; bytes_at() still gives the file's own.
  void present_to_library(std::vector<ByteOverride> overrides) { overrides_ = std::move(overrides); }

  bool changed_since_opened() const { return file_.changed_since_opened(); }

 private:
  static unsigned read(void* buffer, unsigned size, unsigned count, fi_handle handle);
  static unsigned write(void* buffer, unsigned size, unsigned count, fi_handle handle);
  static int seek(fi_handle handle, long offset, int origin);
  static long tell(fi_handle handle);
  void find_format();

  OpenedView file_;
  FREE_IMAGE_FORMAT format_ = FIF_UNKNOWN;
  std::size_t read_at_position(unsigned char* target, std::size_t count);
  void apply_overrides(unsigned char* target, std::size_t count) const;

  static constexpr std::size_t kBufferBytes = 64 * 1024;
  std::uint64_t position_ = 0;  // of the library's reads
  std::vector<unsigned char> buffer_;  // the file's bytes from buffer_start_
  std::uint64_t buffer_start_ = 0;
  std::string complaint_;
  std::vector<ByteOverride> overrides_;
  FreeImageIO io_{read, write, seek, tell};
};

}  // namespace interlace
