// The module's side of one session: input read byte-exactly (and logged as
// received), output gathered and written in one piece, like a switch does.
#ifndef QBSIM_TERM_H
#define QBSIM_TERM_H

#include <termios.h>

#include <string>

struct qbsim_term {
  int in = 0;
  int out = 1;
  bool tty = false;     // input is a terminal that we put into raw mode
  bool raw_set = false;
  struct termios saved {};
  bool hung_up = false;  // input ended or the terminal went away
  std::string pending;   // output not yet written
  std::string inbuf;     // input read but not yet consumed
  std::string dir;       // state directory; received bytes are logged there
  // A split armed for the next write (term_split): where the answer starts
  // in `pending`, and the seconds between the two parts (< 0: the second
  // part never goes out).
  size_t split_at = std::string::npos;
  double split_pause = 0;
  bool broken = false;  // the connection was broken off: nothing goes out any more
};

// Takes over descriptors in and out; a terminal on `in` is put into raw mode
// (no echo, no line editing, no output processing) until term_close.
void term_open(qbsim_term* t, const std::string& dir, int in, int out);
// Writes what is pending and restores the terminal.
void term_close(qbsim_term* t);

// Adds text to the pending output.
void term_put(qbsim_term* t, const std::string& text);
// Writes all pending output with one write call (two around an armed split).
// False if the peer is gone.
bool term_flush(qbsim_term* t);
// Arms a split of the next write: what is pending now (the echo) and the lines
// before the middle of the answer that follows (the first (N-1)/2 of its N
// whole lines) go out first; the rest, `seconds` later. With `seconds` < 0
// the rest never goes out: the connection is broken off (`broken`), and the
// input counts as hung up.
void term_split(qbsim_term* t, double seconds);
// Flushes, then waits `seconds`; returns early (false) if the input hangs up.
bool term_pause(qbsim_term* t, double seconds);

// Reads one input line. A line ends at CR LF, a lone CR or a lone LF.
// *line gets the text without its end. False once the input has ended
// (an unfinished last line is dropped).
bool term_read_line(qbsim_term* t, std::string* line);
// Reads the one-character answer to a question: line ends left over from
// an earlier line are skipped. Returns the character, or -1 on hang-up.
int term_read_char(qbsim_term* t);

// Writes bytes now, bypassing the pending buffer (for relays).
bool term_write_all(int fd, const char* p, size_t n);

#endif
