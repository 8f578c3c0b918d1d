// Starting and reaping the stand-in's helper programs (curl, sshd, bash).
#ifndef QBSIM_PROC_H
#define QBSIM_PROC_H

#include <sys/types.h>

#include <string>
#include <vector>

// Starts argv[0] (searched in PATH) with stdin from /dev/null and stdout and
// stderr appended to `log` (or /dev/null when empty). Returns the pid or -1.
pid_t proc_start(const std::vector<std::string>& argv, const std::string& log);

// Waits for pid; returns its exit status, 128+signal if killed, -1 on error.
int proc_wait(pid_t pid);

// Runs argv to its end, killing it after timeout_s seconds. Status as above.
int proc_run(const std::vector<std::string>& argv, const std::string& log, int timeout_s);

// In a freshly forked child: default signal dispositions and an empty mask,
// and every descriptor above 2 closed.
void proc_child_reset();

// The path of the running program, so children can be started from it.
std::string proc_self_exe();

#endif
