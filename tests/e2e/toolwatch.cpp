// toolwatch: runs the tool as its child and watches it through /proc until it
// ends, then writes what it saw as KEY=VALUE lines and exits with its status.
//
//   toolwatch --report FILE [--secret TEXT] [--env NAME=VALUE]... -- PROGRAM [ARGS...]
//
// Watched ten times a second: the tool's descriptors while it has no client
// (only 0, 1 and 2, on what they were at its start, sockets of its port probes
// and the module's lock file aside), its children (how many at once, how long
// one stays a zombie), and the command lines and environments of the tool and
// its children (must never hold TEXT). --env adds a variable to the tool's
// environment. At the end: wall time, the tool's own CPU time and peak
// resident size, the same with its reaped clients (wait4), and every process
// named "plink" still alive in this PID namespace.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

double now_sec() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string link_of(const std::string& path) {
  char buf[512];
  ssize_t n = readlink(path.c_str(), buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// Descriptor number -> what it refers to; sockets left out.
std::map<int, std::string> files_of(pid_t pid) {
  std::map<int, std::string> fds;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr)
    return fds;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] == '.')
      continue;
    std::string target = link_of(dir + "/" + e->d_name);
    // The module's lock is held for the whole run on purpose.
    const bool lock = target.size() > 5 && target.compare(target.size() - 5, 5, ".lock") == 0;
    if (target.compare(0, 7, "socket:") != 0 && !lock)
      fds[atoi(e->d_name)] = target;
  }
  closedir(d);
  return fds;
}

std::string describe(const std::map<int, std::string>& fds) {
  std::string s;
  for (const auto& f : fds)
    s += std::to_string(f.first) + ":" + f.second + " ";
  return s;
}

std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> kids;
  std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                              "/children"));
  pid_t k;
  while (in >> k)
    kids.push_back(k);
  return kids;
}

// The state letter and comm of a process from its stat line ('?' if gone).
char state_of(pid_t pid, std::string* comm) {
  std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size())
    return '?';
  if (comm != nullptr)
    *comm = stat.substr(open + 1, close - open - 1);
  return stat[close + 2];
}

// CPU time in seconds (from the scheduler's nanosecond count) and VmHWM in
// kB of a running process.
void usage_of(pid_t pid, double* cpu, long* hwm_kb) {
  std::string proc = "/proc/" + std::to_string(pid);
  std::string sched = slurp(proc + "/schedstat");
  if (!sched.empty())
    *cpu = static_cast<double>(std::stoull(sched)) / 1e9;
  std::string status = slurp(proc + "/status");
  size_t at = status.find("VmHWM:");
  if (at != std::string::npos)
    *hwm_kb = atol(status.c_str() + at + 6);
}

bool proc_file_holds(pid_t pid, const char* file, const std::string& secret) {
  return !secret.empty() &&
         slurp("/proc/" + std::to_string(pid) + "/" + file).find(secret) != std::string::npos;
}

// Live (not zombie) processes called plink, as "PID(STATE) " items.
std::string live_clients() {
  std::string found;
  DIR* d = opendir("/proc");
  if (d == nullptr)
    return "cannot-read-proc";
  while (struct dirent* e = readdir(d)) {
    pid_t p = atoi(e->d_name);
    std::string comm;
    char st = p > 0 ? state_of(p, &comm) : '?';
    if (p > 0 && comm == "plink" && st != 'Z' && st != '?')
      found += std::to_string(p) + "(" + st + ") ";
  }
  closedir(d);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  std::string report, secret;
  int i = 1;
  for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
    if (strcmp(argv[i], "--report") == 0 && i + 1 < argc)
      report = argv[++i];
    else if (strcmp(argv[i], "--secret") == 0 && i + 1 < argc)
      secret = argv[++i];
    else if (strcmp(argv[i], "--env") == 0 && i + 1 < argc)
      putenv(argv[++i]);
  }
  if (report.empty() || i + 1 >= argc) {
    fprintf(stderr, "usage: toolwatch --report FILE [--secret TEXT] -- PROGRAM [ARGS...]\n");
    return 125;
  }
  // The tool starts with the standard streams alone, whatever we inherited.
  closefrom(3);
  std::map<int, std::string> baseline;
  for (int fd = 0; fd <= 2; fd++)
    baseline[fd] = link_of("/proc/self/fd/" + std::to_string(fd));

  double start = now_sec();
  pid_t pid = fork();
  if (pid < 0)
    return 125;
  if (pid == 0) {
    execv(argv[i + 1], argv + i + 1);
    _exit(127);
  }

  int status = 0, stray_run = 0, stray_samples = 0, max_children = 0, secret_hits = 0;
  int env_hits = 0;
  long hwm_kb = 0, samples = 0;
  double tool_cpu = 0, zombie_max = 0;
  std::string stray_seen, secret_where;
  std::map<pid_t, double> zombie_since;
  struct rusage ru;
  memset(&ru, 0, sizeof(ru));
  for (;;) {
    // Ended, but not yet reaped: its own CPU time is still there to read.
    siginfo_t info;
    memset(&info, 0, sizeof(info));
    int w = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (w == 0 && info.si_pid == pid) {
      usage_of(pid, &tool_cpu, &hwm_kb);
      wait4(pid, &status, 0, &ru);
      break;
    }
    if (w < 0 && errno != EINTR)
      break;
    double t = now_sec();
    samples++;
    usage_of(pid, &tool_cpu, &hwm_kb);
    std::vector<pid_t> kids = children_of(pid);
    if (static_cast<int>(kids.size()) > max_children)
      max_children = static_cast<int>(kids.size());
    std::map<pid_t, double> still;
    for (pid_t k : kids) {
      if (state_of(k, nullptr) == 'Z') {
        double since = zombie_since.count(k) != 0 ? zombie_since[k] : t;
        still[k] = since;
        if (t - since > zombie_max)
          zombie_max = t - since;
      }
    }
    zombie_since.swap(still);
    // The exec takes a moment; until then the command line is ours.
    if (t - start > 0.5) {
      if (proc_file_holds(pid, "cmdline", secret)) {
        secret_hits++;
        secret_where = "tool";
      }
      if (proc_file_holds(pid, "environ", secret)) {
        env_hits++;
        secret_where = "tool environment";
      }
      for (pid_t k : kids) {
        if (proc_file_holds(k, "cmdline", secret)) {
          secret_hits++;
          secret_where = "client";
        }
        if (proc_file_holds(k, "environ", secret)) {
          env_hits++;
          secret_where = "client environment";
        }
      }
    }
    // Between sessions the tool holds its standard streams only. A moment
    // around a client's start and end is allowed: two samples in a row are not.
    std::map<int, std::string> fds = files_of(pid);
    if (kids.empty() && !fds.empty() && fds != baseline) {
      if (++stray_run == 2) {
        stray_samples++;
        stray_seen = describe(fds);
      }
    } else {
      stray_run = 0;
    }
    usleep(100 * 1000);
  }
  double wall = now_sec() - start;
  std::string left = live_clients();

  FILE* out = fopen(report.c_str(), "w");
  if (out != nullptr) {
    fprintf(out, "status=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    fprintf(out, "wall_sec=%.1f\n", wall);
    fprintf(out, "tool_cpu_sec=%.3f\n", tool_cpu);
    fprintf(out, "tool_peak_rss_kb=%ld\n", hwm_kb);
    fprintf(out, "with_clients_cpu_sec=%.3f\n",
            static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6);
    fprintf(out, "with_clients_peak_rss_kb=%ld\n", ru.ru_maxrss);
    fprintf(out, "samples=%ld\n", samples);
    fprintf(out, "baseline_fds=%s\n", describe(baseline).c_str());
    fprintf(out, "stray_fd_samples=%d\n", stray_samples);
    fprintf(out, "stray_fds=%s\n", stray_seen.c_str());
    fprintf(out, "max_children=%d\n", max_children);
    fprintf(out, "zombie_max_sec=%.1f\n", zombie_max);
    fprintf(out, "secret_in_cmdline=%d\n", secret_hits);
    fprintf(out, "secret_in_environ=%d\n", env_hits);
    fprintf(out, "secret_where=%s\n", secret_where.c_str());
    fprintf(out, "live_clients_after=%s\n", left.c_str());
    fclose(out);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
