// Signals and temporary files: what a dying run removes, and the moments
// when no signal may interrupt it.
#pragma once

#include <signal.h>

namespace interlace {

// Installs handlers so that SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU,
// SIGALRM, SIGUSR1 and SIGUSR2 remove every registered temporary before the
// process dies of them; those ignored when the process started stay ignored. SIGPIPE and SIGXFSZ are ignored, so that a write
// past a file-size limit fails with EFBIG and the run ends with status 3
// instead of dying with its files half made.
void remove_temporaries_on_signals();

// Registers a named temporary for removal by the handlers; returns a slot
// for unregister_temporary(), or -1 when all slots are taken. `path` must
// stay valid until it is unregistered. Call with signals held, so that no
// handler runs between the file's creation and its registration.
int register_temporary(const char* path);
void unregister_temporary(int slot);

// Holds every signal that can be held while it lives; those that arrive are
// delivered when it goes. SIGKILL can't be held: whatever it interrupts
// must leave files that a later run can recognise and clear.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace interlace
