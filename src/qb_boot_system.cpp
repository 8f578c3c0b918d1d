// "boot-system": chooses what the module boots at its next reload, either a new
// startup opcode image or another boot mode.
#include <cstdio>
#include <cstring>

#include "misc.h"
#include "ssh_exec.h"

namespace {

QBCodes bootsystem_request(exec_context* cntx, const qb_request& request) {
  qb_boot_system_info* p_boot = cntx->p_bootsystem;
  if (p_boot == nullptr || (cntx->type == QB_CLI_BOOT_SYSTEM_OPCODE && request.image == nullptr) ||
      (cntx->type == QB_CLI_BOOT_SYSTEM_MODE && !qb_mode_is_named(request.mode)))
    return MORVIK_INTERNAL_ERR;
  if (cntx->type == QB_CLI_BOOT_SYSTEM_OPCODE)
    snprintf(p_boot->imagename, sizeof(p_boot->imagename), "%s", request.image);
  else if (cntx->type == QB_CLI_BOOT_SYSTEM_MODE)
    p_boot->mode = request.mode;
  return MORVIK_SUCCESS;
}

int boot_mode_words(const exec_context* cntx, const char* words[QB_MAX_WORDS]) {
  if (cntx->p_bootsystem == nullptr)
    return 0;
  const int mode = static_cast<int>(cntx->p_bootsystem->mode);
  if (!qb_mode_is_named(mode))
    return 0;
  words[0] = s_boot_mode[mode];
  return 1;
}

int boot_image_words(const exec_context* cntx, const char* words[QB_MAX_WORDS]) {
  if (cntx->p_bootsystem == nullptr)
    return 0;
  words[0] = cntx->p_bootsystem->imagename;
  return 1;
}

}  // namespace

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

namespace {

// Only the opcode variant needs the confirmation line.
QBCodes bootsystem_verdict(exec_context* cntx, QBCodes retval) {
  if (retval == MORVIK_SUCCESS && cntx->p_bootsystem->startup_marker == 0 &&
      cntx->type == QB_CLI_BOOT_SYSTEM_OPCODE) {
    cntx->cli_result = MORVIK_CLI_CMD_FAILED_ERR;
    return MORVIK_CLI_CMD_FAILED_ERR;
  }
  return retval;
}

}  // namespace

const qb_command boot_system_command = {
    QB_BOOT_SYSTEM, "boot-system", "qb_boot_system",
    {{QB_CLI_BOOT_SYSTEM_MODE, "%s mode %s\r\n", boot_mode_words},
     {QB_CLI_BOOT_SYSTEM_OPCODE, "%s opcode %s\r\n", boot_image_words}},
    bootsystem_request, bootsystem_parser, parse_bootsystem_line, nullptr, bootsystem_verdict,
    {"Command not found", "Incomplete command", "Invalid input detected", "Incorrect input",
     nullptr},
    QB_TIMEOUT_SESSION, QB_TIMEOUT_SESSION};

QBCodes exec_bootsystem(const session_settings& s, QbCliType type, char* imagename,
                        QbBootMode mode, exec_context** pp_cntx) {
  qb_request request = qb_request();
  request.image = imagename;
  request.mode = mode;
  return exec_command(s, QB_BOOT_SYSTEM, type, request, pp_cntx, QB_TIMEOUT_OF_ROW);
}
