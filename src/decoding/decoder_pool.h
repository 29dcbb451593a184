// Several decoders at once, each a confined program of its own as one alone
// is, handed the views in turn; their answers are taken in view order, and
// the run ends on the first view by number that can't be used, as it would
// decoding one view after another.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <vector>

#include "channel/decoded_view.h"
#include "channel/opened_view.h"
#include "decoding/decoder.h"
#include "decoding/decoder_count.h"

namespace interlace {

class DecoderPool {
 public:
  // Starts `count` decoders (one at least; one where views are decoded in
  // the run's own process). Throws as Decoder() does.
  explicit DecoderPool(int count);
  ~DecoderPool();
  DecoderPool(const DecoderPool&) = delete;
  DecoderPool& operator=(const DecoderPool&) = delete;

  // The decoder processes' ids, for the run's confinement.
  std::vector<pid_t> pids() const;

  // Decodes `views`, a set of `view_count`, has `prepare` work on each
  // decoded view on the thread that received it, and hands each to `take`
  // in view order, on this thread, while the decoders go on with the next
  // views. A view `prepare` throws for counts as one that can't be used.
  // View 1 is decoded first; once its header says its size, as many
  // decoders as `room` has memory for take the others in turn. Throws
  // the failure of the first view that can't be used (ViewRefused,
  // OutputsUnmade, DecoderUnavailable); a view of another size than view
  // 1's is refused here where its decoder couldn't know view 1's size yet.
  // Every decoder has ended when it returns or throws.
  void decode(const std::vector<OpenedView>& views, int view_count, const MachineRoom& room,
              const std::function<void(DecodedView&)>& prepare, const std::function<void(DecodedView&)>& take);

  // Ends every decoder, giving its memory back.
  void stop();

 private:
  struct Shared;
  void work(std::size_t decoder, Shared& shared, const std::function<void(DecodedView&)>& prepare);

  std::vector<std::unique_ptr<Decoder>> decoders_;
};

}  // namespace interlace
