// Port 22 of the simulated module. In the hermetic chain a listener that
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

int open_listener() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(22);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool port_answers() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(22);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) == 0;
  close(fd);
  return ok;
}

struct port22 {
  const qbsim_supervisor_opts* o;
  int listen_fd = -1;
  pid_t sshd = -1;
};

bool port_up(port22& p) {
  if (p.o->sshd_config.empty()) {
    for (int i = 0; i < 50 && p.listen_fd < 0; i++) {
      p.listen_fd = open_listener();
      if (p.listen_fd < 0)
        nap_ms(100);
    }
    return p.listen_fd >= 0;
  }
  p.sshd = proc_start({"/usr/sbin/sshd", "-D", "-f", p.o->sshd_config, "-E", p.o->sshd_log}, "");
  if (p.sshd < 0)
    return false;
  for (int i = 0; i < 100; i++) {
    if (port_answers())
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
  for (int i = 0; i < 50 && port_answers(); i++)
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
  port22 p;
  p.o = &o;
  set_supervisor(o.dir, static_cast<int>(getpid()));
  if (!port_up(p)) {
    qbsim_event(o.dir, "supervisor: cannot open port 22");
    port_down(p);
    set_supervisor(o.dir, 0);
    return 1;
  }
  qbsim_event(o.dir, "supervisor: port 22 open (%s)", o.sshd_config.empty() ? "listener" : "sshd");
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
