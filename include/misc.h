// The tool's miscellany: the command line, the place of the SSH client, the
// reachability probe, and the text routines that clean the client's output.
#ifndef MORVIK_MISC_H
#define MORVIK_MISC_H

#include "defines.h"
#include "qb_socket.h"

struct qb_opt;

// Parses argv into options and simulator_mode. Returns MORVIK_SUCCESS for a
// complete command line, MORVIK_INVALID_PARAM_ERR after reporting the first
// error; a lone -help prints the usage text and exits with status 0.
QBCodes parse_args(int argc, char** argv);

// Locates ./plink and builds the client's argument string into options.
// Returns MORVIK_SSH_CLIENT_NOT_FOUND_ERR if there is nothing at that path.
QBCodes get_ssh_cmd();

// Returns the system's text for err (static storage); buf and len are unused.
char* get_last_error_str(unsigned long err, char* buf, int len);

// Returns 1 if port 22 of host accepted a connection within count attempts
// (1 to 100) made 5 seconds apart, else 0.
int is_server_available(char* host, int count);

// The same with the given pacing; with max_sec > 0 no attempt starts once
// max_sec seconds have passed since the first, so that the whole wait ends by
// then plus one bounded attempt.
int is_server_available(char* host, int count, const probe_settings& pacing, int max_sec);

// Returns 1 if port 22 of host accepted a connection before max_sec seconds
// had passed since the first attempt, else 0.
int is_server_available(char* host, double max_sec);

// Watches a restart: probes port 22 of host once a second (each attempt as
// pacing bounds it) until it stops answering, the module going down, then
// until it answers again. Returns 1 once it answers after it was seen down,
// or if it was never seen down within down_within_sec (a restart too quick to
// see); 0 if max_sec passed without that.
int wait_for_restart(char* host, const probe_settings& pacing, int max_sec, int down_within_sec);

// Whether what occurs in text.
bool str_contains(const char* text, const char* what);

// Removes trailing '\r' and '\n' in place.
void str_remove_ending(char* str);

// Removes, in place, every '\r' that is not followed by '\n'; len is the size
// of the buffer that holds str.
void str_remove_single_cr(char* str, int len);

#endif
