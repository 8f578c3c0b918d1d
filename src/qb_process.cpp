// The SSH client's life: pipes, start, the child's set-up in one place (its
// streams, own session, default signals, only descriptors 0 to 2, execv
// without a shell), reading and writing, its end and its one reaper.
#include "qb_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "nxa-tools-trace.h"
#include "qb_signal.h"

namespace {

const int MAX_ARGS = 50;

void free_argv(char* argv[MAX_ARGS]);

// Splits args at every single blank into heap strings after filepath; adjacent
// blanks give empty entries, a trailing blank none. Returns false, with nothing
// left allocated, when memory runs out. The caller frees the entries with
// free_argv.
bool build_argv(char* argv[MAX_ARGS], const char* filepath, const char* args) {
  int argc = 0;
  // execv's vector is not const; nothing writes through it.
  argv[argc++] = const_cast<char*>(filepath);
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

// The client that a second interrupting signal takes with it; 0 while none runs.
volatile sig_atomic_t running_client = 0;

// After the dialogue, how long a client is given to end by itself, and how
// long after SIGTERM before SIGKILL.
const int TERM_AFTER_MS = 3000;
const int KILL_AFTER_TERM_MS = 2000;
// How often an interrupted run looks whether the client has gone.
const int INTERRUPTED_LOOK_MS = 20;

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

client_process::client_process()
    : pid(0), out_r(-1), in_w(-1), child_out(-1), child_in(-1), exec_errno(0), status(-1) {}

int create_pipes(client_process* c) {
  fd_handle out[2] = {-1, -1};
  fd_handle in[2] = {-1, -1};
  if (create_pipe(out) != 0)
    return 0;
  if (create_pipe(in) != 0) {
    close_fdhandle(out[0]);
    close_fdhandle(out[1]);
    return 0;
  }
  c->out_r = out[0];
  c->child_out = out[1];
  c->child_in = in[0];
  c->in_w = in[1];
  return 1;
}

pid_t run_ssh_process(client_process* c, const char* filepath, const char* args) {
  char* argv[MAX_ARGS];
  for (char*& entry : argv)
    entry = nullptr;
  c->exec_errno = 0;
  int report[2] = {-1, -1};
  pid_t pid = 0;
  int err = 0;
  if (filepath == nullptr || args == nullptr || c->child_in == -1 || c->child_out == -1) {
    // Nothing to start.
  } else if (pipe2(report, O_CLOEXEC) != 0) {
    err = errno;
  } else if (build_argv(argv, filepath, args)) {
    pid = fork();
    if (pid == 0)
      exec_child(argv, c->child_in, c->child_out, report[1]);
    if (pid == -1) {
      err = errno;
      pid = 0;
    }
    free_argv(argv);
  }
  // The child has its own copies now; the tool keeps only its two ends.
  close_fdhandle(c->child_in);
  close_fdhandle(c->child_out);
  close_fdhandle(report[1]);
  if (pid != 0) {
    c->pid = pid;
    err = exec_outcome(report[0]);
    // The child ends at once; reaped here, it never looks like a client.
    if (err != 0)
      reap_process(c, 1);
    else
      running_client = static_cast<sig_atomic_t>(pid);
  }
  close_fdhandle(report[0]);
  c->exec_errno = err;
  return c->pid;
}

int process_bytes_avail(const client_process* c) {
  return get_bytes_avail(c->out_r);
}

int poll_process(const client_process* c, int timeout_ms) {
  return poll_fdhandle(c->out_r, timeout_ms);
}

int read_process(client_process* c, char* buf, int size, int want) {
  return read_fdhandle(c->out_r, buf, size, want);
}

int write_process(client_process* c, char* text) {
  return write_fdhandle(c->in_w, text);
}

int reap_process(client_process* c, int hang) {
  if (c->pid <= 0)
    return 1;
  int status = 0;
  pid_t rc;
  do {
    rc = waitpid(c->pid, &status, hang != 0 ? 0 : WNOHANG);
  } while (rc == -1 && errno == EINTR);
  if (rc == 0)
    return 0;
  c->status = rc == c->pid ? status : -1;
  if (running_client == static_cast<sig_atomic_t>(c->pid))
    running_client = 0;
  c->pid = 0;
  return 1;
}

int wait_process(client_process* c) {
  if (reap_process(c, 0))
    return 1;
  pause_ms(1000);
  return 0;
}

void end_process(client_process* c, int look_ms) {
  const long long begin = monotonic_ms();
  long long term_at = TERM_AFTER_MS;
  long long kill_at = TERM_AFTER_MS + KILL_AFTER_TERM_MS;
  bool termed = false;
  while (!reap_process(c, 0)) {
    const long long waited = monotonic_ms() - begin;
    const bool interrupted = interrupt_signal() != 0;
    if (interrupted && !termed && waited < term_at) {
      term_at = waited;
      kill_at = waited + KILL_AFTER_TERM_MS;
    }
    if (waited >= kill_at) {
      kill(c->pid, SIGKILL);
      reap_process(c, 1);
      break;
    }
    if (!termed && waited >= term_at) {
      nxa_trace(TRACE_WARNING, "client terminated forcibly\n");
      kill(c->pid, SIGTERM);
      termed = true;
    }
    if (interrupted)
      nap_ms(INTERRUPTED_LOOK_MS);
    else
      pause_ms(look_ms);
  }
  close_fdhandle(c->out_r);
  close_fdhandle(c->in_w);
  close_fdhandle(c->child_out);
  close_fdhandle(c->child_in);
}

void kill_running_client() {
  const pid_t pid = static_cast<pid_t>(running_client);
  if (pid > 0)
    kill(pid, SIGKILL);
}
