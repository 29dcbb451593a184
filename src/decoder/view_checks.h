// The checks made on a view file before its pixels are decoded, so that a
// damaged file, a decompression bomb or a view of the wrong size costs no
// memory or time, and no decoder sees a file it would misread.
#pragma once

#include <FreeImage.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "decoder/view_file.h"

namespace interlace {

// Formats whose decoders survived fuzzing; the others are refused unread.
bool is_accepted_format(FREE_IMAGE_FORMAT format);

// Checks what follows from the view's format: one this tool accepts; the
// length of a BMP, Targa or binary PNM file against its header; BMP pixel
// data under 4 GiB; and, from the header where the library reads one alone,
// a pixel count the file's length can plausibly hold and the size against
// `expected` (view 1's) and `view_count`. Returns the size the header gives,
// if the format has a header the library reads alone. Throws ViewRefused.
// `orientation` (EXIF, 1 to 8) turns the header's size upright.
std::optional<ViewSize> check_before_decoding(ViewFile& view, const std::optional<ViewSize>& expected,
                                              int view_count, unsigned orientation = 1);

// A view of `size` must match `expected` and be at least `view_count`
// pixels wide. Throws ViewRefused.
void check_size(const ViewSize& size, const std::optional<ViewSize>& expected, int view_count);

// The bytes an uncompressed BMP needs by its header: pixel offset plus the
// pixel rows, saturating at UINT64_MAX, or 0 for a file that is no BMP or is
// run-length coded (the library notices when such data runs out).
// UINT64_MAX too for a header that the library could not read at all.
std::uint64_t bmp_length_needed(const unsigned char* header, std::size_t header_length);

// True for an uncompressed BMP whose file is shorter than its header says its
// pixels need; the library would load such a file as if it were whole, with
// the missing rows black. `file_size` is the file's length in bytes.
bool is_truncated_bmp(const unsigned char* header, std::size_t header_length, std::uint64_t file_size);

}  // namespace interlace
