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

namespace {

QBCodes delete_request(exec_context* cntx, const qb_request& request) {
  if (cntx->p_delete == nullptr || cntx->p_delete->p_del_file == nullptr || request.file == nullptr)
    return MORVIK_INTERNAL_ERR;
  // The module would have nothing to boot from.
  if (request.file->startup == 'Y') {
    nxa_trace(TRACE_ERROR, "Trying to delete startup image '%s'.Canceling.\n", request.file->name);
    return MORVIK_CLI_CMD_FAILED_ERR;
  }
  *cntx->p_delete->p_del_file = *request.file;
  return MORVIK_SUCCESS;
}

int delete_words(const exec_context* cntx, const char* words[QB_MAX_WORDS]) {
  if (cntx->p_delete == nullptr || cntx->p_delete->p_del_file == nullptr)
    return 0;
  words[0] = cntx->p_delete->p_del_file->name;
  return 1;
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

}  // namespace

const qb_command delete_command = {
    QB_DELETE, "delete", "qb_delete",
    {{QB_CLI_DELETE, "%s %s\r\n", delete_words}},
    delete_request, delete_parser, parse_delete_line, delete_questions, nullptr,
    {"Incorrect input", nullptr},
    QB_TIMEOUT_SESSION, QB_TIMEOUT_SESSION};

QBCodes exec_delete(const session_settings& s, file_info* info, exec_context** pp_cntx) {
  if (info == nullptr || pp_cntx == nullptr)
    return MORVIK_INTERNAL_ERR;
  qb_request request = qb_request();
  request.file = info;
  return exec_command(s, QB_DELETE, QB_CLI_DELETE, request, pp_cntx, QB_TIMEOUT_OF_ROW);
}
