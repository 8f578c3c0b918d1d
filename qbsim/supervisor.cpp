// Port 22 of the simulated module, on its own address (127.0.0.1 unless
// several modules share one network). In the hermetic chain a listener that
// accepts and closes (the stand-in client only probes it); in the real chain
// sshd. A restart request in the state closes the port, waits the downtime,
// boots the module and opens the port again.
#include "supervisor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "module_state.h"
#include "proc.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

void nap_ms(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000L * 1000L};
  nanosleep(&ts, nullptr);
}

// Port 22 of the module's address (checked by run_supervisor).
struct sockaddr_in port22_of(const std::string& address) {
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(22);
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

int open_listener(const struct sockaddr_in& a) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  if (bind(fd, reinterpret_cast<const struct sockaddr*>(&a), sizeof(a)) != 0 ||
      listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads the hex number at *p, which must end in `end`, and moves past it.
bool hex_field(const char** p, char end, unsigned long* value) {
  char* stop = nullptr;
  errno = 0;
  *value = strtoul(*p, &stop, 16);
  if (stop == *p || *stop != end || errno != 0)
    return false;
  *p = stop + 1;
  return true;
}

// Whether a line of /proc/net/tcp ("N: LOCAL:PORT REMOTE:PORT STATE ...",
// the address as the kernel prints it: its 32 bits in network order, in hex)
// is a socket listening on port 22 of addr or of every address.
bool listens_on_22(const char* line, in_addr_t addr) {
  const char* p = strchr(line, ':');
  if (p == nullptr)
    return false;
  for (p++; *p == ' '; p++) {
  }
  unsigned long local = 0, port = 0, st = 0;
  if (!hex_field(&p, ':', &local) || !hex_field(&p, ' ', &port))
    return false;
  p = strchr(p, ' ');  // past the remote end
  if (p == nullptr)
    return false;
  for (; *p == ' '; p++) {
  }
  if (!hex_field(&p, ' ', &st))
    return false;
  return st == 0x0A && port == 22 && (local == addr || local == 0);
}

// Whether port 22 of the address answers, as the network namespace's table of
// TCP sockets says. Asked there rather than by connecting: a test's packet
// filter may drop what we send, and a connect would then wait for minutes.
bool port_answers(const struct sockaddr_in& a) {
  FILE* f = fopen("/proc/net/tcp", "re");
  if (f == nullptr)
    return false;
  char line[512];
  bool listening = false;
  while (!listening && fgets(line, sizeof(line), f) != nullptr)
    listening = listens_on_22(line, a.sin_addr.s_addr);
  fclose(f);
  return listening;
}

struct port22 {
  const qbsim_supervisor_opts* o;
  struct sockaddr_in addr;
  int listen_fd = -1;
  pid_t sshd = -1;
};

bool port_up(port22& p) {
  if (p.o->sshd_config.empty() && p.o->server.empty()) {
    for (int i = 0; i < 50 && p.listen_fd < 0; i++) {
      p.listen_fd = open_listener(p.addr);
      if (p.listen_fd < 0)
        nap_ms(100);
    }
    return p.listen_fd >= 0;
  }
  if (!p.o->server.empty())
    p.sshd = proc_start({p.o->server}, p.o->sshd_log);
  else
    p.sshd = proc_start({"/usr/sbin/sshd", "-D", "-f", p.o->sshd_config, "-E", p.o->sshd_log}, "");
  if (p.sshd < 0)
    return false;
  for (int i = 0; i < 100; i++) {
    if (port_answers(p.addr))
      return true;
    nap_ms(100);
  }
  return false;
}

void port_down(port22& p) {
  if (p.listen_fd >= 0) {
    close(p.listen_fd);
    p.listen_fd = -1;
  }
  if (p.sshd > 0) {
    // Stopping the listening sshd leaves running sessions alone, as a
    // module's sessions live until it actually goes down.
    kill(p.sshd, SIGTERM);
    proc_wait(p.sshd);
    p.sshd = -1;
  }
  for (int i = 0; i < 50 && port_answers(p.addr); i++)
    nap_ms(100);
}

void set_supervisor(const std::string& dir, int pid) {
  qbsim_state_update(
      dir,
      [pid](qbsim_state& st) {
        st.supervisor = pid;
        return true;
      },
      nullptr);
}

// One restart: port closed, acknowledged, downtime, boot, port open again.
void restart(port22& p) {
  const std::string& dir = p.o->dir;
  port_down(p);
  int downtime = 0;
  std::string fault;
  qbsim_state_update(
      dir,
      [&](qbsim_state& st) {
        st.restart = "down";
        downtime = st.downtime;
        fault = st.boot_fault;
        return true;
      },
      nullptr);
  qbsim_event(dir, "port 22 closed for the restart (%d s)", downtime);
  for (int i = 0; i < downtime * 10 && !g_stop; i++)
    nap_ms(100);
  if (fault == "no-return") {
    qbsim_event(dir, "module does not come back");
    while (!g_stop)
      nap_ms(200);
    return;
  }
  std::string mode;
  qbsim_state_update(
      dir,
      [&](qbsim_state& st) {
        qbsim_apply_boot(st);
        mode = st.mode + " " + st.running;
        return true;
      },
      nullptr);
  bool up = port_up(p);
  qbsim_event(dir, "booted %s; port 22 %s", mode.c_str(), up ? "open" : "FAILED to open");
}

}  // namespace

int run_supervisor(const qbsim_supervisor_opts& o) {
  signal(SIGTERM, on_stop);
  signal(SIGINT, on_stop);
  signal(SIGPIPE, SIG_IGN);
  struct in_addr check;
  if (inet_pton(AF_INET, o.address.c_str(), &check) != 1) {
    fprintf(stderr, "qbsim: not an IPv4 address: %s\n", o.address.c_str());
    return 2;
  }
  port22 p;
  p.o = &o;
  p.addr = port22_of(o.address);
  set_supervisor(o.dir, static_cast<int>(getpid()));
  if (!port_up(p)) {
    qbsim_event(o.dir, "supervisor: cannot open port 22");
    port_down(p);
    set_supervisor(o.dir, 0);
    return 1;
  }
  qbsim_event(o.dir, "supervisor: port 22 of %s open (%s)", o.address.c_str(),
              !o.server.empty() ? o.server.c_str() : o.sshd_config.empty() ? "listener" : "sshd");
  if (!o.ready_file.empty()) {
    int fd = open(o.ready_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0)
      close(fd);
  }
  while (!g_stop) {
    if (p.listen_fd >= 0) {
      struct pollfd pf = {p.listen_fd, POLLIN, 0};
      if (poll(&pf, 1, 100) > 0) {
        int c = accept4(p.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0)
          close(c);
      }
    } else
      nap_ms(100);
    if (p.sshd > 0 && waitpid(p.sshd, nullptr, WNOHANG) == p.sshd) {
      qbsim_event(o.dir, "supervisor: sshd ended by itself; starting it again");
      p.sshd = -1;
      port_up(p);
    }
    qbsim_state st;
    std::string err;
    if (qbsim_state_load(o.dir, &st, &err) && st.restart == "requested")
      restart(p);
  }
  port_down(p);
  set_supervisor(o.dir, 0);
  qbsim_event(o.dir, "supervisor: stopped");
  return 0;
}
