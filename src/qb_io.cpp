// Descriptor layer: reads, writes, waits on and closes the tool's ends of the
// pipes to the SSH client. The child's ends are duplicated onto its standard
// streams in the child alone (qb_process.cpp).
#include "qb_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "qb_signal.h"

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
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

int pause_ms(int ms) {
  // Slices, so that a signal noted just before a slice began is seen within
  // one; a signal during a slice ends it at once (no SA_RESTART).
  const int SLICE_MS = 100;
  const long long deadline = monotonic_ms() + ms;
  for (;;) {
    if (interrupt_signal() != 0)
      return 1;
    const long long left = deadline - monotonic_ms();
    if (left <= 0)
      return 0;
    struct timespec ts;
    const long long slice = left < SLICE_MS ? left : SLICE_MS;
    ts.tv_sec = 0;
    ts.tv_nsec = static_cast<long>(slice) * 1000000L;
    nanosleep(&ts, nullptr);
  }
}

int create_pipe(fd_handle* fds) {
  if (fds == nullptr)
    return -1;
  return pipe2(fds, O_CLOEXEC) == 0 ? 0 : -1;
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

int _pipe(int* pfds, unsigned int psize, int textmode) {
  (void)psize;
  (void)textmode;
  return pipe(pfds);
}

int _dup2(int oldfd, int newfd) {
  return dup2(oldfd, newfd) == -1 ? -1 : 0;
}
