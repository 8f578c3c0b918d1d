// Descriptor layer: thin wrappers over the POSIX calls on the SSH client's
// pipes (the client itself is qb_process.h's), and the clock and pauses that
// pace the tool's waits.
#ifndef MORVIK_QB_IO_H
#define MORVIK_QB_IO_H

#include <sys/types.h>

typedef int fd_handle;  // -1: no descriptor

const int STD_INPUT_HANDLE = 0;
const int STD_OUTPUT_HANDLE = 1;
const int STD_ERROR_HANDLE = 2;

// Writes strlen(send) bytes in one write(); returns its result, -1 for a
// missing descriptor or buffer.
int write_fdhandle(fd_handle fd_w, char* send);

// One read() of min(b_avail, recv_size) bytes; adds no terminator. Returns its
// result, -1 for a missing descriptor or buffer.
int read_fdhandle(fd_handle fd_r, char* recv, int recv_size, int b_avail);

// Returns the number of bytes waiting on fd_r (FIONREAD), 0 if unknown.
int get_bytes_avail(fd_handle fd_r);

// pipe(fds), both ends close-on-exec, so that only the child that is handed
// an end on purpose gets it: 0 on success, -1 on failure or for a null fds.
int create_pipe(fd_handle* fds);

// Closes fd if open and sets the caller's variable to -1.
void close_fdhandle(fd_handle& fd);

// dup2(oldfd, newfd): returns newfd, or -1. No caller: the child's streams
// are wired by run_ssh_process (qb_process.h), the tool's own never move.
fd_handle dup2_std_fdhandle(fd_handle oldfd, int newfd);

// dup(oldfd): returns the new descriptor, or -1. No caller either.
fd_handle dup_fdhandle(fd_handle oldfd);

// pipe() and dup2() under the names of another platform's C runtime
// (_dup2 returns 0 on success). The tool calls neither; its pipes are
// create_pipe's, close-on-exec, which these are not.
int _pipe(int* pfds, unsigned int psize, int textmode);
int _dup2(int oldfd, int newfd);

// Milliseconds on the monotonic clock: for deadlines and stillness, which a
// change of the wall clock must not stretch or cut.
long long monotonic_ms();

// Sleeps ms milliseconds, whatever signal arrives.
void nap_ms(int ms);

// Sleeps ms milliseconds, or less once the run has been interrupted (a noted
// signal, see qb_signal.h): it looks at least every 100 ms. Returns 1 if it
// was cut short, else 0.
int pause_ms(int ms);

// Waits up to timeout_ms for fd_r to have bytes or to reach its end. Returns
// 1 if bytes wait, 2 at the end (no writer left), 0 after the time-out or a
// signal, -1 on a failure.
int poll_fdhandle(fd_handle fd_r, int timeout_ms);

#endif
