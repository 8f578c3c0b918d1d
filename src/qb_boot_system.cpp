// "boot-system": chooses what the module boots at its next reload, either a new
// startup opcode image or another boot mode.
#include <cstdio>
#include <cstring>

#include "misc.h"
#include "ssh_exec.h"

int parse_bootsystem_line(char* line, exec_context* cntx) {
  if (line == nullptr || cntx == nullptr)
    return 0;
  // The module confirms a mode change with silence.
  if (line[0] == '\0' && cntx->type == QB_CLI_BOOT_SYSTEM_MODE)
    return 1;
  if (cli_rejected(QB_BOOT_SYSTEM, line, cntx))
    return 0;
  if (str_contains(line, "Start Up Success")) {
    cntx->p_bootsystem->startup_marker = 1;
    return 1;
  }
  // The opcode variant is judged after the session, by the missing
  // confirmation; a mode change has none, so its failure is recorded here.
  if (str_contains(line, "Start Up Failed!")) {
    if (cntx->type == QB_CLI_BOOT_SYSTEM_MODE)
      cntx->cli_result = MORVIK_CLI_CMD_FAILED_ERR;
    return 0;
  }
  cntx->cli_result = MORVIK_REMOTE_PARSER_ERR;
  return 0;
}

int bootsystem_parser(const char* recv, char* sent, int max_sent, exec_context* cntx) {
  return command_parser(QB_BOOT_SYSTEM, recv, sent, max_sent, cntx);
}

// Only the opcode variant needs the confirmation line.
QBCodes bootsystem_verdict(exec_context* cntx, QBCodes retval) {
  if (retval == MORVIK_SUCCESS && cntx->p_bootsystem->startup_marker == 0 &&
      cntx->type == QB_CLI_BOOT_SYSTEM_OPCODE) {
    cntx->cli_result = MORVIK_CLI_CMD_FAILED_ERR;
    return MORVIK_CLI_CMD_FAILED_ERR;
  }
  return retval;
}

QBCodes exec_bootsystem(const session_settings& s, QbCliType type, char* imagename,
                        QbBootMode mode, exec_context** pp_cntx) {
  if (pp_cntx == nullptr)
    return MORVIK_INTERNAL_ERR;
  exec_context* cntx = new_command_context(pp_cntx, type);
  qb_boot_system_info* p_boot = cntx != nullptr ? cntx->p_bootsystem : nullptr;
  if (p_boot == nullptr || (type == QB_CLI_BOOT_SYSTEM_OPCODE && imagename == nullptr) ||
      (type == QB_CLI_BOOT_SYSTEM_MODE && !qb_mode_is_named(mode)))
    return hand_over(cntx, MORVIK_INTERNAL_ERR, pp_cntx);
  if (type == QB_CLI_BOOT_SYSTEM_OPCODE)
    snprintf(p_boot->imagename, sizeof(p_boot->imagename), "%s", imagename);
  else if (type == QB_CLI_BOOT_SYSTEM_MODE)
    p_boot->mode = mode;
  return hand_over(cntx, run_command(s, QB_BOOT_SYSTEM, cntx, QB_TIMEOUT_OF_ROW), pp_cntx);
}
