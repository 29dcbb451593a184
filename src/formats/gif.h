// GIF: the library reads no GIF header alone, so the tool reads the sizes
// that bound what decoding will allocate itself.
#pragma once

#include <cstdint>

#include "formats/format_facts.h"

namespace interlace {

// The larger of the logical screen's and the first frame's pixel counts,
// walking the blocks before the first image descriptor; the screen's alone
// when the file ends first, 0 for a file too short for its header.
FormatFacts inspect_gif(const ByteSource& file);

}  // namespace interlace

#include <FreeImage.h>

namespace interlace {

// Whether the library's GIF writer packs `page` (8 bits per pixel) without
// fault, rows in the order given (interlaced or top down). Its LZW packer
// keeps pending bits in a signed 32-bit word and the closing codes in a
// 4-byte buffer on the stack; a few pages, by their pixels alone, bring more
// pending bits than either holds, and the writer then overruns its stack or
// garbles the rest of the picture. This replays the packer's bookkeeping
// (codes, code sizes, sub-block room) without writing anything.
bool gif_writer_packs_safely(FIBITMAP* page, bool interlaced);

}  // namespace interlace
