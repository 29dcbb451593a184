// HEIF (HEIC, as phones save photos) and AVIF: ISO base media files whose
// primary item is the picture. What the tool reads of one itself before
// libheif does.
#pragma once

#include "formats/format_facts.h"

namespace interlace {

// Walks the file's boxes and its metadata (at most 16 MiB of it) for the
// primary item: its size (the grid's whole size, for a picture in tiles),
// turned as its rotation says, its ICC profile or colour code points. Every
// item's data must lie inside the file. Thumbnails, depth and gain maps,
// bursts and further items are passed over; the library decodes the
// primary item and applies its rotation, mirror and crop itself.
// Refuses (Malformed) a file with no primary image, one coded in a way the
// library doesn't decode, one without a size, and a high-dynamic-range one
// (PQ or HLG transfer), which would print washed out.
FormatFacts inspect_heif(const ByteSource& file);

}  // namespace interlace
