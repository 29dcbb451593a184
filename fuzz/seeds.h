// Small valid images of every format the library reads, as fuzzing seeds.
#pragma once

#include <FreeImage.h>

#include <string>
#include <vector>

namespace fuzz {

using Bytes = std::vector<unsigned char>;

// Seeds for `format`: the library's own encodings of a small picture at
// every depth the format takes, or, for formats the library can't write,
// files built here by hand. Empty when there is no way to make one.
std::vector<Bytes> make_seeds(FREE_IMAGE_FORMAT format);

// Writes `bytes` to `path`, replacing it; false when that fails.
bool write_file(const std::string& path, const Bytes& bytes);

// Whether make_seeds() gives well-formed files for `format` (rather than a
// signature followed by noise).
bool has_real_seeds(FREE_IMAGE_FORMAT format);

}  // namespace fuzz
