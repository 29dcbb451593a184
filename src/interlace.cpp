// interlace: weaves N views of a scene into one print image for lenticular
// and parallax-barrier sheets, and writes a GIF preview of the views.
//
//   interlace BASE TEXT N INT INT DPI REAL
//
// Reads BASE_rs_c01.bmp ... in view order and writes BASE_interlace.bmp and
// BASE_animation.gif. It prints nothing; the exit status is its only report.

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <new>
#include <optional>

#include "interlace.h"

#include "command_line.h"
#include "exit_status.h"
#include "file_names.h"
#include "pipeline/interlacer.h"
#include "output/output_commit.h"
#include "output/output_file.h"
#include "pipeline/preview.h"
#include "output/signals.h"
#include "pipeline/strip.h"
#include "decoder/view_loader.h"

namespace {

// Callers read the exit status only. The decoders behind the image library
// may still write warnings of their own, so the console is closed to them.
void silence_console() {
  const int null_device = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_device < 0) return;
  dup2(null_device, STDOUT_FILENO);
  dup2(null_device, STDERR_FILENO);
  close(null_device);
}

// Every view and strip is one large allocation. By default the C library
// maps each afresh and unmaps it when freed, so every view pays again for the
// kernel to fault in and zero its pages, over half the run on print-size
// views. Kept on the heap and never trimmed, the memory of one view is reused
// by the next.
void keep_large_allocations() {
#ifndef INTERLACE_SYSTEM_ALLOCATOR
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
#endif
}

}  // namespace

namespace interlace {

ExitStatus interlace_views(const RunSettings& settings) {
  const int views = settings.view_count;
  PreviewAnimation preview;
  StripTable strips;
  std::optional<ViewSize> size;
  for (int n = 1; n <= views; ++n) {
    const Bitmap view = load_view(settings.base_name, n, views, size);
    // The preview page first: its resampling scratch (640 columns at the
    // view's full height) is then free again for the strip to reuse, which
    // keeps the peak at one view plus the strips.
    preview.add_page(view.get());
    strips.add(make_strip(view.get(), views));
  }

  // Both outputs are complete on disk before either replaces an old one.
  OutputFile print_file(interlaced_file_name(settings.base_name));
  {
    const Bitmap image = interlace_strips(strips, *size);
    write_print_image(image.get(), *dots_per_metre(settings.print_dpi), print_file);
  }
  print_file.finish();
  OutputFile preview_file(animation_file_name(settings.base_name));
  preview.write(preview_file);
  preview_file.finish();

  replace_targets({&print_file, &preview_file});
  return ExitStatus::Done;
}

}  // namespace interlace

int main(int argc, char** argv) {
  silence_console();
  keep_large_allocations();
  interlace::remove_temporaries_on_signals();
  using interlace::ExitStatus;
  const std::optional<interlace::RunSettings> settings = interlace::parse_command_line(argc, argv);
  if (!settings) return static_cast<int>(ExitStatus::BadCommandLine);
  try {
    return static_cast<int>(interlace_views(*settings));
  } catch (const interlace::Failure& failure) {
    return static_cast<int>(failure.status());
  } catch (const std::bad_alloc&) {
    return static_cast<int>(ExitStatus::OutputFailed);
  }
}
