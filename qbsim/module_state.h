// State of one simulated switch module, kept as a text file in a directory
// that the stand-in, its port-22 supervisor and the tests all read and write.
#ifndef QBSIM_MODULE_STATE_H
#define QBSIM_MODULE_STATE_H

#include <functional>
#include <map>
#include <string>
#include <vector>

// One opcode image of one boot mode.
struct qbsim_image {
  std::string mode;   // "Switch", "TZR" or "EHM"
  std::string name;
  char startup = 'N';  // 'Y' for the image the mode starts from
  std::string date;    // one word, e.g. 2009-03-02
  long size = 0;
};

// A row of the listing that is not an opcode image.
struct qbsim_file {
  std::string kind;  // "bootrom" or "config"
  std::string name;
  std::string date;
  long size = 0;
};

struct qbsim_user {
  std::string name;
  std::string password;
};

// A misbehaviour switched on by a test: KIND on the OCCURRENCE-th use of
// COMMAND (counted over all sessions, from 1), or on every use (0).
struct qbsim_fault {
  std::string kind;
  std::string command;  // a CLI command word, "login", or "any"
  int occurrence = 0;
  std::string arg;  // rest of the line; meaning depends on the kind
};

struct qbsim_state {
  std::string flavour = "cli";  // "cli": the module's CLI; "sim": bash with qb_* commands
  std::string hostname = "qb-switch";
  std::string mode = "Switch";       // boot mode running now
  std::string next_mode = "Switch";  // boot mode of the next start
  std::string running;               // opcode image the running mode started from
  int downtime = 5;                  // seconds port 22 refuses during a restart
  bool unsaved = false;              // configuration changed since the last save
  std::string restart = "none";      // none | requested | down
  std::string boot_fault;            // fault kind applied at the pending start
  int supervisor = 0;                // pid of the port-22 supervisor, 0 if none
  int sessions = 0;                  // logins so far; numbers the sessions
  std::vector<qbsim_user> users;
  std::vector<qbsim_file> files;
  std::vector<qbsim_image> images;
  std::vector<qbsim_fault> faults;
  std::map<std::string, int> counts;  // uses of each command word so far
};

// The state a fresh module has: Switch mode running img_a.bin, img_b.bin as
// second image, one image each for EHM and TZR, user admin/secret.
qbsim_state qbsim_state_default(bool sim);

// Text form of a state and back. Parse returns false and says why (with the
// line number) in *err when a line is not understood; *st is then undefined.
std::string qbsim_state_format(const qbsim_state& st);
bool qbsim_state_parse(const std::string& text, qbsim_state* st, std::string* err);

// Files of a state directory.
std::string qbsim_state_file(const std::string& dir);
std::string qbsim_flash_dir(const std::string& dir, const std::string& mode);
std::string qbsim_received_file(const std::string& dir);
std::string qbsim_events_file(const std::string& dir);

// Creates DIR (and its flash and bin directories) holding state st, replacing
// any state there. Returns false with a reason in *err.
bool qbsim_state_init(const std::string& dir, const qbsim_state& st, std::string* err);

// Plain load and save without the lock (save replaces the file atomically).
bool qbsim_state_load(const std::string& dir, qbsim_state* st, std::string* err);
bool qbsim_state_save(const std::string& dir, const qbsim_state& st, std::string* err);

// Takes the directory's exclusive lock; returns its descriptor or -1.
int qbsim_state_lock(const std::string& dir);
void qbsim_state_unlock(int fd);

// Read-modify-write under the lock: loads, calls fn, saves if fn returned
// true. Returns false if the state could not be locked, loaded or saved.
bool qbsim_state_update(const std::string& dir, const std::function<bool(qbsim_state&)>& fn,
                        std::string* err);

// Counts one use of `command` and returns the faults that fire on it.
std::vector<qbsim_fault> qbsim_take_faults(const std::string& dir, const std::string& command);

// The raw bytes every session received, in order.
void qbsim_append_received(const std::string& dir, const char* data, size_t len);
std::string qbsim_read_received(const std::string& dir);

// One line of the module's own diary (events.log), time-stamped.
void qbsim_event(const std::string& dir, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// "Switch", "TZR" or "EHM" for a mode name in any case; "" for anything else.
std::string qbsim_canonical_mode(const std::string& name);

// The opcode image of `mode` with the startup flag `flag`; null if none.
qbsim_image* qbsim_find_flagged(qbsim_state& st, const std::string& mode, char flag);
qbsim_image* qbsim_find_image(qbsim_state& st, const std::string& mode, const std::string& name);

// Starts the module anew after a restart: the next boot mode with its startup
// image (bent by a pending boot fault), configuration saved, restart done.
void qbsim_apply_boot(qbsim_state& st);

// Whole file contents; false if it cannot be read.
bool qbsim_read_file(const std::string& path, std::string* out);

#endif
