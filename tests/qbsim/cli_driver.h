// A scripted client for the module's login program on plain pipes: send
// text, wait for text, and see how the output was split into reads.
#ifndef QBSIM_TESTS_CLI_DRIVER_H
#define QBSIM_TESTS_CLI_DRIVER_H

#include <sys/types.h>

#include <string>
#include <vector>

struct cli_read {
  double at;  // seconds since the start
  std::string bytes;
};

struct cli_driver {
  pid_t pid = -1;
  int to = -1;
  int from = -1;
  std::string out;             // everything read so far
  std::vector<cli_read> reads;  // the same, as it came

  // Starts `qbsim login --state DIR`. False if it could not be started.
  bool start(const std::string& qbsim, const std::string& dir);
  void send(const std::string& text);
  // Reads until `text` shows after offset `from_pos` of `out`, or the time is
  // up. Returns the offset just after the text, or std::string::npos.
  size_t wait_for(const std::string& text, size_t from_pos, double timeout);
  // Reads for `seconds` whatever comes.
  void drain(double seconds);
  // Returns the exit status (-1 on time-out, after which the program is
  // killed). With close_input our end of the input is closed first, which
  // the program sees as a hang-up.
  int finish(double timeout, bool close_input = true);
  ~cli_driver();

  double t0 = 0;
};

double cli_now();

#endif
