#include "decoder/view_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "decoder/standard_error_silenced.h"
#include "decoder/library_decoding.h"
#include "formats/library_formats.h"
#include "formats/unreadable.h"
#include "view_problem.h"

namespace interlace {

namespace {

// Reads up to `count` bytes at `offset`, fewer only at the end of the file
// or on an error.
std::size_t read_fully(int fd, void* buffer, std::size_t count, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = pread(fd, static_cast<char*>(buffer) + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// The library's messages go to one callback for the whole process; the run
// decodes one file at a time.
std::string* g_complaint = nullptr;
bool g_complained = false;

extern "C" void note_complaint(FREE_IMAGE_FORMAT, const char* message) {
  if (!g_complained && g_complaint != nullptr) *g_complaint = message != nullptr ? message : "";
  g_complained = true;
}

}  // namespace

ViewFile::ViewFile(std::string name) : file_(OpenedView::open(name)) { find_format(); }

ViewFile::ViewFile(OpenedView file) : file_(std::move(file)) { find_format(); }

ViewFile::ViewFile(std::string name, FREE_IMAGE_FORMAT format) : file_(OpenedView::open(name)), format_(format) {}

void ViewFile::find_format() {
  // By content first: PNG data under a ".bmp" name loads as PNG.
  {
    const StandardErrorSilenced quiet;
    format_ = FreeImage_GetFileTypeFromHandle(&io_, this, 0);
  }
  if (format_ == FIF_UNKNOWN) {
    // Named by content, a format FreeImage can't read is read by another
    // library where the build has it, and isn't guessed from the file's name.
    const std::string unreadable = unreadable_format(*this);
    if (!unreadable.empty()) {
      format_ = library_format_named(unreadable);
      if (library_reads(format_)) return;
      ViewProblem problem{ViewProblemKind::UnknownFormat};
      problem.format = unreadable;
      refuse_view(problem);
    }
    format_ = FreeImage_GetFIFFromFilename(name().c_str());
  }
  if (format_ == FIF_UNKNOWN || !FreeImage_FIFSupportsReading(format_)) refuse_view(ViewProblemKind::UnknownFormat);
}

// Fewer bytes than the size the file had when it was opened: it has
// shrunk, and a reader that believed the old size would wait for the rest
// for ever.
std::vector<unsigned char> ViewFile::bytes_at(std::uint64_t offset, std::size_t count) const {
  const std::size_t expected = offset >= size() ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(count, size() - offset));
  std::vector<unsigned char> bytes(count);
  bytes.resize(read_fully(file_.fd(), bytes.data(), count, offset));
  if (bytes.size() < expected) refuse_view(ViewProblemKind::ChangedWhileRead);
  return bytes;
}

Bitmap ViewFile::decode(int flags) {
  FreeImage_SetOutputMessage(note_complaint);
  g_complaint = &complaint_;
  g_complained = false;
  position_ = 0;
  const StandardErrorSilenced quiet;
  Bitmap bitmap(FreeImage_LoadFromHandle(format_, &io_, this, flags));
  if (g_complained) bitmap.reset();
  g_complaint = nullptr;
  return bitmap;
}

unsigned ViewFile::read(void* buffer, unsigned size, unsigned count, fi_handle handle) {
  auto* self = static_cast<ViewFile*>(handle);
  if (size == 0) return 0;
  const std::size_t bytes = self->read_at_position(static_cast<unsigned char*>(buffer), std::size_t{size} * count);
  self->apply_overrides(static_cast<unsigned char*>(buffer), bytes);
  self->position_ += bytes;
  return static_cast<unsigned>(bytes / size);
}

// Some decoders read a byte at a time (the text PNM formats for every
// sample), which would be a system call each without this buffer; large
// reads go straight to the file.
std::size_t ViewFile::read_at_position(unsigned char* target, std::size_t count) {
  const bool in_buffer = position_ >= buffer_start_ && position_ + count <= buffer_start_ + buffer_.size();
  if (!in_buffer && count >= kBufferBytes) return read_fully(file_.fd(), target, count, position_);
  if (!in_buffer) {
    buffer_.resize(kBufferBytes);
    buffer_.resize(read_fully(file_.fd(), buffer_.data(), kBufferBytes, position_));
    buffer_start_ = position_;
  }
  const std::size_t offset = static_cast<std::size_t>(position_ - buffer_start_);
  const std::size_t available = std::min(count, buffer_.size() - std::min(offset, buffer_.size()));
  std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(offset), available, target);
  return available;
}

void ViewFile::apply_overrides(unsigned char* target, std::size_t count) const {
  for (const ByteOverride& o : overrides_) {
    for (std::size_t i = 0; i < o.bytes.size(); ++i) {
      const std::uint64_t at = o.offset + i;
      if (at >= position_ && at < position_ + count) target[at - position_] = o.bytes[i];
    }
  }
}

unsigned ViewFile::write(void*, unsigned, unsigned, fi_handle) { return 0; }

int ViewFile::seek(fi_handle handle, long offset, int origin) {
  auto* self = static_cast<ViewFile*>(handle);
  std::int64_t base = 0;
  if (origin == SEEK_CUR) base = static_cast<std::int64_t>(self->position_);
  if (origin == SEEK_END) base = static_cast<std::int64_t>(self->size());
  const std::int64_t target = base + offset;
  if (target < 0) return -1;
  self->position_ = static_cast<std::uint64_t>(target);
  return 0;
}

long ViewFile::tell(fi_handle handle) { return static_cast<long>(static_cast<ViewFile*>(handle)->position_); }

}  // namespace interlace
