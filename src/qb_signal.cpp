// The run's interruption: the handlers only note the signal (and end the tool
// at a second one); the engine and the driver look at the note and wind down.
#include "qb_signal.h"

#include <signal.h>

#include <cerrno>
#include <cstring>

#include "qb_process.h"

namespace {

volatile sig_atomic_t noted_signal = 0;

const int CAUGHT[] = {SIGINT, SIGTERM, SIGHUP};

void on_interrupt(int sig) {
  if (noted_signal == 0) {
    noted_signal = sig;
    return;
  }
  // A second signal while the run winds down: the operator means it. Only
  // async-signal-safe calls here.
  // The client goes first, and for certain: the tool will not be there to
  // wait for a polite end.
  kill_running_client();
  struct sigaction dfl;
  memset(&dfl, 0, sizeof(dfl));
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  raise(sig);  // delivered once the handler returns, as the signal is blocked
}

}  // namespace

int install_interrupt_handlers() {
  for (int sig : CAUGHT) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) != 0)
      return errno;
    if (old.sa_handler == SIG_IGN)
      continue;
    struct sigaction act;
    memset(&act, 0, sizeof(act));
    act.sa_handler = on_interrupt;
    sigemptyset(&act.sa_mask);
    // The other two wait while one is being noted; no SA_RESTART, so that a
    // wait in a system call ends at once and the caller looks at the note.
    for (int other : CAUGHT)
      sigaddset(&act.sa_mask, other);
    act.sa_flags = 0;
    if (sigaction(sig, &act, nullptr) != 0)
      return errno;
  }
  return 0;
}

int interrupt_signal() {
  return noted_signal;
}

const char* interrupt_name(int sig) {
  switch (sig) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return nullptr;
  }
}

void clear_interrupt() {
  noted_signal = 0;
}
