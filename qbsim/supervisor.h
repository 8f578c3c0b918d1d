// The port-22 supervisor: keeps port 22 answering while the module is up
// and refusing while it restarts, and starts the module anew afterwards.
#ifndef QBSIM_SUPERVISOR_H
#define QBSIM_SUPERVISOR_H

#include <string>

struct qbsim_supervisor_opts {
  std::string dir;          // the module's state directory
  std::string sshd_config;  // empty: a plain listener (hermetic chain)
  std::string server;       // another SSH server in sshd's place: a program
                            // that runs it in the foreground (dropbear)
  std::string sshd_log;     // where sshd (or the server) writes its log
  std::string ready_file;   // created once port 22 answers
  std::string address = "127.0.0.1";  // the module's address, where port 22 is
};

// Runs until SIGTERM; returns the exit status.
int run_supervisor(const qbsim_supervisor_opts& o);

#endif
