// "delete": removes one file from the module's flash, never the startup image,
// to make room for a new opcode image.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "nxa-tools-trace.h"
#include "misc.h"
#include "ssh_exec.h"

int parse_delete_line(char* line, exec_context* cntx) {
  if (line == nullptr || cntx == nullptr || cli_rejected(QB_DELETE, line, cntx))
    return 0;
  if (strcasecmp(line, "y") == 0 || strcasecmp(line, "n") == 0)
    return 1;
  // Tested before the success line: "Not Deleted!" holds "Deleted!" as well.
  if (str_contains(line, "Delete Failed") || str_contains(line, "Not Deleted")) {
    cntx->cli_result = MORVIK_CLI_CMD_FAILED_ERR;
    return 0;
  }
  if (str_contains(line, "Deleted!"))
    return 0;
  cntx->cli_result = MORVIK_REMOTE_PARSER_ERR;
  return 0;
}

int delete_parser(const char* recv, char* sent, int max_sent, exec_context* cntx) {
  return command_parser(QB_DELETE, recv, sent, max_sent, cntx);
}

int delete_questions(const char* recv, char* sent, int max_sent, exec_context* cntx) {
  // The module takes the single letter without a line end.
  if (str_contains(recv, "you want to delete?") && str_contains(recv, "y/n") &&
      cntx->state == EXEC_REMOTE) {
    snprintf(sent, static_cast<size_t>(max_sent), "y");
    nxa_trace(TRACE_DEBUG, "%s\n", sent);
    return 1;
  }
  return 0;
}

QBCodes exec_delete(const session_settings& s, file_info* info, exec_context** pp_cntx) {
  if (info == nullptr || pp_cntx == nullptr)
    return MORVIK_INTERNAL_ERR;
  exec_context* cntx = new_command_context(pp_cntx, QB_CLI_DELETE);
  if (cntx == nullptr || cntx->p_delete == nullptr || cntx->p_delete->p_del_file == nullptr)
    return hand_over(cntx, MORVIK_INTERNAL_ERR, pp_cntx);
  // The module would have nothing to boot from.
  if (info->startup == 'Y') {
    nxa_trace(TRACE_ERROR, "Trying to delete startup image '%s'.Canceling.\n", info->name);
    return hand_over(cntx, MORVIK_CLI_CMD_FAILED_ERR, pp_cntx);
  }
  *cntx->p_delete->p_del_file = *info;
  return hand_over(cntx, run_command(s, QB_DELETE, cntx, QB_TIMEOUT_OF_ROW), pp_cntx);
}
