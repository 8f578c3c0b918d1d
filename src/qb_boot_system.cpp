// "boot-system": chooses what the module boots at its next reload, either a new
// startup opcode image or another boot mode.
#include <cstdio>
#include <cstring>

#include "misc.h"
#include "ssh_exec.h"

namespace {

// The mode's name is looked up in s_boot_mode, which has an entry for these only.
bool mode_is_named(QbBootMode mode) {
  return static_cast<int>(mode) >= QB_MODE_UNKNOWN && static_cast<int>(mode) <= QB_MODE_EHM;
}

}  // namespace

int parse_bootsystem_line(char* line, exec_context* cntx) {
  if (line == nullptr || cntx == nullptr)
    return 0;
  // The module confirms a mode change with silence.
  if (line[0] == '\0' && cntx->type == QB_CLI_BOOT_SYSTEM_MODE)
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
  if (recv == nullptr || sent == nullptr || cntx == nullptr || !has_prompt(recv))
    return 0;
  const qb_boot_system_info* p_boot = cntx->p_bootsystem;
  if (cntx->state == EXEC_LOGIN) {
    const char* word = get_qb_cmd(QB_BOOT_SYSTEM);
    if (cntx->type == QB_CLI_BOOT_SYSTEM_MODE && mode_is_named(p_boot->mode)) {
      snprintf(cntx->cmd, sizeof(cntx->cmd), "%s mode %s\r\n", word, s_boot_mode[p_boot->mode]);
    } else if (cntx->type == QB_CLI_BOOT_SYSTEM_OPCODE) {
      snprintf(cntx->cmd, sizeof(cntx->cmd), "%s opcode %s\r\n", word, p_boot->imagename);
    } else {
      cntx->cli_result = MORVIK_INTERNAL_ERR;
      return 0;
    }
    snprintf(sent, static_cast<size_t>(max_sent), "%s", cntx->cmd);
    cntx->state = EXEC_REMOTE;
    return 1;
  }
  if (cntx->state == EXEC_REMOTE) {
    parse_remote_answer(recv, cntx, parse_bootsystem_line);
  }
  return 0;
}

QBCodes exec_bootsystem(const session_settings& s, QbCliType type, char* imagename,
                        QbBootMode mode, exec_context** pp_cntx) {
  if (pp_cntx == nullptr)
    return MORVIK_INTERNAL_ERR;
  exec_context* cntx = new_command_context(pp_cntx, type);
  qb_boot_system_info* p_boot = cntx != nullptr ? cntx->p_bootsystem : nullptr;
  if (p_boot == nullptr || (type == QB_CLI_BOOT_SYSTEM_OPCODE && imagename == nullptr) ||
      (type == QB_CLI_BOOT_SYSTEM_MODE && !mode_is_named(mode)))
    return hand_over(cntx, MORVIK_INTERNAL_ERR, pp_cntx);
  if (type == QB_CLI_BOOT_SYSTEM_OPCODE)
    snprintf(p_boot->imagename, sizeof(p_boot->imagename), "%s", imagename);
  else if (type == QB_CLI_BOOT_SYSTEM_MODE)
    p_boot->mode = mode;
  QBCodes retval = run_command(s, cntx, bootsystem_parser, s.cmd_timeout, QB_MAP_ALWAYS);
  // Only the opcode variant needs the confirmation line.
  if (retval == MORVIK_SUCCESS && p_boot->startup_marker == 0 && type == QB_CLI_BOOT_SYSTEM_OPCODE) {
    cntx->cli_result = MORVIK_CLI_CMD_FAILED_ERR;
    retval = MORVIK_CLI_CMD_FAILED_ERR;
  }
  return hand_over(cntx, retval, pp_cntx);
}
