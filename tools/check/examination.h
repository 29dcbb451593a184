// interlace-check's look at one command line: every view and both outputs,
// with the checks the tool itself makes, and the exit status the tool would
// give. Nothing is created, changed or deleted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "exit_status.h"

namespace interlace {

struct ViewReport {
  int number = 0;
  std::string file;
  std::string format;  // the library's name for it; empty when not found
  std::optional<int> width, height;
  std::optional<unsigned> bits_per_pixel;  // as stored, before conversion
  bool usable = false;
  std::string problem;     // why it can't be used; empty when usable
  std::string conversion;  // what it gets to become 24-bit; empty for none
  std::string profile;     // its embedded colour profile's description; empty for none
};

struct OutputReport {
  std::string role;  // "print image" or "preview"
  std::string file;
  std::string details;  // size, resolution, pages, bytes: empty when unknown
  bool writable = false;
  std::string problem;  // why it can't be written; empty when it can
  std::optional<std::uint64_t> bytes;
};

struct Examination {
  ExitStatus status = ExitStatus::Done;
  std::vector<ViewReport> views;
  std::vector<OutputReport> outputs;
  // Figures for programs.
  std::optional<int> width, height;
  std::optional<std::uint32_t> dots_per_metre;
  int dots_per_inch = 0;
  int preview_pages = 0, preview_page_width = 0, preview_page_height = 0;
  // What doesn't change the status but may surprise ("s_rs_c04.bmp exists
  // but N is 3").
  std::vector<std::string> notes;
  // Why no view could be looked at: the decoder can't run here.
  std::string decoder_problem;
  // Why no run can go ahead in this process: too few descriptors.
  std::string process_problem;
};

// Loads every view (not only up to the first bad one), makes its preview
// page and strip while the run would still be going, weaves the print image
// and encodes the preview in memory, then checks where both would be
// written. The status is the one the tool gives on the same command line.
Examination examine(const RunSettings& settings);

// The reason a command line is refused, in words.
std::string describe(CommandLineProblem problem);

}  // namespace interlace
