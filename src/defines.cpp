// The module's command vocabulary: the table of commands with their words in
// both dialects, command lines, parsers and verdicts; the boot-mode names.
#include "defines.h"

#include <cstddef>

#include "ssh_exec.h"

const char* const unkn_cmd = "foo";
const char* const s_boot_mode[QB_MODE_ALL] = {"unknown", "Switch", "TZR", "EHM"};
const char* const s_mode_sign[QB_MODE_ALL] = {"", "sw", "tzr", "sw"};

int simulator_mode = 0;

namespace {

struct code_text {
  const char* name;
  const char* meaning;
};

// Indexed by QBCodes; the manual's EXIT STATUS table is checked against it.
const code_text code_texts[MORVIK_CODE_COUNT] = {
    {"MORVIK_SUCCESS", "done"},
    {"MORVIK_INVALID_PARAM_ERR", "invalid or incomplete command line"},
    {"MORVIK_INTERNAL_ERR", "internal error (also: no image name for the module's boot mode)"},
    {"MORVIK_CANNOT_CONNECT_ERR", "the module's port 22 did not answer"},
    {"MORVIK_SSH_CLIENT_NOT_FOUND_ERR", "no plink in the current directory"},
    {"MORVIK_SSH_CLIENT_ERR", "the SSH client could not be started"},
    {"MORVIK_SSH_AUTH_ERR", "login refused"},
    {"MORVIK_REMOTE_PARSER_ERR",
     "the module's answer was not understood, or the session ended before it was complete"},
    {"MORVIK_REMOTE_TIMEOUT_ERR", "the module fell silent"},
    {"MORVIK_CLI_INVALID_PARAM_ERR", "the module rejected the command line"},
    {"MORVIK_CLI_NO_INFO_ERR", "the module's answer lacked what was needed (e.g. a startup image)"},
    {"MORVIK_CLI_CMD_FAILED_ERR", "the module reported that the command failed"},
    {"MORVIK_FLASHING_LOGIC_ERR", "a check of the flashing procedure failed"},
    {"MORVIK_MODULE_BUSY_ERR", "another run holds the module's lock"},
    {"MORVIK_HOST_KEY_ERR", "the module's host key did not match"},
    {"MORVIK_WEAK_CRYPTO_ERR",
     "the module's SSH server offers only algorithms that the SSH client warns against"},
};

}  // namespace

const char* qb_code_name(int code) {
  return code >= 0 && code < MORVIK_CODE_COUNT ? code_texts[code].name : nullptr;
}

const char* qb_code_meaning(int code) {
  return code >= 0 && code < MORVIK_CODE_COUNT ? code_texts[code].meaning : nullptr;
}

namespace {

const char* const QUIT_WORD = "quit";
const char* const QUIT_WORD_SIM = "qb_quit";
// The simulator restarts at once.
const int SIM_RELOAD_CMD_TIMEOUT = 30;

// The request's words of the command lines that take any; each returns 0
// when the record cannot give them.

int dir_file_words(const exec_context* cntx, const char* words[QB_MAX_WORDS]) {
  if (cntx->p_dir == nullptr || cntx->p_dir->p_file == nullptr)
    return 0;
  words[0] = cntx->p_dir->p_file->name;
  return 1;
}

int delete_words(const exec_context* cntx, const char* words[QB_MAX_WORDS]) {
  if (cntx->p_delete == nullptr || cntx->p_delete->p_del_file == nullptr)
    return 0;
  words[0] = cntx->p_delete->p_del_file->name;
  return 1;
}

int copy_words(const exec_context* cntx, const char* words[QB_MAX_WORDS]) {
  if (cntx->p_copy == nullptr)
    return 0;
  words[0] = cntx->p_copy->tftp_url;
  words[1] = cntx->p_copy->srcfile;
  words[2] = cntx->p_copy->destfile;
  return 1;
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

const qb_command qb_commands[QB_COMMAND_COUNT] = {
    {QB_SHOW, "show", "qb_show",
     {{QB_CLI_SHOW_LOGINSESSION, "%s loginsession\r\n", nullptr},
      {QB_CLI_SHOW_VERSION, "%s version\r\n", nullptr},
      {QB_CLI_SHOW_HARDWARE, "%s hardware\r\n", nullptr}},
     show_parser, parse_show_line, nullptr, show_verdict,
     {"Command not found", "Incomplete command", "Invalid input detected", "Incorrect input",
      nullptr},
     QB_TIMEOUT_SESSION, QB_TIMEOUT_SESSION},
    {QB_WHICHBOOT, "whichboot", "qb_whichboot",
     {{QB_CLI_WHICHBOOT, "%s\r\n", nullptr}},
     whichboot_parser, parse_whichboot_line, nullptr, whichboot_verdict,
     {"Incorrect input", "Invalid input", nullptr},
     QB_TIMEOUT_SESSION, QB_TIMEOUT_SESSION},
    {QB_DIR, "dir", "qb_dir",
     {{QB_CLI_DIR, "%s\r\n", nullptr},
      {QB_CLI_DIR_OPCODE, "%s opcode\r\n", nullptr},
      {QB_CLI_DIR_FILE, "%s opcode %s\r\n", dir_file_words}},
     dir_parser, parse_dir_line, nullptr, dir_verdict,
     {"Incorrect input", "Invalid input", nullptr},
     QB_TIMEOUT_SESSION, QB_TIMEOUT_SESSION},
    {QB_DELETE, "delete", "qb_delete",
     {{QB_CLI_DELETE, "%s %s\r\n", delete_words}},
     delete_parser, parse_delete_line, delete_questions, nullptr,
     {"Incorrect input", nullptr},
     QB_TIMEOUT_SESSION, QB_TIMEOUT_SESSION},
    // The download may keep the module silent for up to 20 minutes.
    {QB_COPY, "copy", "qb_copy",
     {{QB_CLI_COPY, "%s %s/%s image %s\r\n", copy_words}},
     copy_parser, parse_copy_line, copy_questions, nullptr,
     {"Incorrect input", "Invalid input", nullptr},
     1200, 1200},
    {QB_BOOT_SYSTEM, "boot-system", "qb_boot_system",
     {{QB_CLI_BOOT_SYSTEM_MODE, "%s mode %s\r\n", boot_mode_words},
      {QB_CLI_BOOT_SYSTEM_OPCODE, "%s opcode %s\r\n", boot_image_words}},
     bootsystem_parser, parse_bootsystem_line, nullptr, bootsystem_verdict,
     {"Command not found", "Incomplete command", "Invalid input detected", "Incorrect input",
      nullptr},
     QB_TIMEOUT_SESSION, QB_TIMEOUT_SESSION},
    {QB_RELOAD, "reload", "qb_reload",
     {{QB_CLI_RELOAD, "%s\r\n", nullptr}},
     reload_parser, parse_reload_line, reload_questions, reload_verdict,
     {"Command not found", "Incomplete command", "Invalid input detected", "Incorrect input",
      nullptr},
     RELOAD_CMD_TIMEOUT, SIM_RELOAD_CMD_TIMEOUT},
};

const qb_command* qb_command_of(int cmd) {
  return cmd >= 0 && cmd < QB_COMMAND_COUNT ? &qb_commands[cmd] : nullptr;
}

const qb_command* qb_command_serving(QbCliType type, const qb_variant** variant) {
  for (const qb_command& command : qb_commands) {
    for (const qb_variant& v : command.variants) {
      if (v.type == type && type != QB_CLI_UNKNOWN) {
        if (variant != nullptr)
          *variant = &v;
        return &command;
      }
    }
  }
  return nullptr;
}

int qb_command_timeout(const qb_command& command, int simulator) {
  return simulator ? command.sim_timeout : command.timeout;
}

const char* qb_cmd_word(int cmd, int simulator) {
  if (cmd == QB_QUIT)
    return simulator ? QUIT_WORD_SIM : QUIT_WORD;
  const qb_command* command = qb_command_of(cmd);
  if (command == nullptr)
    return unkn_cmd;
  return simulator ? command->sim_word : command->word;
}

const char* get_qb_cmd(int cmd) {
  return qb_cmd_word(cmd, simulator_mode);
}

int get_reload_timeout() {
  return qb_command_timeout(qb_commands[QB_RELOAD], simulator_mode);
}
