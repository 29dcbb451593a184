// TIFF (and BigTIFF): what the tool reads of a TIFF itself, what it checks
// before the library reads one, and what it hides from it.
#pragma once

#include <vector>

#include "formats/format_facts.h"

namespace interlace {

// Bytes of one value of TIFF field type `type` (1 to 13, and BigTIFF's 16
// to 18); 0 for a type no TIFF defines.
std::uint64_t tiff_type_bytes(unsigned type);


// Its orientation, ICC profile (hidden from the library, which the tool
// applies itself) and alpha: only a file with an extra sample can hold
// alpha, whatever transparency the library makes up for a grey or palette
// image. The library is shown the first directory's EXIF, GPS,
// interoperability, IPTC, XMP and Photoshop tags and its ICC profile
// renumbered to tags no reader knows: its readers of them have public
// memory-safety bugs (reading the EXIF directory frees data it goes on
// using). Refuses (Malformed) a file whose chain of directories loops or
// leaves the file; when the first directory's tags are out of order, a
// value of it lies past the end of the file, its samples don't fit its bits
// per sample or photometric interpretation, it holds grey with alpha (or
// any further sample, which the library misreads at every depth), it keeps
// samples of fewer than
// 8 bits in separate planes (the library loops for ever on them), or one of
// its strips or tiles lies past the end.
FormatFacts inspect_tiff(const ByteSource& file);

}  // namespace interlace
