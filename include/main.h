// The option record filled from the command line, and the tool driver's entry
// points that other sources and the tests call.
#ifndef MORVIK_MAIN_H
#define MORVIK_MAIN_H

#include "defines.h"

struct qb_opt {
  char host[255];
  int tracemode;
  char username[64];
  char password[64];
  QbToolModes mode;
  char tftp_path[255];
  char img_tzr[64];
  char img_sw[64];
  char ssh_path[4096];
  char ssh_args[4096];
  int both;

  qb_opt();
};

// Written by parse_args and get_ssh_cmd at the start, read-only afterwards.
extern qb_opt options;

// Parses argv into options and simulator_mode. Returns MORVIK_SUCCESS for a
// complete command line, MORVIK_INVALID_PARAM_ERR after reporting the first
// error; a lone -help prints the usage text and exits with status 0.
QBCodes parse_args(int argc, char** argv);

// Locates ./plink and builds the client's argument string into options.
// Returns MORVIK_SSH_CLIENT_NOT_FOUND_ERR if there is nothing at that path.
QBCodes get_ssh_cmd();

// Returns the system's text for err (static storage); buf and len are unused.
char* get_last_error_str(unsigned long err, char* buf, int len);

// The whole run of the tool; returns the exit status.
int morvik_main(int argc, char** argv);

#endif
