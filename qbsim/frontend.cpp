// The hermetic stand-in for the SSH client: same dialogue as the real
// client on pipes (host-key question, password prompt, refusals), but the
// "remote side" is the module's login program on a local terminal.
#include "frontend.h"

#include <netdb.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "login.h"
#include "module_state.h"
#include "proc.h"
#include "term.h"

namespace {

void say(const std::string& s) { term_write_all(1, s.data(), s.size()); }

// Reads one line from stdin byte by byte, so nothing meant for the session
// after it is swallowed. False at end of input.
bool read_line(std::string* line) {
  line->clear();
  for (;;) {
    char c;
    ssize_t n = read(0, &c, 1);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return !line->empty();
    if (c == '\n')
      break;
    line->push_back(c);
  }
  if (!line->empty() && line->back() == '\r')
    line->pop_back();
  return true;
}

// A plain connect to port 22, as the client makes before anything else.
bool port_open(const std::string& host) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), "22", &hints, &res) != 0)
    return false;
  bool ok = false;
  for (struct addrinfo* a = res; a != nullptr && !ok; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0)
      continue;
    ok = connect(fd, a->ai_addr, a->ai_addrlen) == 0;
    close(fd);
  }
  freeaddrinfo(res);
  return ok;
}

std::string key_cache_file() {
  const char* pd = getenv("PUTTYDIR");
  if (pd != nullptr && *pd != '\0')
    return std::string(pd) + "/sshhostkeys";
  const char* home = getenv("HOME");
  return std::string(home != nullptr ? home : "/tmp") + "/.putty/sshhostkeys";
}

const char* const kHostKey =
    "0x1f04c1b7d9e2a8534e6a0cbb2f98d31aa6c0e1d25b3f8e7a9c4d6b1e2f3a4b5c,"
    "0x3c2d1e0f9a8b7c6d5e4f3a2b1c0d9e8f7a6b5c4d3e2f1a0b9c8d7e6f5a4b3c2d";

// The host-key question of a first contact. False if the user abandoned.
bool host_key_check(const std::string& host) {
  std::string file = key_cache_file();
  std::string id = "ssh-ed25519@22:" + host;
  std::string cache;
  if (qbsim_read_file(file, &cache) && cache.find(id + " ") != std::string::npos)
    return true;
  say("The host key is not cached for this server:\n  " + host +
      " (port 22)\n"
      "You have no guarantee that the server is the computer you\n"
      "think it is.\n"
      "The server's ssh-ed25519 key fingerprint is:\n"
      "  ssh-ed25519 255 SHA256:q8bSimHostKeyFingerprintStandIn0000000000\n"
      "If you trust this host, enter \"y\" to add the key to Plink's\n"
      "cache and carry on connecting.\n"
      "If you want to carry on connecting just once, without adding\n"
      "the key to the cache, enter \"n\".\n"
      "If you do not trust this host, press Return to abandon the\n"
      "connection.\n"
      "Store key in cache? (y/n, Return cancels connection, i for more info) ");
  std::string answer;
  if (!read_line(&answer) || answer.empty()) {
    say("Connection abandoned.\n");
    return false;
  }
  if (answer[0] == 'y' || answer[0] == 'Y') {
    size_t slash = file.rfind('/');
    mkdir(file.substr(0, slash).c_str(), 0700);
    FILE* f = fopen(file.c_str(), "a");
    if (f != nullptr) {
      fprintf(f, "%s %s\n", id.c_str(), kHostKey);
      fclose(f);
    }
  }
  return true;
}

// Whether a no-password fault fires on the coming login (the login program
// counts it).
bool login_skips_password(const std::string& dir) {
  qbsim_state st;
  std::string err;
  if (!qbsim_state_load(dir, &st, &err))
    return false;
  int next = st.counts["login"] + 1;
  for (const qbsim_fault& f : st.faults)
    if (f.kind == "no-password" && (f.command == "login" || f.command == "any") &&
        (f.occurrence == 0 || f.occurrence == next))
      return true;
  return false;
}

bool password_ok(const std::string& dir, const std::string& user, const std::string& pw) {
  qbsim_state st;
  std::string err;
  if (!qbsim_state_load(dir, &st, &err))
    return false;
  for (const qbsim_user& u : st.users)
    if (u.name == user && u.password == pw)
      return true;
  return false;
}

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

// Runs the login program on a terminal and relays until it ends.
int relay_session(const std::string& dir, const std::string& user) {
  int master = -1;
  struct winsize ws = {};
  ws.ws_row = 24;
  ws.ws_col = 80;
  pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
  if (pid < 0) {
    say("FATAL ERROR: Server refused to allocate pty\n");
    return 1;
  }
  if (pid == 0) {
    proc_child_reset();
    setenv("QBSIM_USER", user.c_str(), 1);
    setenv("SSH_CLIENT", "127.0.0.1 50022 22", 1);
    // Tells the module which process is its client, for the kill-client fault.
    setenv("QBSIM_CLIENT_PID", std::to_string(getppid()).c_str(), 1);
    std::string self = proc_self_exe();
    execl(self.c_str(), "qbsim", "login", "--state", dir.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  signal(SIGTERM, on_stop);
  signal(SIGHUP, on_stop);
  signal(SIGINT, on_stop);
  signal(SIGPIPE, SIG_IGN);
  bool in_open = true;
  char buf[4096];
  for (;;) {
    if (g_stop) {
      kill(pid, SIGHUP);  // the connection goes, and with it the session
      break;
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
        break;
      if (!term_write_all(1, buf, static_cast<size_t>(n))) {
        kill(pid, SIGHUP);
        break;
      }
    }
    if (in_open && p[1].revents != 0) {
      ssize_t n = read(0, buf, sizeof(buf));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        in_open = false;  // like the real client: EOF is sent, the session stays
        continue;
      }
      if (!term_write_all(master, buf, static_cast<size_t>(n)))
        break;
    }
  }
  close(master);
  int rc = proc_wait(pid);
  if (rc == kDropStatus) {
    say("FATAL ERROR: Remote side unexpectedly closed network connection\n");
    return 1;
  }
  if (rc == kAbortStatus) {
    say("FATAL ERROR: Network error: Software caused connection abort\r\n");
    return 1;
  }
  return rc < 0 ? 1 : (rc > 127 ? 1 : rc);
}

}  // namespace

int run_plink(int argc, char** argv) {
  std::string target;
  for (int i = 1; i < argc; i++)
    if (strchr(argv[i], '@') != nullptr)
      target = argv[i];
  size_t at = target.find('@');
  if (at == std::string::npos || at == 0 || at + 1 == target.size()) {
    say("FATAL ERROR: expected -ssh USER@HOST\n");
    return 1;
  }
  std::string user = target.substr(0, at);
  std::string host = target.substr(at + 1);
  const char* dir = getenv("QBSIM_STATE");
  if (dir == nullptr || *dir == '\0') {
    say("FATAL ERROR: QBSIM_STATE is not set\n");
    return 1;
  }
  if (!port_open(host)) {
    say("FATAL ERROR: Connection refused\n");
    return 1;
  }
  if (!host_key_check(host))
    return 1;
  say("Using username \"" + user + "\".\r\n");
  if (!login_skips_password(dir)) {
    for (int tries = 1;; tries++) {
      say(user + "@" + host + "'s password: ");
      std::string pw;
      if (!read_line(&pw)) {
        say("\nFATAL ERROR: No more authentication methods available\n");
        return 1;
      }
      say("\n");
      if (password_ok(dir, user, pw))
        break;
      if (tries >= 6) {
        say("FATAL ERROR: Remote side sent disconnect message\n"
            "type 2 (protocol error):\n"
            "\"Too many authentication failures\"\n");
        return 1;
      }
      say("Access denied\r\n");
    }
  }
  return relay_session(dir, user);
}
