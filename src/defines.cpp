// The module's command vocabulary: the list of the commands' rows, the lookups
// of a command's word and time-out in either dialect, the boot-mode names and
// the result codes' names.
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

}  // namespace

// A new command is one line here; its row is the command's own.
const qb_command* const qb_commands[QB_COMMAND_COUNT] = {
    &show_command,   &whichboot_command,   &dir_command,    &delete_command,
    &copy_command,   &boot_system_command, &reload_command,
};

const qb_command* qb_command_of(int cmd) {
  for (const qb_command* command : qb_commands)
    if (command->cmd == cmd)
      return command;
  return nullptr;
}

const qb_command* qb_command_serving(QbCliType type, const qb_variant** variant) {
  for (const qb_command* command : qb_commands) {
    for (const qb_variant& v : command->variants) {
      if (v.type == type && type != QB_CLI_UNKNOWN) {
        if (variant != nullptr)
          *variant = &v;
        return command;
      }
    }
  }
  return nullptr;
}

QbCliType qb_last_cli_type() {
  QbCliType last = QB_CLI_UNKNOWN;
  for (const qb_command* command : qb_commands)
    for (const qb_variant& v : command->variants)
      if (v.type > last)
        last = v.type;
  return last;
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
  return qb_command_timeout(*qb_command_of(QB_RELOAD), simulator_mode);
}
