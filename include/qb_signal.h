// The run's interruption: SIGINT, SIGTERM and SIGHUP are noted, not obeyed at
// once, so that the run can end its client, write its report and unlock.
#ifndef MORVIK_QB_SIGNAL_H
#define MORVIK_QB_SIGNAL_H

// Catches SIGINT, SIGTERM and SIGHUP, except those inherited as ignored (a job
// started in the background ignores SIGINT and must go on doing so). The first
// one is noted; a second one ends the tool at once, as the signal would, and
// the running client with it (kill_running_client, qb_process.h), so that not
// even then a client outlives the tool.
// Returns 0, or the errno of a failed sigaction.
int install_interrupt_handlers();

// The number of the signal that interrupted the run, 0 while none did.
int interrupt_signal();

// "SIGINT", "SIGTERM", "SIGHUP", or null for any other number.
const char* interrupt_name(int sig);

// For tests: forgets a noted signal.
void clear_interrupt();

#endif
