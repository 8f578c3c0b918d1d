// End-to-end harness: work areas, testbed runs with a time limit, transcripts.
#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "gtest/gtest.h"

#ifndef QBSIM_BIN
#define QBSIM_BIN ""
#endif
#ifndef TESTBED_SCRIPT
#define TESTBED_SCRIPT ""
#endif
#ifndef MORVIK_BIN_DEFAULT
#define MORVIK_BIN_DEFAULT ""
#endif

std::string morvik_bin() {
  const char* env = getenv("MORVIK_BIN");
  if (env != nullptr && *env != '\0')
    return env;
  return MORVIK_BIN_DEFAULT;
}

std::string qbsim_bin() {
  const char* env = getenv("QBSIM_BIN");
  return (env != nullptr && *env != '\0') ? env : QBSIM_BIN;
}

std::string testbed_script() { return TESTBED_SCRIPT; }

namespace {

double now_sec() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool make_dirs(const std::string& path) {
  for (size_t p = 1; p <= path.size(); p++) {
    if (p == path.size() || path[p] == '/') {
      std::string part = path.substr(0, p);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
        return false;
    }
  }
  return true;
}

// Removes a tree with the system's own tool rather than a hand-made walk.
void remove_tree(const std::string& path) {
  if (path.size() < 6 || path.compare(0, 5, "/tmp/") != 0)
    return;
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/rm", "rm", "-rf", "--one-file-system", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0)
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

std::string tail_of(const std::string& path, size_t max_lines) {
  std::string text;
  if (!qbsim_read_file(path, &text))
    return "";
  size_t pos = text.size();
  size_t lines = 0;
  while (pos > 0 && lines <= max_lines) {
    pos--;
    if (text[pos] == '\n' && pos + 1 < text.size())
      lines++;
  }
  if (lines > max_lines)
    pos++;
  return text.substr(pos);
}

}  // namespace

namespace {

// A fresh /tmp/morvik-e2e-XXXXXX, or "" if none could be made.
std::string new_area_root() {
  char tmpl[] = "/tmp/morvik-e2e-XXXXXX";
  return mkdtemp(tmpl) != nullptr ? tmpl : "";
}

void drop_area_root(const std::string& root, bool keep) {
  if (root.empty())
    return;
  if (keep || ::testing::Test::HasFailure()) {
    fprintf(stderr, "e2e: work area kept in %s\n", root.c_str());
    return;
  }
  remove_tree(root);
}

bool init_module(const std::string& state_dir, bool sim) {
  std::string err;
  if (qbsim_state_init(state_dir, qbsim_state_default(sim), &err))
    return true;
  fprintf(stderr, "e2e: cannot prepare %s: %s\n", state_dir.c_str(), err.c_str());
  return false;
}

qbsim_state load_state(const std::string& state_dir) {
  qbsim_state st;
  std::string err;
  int fd = qbsim_state_lock(state_dir);
  if (!qbsim_state_load(state_dir, &st, &err))
    fprintf(stderr, "e2e: %s\n", err.c_str());
  qbsim_state_unlock(fd);
  return st;
}

bool update_state(const std::string& state_dir, const std::function<void(qbsim_state&)>& fn) {
  std::string err;
  bool ok = qbsim_state_update(
      state_dir,
      [&](qbsim_state& st) {
        fn(st);
        return true;
      },
      &err);
  if (!ok)
    fprintf(stderr, "e2e: %s\n", err.c_str());
  return ok;
}

bool add_fault_to(const std::string& state_dir, const std::string& kind,
                  const std::string& command, int occurrence, const std::string& arg) {
  return update_state(state_dir, [&](qbsim_state& st) {
    st.faults.push_back({kind, command, occurrence, arg});
  });
}

bool write_tftp_image(const std::string& tftp_root, const std::string& rel_path, long size,
                      unsigned seed) {
  std::string path = tftp_root + "/" + rel_path;
  size_t slash = path.rfind('/');
  if (!make_dirs(path.substr(0, slash)))
    return false;
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr)
    return false;
  unsigned x = seed * 2654435761u + 7u;
  for (long i = 0; i < size; i++) {
    x = x * 1103515245u + 12345u;
    fputc(static_cast<int>((x >> 16) & 0xff), f);
  }
  return fclose(f) == 0;
}

}  // namespace

e2e_area::e2e_area(bool sim) {
  root = new_area_root();
  if (root.empty())
    return;
  state_dir = root + "/state";
  tftp_root = root + "/tftp";
  work_dir = root + "/work";
  ok = init_module(state_dir, sim) && make_dirs(tftp_root) && make_dirs(work_dir);
}

e2e_area::~e2e_area() { drop_area_root(root, keep); }

qbsim_state e2e_state::state() const { return load_state(state_dir); }

bool e2e_state::update(const std::function<void(qbsim_state&)>& fn) const {
  return update_state(state_dir, fn);
}

bool e2e_state::add_fault(const std::string& kind, const std::string& command, int occurrence,
                          const std::string& arg) const {
  return add_fault_to(state_dir, kind, command, occurrence, arg);
}

std::string e2e_state::received() const { return qbsim_read_received(state_dir); }

bool e2e_area::add_tftp_image(const std::string& rel_path, long size, unsigned seed) const {
  return write_tftp_image(tftp_root, rel_path, size, seed);
}

e2e_modules_area::e2e_modules_area(int count, bool sim) {
  root = new_area_root();
  if (root.empty())
    return;
  modules_dir = root + "/modules";
  tftp_root = root + "/tftp";
  work_dir = root + "/work";
  ok = count >= 1 && count <= 253 && make_dirs(modules_dir) && make_dirs(tftp_root) &&
       make_dirs(work_dir);
  for (int i = 0; ok && i < count; i++) {
    e2e_module m;
    m.address = "127.0.0." + std::to_string(i + 2);
    m.state_dir = modules_dir + "/" + m.address;
    ok = init_module(m.state_dir, sim);
    modules.push_back(m);
  }
}

e2e_modules_area::~e2e_modules_area() { drop_area_root(root, keep); }

bool e2e_modules_area::add_tftp_image(const std::string& rel_path, long size,
                                      unsigned seed) const {
  return write_tftp_image(tftp_root, rel_path, size, seed);
}

std::string strip_time_stamps(const std::string& text) {
  std::string out;
  size_t p = 0;
  while (p < text.size()) {
    size_t e = text.find('\n', p);
    size_t end = e == std::string::npos ? text.size() : e + 1;
    const char* s = text.c_str() + p;
    bool stamp = end - p >= 10 && isdigit(s[0]) && isdigit(s[1]) && s[2] == ':' &&
                 isdigit(s[3]) && isdigit(s[4]) && s[5] == ':' && isdigit(s[6]) &&
                 isdigit(s[7]) && s[8] == ':' && s[9] == ' ';
    out.append(text, stamp ? p + 10 : p, end - (stamp ? p + 10 : p));
    p = end;
  }
  return out;
}

std::string visible_bytes(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n\n";
    else if (c == '\\')
      out += "\\\\";
    else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\x%02x", c);
      out += buf;
    } else
      out += static_cast<char>(c);
  }
  return out;
}

std::string sanitizer_env(const char* name, const char* inherited, const std::string& log_base) {
  std::string value = std::string(name) + "=";
  if (inherited != nullptr && *inherited != '\0')
    value += std::string(inherited) + ":";
  return value + "log_path=" + log_base;
}

std::string take_sanitizer_reports(const std::string& log_base) {
  size_t slash = log_base.rfind('/');
  std::string dir = slash == std::string::npos ? "." : log_base.substr(0, slash);
  std::string prefix = log_base.substr(slash == std::string::npos ? 0 : slash + 1) + ".";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr)
    return "";
  std::vector<std::string> names;
  while (const struct dirent* e = readdir(d)) {
    if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0)
      names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  std::string reports;
  for (const std::string& name : names) {
    std::string path = dir + "/" + name;
    std::string text;
    qbsim_read_file(path, &text);
    reports += "---- " + name + "\n" + text;
    if (!text.empty() && text.back() != '\n')
      reports += "\n";
    unlink(path.c_str());
  }
  return reports;
}

namespace {

// Runs argv through the testbed for the modules that `where` names (its
// options), in area root's work_dir; `received` is left to the caller.
e2e_result run_testbed(const std::vector<std::string>& where, const std::string& root,
                       const std::string& work_dir, const std::string& tftp_root,
                       const std::vector<std::string>& argv, const e2e_options& opt) {
  e2e_result r;
  std::vector<std::string> av = {"/bin/bash", testbed_script()};
  if (opt.real) {
    av.push_back("--real");
    const char* plink = getenv("MORVIK_TEST_PLINK");
    if (plink != nullptr && *plink != '\0')
      av.insert(av.end(), {"--plink", plink});
    av.insert(av.end(), opt.server.begin(), opt.server.end());
  }
  av.insert(av.end(), {"--qbsim", qbsim_bin()});
  av.insert(av.end(), where.begin(), where.end());
  av.insert(av.end(), {"--work", work_dir, "--tftp-root", tftp_root});
  if (!opt.setup.empty())
    av.insert(av.end(), {"--setup", opt.setup});
  if (opt.new_host_key)
    av.push_back("--new-host-key");
  av.push_back("--");
  // The test's variables reach the command alone, not the testbed's own tools.
  if (!opt.env.empty()) {
    av.push_back("/usr/bin/env");
    av.insert(av.end(), opt.env.begin(), opt.env.end());
  }
  av.insert(av.end(), argv.begin(), argv.end());
  for (const std::string& a : av)
    r.command += a + " ";
  // Sanitized programs report into files of the work area rather than into
  // whatever their standard error is (the tool's pipe, sshd, a log).
  const std::string report_base = work_dir + "/sanitizer-report";
  take_sanitizer_reports(report_base);
  std::vector<std::string> env = {
      "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
      "MORVIK_LOCK_DIR=" + root + "/lock",
      sanitizer_env("ASAN_OPTIONS", getenv("ASAN_OPTIONS"), report_base),
      sanitizer_env("UBSAN_OPTIONS", getenv("UBSAN_OPTIONS"), report_base),
  };
  std::vector<char*> envp;
  for (std::string& e : env)
    envp.push_back(&e[0]);
  envp.push_back(nullptr);

  int pfd[2];
  if (pipe2(pfd, O_CLOEXEC) != 0)
    return r;
  double start = now_sec();
  pid_t pid = fork();
  if (pid < 0) {
    close(pfd[0]);
    close(pfd[1]);
    return r;
  }
  if (pid == 0) {
    // Own session: no controlling terminal for the client to read from, and
    // one process group to stop at the time limit.
    setsid();
    for (int s = 1; s < NSIG; s++)
      signal(s, SIG_DFL);
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in < 0 || dup2(in, 0) < 0 || dup2(pfd[1], 1) < 0 || dup2(pfd[1], 2) < 0)
      _exit(127);
    std::vector<char*> cav;
    for (const std::string& a : av)
      cav.push_back(const_cast<char*>(a.c_str()));
    cav.push_back(nullptr);
    execve(cav[0], cav.data(), envp.data());
    _exit(127);
  }
  close(pfd[1]);
  int term_sent = 0;
  double deadline = start + opt.time_limit;
  for (;;) {
    struct pollfd p = {pfd[0], POLLIN, 0};
    int n = poll(&p, 1, 200);
    if (n > 0) {
      char buf[4096];
      ssize_t got = read(pfd[0], buf, sizeof(buf));
      if (got > 0)
        r.raw_output.append(buf, static_cast<size_t>(got));
      else if (got == 0 || errno != EINTR)
        break;  // every writer is gone
    }
    double t = now_sec();
    if (t > deadline && term_sent == 0) {
      r.timed_out = true;
      kill(-pid, SIGTERM);
      term_sent = 1;
    } else if (t > deadline + 10 && term_sent == 1) {
      kill(-pid, SIGKILL);
      term_sent = 2;
    }
  }
  close(pfd[0]);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  r.seconds = now_sec() - start;
  if (WIFEXITED(st) && !r.timed_out)
    r.status = WEXITSTATUS(st);
  r.output = strip_time_stamps(r.raw_output);
  r.sanitizer_reports = take_sanitizer_reports(report_base);
  if (!r.sanitizer_reports.empty())
    ADD_FAILURE() << "sanitizer reports of " << r.command << "\n" << r.sanitizer_reports;
  return r;
}

std::vector<std::string> tool_argv(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {morvik_bin()};
  std::vector<std::string> paced = with_test_pace(args);
  argv.insert(argv.end(), paced.begin(), paced.end());
  return argv;
}

}  // namespace

std::vector<std::string> with_test_pace(const std::vector<std::string>& args) {
  const char* pace = getenv("MORVIK_TEST_PACE");
  if (pace == nullptr || *pace == '\0' || std::find(args.begin(), args.end(), "-pace") != args.end())
    return args;
  std::vector<std::string> paced = args;
  paced.push_back("-pace");
  paced.push_back(pace);
  return paced;
}

e2e_result run_in_testbed(const e2e_area& area, const std::vector<std::string>& argv,
                          const e2e_options& opt) {
  size_t before = area.received().size();
  e2e_result r = run_testbed({"--state", area.state_dir}, area.root, area.work_dir,
                             area.tftp_root, argv, opt);
  std::string all = area.received();
  r.received = all.size() >= before ? all.substr(before) : all;
  return r;
}

e2e_result run_in_testbed(const e2e_modules_area& area, const std::vector<std::string>& argv,
                          const e2e_options& opt) {
  e2e_options real = opt;
  real.real = true;
  return run_testbed({"--modules", area.modules_dir}, area.root, area.work_dir, area.tftp_root,
                     argv, real);
}

e2e_result run_tool(const e2e_area& area, const std::vector<std::string>& args,
                    const e2e_options& opt) {
  return run_in_testbed(area, tool_argv(args), opt);
}

e2e_result run_tool(const e2e_modules_area& area, const std::vector<std::string>& args,
                    const e2e_options& opt) {
  return run_in_testbed(area, tool_argv(args), opt);
}

namespace {

std::string transcript_head(const e2e_result& r) {
  char head[160];
  snprintf(head, sizeof(head), "==== exit status %d%s after %.1f s\n", r.status,
           r.timed_out ? " (killed at the time limit)" : "", r.seconds);
  std::string t = "==== command: " + r.command + "\n" + head;
  t += "==== output:\n" + r.raw_output;
  if (!r.raw_output.empty() && r.raw_output.back() != '\n')
    t += "\n";
  return t;
}

std::string module_tails(const std::string& state_dir, const std::string& heading) {
  return "==== " + heading + "events (tail):\n" + tail_of(qbsim_events_file(state_dir), 40) +
         "==== " + heading + "curl.log (tail):\n" + tail_of(state_dir + "/curl.log", 10);
}

std::string log_tails(const std::string& dir, const std::vector<const char*>& logs,
                      const std::string& heading) {
  std::string t;
  for (const char* l : logs)
    t += "==== " + heading + l + " (tail):\n" + tail_of(dir + "/" + l, 20);
  return t;
}

}  // namespace

std::string transcript(const e2e_area& area, const e2e_result& r) {
  std::string t = transcript_head(r);
  t += "==== the module received:\n" + visible_bytes(r.received) + "\n";
  if (!r.sanitizer_reports.empty())
    t += "==== sanitizer reports:\n" + r.sanitizer_reports;
  t += module_tails(area.state_dir, "module ");
  t += log_tails(area.work_dir,
                 {"testbed.log", "setup.log", "supervisor.log", "sshd.log", "dnsmasq.log"}, "");
  return t;
}

std::string transcript(const e2e_modules_area& area, const e2e_result& r) {
  std::string t = transcript_head(r);
  if (!r.sanitizer_reports.empty())
    t += "==== sanitizer reports:\n" + r.sanitizer_reports;
  for (const e2e_module& m : area.modules) {
    t += "==== " + m.address + " received:\n" + visible_bytes(m.received()) + "\n";
    t += module_tails(m.state_dir, m.address + " ");
    t += log_tails(area.work_dir + "/modules/" + m.address, {"supervisor.log", "sshd.log"},
                   m.address + " ");
  }
  t += log_tails(area.work_dir, {"testbed.log", "setup.log", "dnsmasq.log"}, "");
  return t;
}
