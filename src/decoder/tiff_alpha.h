// TIFF keeps alpha in one of two ways: as is ("unassociated"), or with each
// colour already multiplied by it ("associated", premultiplied). The library
// hands over the stored samples either way, so which it is is read here.
#pragma once

#include "decoder/view_file.h"

namespace interlace {

// True when the TIFF's first image says its extra sample is associated
// alpha. False for any other file, and for one whose tags can't be read.
bool tiff_alpha_is_premultiplied(const ViewFile& view);

}  // namespace interlace
