// The run sequence of one call, for the entry point and the fuzzer.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "command_line.h"
#include "decoding/decoder_count.h"
#include "decoding/decoder_pool.h"
#include "channel/opened_view.h"
#include "exit_status.h"
#include "output/commit_helper.h"
#include "output/output_file.h"

namespace interlace {

// Opens the N view files, in order, before any is decoded. Throws
// ViewRefused for the first that can't be opened.
std::vector<OpenedView> open_views(const RunSettings& settings);

// The outputs' folder (swept, and an interrupted commit there mended: the
// first thing a run does, before anything can fail on a view), both
// temporaries, the commit's journal and the commit helper that will put
// them in place, made before the run confines itself (after that it opens
// nothing by name and changes no file by name). A failure to make them is
// kept, to be thrown where the run would have made them.
struct RunOutputs {
  explicit RunOutputs(const RunSettings& settings);
  OutputFile& take(std::unique_ptr<OutputFile>& output) const;

  OutputFolder folder;
  std::unique_ptr<OutputFile> print, preview, journal;
  std::unique_ptr<CommitHelper> helper;
  std::optional<ExitStatus> unmade;
};

// Has `decoders` decode the views, keeping each one's strip and preview page
// in view order, then writes the interlaced image and the preview into
// `outputs`, both or neither. Returns ExitStatus::Done; throws Failure with
// the status of whatever stopped it: that of the first view by number that
// can't be used, as decoding them in order would.
ExitStatus interlace_views(const RunSettings& settings, DecoderPool& decoders, const std::vector<OpenedView>& views,
                           RunOutputs& outputs, const MachineRoom& room);

// The same, making the outputs, starting a decoder and opening the views
// itself.
ExitStatus interlace_views(const RunSettings& settings);

}  // namespace interlace
