// The checks made on a view file before its pixels are decoded, so that a
// damaged file, a decompression bomb or a view of the wrong size costs no
// memory or time, and no decoder sees a file it would misread.
#pragma once

#include <FreeImage.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "decoder/view_file.h"
#include "formats/format_facts.h"

namespace interlace {

// Formats whose decoders survived fuzzing; the others are refused unread.
bool is_accepted_format(FREE_IMAGE_FORMAT format);

// What the tool read of a view itself, before the library read it: its
// format's facts, and its size where the library reads a header alone.
struct ViewFacts : FormatFacts {
  std::optional<ViewSize> header_size;  // upright
};

// The view's format's own reader, one file per format in src/formats/, run
// before the library reads a byte of the view, and the pixel count it
// claims against the file's length; the library is shown, from here on,
// the bytes the reader gives in place of the file's (metadata hidden, valid
// forms it refuses in a form it reads). Throws ViewRefused.
ViewFacts check_format(ViewFile& view);

// check_format(), then, where the library reads a header alone, the size
// against `expected` (view 1's) and `view_count` and the pixel count against
// the file's length (a decompression bomb). Throws ViewRefused.
ViewFacts check_before_decoding(ViewFile& view, const std::optional<ViewSize>& expected, int view_count);

// A view of `size` must match `expected` and be at least `view_count`
// pixels wide. Throws ViewRefused.
void check_size(const ViewSize& size, const std::optional<ViewSize>& expected, int view_count);

// Told the pixel count a view's header claims, once the checks have let it
// through: the decoder passes it on to the run, which gives the decode time
// in proportion.
void listen_for_claims(std::function<void(std::uint64_t)> listener);

}  // namespace interlace
