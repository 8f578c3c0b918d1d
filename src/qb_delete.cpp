// "delete": removes one file from the module's flash, never the startup image,
// to make room for a new opcode image.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "nxa-tools-trace.h"
#include "ssh_exec.h"

namespace {

const int DELETE_TIMEOUT_SEC = 10;

}  // namespace

int parse_delete_line(char* line, exec_context* cntx) {
  if (line == nullptr || cntx == nullptr)
    return 0;
  if (str_contains(line, "Incorrect input")) {
    cntx->cli_result = MORVIK_CLI_INVALID_PARAM_ERR;
    return 0;
  }
  if (str_contains(line, "bash") && str_contains(line, "command")) {
    cntx->cli_result = MORVIK_CLI_INVALID_PARAM_ERR;
    return 0;
  }
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
  if (recv == nullptr || sent == nullptr || cntx == nullptr)
    return 0;
  if (strpbrk(recv, "$#") != nullptr) {
    if (cntx->state == EXEC_LOGIN) {
      snprintf(cntx->cmd, sizeof(cntx->cmd), "%s %s\r\n", get_qb_cmd(QB_DELETE),
               cntx->p_delete->p_del_file->name);
      snprintf(sent, static_cast<size_t>(max_sent), "%s", cntx->cmd);
      cntx->state = EXEC_REMOTE;
      return 1;
    }
    if (cntx->state == EXEC_REMOTE) {
      parse_remote_answer(recv, cntx, parse_delete_line);
    }
    return 0;
  }
  // The module takes the single letter without a line end.
  if (str_contains(recv, "you want to delete?") && str_contains(recv, "y/n") &&
      cntx->state == EXEC_REMOTE) {
    snprintf(sent, static_cast<size_t>(max_sent), "y");
    nxa_trace(TRACE_DEBUG, "%s\n", sent);
    return 1;
  }
  return 0;
}

QBCodes exec_delete(file_info* info, exec_context** pp_cntx) {
  if (info == nullptr || pp_cntx == nullptr)
    return MORVIK_INTERNAL_ERR;
  release_cntx(pp_cntx);
  exec_context* cntx = new (std::nothrow) exec_context;
  if (cntx == nullptr)
    return MORVIK_INTERNAL_ERR;
  if (cntx->p_delete == nullptr || cntx->p_delete->p_del_file == nullptr) {
    release_cntx(&cntx);
    return MORVIK_INTERNAL_ERR;
  }
  // The module would have nothing to boot from.
  if (info->startup == 'Y') {
    nxa_trace(TRACE_ERROR, "Trying to delete startup image '%s'.Canceling.\n", info->name);
    release_cntx(&cntx);
    return MORVIK_CLI_CMD_FAILED_ERR;
  }
  *cntx->p_delete->p_del_file = *info;
  cntx->type = QB_CLI_DELETE;
  QBCodes retval = ssh_exec(cntx, delete_parser, DELETE_TIMEOUT_SEC);
  retval = execstate_to_exit_code(retval, cntx->state);
  if (retval == MORVIK_SUCCESS && cntx->cli_result != MORVIK_SUCCESS)
    retval = cntx->cli_result;
  if (retval != MORVIK_SUCCESS) {
    release_cntx(&cntx);
    return retval;
  }
  *pp_cntx = cntx;
  return MORVIK_SUCCESS;
}
