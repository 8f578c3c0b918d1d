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

struct qbsim_command;

// Runs the command line w (w[0] is cmd's word) with the faults that fired for
// this use of it; the answer goes to s.t, the caller adds the prompt.
typedef qbsim_outcome (*qbsim_handler)(qbsim_session& s, const qbsim_command& cmd,
                                       const std::vector<std::string>& w,
                                       const std::vector<qbsim_fault>& faults);

// One command of the module. A new command is one row of qbsim_commands()
// and its handler.
struct qbsim_command {
  const char* word;          // the CLI's word, which faults and use counts go by
  const char* program;       // the simulator's word: a name of this program
  qbsim_handler run;
  const char* questions[2];  // the y/n questions it may ask, in their order
  bool breaks_late;          // drop and kill-client wait until its transfer starts
  bool announces;            // faults with ARG "announced..." wait for its restart announcement
};

// Every command the module knows.
const std::vector<qbsim_command>& qbsim_commands();

// The command of a CLI word, or of a simulator program's name; null if none.
const qbsim_command* qbsim_find_command(const std::string& word);
const qbsim_command* qbsim_find_program(const std::string& program);

// Runs one command line split into words; words[0] is the CLI command word.
// The answer goes to s.t; the caller adds the prompt.
qbsim_outcome module_command(qbsim_session& s, const std::vector<std::string>& words);

// Splits a command line at blanks and tabs.
std::vector<std::string> split_line(const std::string& line);

// Asks a y/n question and echoes the answer on a line of its own; returns the
// answer in lower case, or -1 if the peer went away.
int ask(qbsim_session& s, const std::string& question);

// Asks a y/n question; returns true for a yes. Otherwise *out says how the
// session goes on: it ends if the peer went away, and goes on after the line
// `refusal` for any other answer.
bool confirmed(qbsim_session& s, const std::string& question, const std::string& refusal,
               qbsim_outcome* out);

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
qbsim_outcome cmd_copy(qbsim_session& s, const qbsim_command& cmd,
                       const std::vector<std::string>& w, const std::vector<qbsim_fault>& faults);
qbsim_outcome cmd_reload(qbsim_session& s, const qbsim_command& cmd,
                         const std::vector<std::string>& w, const std::vector<qbsim_fault>& faults);
qbsim_outcome cmd_quit(qbsim_session& s, const qbsim_command& cmd,
                       const std::vector<std::string>& w, const std::vector<qbsim_fault>& faults);

// Texts the module prints for rejected command lines.
extern const char* const kInvalidInput;
extern const char* const kIncomplete;

#endif
