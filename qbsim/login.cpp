// A login session: counts it, applies login faults, then runs the CLI or the
// simulator's bash.
#include "login.h"

#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "commands.h"
#include "proc.h"

namespace {

// What a qb_* command sends the simulator's shell to end the login as aborted.
const int kAbortSignal = SIGUSR2;

}  // namespace

int run_cli(qbsim_session& s, const qbsim_state& st) {
  qbsim_term t;
  term_open(&t, s.dir, 0, 1);
  // The session outlives this terminal: it gets its own one back at the end.
  qbsim_term* const outer = s.t;
  s.t = &t;
  std::string prompt = cli_prompt(st);
  term_put(&t, "\r\nQuorbel switch module command line interface\r\n\r\n" + prompt);
  std::string line;
  int status = 0;
  while (term_read_line(&t, &line)) {
    term_put(&t, line + "\r\n");  // the echo goes out with the answer
    qbsim_outcome out = module_command(s, split_line(line));
    if (out == OUT_DROP) {
      status = kDropStatus;
      break;
    }
    if (out == OUT_END)
      break;
    term_put(&t, prompt);
  }
  s.t = outer;
  term_close(&t);
  return t.broken ? kAbortStatus : status;
}

namespace {

// The simulator's commands are this program under other names.
std::string make_bin_dir(const std::string& dir) {
  std::string bin = dir + "/bin";
  mkdir(bin.c_str(), 0755);
  std::string self = proc_self_exe();
  for (const qbsim_command& c : qbsim_commands()) {
    std::string link = bin + "/" + c.program;
    unlink(link.c_str());
    if (symlink(self.c_str(), link.c_str()) != 0)
      qbsim_event(dir, "cannot link %s", link.c_str());
  }
  std::string inputrc = dir + "/inputrc";
  FILE* f = fopen(inputrc.c_str(), "w");
  if (f != nullptr) {
    // Escape sequences around every prompt would only be noise for a client.
    fputs("set enable-bracketed-paste off\n", f);
    fclose(f);
  }
  return bin;
}

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

// Runs bash on a terminal of its own and relays bytes between it and ours,
// logging what the client sends. with_commands: the qb_* commands on PATH.
int run_shell(const std::string& dir, const qbsim_state& st, bool with_commands) {
  std::string bin = make_bin_dir(dir);
  qbsim_term t;
  term_open(&t, "", 0, 1);  // ours raw; bash's own terminal does the line editing
  struct winsize ws = {};
  ws.ws_row = 24;
  ws.ws_col = 500;  // long command lines must not wrap in the echo
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
  if (pid < 0) {
    term_close(&t);
    return 1;
  }
  if (pid == 0) {
    proc_child_reset();
    std::string path = with_commands ? bin + ":/usr/bin:/bin" : "/usr/bin:/bin";
    setenv("PATH", path.c_str(), 1);
    setenv("PS1", (st.hostname + "$ ").c_str(), 1);
    setenv("QBSIM_STATE", dir.c_str(), 1);
    setenv("TERM", "dumb", 1);
    setenv("INPUTRC", (dir + "/inputrc").c_str(), 1);
    unsetenv("PROMPT_COMMAND");
    execl("/bin/bash", "bash", "--noprofile", "--norc", "-i", static_cast<char*>(nullptr));
    _exit(127);
  }
  signal(SIGHUP, on_stop);
  signal(SIGTERM, on_stop);
  bool in_open = true;
  char buf[4096];
  for (;;) {
    if (g_stop) {
      kill(pid, SIGHUP);
      g_stop = 0;
    }
    struct pollfd p[2] = {{master, POLLIN, 0}, {0, static_cast<short>(in_open ? POLLIN : 0), 0}};
    int r = poll(p, 2, 200);
    if (r < 0 && errno != EINTR)
      break;
    if (r <= 0)
      continue;
    if (p[0].revents != 0) {
      ssize_t n = read(master, buf, sizeof(buf));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;  // bash is gone
      if (!term_write_all(1, buf, static_cast<size_t>(n)))
        kill(pid, SIGHUP);
    }
    if (in_open && p[1].revents != 0) {
      ssize_t n = read(0, buf, sizeof(buf));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        in_open = false;
        kill(pid, SIGHUP);  // our side hung up
        continue;
      }
      qbsim_append_received(dir, buf, static_cast<size_t>(n));
      if (!term_write_all(master, buf, static_cast<size_t>(n)))
        break;
    }
  }
  close(master);
  int rc = proc_wait(pid);
  term_close(&t);
  if (rc == 128 + kAbortSignal)
    return kAbortStatus;
  return rc == 128 + SIGKILL ? kDropStatus : 0;
}

}  // namespace

int run_login(const std::string& dir) {
  qbsim_state st;
  std::string err;
  if (!qbsim_state_load(dir, &st, &err)) {
    fprintf(stderr, "qbsim: %s\n", err.c_str());
    return 1;
  }
  std::vector<qbsim_fault> faults = qbsim_take_faults(dir, "login");
  qbsim_session s;
  s.dir = dir;
  s.started = static_cast<long>(time(nullptr));
  qbsim_state_update(
      dir,
      [&](qbsim_state& cur) {
        s.login.id = ++cur.sessions;
        return true;
      },
      nullptr);
  const char* user = getenv("QBSIM_USER");
  if (user == nullptr)
    user = getenv("USER");
  if (user != nullptr)
    s.login.user = user;
  const char* client = getenv("SSH_CLIENT");
  if (client != nullptr)
    s.login.from = split_line(client).empty() ? "127.0.0.1" : split_line(client)[0];
  qbsim_event(dir, "session %d of %s from %s (%s)", s.login.id, s.login.user.c_str(),
              s.login.from.c_str(), st.flavour.c_str());
  std::string arg;
  if (has_fault(faults, "drop", nullptr))
    return kDropStatus;
  if (has_fault(faults, "silence", &arg)) {
    qbsim_term t;
    term_open(&t, dir, 0, 1);
    bool up = term_pause(&t, arg_seconds(arg, 3600));
    term_close(&t);
    if (!up)
      return 0;
  }
  int rc;
  if (has_fault(faults, "shell", nullptr))
    rc = run_shell(dir, st, false);
  else if (st.flavour == "sim")
    rc = run_shell(dir, st, true);
  else
    rc = run_cli(s, st);
  qbsim_event(dir, "session %d ends (%d)", s.login.id, rc);
  return rc;
}

int run_sim_command(const std::string& word, int argc, char** argv) {
  const char* dir = getenv("QBSIM_STATE");
  if (dir == nullptr || *dir == '\0') {
    fprintf(stderr, "%s: QBSIM_STATE is not set\n", word.c_str());
    return 2;
  }
  std::vector<std::string> words;
  words.push_back(word);
  for (int i = 1; i < argc; i++)
    words.push_back(argv[i]);
  qbsim_term t;
  term_open(&t, "", 0, 1);  // the login's relay already logs what arrives
  qbsim_session s;
  s.dir = dir;
  s.t = &t;
  s.started = static_cast<long>(time(nullptr));
  const char* user = getenv("QBSIM_USER");
  if (user != nullptr)
    s.login.user = user;
  qbsim_outcome out = module_command(s, words);
  term_close(&t);
  if (out != OUT_GO_ON || t.broken) {
    // Ending the login ends the shell that ran us.
    signal(SIGHUP, SIG_IGN);
    kill(getppid(), t.broken ? kAbortSignal : out == OUT_DROP ? SIGKILL : SIGHUP);
  }
  return 0;
}
