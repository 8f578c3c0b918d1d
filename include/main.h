// The option record filled from the command line, and the tool driver's entry
// points that other sources and the tests call.
#ifndef MORVIK_MAIN_H
#define MORVIK_MAIN_H

#include "defines.h"
#include "misc.h"

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
  QbPace pace;
  int dry_run;            // -dry_run: read the module, say what an update would do
  char pwd_file[4096];    // -pwd_file: where the password was read from
  char report_path[4096]; // -report: where the run's JSON report goes

  qb_opt();
};

// Written by parse_args and get_ssh_cmd at the start, read-only afterwards.
extern qb_opt options;

// The whole run of the tool; returns the exit status.
int morvik_main(int argc, char** argv);

#endif
