// Scripted pipe client of the login program.
#include "cli_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

double cli_now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool cli_driver::start(const std::string& qbsim, const std::string& dir) {
  int in[2], outp[2];
  if (pipe2(in, O_CLOEXEC) != 0)
    return false;
  if (pipe2(outp, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  t0 = cli_now();
  pid = fork();
  if (pid == 0) {
    if (dup2(in[0], 0) < 0 || dup2(outp[1], 1) < 0)
      _exit(127);
    execl(qbsim.c_str(), "qbsim", "login", "--state", dir.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(outp[1]);
  to = in[1];
  from = outp[0];
  if (pid < 0) {
    close(to);
    close(from);
    to = from = -1;
    return false;
  }
  signal(SIGPIPE, SIG_IGN);
  return true;
}

void cli_driver::send(const std::string& text) {
  if (to >= 0 && write(to, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    close(to), to = -1;
}

namespace {

// One poll and read; false once the output has ended.
bool read_once(cli_driver* d, int ms) {
  struct pollfd p = {d->from, POLLIN, 0};
  int r = poll(&p, 1, ms);
  if (r <= 0)
    return r == 0 || errno == EINTR;
  char buf[8192];
  ssize_t n = read(d->from, buf, sizeof(buf));
  if (n <= 0)
    return false;
  d->out.append(buf, static_cast<size_t>(n));
  d->reads.push_back({cli_now() - d->t0, std::string(buf, static_cast<size_t>(n))});
  return true;
}

}  // namespace

size_t cli_driver::wait_for(const std::string& text, size_t from_pos, double timeout) {
  double end = cli_now() + timeout;
  for (;;) {
    size_t p = out.find(text, from_pos);
    if (p != std::string::npos)
      return p + text.size();
    double left = end - cli_now();
    if (left <= 0 || from < 0 || !read_once(this, static_cast<int>(left * 1000) + 1))
      return std::string::npos;
  }
}

void cli_driver::drain(double seconds) {
  double end = cli_now() + seconds;
  while (cli_now() < end && read_once(this, 50)) {
  }
}

int cli_driver::finish(double timeout, bool close_input) {
  if (close_input && to >= 0) {
    close(to);
    to = -1;
  }
  double end = cli_now() + timeout;
  int st = 0;
  while (pid > 0) {
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
      pid = -1;
      if (to >= 0) {
        close(to);
        to = -1;
      }
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    if (cli_now() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
      pid = -1;
      return -1;
    }
    if (from >= 0) {
      if (!read_once(this, 20)) {
        close(from);
        from = -1;
      }
    } else
      usleep(20000);
  }
  return -1;
}

cli_driver::~cli_driver() {
  if (pid > 0)
    finish(5);
  if (from >= 0)
    close(from);
}
