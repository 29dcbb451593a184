#include "decoding/decoder_pool.h"

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "view_problem.h"

namespace interlace {

// What the run's thread and the decoders' threads share, under its mutex.
struct DecoderPool::Shared {
  struct Slot {
    std::optional<DecodedView> view;
    std::exception_ptr failure;
    bool done = false;
  };

  Shared(const std::vector<OpenedView>& files, int count, const MachineRoom& machine, int decoders)
      : views(files), view_count(count), room(machine), slots(files.size()), allowed(decoders) {}

  // View 1's header has said its pixels, or view 1 is done: the others may
  // be handed out, to as many decoders as there is memory for.
  void view_1_known(std::uint64_t pixels, int decoders) {
    if (view_1_claimed) return;
    allowed = decoders_to_keep(room, decoders, pixels);
    view_1_claimed = true;
  }

  const std::vector<OpenedView>& views;
  const int view_count;
  const MachineRoom room;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Slot> slots;
  std::size_t next = 0;  // the next view to hand out
  int allowed;           // decoders that may take views
  bool view_1_claimed = false;
  std::optional<ViewSize> view_1_size;
  bool failed = false, stopping = false;
};

namespace {

// Signals are the run's thread's to take: a handler removes temporaries.
void leave_signals_to_the_run() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

[[noreturn]] void refuse_other_size(const ViewSize& size, const ViewSize& view_1, const std::string& format) {
  ViewProblem problem{ViewProblemKind::SizeDiffers};
  problem.width = size.width;
  problem.height = size.height;
  problem.expected_width = view_1.width;
  problem.expected_height = view_1.height;
  problem.format = format;
  refuse_view(problem);
}

// The failure of view `index` as decoding in order would have met it: a
// later view decoded before view 1's size was known, and too narrow, or too
// tall for a preview page, is first of all of another size.
[[noreturn]] void fail_as_in_order(const std::exception_ptr& failure, std::size_t index,
                                   const std::optional<ViewSize>& view_1) {
  try {
    std::rethrow_exception(failure);
  } catch (const ViewRefused& refused) {
    const ViewProblem& p = refused.problem();
    const ViewSize size{static_cast<int>(p.width), static_cast<int>(p.height)};
    if (index > 0 && view_1 && p.kind == ViewProblemKind::TooNarrow && !(size == *view_1)) {
      refuse_other_size(size, *view_1, p.format);
    }
    throw;
  } catch (const OutputsUnmade& unmade) {
    if (index > 0 && view_1 && unmade.size() && !(*unmade.size() == *view_1)) refuse_other_size(*unmade.size(), *view_1, "");
    throw;
  }
}

}  // namespace

DecoderPool::DecoderPool(int count) {
#ifndef INTERLACE_CONFINE
  count = 1;  // views are decoded on the run's own thread
#endif
  for (int i = 0; i < std::max(1, count); ++i) decoders_.push_back(std::make_unique<Decoder>());
}

DecoderPool::~DecoderPool() { stop(); }

std::vector<pid_t> DecoderPool::pids() const {
  std::vector<pid_t> pids;
  for (const auto& decoder : decoders_) {
    if (decoder->pid() > 0) pids.push_back(decoder->pid());
  }
  return pids;
}

void DecoderPool::stop() {
  for (auto& decoder : decoders_) decoder->stop();
}

// One decoder's thread: views in turn until none is left for it.
void DecoderPool::work(std::size_t index, Shared& shared, const std::function<void(DecodedView&)>& prepare) {
  leave_signals_to_the_run();
  Decoder& decoder = *decoders_[index];
  const int decoders = static_cast<int>(decoders_.size());
  while (true) {
    std::size_t view = 0;
    DecodeRequest request;
    {
      std::unique_lock<std::mutex> lock(shared.mutex);
      shared.changed.wait(lock, [&] {
        return shared.stopping || shared.failed || shared.next >= shared.slots.size() || shared.next == 0 ||
               shared.view_1_claimed;
      });
      // After a failure no later view matters: the run ends at it.
      if (shared.stopping || shared.failed || shared.next >= shared.slots.size()) break;
      if (shared.next > 0 && static_cast<int>(index) >= shared.allowed) break;
      view = shared.next++;
      request.view_count = shared.view_count;
      request.first = view == 0;
      if (view > 0) request.expected = shared.view_1_size;
      request.last = shared.next >= shared.slots.size();
    }
    decoder.on_claim([&shared, view, decoders](std::uint64_t pixels) {
      if (view != 0) return;
      const std::lock_guard<std::mutex> lock(shared.mutex);
      shared.view_1_known(pixels, decoders);
      shared.changed.notify_all();
    });
    std::optional<DecodedView> decoded;
    std::exception_ptr failure;
    try {
      decoded = decoder.decode(shared.views[view], request);
      prepare(*decoded);
    } catch (...) {
      failure = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(shared.mutex);
    Shared::Slot& slot = shared.slots[view];
    if (view == 0 && decoded) {
      shared.view_1_size = decoded->size;
      shared.view_1_known(std::uint64_t(decoded->size.width) * std::uint64_t(decoded->size.height), decoders);
    }
    if (view == 0) shared.view_1_claimed = true;
    slot.view = std::move(decoded);
    slot.failure = failure;
    slot.done = true;
    shared.failed = shared.failed || failure != nullptr;
    shared.changed.notify_all();
    // A decoder that failed is asked nothing more: the run ends at a failure.
    if (failure) break;
  }
  decoder.stop();
}

void DecoderPool::decode(const std::vector<OpenedView>& views, int view_count, const MachineRoom& room,
                         const std::function<void(DecodedView&)>& prepare,
                         const std::function<void(DecodedView&)>& take) {
#ifndef INTERLACE_CONFINE
  // Decoding in the run's own process, on its own thread: the library is
  // not to be called from two threads at once.
  (void)room;
  DecodeRequest request;
  request.view_count = view_count;
  for (std::size_t i = 0; i < views.size(); ++i) {
    request.last = i + 1 == views.size();
    DecodedView decoded = decoders_.front()->decode(views[i], request);
    request.expected = decoded.size;
    request.first = false;
    prepare(decoded);
    take(decoded);
  }
  stop();
  return;
#endif
  Shared shared(views, view_count, room, static_cast<int>(decoders_.size()));
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < decoders_.size(); ++i) threads.emplace_back([this, i, &shared, &prepare] { work(i, shared, prepare); });
  // However this ends, every decoder's thread ends first, and with it its
  // decoder: at once where the run gives up.
  const auto finish = [&](bool at_once) {
    {
      const std::lock_guard<std::mutex> lock(shared.mutex);
      shared.stopping = true;
    }
    shared.changed.notify_all();
    if (at_once) {
      for (auto& decoder : decoders_) decoder->interrupt();
    }
    for (std::thread& thread : threads) thread.join();
  };
  try {
    for (std::size_t i = 0; i < views.size(); ++i) {
      DecodedView decoded;
      std::optional<ViewSize> view_1;
      {
        std::unique_lock<std::mutex> lock(shared.mutex);
        shared.changed.wait(lock, [&] { return shared.slots[i].done; });
        view_1 = shared.view_1_size;
        if (shared.slots[i].failure) {
          const std::exception_ptr failure = shared.slots[i].failure;
          lock.unlock();
          fail_as_in_order(failure, i, view_1);
        }
        decoded = std::move(*shared.slots[i].view);
        shared.slots[i].view.reset();
      }
      if (i > 0 && view_1 && !(decoded.size == *view_1)) refuse_other_size(decoded.size, *view_1, decoded.format);
      take(decoded);
    }
  } catch (...) {
    finish(true);
    throw;
  }
  finish(false);
}

}  // namespace interlace
