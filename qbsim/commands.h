// The module's commands, shared by its CLI and by the simulator's qb_*
// programs: each reads and changes the state and writes its answer.
#ifndef QBSIM_COMMANDS_H
#define QBSIM_COMMANDS_H

#include <string>
#include <vector>

#include "answers.h"
#include "module_state.h"
#include "term.h"

struct qbsim_session {
  std::string dir;
  qbsim_term* t = nullptr;
  qbsim_login login;
  long started = 0;  // time of the login
};

enum qbsim_outcome {
  OUT_GO_ON,  // show the prompt and read the next line
  OUT_END,    // log out (quit, or the restart after reload)
  OUT_DROP    // the connection breaks off
};

// Runs one command line split into words; words[0] is the CLI command word.
// The answer goes to s.t; the caller adds the prompt.
qbsim_outcome module_command(qbsim_session& s, const std::vector<std::string>& words);

// Splits a command line at blanks and tabs.
std::vector<std::string> split_line(const std::string& line);

// Asks a y/n question and echoes the answer on a line of its own; returns the
// answer in lower case, or -1 if the peer went away.
int ask(qbsim_session& s, const std::string& question);

bool has_fault(const std::vector<qbsim_fault>& f, const char* kind, std::string* arg = nullptr);

// Whether a fault of `kind` waits for the restart announcement: ARG `when`,
// "announced" (or "announced-now" for drop); only reload has one.
bool fault_at_announcement(const std::vector<qbsim_fault>& f, const char* kind,
                           const char* when = "announced");

// Sends what is pending and kills the stand-in client with SIGKILL a moment
// later. False (and nothing killed) when no stand-in client runs the session.
bool kill_client(qbsim_session& s);

// The seconds a fault's argument names, or dflt when it is empty, not a
// number as a whole, or not above zero.
double arg_seconds(const std::string& arg, double dflt);

// Command handlers of the other sources.
qbsim_outcome cmd_copy(qbsim_session& s, const std::vector<std::string>& w,
                       const std::vector<qbsim_fault>& faults);
qbsim_outcome cmd_reload(qbsim_session& s, const std::vector<qbsim_fault>& faults);
qbsim_outcome cmd_quit(qbsim_session& s);

// Texts the module prints for rejected command lines.
extern const char* const kInvalidInput;
extern const char* const kIncomplete;

#endif
