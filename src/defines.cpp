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

const char* get_qb_cmd(int cmd) {
  if (cmd > QB_QUIT || cmd < 0)
    return unkn_cmd;
  return simulator_mode ? qb_cmd_sim[cmd] : qb_cmd[cmd];
}

int get_reload_timeout() {
  return simulator_mode ? 30 : RELOAD_CMD_TIMEOUT;
}
