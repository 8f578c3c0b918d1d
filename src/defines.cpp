// The switch's and the simulator's command words and the boot-mode names.
#include "defines.h"

const char* const qb_cmd[QB_ALL] = {"show",        "whichboot", "dir",    "delete",
                                    "copy",        "boot-system", "reload", "quit"};
const char* const qb_cmd_sim[QB_ALL] = {"qb_show", "qb_whichboot",   "qb_dir",    "qb_delete",
                                        "qb_copy", "qb_boot_system", "qb_reload", "qb_quit"};
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
};

}  // namespace

const char* qb_code_name(int code) {
  return code >= 0 && code < MORVIK_CODE_COUNT ? code_texts[code].name : nullptr;
}

const char* qb_code_meaning(int code) {
  return code >= 0 && code < MORVIK_CODE_COUNT ? code_texts[code].meaning : nullptr;
}

const char* get_qb_cmd(int cmd) {
  if (cmd > QB_QUIT || cmd < 0)
    return unkn_cmd;
  return simulator_mode ? qb_cmd_sim[cmd] : qb_cmd[cmd];
}

int get_reload_timeout() {
  return simulator_mode ? 30 : RELOAD_CMD_TIMEOUT;
}
