// Byte-level session I/O of the stand-in.
#include "term.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "module_state.h"

bool term_write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (w <= 0)
      return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void term_open(qbsim_term* t, const std::string& dir, int in, int out) {
  t->in = in;
  t->out = out;
  t->dir = dir;
  t->tty = isatty(in) != 0;
  if (t->tty && tcgetattr(in, &t->saved) == 0) {
    // The interface echoes and ends lines itself, as a switch's CLI does; the
    // terminal must pass every byte through untouched both ways.
    struct termios raw = t->saved;
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(in, TCSANOW, &raw) == 0)
      t->raw_set = true;
  }
}

void term_close(qbsim_term* t) {
  term_flush(t);
  if (t->raw_set) {
    tcsetattr(t->in, TCSADRAIN, &t->saved);
    t->raw_set = false;
  }
}

void term_put(qbsim_term* t, const std::string& text) { t->pending += text; }

namespace {

double now_sec() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Waits up to timeout_ms (-1: forever) for input and appends what came to
// inbuf. Returns false on hang-up, true otherwise (also on time-out).
bool fill(qbsim_term* t, int timeout_ms) {
  if (t->hung_up)
    return false;
  struct pollfd p = {t->in, POLLIN, 0};
  int r = poll(&p, 1, timeout_ms);
  if (r < 0)
    return errno == EINTR;
  if (r == 0)
    return true;
  char buf[4096];
  ssize_t n = read(t->in, buf, sizeof(buf));
  if (n < 0 && (errno == EINTR || errno == EAGAIN))
    return true;
  if (n <= 0) {
    t->hung_up = true;
    return false;
  }
  t->inbuf.append(buf, static_cast<size_t>(n));
  if (!t->dir.empty())
    qbsim_append_received(t->dir, buf, static_cast<size_t>(n));
  return true;
}

// Waits `seconds`; false (at once) if the input hangs up meanwhile.
bool wait_keeping_input(qbsim_term* t, double seconds) {
  double end = now_sec() + seconds;
  for (;;) {
    double left = end - now_sec();
    if (left <= 0)
      return true;
    // Input that arrives meanwhile is kept for later, as a terminal would.
    if (!fill(t, static_cast<int>(left * 1000) + 1))
      return false;
  }
}

bool write_pending(qbsim_term* t) {
  if (t->pending.empty())
    return true;
  bool ok = term_write_all(t->out, t->pending.data(), t->pending.size());
  t->pending.clear();
  return ok;
}

// The write of an armed split: first part, then the pause and the rest, or
// the break-off.
bool flush_split(qbsim_term* t) {
  size_t from = t->split_at < t->pending.size() ? t->split_at : t->pending.size();
  t->split_at = std::string::npos;
  size_t lines = 0;
  for (size_t i = from; i < t->pending.size(); i++)
    if (t->pending[i] == '\n')
      lines++;
  size_t cut = from;
  for (size_t k = 0; lines > 0 && k < (lines - 1) / 2; k++)
    cut = t->pending.find('\n', cut) + 1;
  std::string rest = t->pending.substr(cut);
  t->pending.erase(cut);
  bool ok = write_pending(t);
  if (t->split_pause < 0) {
    t->broken = true;
    t->hung_up = true;
    t->inbuf.clear();  // input not yet taken is lost with the connection
    return false;
  }
  // Hanging up meanwhile ends only the wait: the rest is owed all the same.
  wait_keeping_input(t, t->split_pause);
  t->pending = rest;
  return write_pending(t) && ok;
}

}  // namespace

bool term_flush(qbsim_term* t) {
  if (t->broken) {
    t->pending.clear();
    return false;
  }
  if (t->split_at != std::string::npos)
    return flush_split(t);
  return write_pending(t);
}

void term_split(qbsim_term* t, double seconds) {
  t->split_at = t->pending.size();
  t->split_pause = seconds;
}

bool term_pause(qbsim_term* t, double seconds) {
  term_flush(t);
  return wait_keeping_input(t, seconds);
}

bool term_read_line(qbsim_term* t, std::string* line) {
  term_flush(t);
  for (;;) {
    size_t e = t->inbuf.find_first_of("\r\n");
    if (e != std::string::npos) {
      size_t len = 1;
      if (t->inbuf[e] == '\r') {
        // CR LF is one line end; give the LF a moment to follow its CR.
        if (e + 1 == t->inbuf.size())
          fill(t, 50);
        if (e + 1 < t->inbuf.size() && t->inbuf[e + 1] == '\n')
          len = 2;
      }
      line->assign(t->inbuf, 0, e);
      t->inbuf.erase(0, e + len);
      return true;
    }
    // A line cut off by a hang-up is never run, as on a real terminal.
    if (!fill(t, -1))
      return false;
  }
}

int term_read_char(qbsim_term* t) {
  term_flush(t);
  for (;;) {
    while (!t->inbuf.empty() && (t->inbuf[0] == '\r' || t->inbuf[0] == '\n'))
      t->inbuf.erase(0, 1);
    if (!t->inbuf.empty()) {
      int c = static_cast<unsigned char>(t->inbuf[0]);
      t->inbuf.erase(0, 1);
      return c;
    }
    if (!fill(t, -1))
      return -1;
  }
}
