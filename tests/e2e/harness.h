// End-to-end harness: a temporary module (state, TFTP root, work directory)
// per test, and runs of the tool against it through qbsim/testbed.
#ifndef MORVIK_TESTS_E2E_HARNESS_H
#define MORVIK_TESTS_E2E_HARNESS_H

#include <functional>
#include <string>
#include <vector>

#include "module_state.h"

// A stand-in module's state directory, and what tests read and change there.
struct e2e_state {
  std::string state_dir;

  // The module state as it is now, and changes to it (under its lock).
  qbsim_state state() const;
  bool update(const std::function<void(qbsim_state&)>& fn) const;
  // Adds a fault: `kind` on the `occurrence`-th `command` (0: every one).
  bool add_fault(const std::string& kind, const std::string& command, int occurrence,
                 const std::string& arg = "") const;
  // All bytes the module has received so far.
  std::string received() const;
};

// A test's own module. The directory tree lies under /tmp and is removed
// when the area goes, unless the running test has failed or `keep` is set.
struct e2e_area : e2e_state {
  // Creates ROOT/{state,tftp,work} with the default module state (the
  // simulator flavour with sim). `ok` tells whether that worked.
  explicit e2e_area(bool sim = false);
  ~e2e_area();
  e2e_area(const e2e_area&) = delete;
  e2e_area& operator=(const e2e_area&) = delete;

  std::string root;
  std::string tftp_root;
  std::string work_dir;
  bool ok = false;
  bool keep = false;

  // Writes an image of `size` bytes (contents differ by `seed`) at
  // TFTP_ROOT/rel_path, creating directories on the way.
  bool add_tftp_image(const std::string& rel_path, long size, unsigned seed = 1) const;
};

struct e2e_options {
  bool real = false;      // real plink and sshd instead of the stand-in client
  int time_limit = 600;   // seconds, after which the run is killed
  // A shell command run in the testbed's namespaces once port 22 is up and
  // before the command (e.g. a packet filter); if it fails, the run ends
  // with status 2 and its output is in WORK/setup.log.
  std::string setup;
  // A new sshd host key for this run (testbed --new-host-key): a client that
  // cached the module's key from an earlier run meets a changed one.
  bool new_host_key = false;
  // "NAME=VALUE" entries added to the command's clean environment (an entry
  // replaces one of the same name; the testbed itself keeps the clean one).
  std::vector<std::string> env;
  // The testbed's options for the module's SSH server in the real chain
  // (--sshd-option LINE, --dropbear, --dropbear-option ARG, --host-key-type
  // TYPE). The real client is $MORVIK_TEST_PLINK when set, else the system's.
  std::vector<std::string> server;
};

struct e2e_result {
  int status = -1;          // exit status of the command; -1 if killed or not run
  bool timed_out = false;
  std::string output;       // stdout and stderr, "HH:MM:SS: " stamps removed
  std::string raw_output;   // the same as printed
  double seconds = 0;       // wall time of the whole testbed run
  std::string received;     // bytes the module received during this run
  std::string command;      // what was run, for the transcript
  std::string sanitizer_reports;  // what sanitized programs of this run reported
};

// Several modules on one management network (testbed --modules, always over
// real plink and sshd): module i answers at 127.0.0.(i+2) and keeps its state
// in ROOT/modules/ADDRESS; one TFTP server on 127.0.0.1 (ROOT/tftp) and one
// work directory (ROOT/work) serve them all. Kept or removed like e2e_area.
struct e2e_module : e2e_state {
  std::string address;
};

struct e2e_modules_area {
  // count modules with the default state (the simulator flavour with sim).
  explicit e2e_modules_area(int count, bool sim = false);
  ~e2e_modules_area();
  e2e_modules_area(const e2e_modules_area&) = delete;
  e2e_modules_area& operator=(const e2e_modules_area&) = delete;

  std::string root;
  std::string modules_dir;
  std::string tftp_root;
  std::string work_dir;
  std::vector<e2e_module> modules;
  bool ok = false;
  bool keep = false;

  bool add_tftp_image(const std::string& rel_path, long size, unsigned seed = 1) const;
};

// Runs argv (argv[0] an absolute path or a name in /usr/bin, /bin ...) in
// WORK of the area's testbed, with only PATH=/usr/sbin:/usr/bin:/sbin:/bin,
// MORVIK_LOCK_DIR=ROOT/lock (the tool's per-host locks stay in the area), the
// testbed's variables, the sanitizers' report options and opt.env in its
// environment. A sanitizer report of any program of the run fails the
// running test and is kept in sanitizer_reports.
e2e_result run_in_testbed(const e2e_area& area, const std::vector<std::string>& argv,
                          const e2e_options& opt = e2e_options());

// The same for several modules; opt.real does not apply (always the real
// chain), and `received` stays empty: each module has its own.
e2e_result run_in_testbed(const e2e_modules_area& area, const std::vector<std::string>& argv,
                          const e2e_options& opt = e2e_options());

// Runs the tool (morvik_bin()) with args through the testbed.
e2e_result run_tool(const e2e_area& area, const std::vector<std::string>& args,
                    const e2e_options& opt = e2e_options());
e2e_result run_tool(const e2e_modules_area& area, const std::vector<std::string>& args,
                    const e2e_options& opt = e2e_options());

// Everything a failing test should show: the command, its status, its output,
// what the module received, and the tails of the module's and testbed's logs
// (for several modules, those of each).
std::string transcript(const e2e_area& area, const e2e_result& r);
std::string transcript(const e2e_modules_area& area, const e2e_result& r);

// Removes the leading "HH:MM:SS: " of every line.
std::string strip_time_stamps(const std::string& text);
// Bytes with CR, LF and other control characters spelt out (\r, \n, \xNN).
std::string visible_bytes(const std::string& bytes);

// The sanitizers' options for a run whose reports are to land in files
// log_base.PID: inherited, the log path added last so that it wins.
std::string sanitizer_env(const char* name, const char* inherited, const std::string& log_base);
// The contents of every report file log_base.* (each under a heading), which
// it removes, so that the next run starts without them.
std::string take_sanitizer_reports(const std::string& log_base);

// args with "-pace" and $MORVIK_TEST_PACE added when that is set and args
// name no pacing: the same tests run under each pacing.
std::vector<std::string> with_test_pace(const std::vector<std::string>& args);

// The tool: $MORVIK_BIN, else the path the build compiled in ("" if none).
std::string morvik_bin();
// The stand-in program and the testbed script of this build.
std::string qbsim_bin();
std::string testbed_script();

#endif
