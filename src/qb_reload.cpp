// "reload": restarts the module so that a new startup image or boot mode takes
// effect, saving unsaved configuration and confirming the restart on the way.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "misc.h"
#include "ssh_exec.h"

namespace {

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
  if (str_contains(line, "Command not found") || str_contains(line, "Incomplete command") ||
      str_contains(line, "Invalid input detected") || str_contains(line, "Incorrect input")) {
    cntx->cli_result = MORVIK_CLI_INVALID_PARAM_ERR;
    return 0;
  }
  if (str_contains(line, "bash") && str_contains(line, "command")) {
    cntx->cli_result = MORVIK_CLI_INVALID_PARAM_ERR;
    return 0;
  }
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
  if (recv == nullptr || sent == nullptr || cntx == nullptr)
    return 0;
  if (has_prompt(recv)) {
    if (cntx->state == EXEC_LOGIN) {
      if (cntx->type != QB_CLI_RELOAD) {
        cntx->cli_result = MORVIK_INTERNAL_ERR;
        return 0;
      }
      snprintf(cntx->cmd, sizeof(cntx->cmd), "%s\r\n", get_qb_cmd(QB_RELOAD));
      cntx->state = EXEC_REMOTE;
      snprintf(sent, static_cast<size_t>(max_sent), "%s", cntx->cmd);
      return 1;
    }
    if (cntx->state == EXEC_REMOTE) {
      parse_remote_answer(recv, cntx, parse_reload_line);
    }
    return 0;
  }
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

QBCodes exec_reload(const session_settings& s, exec_context** pp_cntx, int timeout) {
  if (pp_cntx == nullptr)
    return MORVIK_INTERNAL_ERR;
  exec_context* cntx = new_command_context(pp_cntx, QB_CLI_RELOAD);
  if (cntx == nullptr || cntx->p_reload == nullptr)
    return hand_over(cntx, MORVIK_INTERNAL_ERR, pp_cntx);
  QBCodes retval = run_command(s, cntx, reload_parser, timeout, QB_MAP_ALWAYS);
  // Silence after the announcement is the module going down, not a failure.
  if (cntx->state == EXEC_CANCELED_BY_TIMEOUT && cntx->p_reload->restart_marker == 1)
    retval = cntx->cli_result;
  return hand_over(cntx, retval, pp_cntx);
}
