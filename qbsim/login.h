// What runs on the module's terminal after a successful login: its CLI, or
// in the simulator flavour a bash whose qb_* commands reach the same module.
#ifndef QBSIM_LOGIN_H
#define QBSIM_LOGIN_H

#include <string>

// Exit status of a session whose connection broke off (the front end turns
// it into the client's fatal error).
const int kDropStatus = 111;
// Exit status of a session whose connection was aborted in the middle of an
// answer (the front end turns it into the client's network error).
const int kAbortStatus = 112;

// Runs one login session on descriptors 0 and 1 for the module in `dir`.
// Returns the process exit status.
int run_login(const std::string& dir);

struct qbsim_session;
struct qbsim_state;

// Runs the module's CLI on descriptors 0 and 1 for session s until it ends;
// returns the session's exit status. s.t is the CLI's terminal while it runs
// and again what it was once it returns.
int run_cli(qbsim_session& s, const qbsim_state& st);

// The qb_* programs of the simulator flavour (argv[0] names the command).
int run_sim_command(const std::string& word, int argc, char** argv);

#endif
