// Child processes: set up in one place, always reaped.
#include "proc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

void proc_child_reset() {
  for (int s = 1; s < NSIG; s++)
    signal(s, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  long max = sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 65536)
    max = 65536;
  for (int fd = 3; fd < max; fd++)
    close(fd);
}

pid_t proc_start(const std::vector<std::string>& argv, const std::string& log) {
  if (argv.empty())
    return -1;
  pid_t pid = fork();
  if (pid != 0)
    return pid;  // parent, or -1 when fork failed
  proc_child_reset();
  int in = open("/dev/null", O_RDONLY);
  int out = log.empty() ? open("/dev/null", O_WRONLY)
                        : open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
    _exit(127);
  if (in > 2)
    close(in);
  if (out > 2)
    close(out);
  std::vector<char*> av;
  for (const std::string& a : argv)
    av.push_back(const_cast<char*>(a.c_str()));
  av.push_back(nullptr);
  execvp(av[0], av.data());
  _exit(127);
}

int proc_wait(pid_t pid) {
  int st = 0;
  for (;;) {
    pid_t r = waitpid(pid, &st, 0);
    if (r == pid)
      break;
    if (r < 0 && errno != EINTR)
      return -1;
  }
  if (WIFEXITED(st))
    return WEXITSTATUS(st);
  if (WIFSIGNALED(st))
    return 128 + WTERMSIG(st);
  return -1;
}

int proc_run(const std::vector<std::string>& argv, const std::string& log, int timeout_s) {
  pid_t pid = proc_start(argv, log);
  if (pid < 0)
    return -1;
  time_t end = time(nullptr) + timeout_s;
  int st = 0;
  for (;;) {
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid)
      break;
    if (r < 0 && errno != EINTR)
      return -1;
    if (time(nullptr) > end) {
      kill(pid, SIGKILL);
      return proc_wait(pid);
    }
    struct timespec ts = {0, 50L * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  if (WIFEXITED(st))
    return WEXITSTATUS(st);
  return WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
}

std::string proc_self_exe() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0)
    return "";
  buf[n] = '\0';
  return buf;
}
