// The state directory on disk: the state file, its lock, the log of received
// bytes and the event diary. Sessions and the supervisor run as separate
// processes, so every read-modify-write goes through one flock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "module_state.h"

std::string qbsim_state_file(const std::string& dir) { return dir + "/state"; }
std::string qbsim_flash_dir(const std::string& dir, const std::string& mode) {
  return dir + "/flash/" + mode;
}
std::string qbsim_received_file(const std::string& dir) { return dir + "/received"; }
std::string qbsim_events_file(const std::string& dir) { return dir + "/events.log"; }

namespace {

bool make_dir(const std::string& path, std::string* err) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST)
    return true;
  if (err != nullptr)
    *err = "cannot create " + path + ": " + strerror(errno);
  return false;
}

bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

bool qbsim_read_file(const std::string& path, std::string* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  out->clear();
  char buf[8192];
  bool ok = true;
  for (;;) {
    ssize_t r = read(fd, buf, sizeof(buf));
    if (r < 0 && errno == EINTR)
      continue;
    if (r < 0)
      ok = false;
    if (r <= 0)
      break;
    out->append(buf, static_cast<size_t>(r));
  }
  close(fd);
  return ok;
}

bool qbsim_state_init(const std::string& dir, const qbsim_state& st, std::string* err) {
  if (!make_dir(dir, err) || !make_dir(dir + "/flash", err))
    return false;
  for (const char* m : {"Switch", "TZR", "EHM"})
    if (!make_dir(qbsim_flash_dir(dir, m), err))
      return false;
  int fd = open(qbsim_received_file(dir).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (err != nullptr)
      *err = "cannot create " + qbsim_received_file(dir);
    return false;
  }
  close(fd);
  return qbsim_state_save(dir, st, err);
}

bool qbsim_state_load(const std::string& dir, qbsim_state* st, std::string* err) {
  std::string text;
  if (!qbsim_read_file(qbsim_state_file(dir), &text)) {
    if (err != nullptr)
      *err = "cannot read " + qbsim_state_file(dir);
    return false;
  }
  return qbsim_state_parse(text, st, err);
}

bool qbsim_state_save(const std::string& dir, const qbsim_state& st, std::string* err) {
  // Written beside the real file and renamed over it, so a reader that does
  // not take the lock still never sees half a state.
  std::string tmp = qbsim_state_file(dir) + ".tmp" + std::to_string(getpid());
  std::string text = qbsim_state_format(st);
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (err != nullptr)
      *err = "cannot create " + tmp + ": " + strerror(errno);
    return false;
  }
  bool ok = write_all(fd, text.data(), text.size());
  if (close(fd) != 0)
    ok = false;
  if (ok && rename(tmp.c_str(), qbsim_state_file(dir).c_str()) != 0)
    ok = false;
  if (!ok) {
    unlink(tmp.c_str());
    if (err != nullptr)
      *err = "cannot write " + qbsim_state_file(dir);
  }
  return ok;
}

int qbsim_state_lock(const std::string& dir) {
  std::string path = dir + "/lock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return -1;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

void qbsim_state_unlock(int fd) {
  if (fd >= 0)
    close(fd);  // closing the only descriptor releases the flock
}

bool qbsim_state_update(const std::string& dir, const std::function<bool(qbsim_state&)>& fn,
                        std::string* err) {
  int fd = qbsim_state_lock(dir);
  if (fd < 0) {
    if (err != nullptr)
      *err = "cannot lock " + dir;
    return false;
  }
  qbsim_state st;
  bool ok = qbsim_state_load(dir, &st, err);
  if (ok && fn(st))
    ok = qbsim_state_save(dir, st, err);
  qbsim_state_unlock(fd);
  return ok;
}

std::vector<qbsim_fault> qbsim_take_faults(const std::string& dir, const std::string& command) {
  std::vector<qbsim_fault> fired;
  qbsim_state_update(
      dir,
      [&](qbsim_state& st) {
        int n = ++st.counts[command];
        for (const qbsim_fault& f : st.faults)
          if ((f.command == command || f.command == "any") &&
              (f.occurrence == 0 || f.occurrence == n))
            fired.push_back(f);
        return true;
      },
      nullptr);
  for (const qbsim_fault& f : fired)
    qbsim_event(dir, "fault %s fires on %s", f.kind.c_str(), command.c_str());
  return fired;
}

void qbsim_append_received(const std::string& dir, const char* data, size_t len) {
  if (len == 0)
    return;
  int fd = open(qbsim_received_file(dir).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0)
    return;
  write_all(fd, data, len);
  close(fd);
}

std::string qbsim_read_received(const std::string& dir) {
  std::string s;
  qbsim_read_file(qbsim_received_file(dir), &s);
  return s;
}

void qbsim_event(const std::string& dir, const char* fmt, ...) {
  char msg[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof(msg), fmt, ap);
  va_end(ap);
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tmv;
  localtime_r(&ts.tv_sec, &tmv);
  char line[640];
  int n = snprintf(line, sizeof(line), "%02d:%02d:%02d.%03ld [%d] %s\n", tmv.tm_hour, tmv.tm_min,
                   tmv.tm_sec, ts.tv_nsec / 1000000L, static_cast<int>(getpid()), msg);
  if (n < 0)
    return;
  size_t len = static_cast<size_t>(n) < sizeof(line) ? static_cast<size_t>(n) : sizeof(line) - 1;
  int fd = open(qbsim_events_file(dir).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0)
    return;
  write_all(fd, line, len);
  close(fd);
}
