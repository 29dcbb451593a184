// Reads the seven positional arguments into the settings of one run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace interlace {

constexpr int kArgumentCount = 7;  // after the program path
constexpr int kMaxViews = 100;

struct RunSettings {
  std::string base_name;  // argument 1, a verbatim prefix of every file name
  int view_count = 0;     // argument 3, 1 to kMaxViews
  int print_dpi = 0;      // argument 6, dots per inch, not negative
};

// Reads an integer the way a "%d" conversion does: leading white space, an
// optional sign, then digits up to the first non-digit ("12px" is 12). Empty
// when no digit follows. Values beyond 32 bits saturate, so that range checks
// refuse them instead of seeing a wrapped number.
std::optional<std::int32_t> read_decimal(const char* text);

// Why a command line can't be run.
enum class CommandLineProblem {
  None,
  TooFewArguments,
  NoViewCount,           // no number in argument 3
  NoResolution,          // no number in argument 6
  ViewCountOutOfRange,   // not 1 to kMaxViews
  ResolutionOutOfRange,  // negative, or too large for the BMP header
};

// Arguments 2, 4, 5 and 7 must be present but are not read, nor is anything
// after the seventh. Empty when the command line can't be run: too few
// arguments, no number in argument 3 or 6, a view count outside 1 to
// kMaxViews, or a resolution that is negative or too large for the BMP header;
// then `problem`, if given, says which.
std::optional<RunSettings> parse_command_line(int argc, const char* const* argv,
                                              CommandLineProblem* problem = nullptr);

}  // namespace interlace
