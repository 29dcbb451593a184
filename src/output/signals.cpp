#include "output/signals.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <initializer_list>

namespace interlace {

namespace {

// Temporaries with a name right now, for the handler: it may only read
// atomics and call async-signal-safe functions such as unlink.
constexpr int kSlots = 8;
std::atomic<const char*> g_temporaries[kSlots];

extern "C" void remove_temporaries_and_die(int signal_number) {
  for (auto& slot : g_temporaries) {
    if (const char* path = slot.load()) unlink(path);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

void remove_temporaries_on_signals() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU, SIGALRM, SIGUSR1, SIGUSR2}) {
    // A signal the caller ignores (nohup, trap '' INT) stays ignored, as
    // shells and daemons expect of the programs they start.
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    std::signal(signal_number, remove_temporaries_and_die);
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

int register_temporary(const char* path) {
  for (int i = 0; i < kSlots; ++i) {
    const char* expected = nullptr;
    if (g_temporaries[i].compare_exchange_strong(expected, path)) return i;
  }
  return -1;
}

void unregister_temporary(int slot) {
  if (slot >= 0) g_temporaries[slot].store(nullptr);
}

SignalsHeld::SignalsHeld() {
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous_);
}

SignalsHeld::~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace interlace
