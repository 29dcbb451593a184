// interlace: weaves N views of a scene into one print image for lenticular
// and parallax-barrier sheets, and writes a GIF preview of the views.
//
//   interlace BASE TEXT N INT INT DPI REAL
//
// Reads BASE_rs_c01.bmp ... in view order and writes BASE_interlace.bmp and
// BASE_animation.gif. It prints nothing; the exit status is its only report.

#include <cstdint>
#include <cstdlib>

#include <new>
#include <optional>

#include "interlace.h"

#include "command_line.h"
#include "confinement/descriptors.h"
#include "confinement/run_confinement.h"
#include "exit_status.h"
#include "file_names.h"
#include "image_size.h"
#include "output/output_commit.h"
#include "output/output_file.h"
#include "output/signals.h"
#include "pipeline/interlacer.h"
#include "pipeline/preview.h"
#include "pipeline/strip.h"
#include "large_allocations.h"

namespace {

// Huge pages for the strips of views 2 to N - 1: the run peaks while the
// decoder holds view N, and a partly used huge page then would raise it.
void prefer_huge_pages_for_strips(const interlace::ViewSize& size, int view_count) {
  const std::uint64_t strip_bytes = interlace::row_bytes_24(size.width / view_count) * std::uint64_t(size.height);
  if (view_count > 2) interlace::prefer_huge_pages_for(strip_bytes * std::uint64_t(view_count - 2));
}

// Once its decoder and commit helper run and its views, outputs and folder
// are open, the run needs no new process, program or socket, and no file
// opened or changed by name: the helper makes the commit's changes. Built
// without confinement (for sanitizers, whose reports start programs), it
// keeps every right.
void confine_run(const interlace::DecoderPool& decoders) {
#ifdef INTERLACE_CONFINE
  interlace::confine_run(decoders.pids());
#else
  (void)decoders;
#endif
}

}  // namespace

namespace interlace {

std::vector<OpenedView> open_views(const RunSettings& settings) {
  std::vector<OpenedView> views;
  views.reserve(static_cast<std::size_t>(settings.view_count));
  for (int n = 1; n <= settings.view_count; ++n) views.push_back(OpenedView::open(view_file_name(settings.base_name, n)));
  return views;
}

RunOutputs::RunOutputs(const RunSettings& settings) : folder(folder_of(settings.base_name)) {
  const std::vector<std::string> targets{interlaced_file_name(settings.base_name), animation_file_name(settings.base_name)};
  try {
    {
      const FolderLock lock(folder.descriptor());
      const SignalsHeld held;
      tidy_folder(folder.descriptor(), targets);
    }
    print = std::make_unique<OutputFile>(targets[0]);
    preview = std::make_unique<OutputFile>(targets[1]);
    journal = std::make_unique<OutputFile>(journal_name(targets[0]));
    helper = std::make_unique<CommitHelper>(
        targets, std::vector<std::string>{print->temporary_path(), preview->temporary_path(), journal->temporary_path()});
  } catch (const Failure& failure) {
    helper.reset();
    print.reset();
    preview.reset();
    journal.reset();
    unmade = failure.status();
  }
}

// A failure to make the outputs is the run's once it reaches them, after
// every view is decoded, as where nothing was made before.
OutputFile& RunOutputs::take(std::unique_ptr<OutputFile>& output) const {
  if (unmade) throw Failure(*unmade);
  return *output;
}

ExitStatus interlace_views(const RunSettings& settings, DecoderPool& decoders, const std::vector<OpenedView>& views,
                           RunOutputs& outputs, const MachineRoom& room) {
  PreviewAnimation preview;
  StripTable strips;
  std::optional<ViewSize> size;
  // The decoders decode the next views while this one's page is kept; each
  // page is tagged and its row order chosen on its decoder's thread, and
  // only the appending is the animation's, in view order. Every decoder has
  // ended, its memory given back, before the outputs are written.
  const auto prepare = [](DecodedView& decoded) { PreviewAnimation::prepare_page(decoded.page.get()); };
  decoders.decode(views, settings.view_count, room, prepare, [&](DecodedView& decoded) {
    if (!size) prefer_huge_pages_for_strips(decoded.size, settings.view_count);
    size = decoded.size;
    preview.append_page(decoded.page.get());
    strips.add(std::move(decoded.strip));
  });

  // Both outputs are complete on disk before either replaces an old one.
  OutputFile& print_file = outputs.take(outputs.print);
  write_interlaced(strips, *size, *dots_per_metre(settings.print_dpi), print_file);
  print_file.finish();
  OutputFile& preview_file = outputs.take(outputs.preview);
  preview.write(preview_file);
  preview_file.finish();

  if (!outputs.helper) fail_output();
  replace_targets({&print_file, &preview_file}, outputs.folder, *outputs.journal, *outputs.helper);
  return ExitStatus::Done;
}

ExitStatus interlace_views(const RunSettings& settings) {
  const MachineRoom room = room_of_this_process();
  RunOutputs outputs(settings);
  DecoderPool decoders(decoders_to_start(room, settings.view_count, descriptor_limit()));
  const std::vector<OpenedView> views = open_views(settings);
  return interlace_views(settings, decoders, views, outputs, room);
}

}  // namespace interlace

int main(int argc, char** argv) {
  interlace::ensure_standard_descriptors();
  interlace::silence_console();
  interlace::raise_descriptor_limit();
  interlace::keep_large_allocations();
  interlace::one_heap_for_all_threads();
  interlace::remove_temporaries_on_signals();
  using interlace::ExitStatus;
  const std::optional<interlace::RunSettings> settings = interlace::parse_command_line(argc, argv);
  if (!settings) return static_cast<int>(ExitStatus::BadCommandLine);
  // Nothing the caller left open is for the run, or for its decoder.
  interlace::close_inherited_descriptors();
  // Everything the run will hold open at once, counted before anything is
  // touched.
  if (interlace::descriptor_limit() < std::uint64_t(interlace::descriptors_needed(settings->view_count, 1))) {
    return static_cast<int>(ExitStatus::OutputFailed);
  }
  try {
    // What the machine has room for, read before the run starts any process
    // of its own (which would count as busy).
    const interlace::MachineRoom room = interlace::room_of_this_process();
    interlace::RunOutputs outputs(*settings);
    // As many decoders as that allows, all started before the run confines
    // itself.
    interlace::DecoderPool decoders(
        interlace::decoders_to_start(room, settings->view_count, interlace::descriptor_limit()));
    const std::vector<interlace::OpenedView> views = interlace::open_views(*settings);
    confine_run(decoders);
    return static_cast<int>(interlace_views(*settings, decoders, views, outputs, room));
  } catch (const interlace::Failure& failure) {
    return static_cast<int>(failure.status());
  } catch (const std::bad_alloc&) {
    return static_cast<int>(ExitStatus::OutputFailed);
  }
}
