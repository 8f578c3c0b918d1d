// The texts of the module's answers, built from its state. Pure functions:
// every line ends in CR LF, none is longer than 98 characters for names
// of ordinary length, and none holds '#' or '$' (those mark a prompt) but
// for names in the state that hold them.
#ifndef QBSIM_ANSWERS_H
#define QBSIM_ANSWERS_H

#include <string>

#include "module_state.h"

struct qbsim_login {
  int id = 1;
  std::string user = "admin";
  std::string from = "127.0.0.1";
  long seconds = 0;  // since the login
};

std::string answer_loginsession(const qbsim_login& login, bool with_rows = true);
std::string answer_version(const qbsim_state& st);
std::string answer_hardware();

// whichboot. `opcode_name` is the image reported as the one the running mode
// started from (the state's `running` normally); `flag` its startup column.
std::string answer_whichboot(const qbsim_state& st, const std::string& opcode_name, char flag);

enum qbsim_dir_kind { DIR_ALL, DIR_OPCODE, DIR_FILE };
// dir, dir opcode and dir opcode NAME of the running mode. With
// hide_startup the startup image is left out of the listing.
std::string answer_dir(const qbsim_state& st, qbsim_dir_kind kind, const std::string& name,
                       bool hide_startup);

// The prompt of the CLI flavour.
std::string cli_prompt(const qbsim_state& st);

#endif
