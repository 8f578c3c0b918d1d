// "reload": restarts the module so that a new startup image or boot mode takes
// effect, saving unsaved configuration and confirming the restart on the way.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "misc.h"
#include "ssh_exec.h"

namespace {

// The simulator restarts at once.
const int SIM_RELOAD_CMD_TIMEOUT = 30;

// Answers the module's questions, which take the single letter without a line
// end. Returns 1 when it has answered.
int answer_yes(char* sent, int max_sent, const exec_context* cntx) {
  if (cntx->state != EXEC_REMOTE)
    return 0;
  snprintf(sent, static_cast<size_t>(max_sent), "y");
  return 1;
}

}  // namespace

int parse_reload_line(char* line, exec_context* cntx) {
  if (line == nullptr || cntx == nullptr)
    return 0;
  if (line[0] == '\0')
    return 1;
  if (cli_rejected(QB_RELOAD, line, cntx))
    return 0;
  if (strcasecmp(line, "y") == 0 || strcasecmp(line, "n") == 0)
    return 1;
  if (str_contains(line, "System will now restart")) {
    cntx->p_reload->restart_marker = 1;
    return 1;
  }
  if (str_contains(line, "connection abort"))
    return 1;
  cntx->cli_result = MORVIK_REMOTE_PARSER_ERR;
  return 0;
}

int reload_parser(const char* recv, char* sent, int max_sent, exec_context* cntx) {
  return command_parser(QB_RELOAD, recv, sent, max_sent, cntx);
}

namespace {

// reload asks nothing; the announcement goes into the reload record.
QBCodes reload_request(exec_context* cntx, const qb_request&) {
  return cntx->p_reload != nullptr ? MORVIK_SUCCESS : MORVIK_INTERNAL_ERR;
}

// The save question and its notices, the question whether to restart, and
// the announcement.
int reload_questions(const char* recv, char* sent, int max_sent, exec_context* cntx) {
  const bool question = str_contains(recv, "y/n");
  if (str_contains(recv, "system has unsaved changes") && !question)
    return 1;
  if (str_contains(recv, "you like to save") && question)
    return answer_yes(sent, max_sent, cntx);
  // A notice that shares its chunk with a question leaves the question to be
  // answered below.
  if ((str_contains(recv, "Configuration Saved") || str_contains(recv, "Configuration Not Saved")) &&
      !str_contains(recv, "System will now restart") && !question)
    return 1;
  if (str_contains(recv, "you sure you would like to reset") && question)
    return answer_yes(sent, max_sent, cntx);
  if (str_contains(recv, "System will now restart")) {
    // The module goes down now; the session ends when the client does.
    cntx->state = EXEC_REMOTE_FINISH;
    cntx->p_reload->restart_marker = 1;
    return 1;
  }
  return 0;
}

// Silence after the announcement is the module going down, not a failure.
QBCodes reload_verdict(exec_context* cntx, QBCodes retval) {
  if (cntx->state == EXEC_CANCELED_BY_TIMEOUT && cntx->p_reload->restart_marker == 1)
    return cntx->cli_result;
  return retval;
}

}  // namespace

const qb_command reload_command = {
    QB_RELOAD, "reload", "qb_reload",
    {{QB_CLI_RELOAD, "%s\r\n", nullptr}},
    reload_request, reload_parser, parse_reload_line, reload_questions, reload_verdict,
    {"Command not found", "Incomplete command", "Invalid input detected", "Incorrect input",
     nullptr},
    RELOAD_CMD_TIMEOUT, SIM_RELOAD_CMD_TIMEOUT};

QBCodes exec_reload(const session_settings& s, exec_context** pp_cntx, int timeout) {
  return exec_command(s, QB_RELOAD, QB_CLI_RELOAD, qb_request(), pp_cntx, timeout);
}
