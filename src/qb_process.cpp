// Start, watch and end the SSH client. The child is prepared in one place:
// own session, default signals, only descriptors 0 to 2, execv without a shell.
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

// Runs in the child only: never returns. A client that cannot be started ends
// at once, which the session sees as a client that never connected.
[[noreturn]] void exec_child(char* argv[MAX_ARGS]) {
  // A session of its own keeps the client away from the operator's terminal,
  // where it would ask for the password instead of reading it from us.
  setsid();
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig = 1; sig < NSIG; ++sig)
    signal(sig, SIG_DFL);
  closefrom(STD_ERROR_HANDLE + 1);
  execv(argv[0], argv);
  _exit(0);
}

}  // namespace

pid_t run_ssh_process(fd_handle& fd_in, fd_handle& fd_out, fd_handle& fd_err, fd_handle& stdin_def,
                      fd_handle& stdout_def, fd_handle& stderr_def, char* filepath, char* args) {
  char* argv[MAX_ARGS];
  for (char*& entry : argv)
    entry = nullptr;
  if (filepath == nullptr || args == nullptr)
    return 0;
  if (!build_argv(argv, filepath, args))
    return 0;

  pid_t pid = fork();
  if (pid == -1) {
    free_argv(argv);
    return 0;
  }
  if (pid == 0)
    exec_child(argv);

  free_argv(argv);
  // Give the client a moment to take over its ends before ours are closed.
  sleep(1);
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

void kill_process(pid_t pid) {
  if (pid <= 0)
    return;
  if (kill(pid, SIGKILL) == -1 && errno == ESRCH)
    return;
  while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
  }
}
