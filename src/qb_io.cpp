// Descriptor layer: the only place where the tool reads, writes, duplicates
// and closes the descriptors of the pipes to the SSH client.
#include "qb_io.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

int write_fdhandle(fd_handle fd_w, char* send) {
  if (fd_w == -1 || send == nullptr)
    return -1;
  return static_cast<int>(write(fd_w, send, strlen(send)));
}

int read_fdhandle(fd_handle fd_r, char* recv, int recv_size, int b_avail) {
  if (fd_r == -1 || recv == nullptr)
    return -1;
  int count = b_avail < recv_size ? b_avail : recv_size;
  if (count < 0)
    count = 0;
  return static_cast<int>(read(fd_r, recv, static_cast<size_t>(count)));
}

int get_bytes_avail(fd_handle fd_r) {
  int avail = 0;
  if (ioctl(fd_r, FIONREAD, &avail) == -1)
    return 0;
  return avail;
}

int poll_fdhandle(fd_handle fd_r, int timeout_ms) {
  if (fd_r == -1)
    return -1;
  struct pollfd pfd;
  pfd.fd = fd_r;
  pfd.events = POLLIN;
  pfd.revents = 0;
  int rc = poll(&pfd, 1, timeout_ms);
  if (rc == -1)
    return errno == EINTR ? 0 : -1;
  if (rc == 0)
    return 0;
  if ((pfd.revents & POLLIN) != 0)
    return 1;
  return (pfd.revents & POLLHUP) != 0 ? 2 : -1;
}

long long monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void nap_ms(int ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  nanosleep(&ts, nullptr);
}

int create_pipe(fd_handle* fds) {
  if (fds == nullptr)
    return -1;
  return pipe(fds) == 0 ? 0 : -1;
}

void close_fdhandle(fd_handle& fd) {
  if (fd == -1)
    return;
  close(fd);
  fd = -1;
}

fd_handle dup2_std_fdhandle(fd_handle oldfd, int newfd) {
  return dup2(oldfd, newfd) == -1 ? -1 : newfd;
}

fd_handle dup_fdhandle(fd_handle oldfd) {
  return dup(oldfd);
}

void restore_std_fdhandles(fd_handle& stdin_def, fd_handle& stdout_def, fd_handle& stderr_def) {
  if (stdout_def != -1)
    dup2_std_fdhandle(stdout_def, STD_OUTPUT_HANDLE);
  if (stdin_def != -1)
    dup2_std_fdhandle(stdin_def, STD_INPUT_HANDLE);
  if (stderr_def != -1)
    dup2_std_fdhandle(stderr_def, STD_ERROR_HANDLE);
  close_fdhandle(stdout_def);
  close_fdhandle(stdin_def);
  close_fdhandle(stderr_def);
}

int _pipe(int* pfds, unsigned int psize, int textmode) {
  (void)psize;
  (void)textmode;
  return pipe(pfds);
}

int _dup2(int oldfd, int newfd) {
  return dup2(oldfd, newfd) == -1 ? -1 : 0;
}
