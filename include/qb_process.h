// The SSH client's whole life in one record: its pipes made, the child started
// and wired, read from and written to, ended and reaped, its exit status kept.
#ifndef MORVIK_QB_PROCESS_H
#define MORVIK_QB_PROCESS_H

#include <sys/types.h>

#include "qb_io.h"

// One SSH client. Its standard output and standard error share one pipe, so
// that the tool reads them in the order the client wrote them. The tool's two
// ends stay here until end_process; the child's two only until
// run_ssh_process has handed them over. Every handle is -1 when closed.
struct client_process {
  pid_t pid;            // the client while it runs; 0 before its start and once reaped
  fd_handle out_r;      // its standard output and error, for the tool to read
  fd_handle in_w;       // its standard input, for the tool to write
  fd_handle child_out;  // the output pipe's other end, to be its descriptors 1 and 2
  fd_handle child_in;   // the input pipe's other end, to be its descriptor 0
  int exec_errno;       // why it was not started; 0 when no system call failed
  int status;           // its wait status once reaped; -1 before, or if it was no child of ours

  client_process();
};

// Makes c's two pipes, every end close-on-exec. Returns 1, or 0 with none of
// them left open.
int create_pipes(client_process* c);

// Starts filepath with args split at single blanks on c's pipes: in the child,
// and only there, child_in becomes descriptor 0 and child_out descriptors 1
// and 2, in a session of its own with default signals and no other
// descriptor. The child's ends are closed in the tool whatever happens.
// Returns c->pid once the program runs, or 0 if none was started (nothing is
// left to reap then); c->exec_errno then says why (0 when no system call
// failed).
pid_t run_ssh_process(client_process* c, const char* filepath, const char* args);

// The number of bytes the client wrote that wait to be read (FIONREAD), 0 if
// unknown.
int process_bytes_avail(const client_process* c);

// Waits up to timeout_ms for the client's output: 1 if bytes wait, 2 at its
// end (the client closed it), 0 after the time-out or a signal, -1 on a
// failure.
int poll_process(const client_process* c, int timeout_ms);

// One read of min(want, size) bytes of the client's output into buf, without
// terminator. Returns read()'s result, -1 once the pipe is closed.
int read_process(client_process* c, char* buf, int size, int want);

// Writes text (strlen bytes, no terminator) to the client's input in one
// write(). Returns its result, -1 once the pipe is closed.
int write_process(client_process* c, char* text);

// The one reaper. Looks once (hang 0) or waits (hang non-zero) for the client
// to end; once it has, reaps it, keeps its wait status in c->status and sets
// c->pid to 0. Returns 1 once it has ended (also when none runs, or it is no
// child of ours), else 0.
int reap_process(client_process* c, int hang);

// One look at the client; if it still runs, a 1-second pause (cut short by an
// interrupt, qb_signal.h) and 0; 1 at once if it has ended.
int wait_process(client_process* c);

// Ends the client after its dialogue and closes every end of its pipes: it is
// given 3 seconds to end by itself, then SIGTERM, 2 more seconds, then
// SIGKILL, looking every look_ms; an interrupted run sends SIGTERM at once.
// It is reaped in any case: no client outlives its session. A client that was
// never started only has its pipes closed.
void end_process(client_process* c, int look_ms);

// end_process's last resort, SIGKILL, to the client that runs now, if one
// does: all that a second interrupting signal leaves time for, the reaping
// left to the system once the tool has ended. Async-signal-safe.
void kill_running_client();

#endif
