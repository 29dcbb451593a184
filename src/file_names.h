// File names derived from the base name: the views read and the outputs written.
#pragma once

#include <string>

namespace interlace {

// The base name is a plain prefix (a directory part works as one); there is
// no length limit here, the file system has the last word.

// "BASE_rs_cNN.bmp": view numbers have at least two digits, so view 100 has three.
std::string view_file_name(const std::string& base_name, int view_number);
std::string interlaced_file_name(const std::string& base_name);  // "BASE_interlace.bmp"
std::string animation_file_name(const std::string& base_name);   // "BASE_animation.gif"

}  // namespace interlace
