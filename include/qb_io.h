// Descriptor and process layer: thin wrappers over the POSIX calls with which
// the session engine starts the SSH client on pipes and watches it end.
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

// pipe(fds): 0 on success, -1 on failure or for a null fds.
int create_pipe(fd_handle* fds);

// Closes fd if open and sets the caller's variable to -1.
void close_fdhandle(fd_handle& fd);

// dup2(oldfd, newfd): returns newfd, or -1.
fd_handle dup2_std_fdhandle(fd_handle oldfd, int newfd);

// dup(oldfd): returns the new descriptor, or -1.
fd_handle dup_fdhandle(fd_handle oldfd);

// Puts the tool's own standard streams back from the duplicates made before
// they were redirected (a -1 duplicate leaves its stream as it is), then
// closes the duplicates; all three are -1 afterwards.
void restore_std_fdhandles(fd_handle& stdin_def, fd_handle& stdout_def, fd_handle& stderr_def);

// Portability wrappers kept for sources shared with other platforms.
int _pipe(int* pfds, unsigned int psize, int textmode);
int _dup2(int oldfd, int newfd);

// Starts filepath with args split at blanks, its standard streams being the
// tool's current descriptors 0, 1 and 2; once the program runs, pauses
// start_pause_sec and restores the tool's own streams from the three *_def
// duplicates. All six handles are -1 afterwards. Returns the child's pid, or
// 0 if no child was started (the handles then stay for the caller to put
// back); *exec_errno, if given, then says why (0 when no system call failed).
pid_t run_ssh_process(fd_handle& fd_in, fd_handle& fd_out, fd_handle& fd_err, fd_handle& stdin_def,
                      fd_handle& stdout_def, fd_handle& stderr_def, char* filepath, char* args,
                      int start_pause_sec = 1, int* exec_errno = nullptr);

// Milliseconds on the monotonic clock: for deadlines and stillness, which a
// change of the wall clock must not stretch or cut.
long long monotonic_ms();

// Sleeps ms milliseconds (a signal may end it early).
void nap_ms(int ms);

// Waits up to timeout_ms for fd_r to have bytes or to reach its end. Returns
// 1 if bytes wait, 2 at the end (no writer left), 0 after the time-out, -1 on
// a failure.
int poll_fdhandle(fd_handle fd_r, int timeout_ms);

// One look at the child without waiting: 1 if it ended (and was reaped) or is
// not a child of ours, else 0.
int process_ended(pid_t pid);

// One look at the child: returns 0 after a 1-second sleep if it still runs,
// 1 at once if it ended (and was reaped) or is not a child of ours.
int wait_process(pid_t pid);

// Ends a child that outlived its SIGTERM: SIGKILL, then reaps it.
void kill_process(pid_t pid);

#endif
