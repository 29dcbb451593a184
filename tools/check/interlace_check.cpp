// interlace-check: says, for an interlace command line, what each view is,
// whether it can be used and why not, whether the outputs can be written
// there, and ends with the exit status interlace would give.
//
//   interlace-check [--json] BASE TEXT N INT INT DPI REAL

#include <cstdio>
#include <iostream>
#include <new>
#include <nlohmann/json.hpp>
#include <string>

#include "command_line.h"
#include "examination.h"
#include "large_allocations.h"
#include "confinement/descriptors.h"

namespace {

using interlace::Examination;
using interlace::ExitStatus;

constexpr const char* kUsage = "usage: interlace-check [--json] BASE TEXT N INT INT DPI REAL";

constexpr const char* kHelp =
    "Says what `interlace` would do with the same seven arguments, and why, without\n"
    "writing anything.\n"
    "\n"
    "  BASE   the views are BASE_rs_c01.bmp ... (any format by content); the outputs\n"
    "         BASE_interlace.bmp and BASE_animation.gif\n"
    "  TEXT   not used\n"
    "  N      the number of views, 1 to 100\n"
    "  INT    not used (twice)\n"
    "  DPI    the print resolution in dots per inch, 0 or more\n"
    "  REAL   not used\n"
    "\n"
    "  --json    the same report as JSON\n"
    "  --help    this text\n"
    "  --version the version of interlace and interlace-check\n"
    "\n"
    "Exit status: the one interlace would end with. 0 both files would be written;\n"
    "1 the command line can't be run; 2 a view can't be used; 3 an output can't be\n"
    "made or written; 5 the views' decoder can't run here (its program is missing\n"
    "or untrusted, or the system won't confine it). (interlace itself also ends\n"
    "with 4 when a commit fails and an output can't be put back.) See\n"
    "interlace-check(1) and interlace(1).\n";

const char* meaning(ExitStatus status) {
  switch (status) {
    case ExitStatus::Done: return "both files would be written";
    case ExitStatus::BadCommandLine: return "the command line can't be run";
    case ExitStatus::BadView: return "a view can't be used";
    case ExitStatus::OutputFailed: return "an output can't be made or written";
    case ExitStatus::OutputsMixed: return "an output couldn't be put back after a failed commit";
    case ExitStatus::DecoderUnavailable: return "the decoder can't run here";
  }
  return "";
}

// A file name, or any text that came from a view or the decoder, as it can
// be read on a terminal: quotes, backslashes and control characters (C0,
// DEL, and C1 in UTF-8, which start terminal escapes) escaped.
std::string escaped(const std::string& name, bool quotes = true) {
  std::string text;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    const auto next = i + 1 < name.size() ? static_cast<unsigned char>(name[i + 1]) : 0u;
    if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
      char escaped[16];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", next);
      text += escaped;
      ++i;
    } else if (quotes && (c == '"' || c == '\\')) {
      text += '\\';
      text += static_cast<char>(c);
    } else if (c == '\n') {
      text += "\\n";
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      text += escaped;
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

std::string quoted(const std::string& name) { return "\"" + escaped(name) + "\""; }

// Text from a view or the decoder, outside quotes: control characters escaped.
std::string displayable(const std::string& text) { return escaped(text, false); }

void print_text(const Examination& exam) {
  for (const interlace::ViewReport& v : exam.views) {
    std::cout << "view " << v.number << ": " << quoted(v.file);
    if (!v.format.empty()) std::cout << ", " << displayable(v.format);
    if (v.width && v.height) std::cout << ", " << *v.width << "x" << *v.height;
    if (v.bits_per_pixel) std::cout << ", " << *v.bits_per_pixel << " bits per pixel";
    if (v.usable) {
      std::cout << ": ok" << (v.conversion.empty() ? "" : " (" + displayable(v.conversion) + ")") << "\n";
    } else {
      std::cout << ": " << displayable(v.problem) << "\n";
    }
  }
  for (const interlace::OutputReport& o : exam.outputs) {
    std::cout << o.role << ": " << quoted(o.file);
    if (!o.details.empty()) std::cout << ", " << o.details;
    if (o.bytes) std::cout << ", " << *o.bytes << " bytes";
    // The problem may name the file, or what stands in its place.
    std::cout << ": " << (o.writable ? "can be written" : o.problem.empty() ? "not made" : displayable(o.problem)) << "\n";
  }
  for (const std::string& note : exam.notes) std::cout << "note: " << escaped(note) << "\n";
  if (!exam.process_problem.empty()) std::cout << exam.process_problem << "\n";
  if (!exam.decoder_problem.empty()) std::cout << displayable(exam.decoder_problem) << "\n";
  std::cout << "exit status " << static_cast<int>(exam.status) << ": " << meaning(exam.status) << "\n";
}

nlohmann::ordered_json text_or_null(const std::string& text) { return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text); }

template <typename T>
nlohmann::ordered_json value_or_null(const std::optional<T>& value) {
  return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json();
}

nlohmann::ordered_json as_json(const Examination& exam) {
  nlohmann::ordered_json views = nlohmann::ordered_json::array();
  for (const interlace::ViewReport& v : exam.views) {
    views.push_back({{"number", v.number}, {"file", v.file}, {"format", text_or_null(v.format)},
                     {"width", value_or_null(v.width)}, {"height", value_or_null(v.height)},
                     {"bits_per_pixel", value_or_null(v.bits_per_pixel)}, {"usable", v.usable},
                     {"problem", text_or_null(v.problem)}, {"conversion", text_or_null(v.conversion)},
                     {"colour_profile", text_or_null(v.profile)}});
  }
  nlohmann::ordered_json outputs = nlohmann::ordered_json::array();
  for (const interlace::OutputReport& o : exam.outputs) {
    outputs.push_back({{"role", o.role}, {"file", o.file}, {"writable", o.writable},
                       {"problem", text_or_null(o.problem)}, {"bytes", value_or_null(o.bytes)}});
  }
  return {{"exit_status", static_cast<int>(exam.status)},
          {"views", views},
          {"outputs", outputs},
          {"print_image",
           {{"width", value_or_null(exam.width)}, {"height", value_or_null(exam.height)},
            {"dots_per_inch", exam.dots_per_inch}, {"dots_per_metre", value_or_null(exam.dots_per_metre)}}},
          {"preview",
           {{"pages", exam.preview_pages}, {"page_width", exam.preview_page_width},
            {"page_height", exam.preview_page_height}}},
          {"notes", exam.notes},
          {"decoder_problem", text_or_null(exam.decoder_problem)},
          {"process_problem", text_or_null(exam.process_problem)}};
}

// File names need not be UTF-8; JSON text must be, so stray bytes become
// U+FFFD.
void print_json(const nlohmann::ordered_json& report) {
  std::cout << report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
}

int refuse_command_line(interlace::CommandLineProblem problem, bool json) {
  const int status = static_cast<int>(ExitStatus::BadCommandLine);
  if (json) {
    print_json({{"exit_status", status}, {"problem", interlace::describe(problem)},
                {"views", nlohmann::ordered_json::array()}, {"outputs", nlohmann::ordered_json::array()}});
  } else {
    std::cerr << "interlace-check: " << interlace::describe(problem) << "\n" << kUsage << "\n";
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // A view opened while standard error is closed would take its place.
  interlace::ensure_standard_descriptors();
  interlace::raise_descriptor_limit();
  interlace::keep_large_allocations();
  if (argc == 2 && std::string(argv[1]) == "--help") {
    std::cout << kUsage << "\n\n" << kHelp;
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::cout << "interlace-check " << INTERLACE_VERSION << " (interlace " << INTERLACE_VERSION << ")\n";
    return 0;
  }
  const bool json = argc > 1 && std::string(argv[1]) == "--json";
  if (json) {
    argv[1] = argv[0];  // the remaining arguments read as interlace reads its own
    ++argv;
    --argc;
  }
  interlace::CommandLineProblem problem{};
  const std::optional<interlace::RunSettings> settings = interlace::parse_command_line(argc, argv, &problem);
  if (!settings) return refuse_command_line(problem, json);
  try {
    const Examination exam = interlace::examine(*settings);
    if (json) {
      print_json(as_json(exam));
    } else {
      print_text(exam);
    }
    return static_cast<int>(exam.status);
  } catch (const interlace::Failure& failure) {
    std::cerr << "interlace-check: the preview can't be started\n";
    return static_cast<int>(failure.status());
  } catch (const std::bad_alloc&) {
    std::cerr << "interlace-check: out of memory\n";
    return static_cast<int>(ExitStatus::OutputFailed);
  }
}
