#include "examination.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>

#include <memory>
#include <new>

#include "confinement/descriptors.h"
#include "decoding/decoder.h"
#include "file_names.h"
#include "pipeline/interlacer.h"
#include "output/output_commit.h"
#include "output/output_file.h"
#include "pipeline/preview.h"
#include "pipeline/strip.h"
#include "view_problem.h"

namespace interlace {

namespace {

// A run reads views 1 to N only: a view N + 1 beside them is left out
// without a word, which is worth one.
void note_views_past_the_count(const RunSettings& settings, Examination& exam) {
  struct stat info {};
  const std::string next = view_file_name(settings.base_name, settings.view_count + 1);
  if (lstat(next.c_str(), &info) == 0) {
    exam.notes.push_back(file_part(next) + " exists but N is " + std::to_string(settings.view_count) +
                         ": views past N are not read");
  }
}

// What an interrupted or failed commit left in the outputs' folder, and
// what the next run of the set does with it before anything else, as the
// run's mend decides it. Returns why a run can't commit the set, where a
// file it may not touch holds one of its names; empty when it can.
std::string note_commit_leftovers(const RunSettings& settings, Examination& exam) {
  const std::vector<std::string> targets{interlaced_file_name(settings.base_name), animation_file_name(settings.base_name)};
  const Leftovers left = look_at_leftovers(targets);
  std::string blocked;
  const auto foreign = [&](const CommitFile& file) {
    const std::string said = file_part(file.path) + " " + describe_foreign(file);
    exam.notes.push_back(said + ": left alone; no run can commit this set until it is removed");
    if (blocked.empty()) blocked = "can't be committed: " + said;
  };
  for (const CommitFile* marker : {&left.done, &left.journal}) {
    if (marker->standing == Standing::Live) {
      exam.notes.push_back(file_part(marker->path) + " is held by a run committing this set now: it is left alone");
      // Still there when a run commits, it keeps that run from committing.
      if (blocked.empty()) blocked = "can't be committed while another run commits this set";
    } else if (marker->standing == Standing::Foreign) {
      foreign(*marker);
    }
  }
  if (left.live()) return blocked;
  if (left.undo()) {
    exam.notes.push_back(file_part(left.journal.path) + " is left by a commit that was stopped or failed: the next run "
                         "puts the earlier outputs back, as they were, before anything else");
  } else if (left.done.standing == Standing::Ours) {
    exam.notes.push_back(file_part(left.done.path) + " is left by a commit that was stopped as it finished: the next "
                         "run removes it and the old outputs beside it");
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const CommitFile& restore = left.restores[i];
    const std::string name = file_part(restore.path), target = file_part(targets[i]);
    if (restore.standing == Standing::Absent) continue;
    if (left.undo() && left.trusted_restore(i)) {
      exam.notes.push_back(name + " holds the earlier " + target + ": the next run puts it back in its place");
    } else if (restore.standing == Standing::Ours && left.journal.standing != Standing::Foreign) {
      exam.notes.push_back(name + " holds an earlier " + target + " that a commit which got past its commit point "
                           "left: stale, the next run removes it");
    } else {
      foreign(restore);
    }
  }
  return blocked;
}

std::string size_text(std::int64_t width, std::int64_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

std::string decoder_crash(const ViewProblem& p) {
  if (!p.message.empty()) return "the decoder could not start: " + p.message;
  const char* name = p.signal != 0 ? sigabbrev_np(p.signal) : nullptr;
  const std::string cause = name != nullptr ? " (SIG" + std::string(name) + ")" : "";
  return "the decoder crashed on this view" + cause + ": the file is damaged or made to attack the decoder";
}

std::string describe(const ViewProblem& p) {
  switch (p.kind) {
    case ViewProblemKind::Missing: return "missing";
    case ViewProblemKind::Unreadable: return "can't be opened";
    case ViewProblemKind::NotRegularFile: return "not a regular file";
    case ViewProblemKind::Empty: return "empty";
    case ViewProblemKind::Truncated:
      return "truncated: the file has " + std::to_string(p.file_bytes) + " bytes, its header needs " +
             std::to_string(p.needed_bytes);
    case ViewProblemKind::UnknownFormat:
      return p.format.empty() ? "format unknown" : "FreeImage can't read " + p.format + " files";
    case ViewProblemKind::RefusedFormat: return "format refused as unsafe to decode";
    case ViewProblemKind::DecoderDamage:
      return "the decoder reported damage" + (p.message.empty() ? std::string() : ": " + p.message);
    case ViewProblemKind::Bomb:
      return "decompression bomb: claims " + std::to_string(p.pixels) + " pixels in " + std::to_string(p.file_bytes) +
             " bytes";
    case ViewProblemKind::TooLarge:
      return "BMP pixel data of " + std::to_string(p.needed_bytes) + " bytes, 4 GiB or more";
    case ViewProblemKind::SizeDiffers:
      return "size " + size_text(p.width, p.height) + " differs from view 1's " +
             size_text(p.expected_width, p.expected_height);
    case ViewProblemKind::TooNarrow:
      return size_text(p.width, p.height) + " is narrower than the " + std::to_string(p.expected_width) +
             " views, or has no rows";
    case ViewProblemKind::ChangedWhileRead: return "changed while it was read";
    case ViewProblemKind::CannotConvert: return "a pixel type that can't be converted to 24 bits";
    case ViewProblemKind::Malformed: return p.message;
    case ViewProblemKind::DecoderCrashed: return decoder_crash(p);
    case ViewProblemKind::DecoderTooSlow:
      return "the decoder used more than " + std::to_string(p.seconds) +
             " seconds of processor time on this view: the file is damaged or made to attack the decoder";
    case ViewProblemKind::DecoderNonsense:
      return "the decoder's answer for this view made no sense: the file is damaged or made to attack the decoder";
    case ViewProblemKind::DecoderSilent:
      return "the decoder stopped answering: it neither worked nor sent anything for " + std::to_string(p.seconds) +
             " seconds on this view";
    case ViewProblemKind::DecoderLate:
      return "the decoder took more than " + std::to_string(p.seconds) +
             " seconds on this view, working or answering only now and then: the file is damaged or made to attack "
             "the decoder";
    case ViewProblemKind::DecoderOutOfMemory:
      return "decoding it needs more than the decoder's " + std::to_string(p.needed_bytes >> 20) +
             " MiB of memory: a decompression bomb, or damaged";
  }
  return "can't be used";
}

void note_size(ViewReport& report, const ViewProblem& problem) {
  if (problem.kind != ViewProblemKind::SizeDiffers && problem.kind != ViewProblemKind::TooNarrow) return;
  report.width = static_cast<int>(problem.width);
  report.height = static_cast<int>(problem.height);
}

// The tool's run in memory: the first failure sets the status, as it would
// end the run; later views are still looked at, for the report.
class Run {
 public:
  explicit Run(const RunSettings& settings) : settings_(settings) {}

  // The run starts its decoder before it opens a view; one whose program is
  // missing or can't be trusted ends it there.
  void start_decoder(Examination& exam) {
    try {
      decoder_.emplace();
    } catch (const DecoderUnavailable& unavailable) {
      exam.decoder_problem = "the decoder can't run here: " + unavailable.reason();
      fail(ExitStatus::DecoderUnavailable);
    }
  }

  // Everything a run holds open at once fits under the process's limit, or
  // the run ends with 3 before it touches anything.
  void count_descriptors(Examination& exam) {
    const std::uint64_t limit = descriptor_limit();
    const int needed = descriptors_needed(settings_.view_count, 1);
    if (limit >= std::uint64_t(needed)) return;
    exam.process_problem = "this process may open no more files than its limit (ulimit -n) of " +
                           std::to_string(limit) + ": a run of " + std::to_string(settings_.view_count) +
                           " views holds " + std::to_string(needed) + " open at once";
    fail(ExitStatus::OutputFailed);
  }

  // The run opens every view before it decodes any: a view that can't be
  // opened ends it first.
  void open_views() {
    for (int n = 1; n <= settings_.view_count; ++n) {
      Opening opening;
      try {
        opening.view = std::make_unique<OpenedView>(OpenedView::open(view_file_name(settings_.base_name, n)));
      } catch (const ViewRefused& refused) {
        opening.refused = refused.problem();
        fail(ExitStatus::BadView);
      } catch (const OutOfDescriptors&) {
        opening.out_of_descriptors = true;
        fail(ExitStatus::OutputFailed);
      }
      openings_.push_back(std::move(opening));
    }
  }

  void look_at_view(int number, Examination& exam) {
    if (!decoder_) return;
    ViewReport report;
    report.number = number;
    report.file = view_file_name(settings_.base_name, number);
    const Opening& opening = openings_[static_cast<std::size_t>(number - 1)];
    if (opening.out_of_descriptors) {
      rlimit limit{};
      getrlimit(RLIMIT_NOFILE, &limit);
      report.problem = "can't be opened: this process may open no more files (its limit, ulimit -n, is " +
                       std::to_string(limit.rlim_cur) + "; " + std::to_string(settings_.view_count) +
                       " views need about " + std::to_string(settings_.view_count + 10) + ")";
      exam.views.push_back(report);
      return;
    }
    try {
      if (opening.refused) throw ViewRefused(*opening.refused);
      const OpenedView& file = *opening.view;
      DecodedView decoded = decoder_->decode(file, request_);
      report.format = decoded.format;
      report.width = decoded.size.width;
      report.height = decoded.size.height;
      report.bits_per_pixel = decoded.stored_bits;
      report.conversion = decoded.conversion;
      report.profile = decoded.profile;
      report.usable = true;
      request_.expected = decoded.size;
      if (!failed()) {
        preview_.add_page(decoded.page.get());
        strips_.add(std::move(decoded.strip));
      }
    } catch (const ViewRefused& refused) {
      report.format = refused.problem().format;
      report.problem = describe(refused.problem());
      note_size(report, refused.problem());
      fail(ExitStatus::BadView);
    } catch (const OutputsUnmade& unmade) {
      report.problem = unmade_problem(unmade.size());
      if (unmade.size()) request_.expected = unmade.size();
      fail(ExitStatus::OutputFailed);
    } catch (const DecoderUnavailable& unavailable) {
      exam.decoder_problem = "the decoder can't run here: " + unavailable.reason();
      fail(ExitStatus::DecoderUnavailable);
      decoder_.reset();
      return;
    } catch (const PreviewPageUnsafe&) {
      report.problem = "its preview page would make the library's GIF writer overrun its buffers: "
                       "the preview can't be written";
      fail(ExitStatus::OutputFailed);
    } catch (const Failure& failure) {
      report.problem = "out of memory";
      fail(failure.status());
    } catch (const std::bad_alloc&) {
      report.problem = "out of memory";
      fail(ExitStatus::OutputFailed);
    }
    exam.views.push_back(report);
  }

  void look_at_outputs(Examination& exam) {
    exam.dots_per_inch = settings_.print_dpi;
    exam.dots_per_metre = dots_per_metre(settings_.print_dpi);
    OutputReport print;
    print.role = "print image";
    print.file = interlaced_file_name(settings_.base_name);
    OutputReport animation;
    animation.role = "preview";
    animation.file = animation_file_name(settings_.base_name);
    if (request_.expected) {
      exam.width = request_.expected->width;
      exam.height = request_.expected->height;
      describe_print_image(exam, print);
    }
    describe_preview(exam, animation);
    const std::string blocked = note_commit_leftovers(settings_, exam);
    check_destination(print, 0, 0);
    // The journal takes a block of its own after both outputs.
    check_destination(animation, print.bytes.value_or(0), 1);
    if (print.writable && !blocked.empty()) {
      print.problem = blocked;
      print.writable = false;
    }
    if (print.writable && !folder_lock_free_within(folder_of(print.file))) {
      print.problem = "its folder has been locked by another process for over " + std::to_string(kFolderLockSeconds) +
                      " seconds: a run waits that long for the lock, then ends with 3";
      print.writable = false;
    }
    for (const OutputReport* output : {&print, &animation})
      if (!output->writable) fail(ExitStatus::OutputFailed);
    exam.outputs = {print, animation};
  }

  ExitStatus status() const { return status_.value_or(ExitStatus::Done); }

 private:
  bool failed() const { return status_.has_value(); }
  void fail(ExitStatus status) {
    if (!status_) status_ = status;
  }

  // Why a view that could be read can't be used all the same.
  static std::string unmade_problem(const std::optional<ViewSize>& size) {
    if (!size) return "not decoded: the print image of its size would make a BMP of 4 GiB or more";
    if (preview_page_height(size->width, size->height) == 0)
      return "too tall for a preview page: over 65535 rows at 640 wide";
    return "its preview page or strip can't be made (out of memory)";
  }

  void describe_print_image(const Examination& exam, OutputReport& print) {
    print.details = size_text(request_.expected->width, request_.expected->height) + ", " + std::to_string(exam.dots_per_inch) +
                    " dots per inch (" + std::to_string(exam.dots_per_metre.value_or(0)) + " per metre)";
    try {
      check_print_image_fits(*request_.expected);
      print.bytes = print_image_file_bytes(*request_.expected);
      if (!failed()) interlace_strips(strips_, *request_.expected);  // allocated as the run would
    } catch (const Failure&) {
      print.problem = "its BMP would be 4 GiB or more, more than the format records";
    } catch (const std::bad_alloc&) {
      print.problem = "out of memory for the print image";
    }
  }

  void describe_preview(Examination& exam, OutputReport& animation) {
    exam.preview_pages = preview_.page_count();
    if (request_.expected) {
      exam.preview_page_width = kPreviewWidth;
      exam.preview_page_height = preview_page_height(request_.expected->width, request_.expected->height);
    }
    // What it will hold once every view can be used.
    const int pages = settings_.view_count;
    const bool sized = request_.expected && exam.preview_page_height != 0;
    animation.details = (pages == 1 ? std::string("one page") : std::to_string(pages) + " pages") +
                        (sized ? " of " + size_text(exam.preview_page_width, exam.preview_page_height)
                               : ", " + std::to_string(kPreviewWidth) + " pixels wide");
    if (request_.expected && !sized) animation.problem = "its pages would be over 65535 rows high, a GIF page's limit";
    if (failed() || exam.preview_pages != settings_.view_count) return;
    try {
      animation.bytes = preview_.encoded_bytes();
    } catch (const Failure&) {
      animation.problem = "the preview can't be encoded";
    }
  }

  // Where the output goes: a folder that takes files, no non-file in the
  // way, and room for it beside the outputs before it (`bytes_before`) and
  // `blocks_after` blocks more.
  static void check_destination(OutputReport& output, std::uint64_t bytes_before, std::uint64_t blocks_after) {
    if (!output.problem.empty()) return;
    switch (output_folder_problem(output.file)) {
      case FolderProblem::Missing: output.problem = "its folder is missing"; return;
      case FolderProblem::NotAFolder: output.problem = "its folder is not a folder"; return;
      case FolderProblem::NotWritable: output.problem = "its folder can't be written (permissions or read-only)"; return;
      case FolderProblem::None: break;
    }
    output.problem = target_problem(output.file);
    if (!output.problem.empty()) return;
    if (output.bytes) check_room(output, bytes_before, blocks_after);
    output.writable = output.problem.empty();
  }

  static void check_room(OutputReport& output, std::uint64_t bytes_before, std::uint64_t blocks_after) {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && *output.bytes > limit.rlim_cur) {
      output.problem = "larger than the file-size limit of " + std::to_string(limit.rlim_cur) + " bytes";
      return;
    }
    const std::optional<FolderSpace> space = output_folder_space(output.file);
    if (!space) return;
    const auto in_blocks = [&](std::uint64_t bytes) { return (bytes + space->block_bytes - 1) / space->block_bytes; };
    const std::uint64_t needed = (in_blocks(bytes_before) + in_blocks(*output.bytes) + blocks_after) * space->block_bytes;
    if (needed > space->free_bytes)
      output.problem = "needs " + std::to_string(needed) + " bytes with the print image" +
                       (blocks_after != 0 ? " and the commit's journal, " : ", ") + std::to_string(space->free_bytes) +
                       " are free";
  }

  struct Opening {
    std::unique_ptr<OpenedView> view;
    std::optional<ViewProblem> refused;
    bool out_of_descriptors = false;
  };

  const RunSettings& settings_;
  std::vector<Opening> openings_;
  std::optional<ExitStatus> status_;
  DecodeRequest request_{settings_.view_count, std::nullopt};
  PreviewAnimation preview_;
  std::optional<Decoder> decoder_;
  StripTable strips_;
};

}  // namespace

Examination examine(const RunSettings& settings) {
  Examination exam;
  Run run(settings);
  // In the run's order: what it holds open, its decoder, then every view.
  run.count_descriptors(exam);
  run.start_decoder(exam);
  run.open_views();
  for (int n = 1; n <= settings.view_count; ++n) run.look_at_view(n, exam);
  note_views_past_the_count(settings, exam);
  run.look_at_outputs(exam);
  exam.status = run.status();
  return exam;
}

std::string describe(CommandLineProblem problem) {
  switch (problem) {
    case CommandLineProblem::TooFewArguments: return "seven arguments are needed";
    case CommandLineProblem::NoViewCount: return "argument 3, the view count, is not a number";
    case CommandLineProblem::NoResolution: return "argument 6, the resolution in dots per inch, is not a number";
    case CommandLineProblem::ViewCountOutOfRange: return "the view count must be 1 to 100";
    case CommandLineProblem::ResolutionOutOfRange:
      return "the resolution must be 0 or more and fit the BMP header";
    case CommandLineProblem::None: break;
  }
  return "";
}

}  // namespace interlace
