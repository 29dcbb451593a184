#include "file_names.h"

#include <cstdio>

namespace interlace {

std::string view_file_name(const std::string& base_name, int view_number) {
  char number[16];
  std::snprintf(number, sizeof number, "%02d", view_number);
  return base_name + "_rs_c" + number + ".bmp";
}

std::string interlaced_file_name(const std::string& base_name) {
  return base_name + "_interlace.bmp";
}

std::string animation_file_name(const std::string& base_name) {
  return base_name + "_animation.gif";
}

}  // namespace interlace
