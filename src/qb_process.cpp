// Start, watch and end the SSH client. The child is prepared in one place:
// its streams, own session, default signals, only descriptors 0 to 2, execv
// without a shell.
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

// Blocks until the child has ended and reaps it; no-op for a non-child.
void reap(pid_t pid) {
  while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
  }
}

// Moves fd to a number above the standard ones, so that wiring one stream
// cannot overwrite the source of another. Returns the new number, or -1.
int above_standard(int fd) {
  return fcntl(fd, F_DUPFD, STD_ERROR_HANDLE + 2);
}

// Runs in the child only: never returns. The child is set up here and only
// here: its streams, its session, its signals, its descriptors. A client that
// cannot be started writes the reason (errno) to report_fd, which closes by
// itself on success.
[[noreturn]] void exec_child(char* argv[MAX_ARGS], int child_in, int child_out, int report_fd) {
  // The report descriptor ends up as 3, the only one kept beside 0 to 2.
  const int kept = STD_ERROR_HANDLE + 1;
  const int in = above_standard(child_in);
  const int out = above_standard(child_out);
  const int report = above_standard(report_fd);
  int err = 0;
  if (report == -1 || dup3(report, kept, O_CLOEXEC) == -1) {
    // Said on the descriptor as it came, so that the start is not taken for a
    // client that runs.
    err = errno != 0 ? errno : EBADF;
    ssize_t written = write(report_fd, &err, sizeof(err));
    (void)written;
    _exit(0);
  }
  if (in == -1 || out == -1 || dup2(in, STD_INPUT_HANDLE) == -1 ||
      dup2(out, STD_OUTPUT_HANDLE) == -1 || dup2(out, STD_ERROR_HANDLE) == -1)
    err = errno != 0 ? errno : EBADF;
  closefrom(kept + 1);
  if (err == 0) {
    // A session of its own keeps the client away from the operator's terminal,
    // where it would ask for the password instead of reading it from us.
    setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig)
      signal(sig, SIG_DFL);
    execv(argv[0], argv);
    err = errno;
  }
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

pid_t run_ssh_process(fd_handle& child_in, fd_handle& child_out, char* filepath, char* args,
                      int* exec_errno) {
  char* argv[MAX_ARGS];
  for (char*& entry : argv)
    entry = nullptr;
  if (exec_errno != nullptr)
    *exec_errno = 0;
  int report[2] = {-1, -1};
  pid_t pid = 0;
  int err = 0;
  if (filepath == nullptr || args == nullptr || child_in == -1 || child_out == -1) {
    // Nothing to start.
  } else if (pipe2(report, O_CLOEXEC) != 0) {
    err = errno;
  } else if (build_argv(argv, filepath, args)) {
    pid = fork();
    if (pid == 0)
      exec_child(argv, child_in, child_out, report[1]);
    if (pid == -1) {
      err = errno;
      pid = 0;
    }
    free_argv(argv);
  }
  // The child has its own copies now; the tool keeps only its two ends.
  close_fdhandle(child_in);
  close_fdhandle(child_out);
  close_fdhandle(report[1]);
  if (pid != 0) {
    err = exec_outcome(report[0]);
    if (err != 0) {
      // The child ends at once; reaped here, it never looks like a client.
      reap(pid);
      pid = 0;
    }
  }
  close_fdhandle(report[0]);
  if (exec_errno != nullptr)
    *exec_errno = err;
  return pid;
}

int process_ended(pid_t pid) {
  return waitpid(pid, nullptr, WNOHANG) == 0 ? 0 : 1;
}

int wait_process(pid_t pid) {
  if (process_ended(pid))
    return 1;
  pause_ms(1000);
  return 0;
}

void kill_process(pid_t pid) {
  if (pid <= 0)
    return;
  if (kill(pid, SIGKILL) == -1 && errno == ESRCH)
    return;
  reap(pid);
}
