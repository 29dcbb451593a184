// BMP: all the tool knows of a BMP file: its headers, the checks made before
// the library reads one (length, pixel data under 4 GiB), and the valid
// forms the library refuses, shown to it in memory as the plain form it
// reads. Nothing on disk changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/format_facts.h"

namespace interlace {

// Refuses an uncompressed BMP shorter than its header says its pixels need
// (the library would load it as if whole, with black rows), one whose
// header the library couldn't read at all, pixel data of 4 GiB or more (the
// library moves it with a 32-bit count), and bit-field colour masks other
// than those the library reads: it would print other colours. Shows the
// library the newer info headers (V2 to V5) as the 40-byte one they begin
// with, and run-length data closed as the library expects.
FormatFacts inspect_bmp(const ByteSource& file);

// True for an uncompressed BMP whose file is shorter than its header says its
// pixels need; the library would load such a file as if it were whole, with
// the missing rows black. `file_size` is the file's length in bytes.
bool is_truncated_bmp(const unsigned char* header, std::size_t header_length, std::uint64_t file_size);

}  // namespace interlace
