// Start, watch and end the SSH client. The child is prepared in one place:
// own session, default signals, only descriptors 0 to 2, execv without a shell.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qb_io.h"

namespace {

const int MAX_ARGS = 50;

void free_argv(char* argv[MAX_ARGS]);

// Splits args at every single blank into heap strings after filepath; adjacent
// blanks give empty entries, a trailing blank none. Returns false, with nothing
// left allocated, when memory runs out. The caller frees the entries with
// free_argv.
bool build_argv(char* argv[MAX_ARGS], char* filepath, const char* args) {
  int argc = 0;
  argv[argc++] = filepath;
  const char* piece = args;
  // Entry 0 and the terminating null leave room for 48 pieces.
  while (argc < MAX_ARGS - 1) {
    const char* blank = strchr(piece, ' ');
    if (blank == nullptr && *piece == '\0')
      break;
    size_t len = blank != nullptr ? static_cast<size_t>(blank - piece) : strlen(piece);
    argv[argc] = strndup(piece, len);
    if (argv[argc] == nullptr) {
      free_argv(argv);
      return false;
    }
    ++argc;
    if (blank == nullptr)
      break;
    piece = blank + 1;
  }
  argv[argc] = nullptr;
  return true;
}

void free_argv(char* argv[MAX_ARGS]) {
  for (int i = 1; i < MAX_ARGS && argv[i] != nullptr; ++i) {
    free(argv[i]);
    argv[i] = nullptr;
  }
}

// Runs in the child only: never returns. A client that cannot be started
// writes the reason (errno) to report_fd, which closes by itself on success.
[[noreturn]] void exec_child(char* argv[MAX_ARGS], int report_fd) {
  // A session of its own keeps the client away from the operator's terminal,
  // where it would ask for the password instead of reading it from us.
  setsid();
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig = 1; sig < NSIG; ++sig)
    signal(sig, SIG_DFL);
  // The report descriptor moves to 3, the only one kept beside 0 to 2.
  const int kept = STD_ERROR_HANDLE + 1;
  if (report_fd != kept && dup2(report_fd, kept) == -1)
    _exit(0);
  fcntl(kept, F_SETFD, FD_CLOEXEC);
  closefrom(kept + 1);
  execv(argv[0], argv);
  int err = errno;
  ssize_t written = write(kept, &err, sizeof(err));
  (void)written;
  _exit(0);
}

// Waits until the child has run its program or reported why it could not.
// Returns 0 once the program runs, else the child's errno.
int exec_outcome(int report_r) {
  int err = 0;
  ssize_t n;
  do {
    n = read(report_r, &err, sizeof(err));
  } while (n == -1 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof(err)) ? err : 0;
}

}  // namespace

pid_t run_ssh_process(fd_handle& fd_in, fd_handle& fd_out, fd_handle& fd_err, fd_handle& stdin_def,
                      fd_handle& stdout_def, fd_handle& stderr_def, char* filepath, char* args,
                      int start_pause_sec, int* exec_errno) {
  char* argv[MAX_ARGS];
  for (char*& entry : argv)
    entry = nullptr;
  if (exec_errno != nullptr)
    *exec_errno = 0;
  if (filepath == nullptr || args == nullptr)
    return 0;
  int report[2] = {-1, -1};
  if (pipe2(report, O_CLOEXEC) != 0) {
    if (exec_errno != nullptr)
      *exec_errno = errno;
    return 0;
  }
  if (!build_argv(argv, filepath, args)) {
    close_fdhandle(report[0]);
    close_fdhandle(report[1]);
    return 0;
  }

  pid_t pid = fork();
  if (pid == -1) {
    if (exec_errno != nullptr)
      *exec_errno = errno;
    free_argv(argv);
    close_fdhandle(report[0]);
    close_fdhandle(report[1]);
    return 0;
  }
  if (pid == 0)
    exec_child(argv, report[1]);

  free_argv(argv);
  close_fdhandle(report[1]);
  int err = exec_outcome(report[0]);
  close_fdhandle(report[0]);
  if (err != 0) {
    // The child ends at once; reaped here, it never looks like a client.
    while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
    }
    if (exec_errno != nullptr)
      *exec_errno = err;
    return 0;
  }
  // Give the client a moment to take over its ends before ours are closed.
  if (start_pause_sec > 0)
    sleep(static_cast<unsigned int>(start_pause_sec));
  close_fdhandle(fd_out);
  close_fdhandle(fd_in);
  close_fdhandle(fd_err);
  restore_std_fdhandles(stdin_def, stdout_def, stderr_def);
  return pid;
}

int wait_process(pid_t pid) {
  pid_t rc = waitpid(pid, nullptr, WNOHANG);
  if (rc == 0) {
    sleep(1);
    return 0;
  }
  return 1;
}

int process_ended(pid_t pid) {
  return waitpid(pid, nullptr, WNOHANG) == 0 ? 0 : 1;
}

void kill_process(pid_t pid) {
  if (pid <= 0)
    return;
  if (kill(pid, SIGKILL) == -1 && errno == ESRCH)
    return;
  while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
  }
}
