// The option record filled from the command line, and the tool driver's entry
// points that other sources and the tests call.
#ifndef MORVIK_MAIN_H
#define MORVIK_MAIN_H

#include "defines.h"
#include "misc.h"
#include "qb_sums.h"
#include "report.h"

// What the checksum file says of one image.
struct image_digest {
  int listed;  // 0: the file has no line for the image
  unsigned char sha256[SHA256_SIZE];
};

// -hostkey may be given this many times, each value at most HOST_KEY_LEN long.
const int MAX_HOST_KEYS = 8;
const int HOST_KEY_LEN = 128;

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
  int stage;              // -stage: switch the startup image, no restart
  int check_tftp;         // -check_tftp: ask the TFTP server before changing anything
  int host_key_count;     // how many -hostkey values were given
  char host_keys[MAX_HOST_KEYS][HOST_KEY_LEN + 1];  // -hostkey: the only keys accepted
  int accept_weak_crypto;  // -accept_weak_crypto: go on with algorithms the client warns against
  char sha256sums[4096];   // -sha256sums: the checksum file the images must match
  image_digest sums_sw;    // its line for -img_sw
  image_digest sums_tzr;   // its line for -img_tzr

  qb_opt();
};

// Written by parse_args and get_ssh_cmd at the start, read-only afterwards.
extern qb_opt options;

// What the report repeats of the command line opt (its texts point into
// opt), with the dialect simulator.
report_request report_request_of(const qb_opt& opt, int simulator);

// The whole run of the tool; returns the exit status.
int morvik_main(int argc, char** argv);

#endif
