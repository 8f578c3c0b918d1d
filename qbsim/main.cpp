// qbsim: a stand-in for the switch module, for testing the update tool.
// One program with many names: "plink" is the client front end, qb_* are the
// simulator's commands, and "qbsim SUBCOMMAND" runs the other parts.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"
#include "frontend.h"
#include "login.h"
#include "module_state.h"
#include "supervisor.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: qbsim init --state DIR [--sim] [--tftp-root DIR]\n"
          "       qbsim fault --state DIR KIND COMMAND OCCURRENCE|every [ARG...]\n"
          "       qbsim login --state DIR\n"
          "       qbsim supervisor --state DIR [--address IP] [--sshd-config FILE"
          " --sshd-log FILE] [--server PROGRAM] [--ready FILE]\n"
          "       qbsim boot --state DIR\n"
          "  as plink: plink -ssh USER@HOST   (state from QBSIM_STATE)\n"
          "  as qb_show, qb_dir, ...: the simulator's commands\n");
  return 2;
}

// Image bytes that differ from file to file, so a test can tell them apart.
bool write_image(const std::string& path, long size, unsigned seed) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr)
    return false;
  unsigned x = seed * 2654435761u + 1u;
  for (long i = 0; i < size; i++) {
    x = x * 1103515245u + 12345u;
    fputc(static_cast<int>((x >> 16) & 0xff), f);
  }
  return fclose(f) == 0;
}

int cmd_init(const std::string& dir, bool sim, const std::string& tftp) {
  std::string err;
  if (!qbsim_state_init(dir, qbsim_state_default(sim), &err)) {
    fprintf(stderr, "qbsim: %s\n", err.c_str());
    return 1;
  }
  if (!tftp.empty()) {
    if (!write_image(tftp + "/img_c.bin", 1 << 20, 1) ||
        !write_image(tftp + "/tzr_c.bin", 786432, 2)) {
      fprintf(stderr, "qbsim: cannot write images into %s\n", tftp.c_str());
      return 1;
    }
  }
  return 0;
}

int cmd_fault(const std::string& dir, int argc, char** argv, int i) {
  if (argc - i < 3)
    return usage();
  qbsim_fault f;
  f.kind = argv[i];
  f.command = argv[i + 1];
  std::string when = argv[i + 2];
  if (when != "every") {
    // Only a whole number: "2x" must not add a fault on the second use.
    char* end = nullptr;
    long n = strtol(when.c_str(), &end, 10);
    if (when.empty() || *end != '\0' || n < 1 || n > INT_MAX)
      return usage();
    f.occurrence = static_cast<int>(n);
  }
  for (int k = i + 3; k < argc; k++) {
    // In the state file such a word would begin a comment and be lost.
    if (argv[k][0] == '#')
      return usage();
    f.arg += (f.arg.empty() ? "" : " ") + std::string(argv[k]);
  }
  std::string err;
  bool ok = qbsim_state_update(
      dir,
      [&](qbsim_state& st) {
        st.faults.push_back(f);
        return true;
      },
      &err);
  if (!ok)
    fprintf(stderr, "qbsim: %s\n", err.c_str());
  return ok ? 0 : 1;
}

int cmd_boot(const std::string& dir) {
  std::string err;
  bool ok = qbsim_state_update(
      dir,
      [](qbsim_state& st) {
        qbsim_apply_boot(st);
        return true;
      },
      &err);
  if (!ok)
    fprintf(stderr, "qbsim: %s\n", err.c_str());
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* base = strrchr(argv[0], '/');
  base = base != nullptr ? base + 1 : argv[0];
  std::string name = base;
  if (name == "plink")
    return run_plink(argc, argv);
  if (name.compare(0, 3, "qb_") == 0) {
    // A name that is no command still runs, to be answered as a CLI would.
    const qbsim_command* cmd = qbsim_find_program(name);
    return run_sim_command(cmd != nullptr ? cmd->word : name.substr(3), argc, argv);
  }
  if (argc < 2)
    return usage();
  std::string sub = argv[1];
  std::string dir, sshd_config, sshd_log, server, ready, tftp, address = "127.0.0.1";
  bool sim = false;
  int i = 2;
  for (; i < argc; i++) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--state" && has_value)
      dir = argv[++i];
    else if (a == "--sshd-config" && has_value)
      sshd_config = argv[++i];
    else if (a == "--sshd-log" && has_value)
      sshd_log = argv[++i];
    else if (a == "--server" && has_value)
      server = argv[++i];
    else if (a == "--ready" && has_value)
      ready = argv[++i];
    else if (a == "--address" && has_value)
      address = argv[++i];
    else if (a == "--tftp-root" && has_value)
      tftp = argv[++i];
    else if (a == "--sim")
      sim = true;
    else
      break;
  }
  if (dir.empty()) {
    const char* env = getenv("QBSIM_STATE");
    if (env != nullptr)
      dir = env;
  }
  if (dir.empty())
    return usage();
  if (sub == "init")
    return cmd_init(dir, sim, tftp);
  if (sub == "fault")
    return cmd_fault(dir, argc, argv, i);
  if (sub == "login")
    return run_login(dir);
  if (sub == "boot")
    return cmd_boot(dir);
  if (sub == "supervisor") {
    qbsim_supervisor_opts o;
    o.dir = dir;
    o.sshd_config = sshd_config;
    o.server = server;
    o.sshd_log = sshd_log.empty() ? dir + "/sshd.log" : sshd_log;
    o.ready_file = ready;
    o.address = address;
    return run_supervisor(o);
  }
  return usage();
}
