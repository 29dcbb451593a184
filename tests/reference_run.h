// A deliberately plain second implementation of a run, call for call as the
// tool's contract describes it (the library's own file saving, a named
// animation, a pixel-by-pixel loop), for comparing output bytes.
#pragma once

#include <string>

namespace test_support {

// Reads BASE_rs_cNN.bmp for n = 1..views and writes the interlaced image and
// the animation to the two paths given. Views of another depth are converted
// with FreeImage_ConvertTo24Bits first. Expects well-formed views.
void reference_run(const std::string& base, int views, int dpi, const std::string& bmp_path,
                   const std::string& gif_path);

}  // namespace test_support
