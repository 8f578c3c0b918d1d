// "whichboot": the boot mode the module runs in and the files it started from.
// The flashing procedure learns from it which mode to flash and which image runs.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "nxa-tools-trace.h"
#include "misc.h"
#include "ssh_exec.h"

namespace {

file_info* row_destination(qb_whichboot_info* p_info, QbFileType type) {
  if (type == QB_FILE_BOOT_ROM)
    return p_info->p_boot_rom;
  if (type == QB_FILE_CFG)
    return p_info->p_cfg;
  return p_info->p_opcode;
}

// Returns 1 to go on, 0 after recording an error. Joins the keyword in line.
int parse_file_row(char* line, exec_context* cntx) {
  file_info row;
  memset(&row, 0, sizeof(row));
  row.type = join_file_kind(line);
  if (row.type == QB_FILE_UNKNOWN) {
    cntx->cli_result = MORVIK_REMOTE_PARSER_ERR;
    return 0;
  }
  char scratch[100];
  // A row that lacks some fields still replaces the whole record, so that a
  // stale flag from an earlier row cannot pass for this one's. The widths
  // bound every copy; a size beyond int's range reads as some other number.
  // NOLINTNEXTLINE(cert-err34-c)
  sscanf(line, "%50s %50s %c %d", row.name, scratch, &row.startup, &row.size);
  *row_destination(cntx->p_whichboot, row.type) = row;
  nxa_trace(TRACE_DEBUG, "whichboot: files info found\n");
  return 1;
}

// Returns the boot mode named by text, compared without regard to case.
QbBootMode mode_from_name(const char* text) {
  if (strcasecmp(text, "TZR") == 0)
    return QB_MODE_TZR;
  if (strcasecmp(text, "Switch") == 0)
    return QB_MODE_SWITCH;
  if (strcasecmp(text, "EHM") == 0)
    return QB_MODE_EHM;
  return QB_MODE_UNKNOWN;
}

}  // namespace

int parse_whichboot_line(char* line, exec_context* cntx) {
  if (line == nullptr || cntx == nullptr || cli_rejected(QB_WHICHBOOT, line, cntx))
    return 0;
  qb_whichboot_info* p_info = cntx->p_whichboot;
  char scratch[100];
  if (str_contains(line, "Boot-System")) {
    nxa_trace(TRACE_DEBUG, "whichboot: boot-system found\n");
    sscanf(line, "%50s %50s", scratch, p_info->boot_system);
    return 1;
  }
  if (str_contains(line, "Next Booting Mode")) {
    nxa_trace(TRACE_DEBUG, "whichboot: next boot mode found\n");
    sscanf(line, "%50s %50s %50s %50s", scratch, scratch, scratch, p_info->next_boot_mode);
    return 1;
  }
  if (str_contains(line, "file name") && str_contains(line, "file type") && str_contains(line, "startup") &&
      str_contains(line, "size")) {
    nxa_trace(TRACE_DEBUG, "whichboot: header found\n");
    p_info->header = 1;
    return 1;
  }
  if (str_contains(line, "--------------")) {
    nxa_trace(TRACE_DEBUG, "whichboot: separator line found\n");
    p_info->separator = 1;
    return 1;
  }
  if (p_info->header && p_info->separator)
    return parse_file_row(line, cntx);
  cntx->cli_result = MORVIK_REMOTE_PARSER_ERR;
  return 0;
}

int whichboot_parser(const char* recv, char* sent, int max_sent, exec_context* cntx) {
  return command_parser(QB_WHICHBOOT, recv, sent, max_sent, cntx);
}

namespace {

// whichboot asks nothing; its answer goes into the whichboot record and its
// three files.
QBCodes whichboot_request(exec_context* cntx, const qb_request&) {
  const qb_whichboot_info* p_info = cntx->p_whichboot;
  if (p_info == nullptr || p_info->p_boot_rom == nullptr || p_info->p_opcode == nullptr ||
      p_info->p_cfg == nullptr)
    return MORVIK_INTERNAL_ERR;
  return MORVIK_SUCCESS;
}

// Without a startup opcode image there is nothing to compare a flash with.
QBCodes whichboot_verdict(exec_context* cntx, QBCodes retval) {
  if (retval != MORVIK_SUCCESS)
    return retval;
  qb_whichboot_info* p_info = cntx->p_whichboot;
  const file_info* p_opcode = p_info->p_opcode;
  if (p_opcode->name[0] == '\0' || p_opcode->type == QB_FILE_UNKNOWN || p_opcode->startup != 'Y')
    return MORVIK_CLI_NO_INFO_ERR;
  p_info->curr_mode = mode_from_name(p_info->boot_system);
  return p_info->curr_mode == QB_MODE_UNKNOWN ? MORVIK_CLI_NO_INFO_ERR : retval;
}

}  // namespace

const qb_command whichboot_command = {
    QB_WHICHBOOT, "whichboot", "qb_whichboot",
    {{QB_CLI_WHICHBOOT, "%s\r\n", nullptr}},
    whichboot_request, whichboot_parser, parse_whichboot_line, nullptr, whichboot_verdict,
    {"Incorrect input", "Invalid input", nullptr},
    QB_TIMEOUT_SESSION, QB_TIMEOUT_SESSION};

QBCodes exec_whichboot(const session_settings& s, exec_context** pp_cntx) {
  return exec_command(s, QB_WHICHBOOT, QB_CLI_WHICHBOOT, qb_request(), pp_cntx,
                      QB_TIMEOUT_OF_ROW);
}
