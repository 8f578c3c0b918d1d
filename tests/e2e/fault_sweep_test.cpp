// An update of both modes, broken at each remote step in turn in each of three
// ways: the client is killed, the module drops the connection, the module
// falls silent. Each case must end with the code its step and fault call for,
// leave no client running, and leave a module that boots in every mode. Each
// case writes one row of the table that FaultSweepTable.Write puts together.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "watch_support.h"

#ifndef SWEEP_RESULTS_DIR
#define SWEEP_RESULTS_DIR "/tmp/morvik-sweep-results"
#endif

namespace {

// The remote steps of an update of both modes from Switch, as the module
// counts them: the n-th use of a command word.
struct sweep_step {
  const char* what;
  const char* command;
  int occurrence;
};

const sweep_step STEPS[] = {
    {"whichboot", "whichboot", 1},
    {"dir opcode", "dir", 1},
    {"delete img_b.bin", "delete", 1},
    {"dir opcode img_b.bin", "dir", 2},
    {"copy img_c.bin", "copy", 1},
    {"dir opcode", "dir", 3},
    {"boot-system opcode img_c.bin", "boot-system", 1},
    {"reload", "reload", 1},
    {"whichboot", "whichboot", 2},
    {"boot-system mode TZR", "boot-system", 2},
    {"reload", "reload", 2},
    {"whichboot", "whichboot", 3},
    {"dir opcode", "dir", 4},
    {"delete tzr_b.bin", "delete", 2},
    {"dir opcode tzr_b.bin", "dir", 5},
    {"copy tzr_c.bin", "copy", 2},
    {"dir opcode", "dir", 6},
    {"boot-system opcode tzr_c.bin", "boot-system", 3},
    {"reload", "reload", 3},
    {"whichboot", "whichboot", 4},
    {"boot-system mode Switch", "boot-system", 4},
    {"reload", "reload", 4},
};
const int STEP_COUNT = sizeof(STEPS) / sizeof(STEPS[0]);
// The last two steps return the module to its initial mode, whose failure the
// tool only warns about.
const int FIRST_RETURN_STEP = 21;

struct sweep_case {
  int step;           // 1-based index into STEPS
  const char* fault;  // kill-client, drop, silence
  bool announced;     // reload only: after "System will now restart"
};

// Whether the broken session makes its step fail. After the restart was
// announced, losing the connection, the client or the module's voice is the
// reload's normal end: an announcement still unread when the client died is
// read and counts.
bool step_fails(const sweep_case& c) {
  return !c.announced;
}

// Seconds a case takes, roughly: a step is about 11 s, a silence adds the
// step's idle time-out, and a step that does not fail runs the update to its end.
int expected_seconds(const sweep_case& c) {
  const std::string command = STEPS[c.step - 1].command;
  int wait = 0;
  if (std::string(c.fault) == "silence")
    wait = command == "copy" ? 1200 : command == "reload" ? 60 : 10;
  return (step_fails(c) ? c.step * 11 : STEP_COUNT * 12) + wait;
}

// Longest first, so that a parallel run does not end waiting for them.
std::vector<sweep_case> all_cases() {
  std::vector<sweep_case> cases;
  for (int step = 1; step <= STEP_COUNT; step++) {
    for (const char* fault : {"silence", "drop", "kill-client"}) {
      if (std::string(STEPS[step - 1].command) == "reload")
        cases.push_back({step, fault, true});
      cases.push_back({step, fault, false});
    }
  }
  std::stable_sort(cases.begin(), cases.end(), [](const sweep_case& a, const sweep_case& b) {
    return expected_seconds(a) > expected_seconds(b);
  });
  return cases;
}

std::string case_name(const sweep_case& c) {
  char name[80];
  snprintf(name, sizeof(name), "s%02d_%s_%s%s", c.step, STEPS[c.step - 1].command, c.fault,
           c.announced ? "_announced" : "");
  std::string n = name;
  std::replace(n.begin(), n.end(), '-', '_');
  return n;
}

// What the tool must end with. A broken session ends before the answer was
// parsed: the client's end stops the dialogue in EXEC_REMOTE (7), and a module
// that says nothing more runs into the idle time-out (8). The return to the
// initial mode may fail with a warning only (0).
int expected_code(const sweep_case& c) {
  if (!step_fails(c) || c.step >= FIRST_RETURN_STEP)
    return 0;
  return std::string(c.fault) == "silence" ? 8 : 7;
}

std::string fault_label(const sweep_case& c) {
  return std::string(c.fault) + (c.announced ? " after the announcement" : "");
}

const std::set<std::string> INITIAL_IMAGES = {"img_a.bin", "img_b.bin", "tzr_a.bin", "tzr_b.bin",
                                              "ehm_a.bin"};

// The pacing the sweep runs under: the tool's default, or $MORVIK_TEST_PACE.
std::string sweep_pace() {
  const char* pace = getenv("MORVIK_TEST_PACE");
  return pace != nullptr && *pace != '\0' ? pace : "settle";
}

std::string row_file(const sweep_case& c, const std::string& pace) {
  return std::string(SWEEP_RESULTS_DIR) + "/" + pace + "/" + case_name(c) + ".row";
}

// One table row per case and pacing, in a file named so that sorting orders
// the table.
void write_row(const sweep_case& c, const std::string& row) {
  mkdir(SWEEP_RESULTS_DIR, 0755);
  mkdir((std::string(SWEEP_RESULTS_DIR) + "/" + sweep_pace()).c_str(), 0755);
  std::string file = row_file(c, sweep_pace());
  FILE* f = fopen(file.c_str(), "w");
  if (f != nullptr) {
    fputs(row.c_str(), f);
    fclose(f);
  }
}

std::string count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    n++;
  return std::to_string(n);
}

class FaultSweep : public ::testing::TestWithParam<sweep_case> {};

TEST_P(FaultSweep, EndsWithItsCodeLeavesNoClientAndABootableModule) {
  const sweep_case c = GetParam();
  const sweep_step& step = STEPS[c.step - 1];
  e2e_area area;
  ASSERT_TRUE(area.ok);
  // A second image in TZR too, so that its update also deletes one.
  ASSERT_TRUE(area.update([](qbsim_state& st) {
    st.images.push_back({"TZR", "tzr_b.bin", 'N', "2009-01-20", 770048});
  }));
  ASSERT_TRUE(add_update_images(area));
  ASSERT_TRUE(area.add_fault(c.fault, step.command, step.occurrence, c.announced ? "announced" : ""));

  e2e_options opt;
  // A silent copy is waited for 20 minutes.
  opt.time_limit = std::string(step.command) == "copy" && !c.announced &&
                           std::string(c.fault) == "silence"
                       ? 2400
                       : 900;
  e2e_result r = run_in_testbed(area, watched(area, update_args(true)), opt);
  watch_report rep = read_report(area);
  qbsim_state st = area.state();
  std::string events;
  qbsim_read_file(qbsim_events_file(area.state_dir), &events);
  std::string trouble = boot_problem(area, st, INITIAL_IMAGES);
  std::string left = rep.count("live_clients_after") != 0 ? rep["live_clients_after"] : "(no report)";

  char row[640];
  snprintf(row, sizeof(row), "| %d | %s | %s | %d | %d%s | %s | %s%s | %.0f s |\n", c.step,
           step.what, fault_label(c).c_str(), expected_code(c), r.status,
           r.status == expected_code(c) ? "" : " (differs)", left.empty() ? "none" : left.c_str(),
           boot_summary(st).c_str(), trouble.empty() ? "" : (" **not bootable: " + trouble + "**").c_str(),
           r.seconds);
  write_row(c, row);

  const std::string t = transcript(area, r);
  EXPECT_EQ(r.status, expected_code(c)) << t;
  EXPECT_EQ(count_of(events, "fault " + std::string(c.fault) + " fires on " + step.command), "1")
      << "the fault did not fire exactly once\n" << t;
  if (std::string(c.fault) == "kill-client") {
    EXPECT_NE(events.find("] client "), std::string::npos) << t;
  }
  const std::string warning = "Cannot reload the system to initial mode 'Switch'";
  const std::string canceled = "Flashing was canceled with error " + std::to_string(expected_code(c));
  if (!step_fails(c)) {
    EXPECT_EQ(r.output.find(warning), std::string::npos) << t;
  } else if (c.step >= FIRST_RETURN_STEP) {
    EXPECT_NE(r.output.find(warning), std::string::npos) << t;
  } else {
    EXPECT_NE(r.output.find(canceled), std::string::npos) << t;
  }
  EXPECT_EQ(left, "") << "clients still running after the tool ended\n" << t;
  EXPECT_EQ(report_number(rep, "max_children"), 1) << t;
  EXPECT_LT(report_number(rep, "zombie_max_sec"), 5) << t;
  EXPECT_EQ(report_number(rep, "stray_fd_samples"), 0) << rep["stray_fds"] << "\n" << t;
  EXPECT_EQ(trouble, "") << boot_summary(st) << "\n" << t;
}

INSTANTIATE_TEST_SUITE_P(Sweep, FaultSweep, ::testing::ValuesIn(all_cases()),
                         [](const ::testing::TestParamInfo<sweep_case>& info) {
                           return case_name(info.param);
                         });

// Puts the rows of the cases that ran into one table ($MORVIK_SWEEP_TABLE,
// else fault-sweep.md in the results' parent directory).
TEST(FaultSweepTable, Write) {
  const char* env = getenv("MORVIK_SWEEP_TABLE");
  std::string results = SWEEP_RESULTS_DIR;
  std::string out_path = env != nullptr && *env != '\0'
                             ? env
                             : results.substr(0, results.rfind('/')) + "/fault-sweep.md";
  std::string table =
      "# Fault sweep: an update of both modes, broken at every remote step\n\n"
      "Written by the `sweep` tests (`tests/e2e/fault_sweep_test.cpp`, run with\n"
      "`scripts/sweep`); do not edit by hand.\n\n"
      "The module starts in Switch, running `img_a.bin` with `img_b.bin` as second\n"
      "image; TZR holds `tzr_a.bin` and `tzr_b.bin`, EHM `ehm_a.bin`. The tool runs\n"
      "`-mode update both -img_sw img_c.bin -img_tzr tzr_c.bin` through the stand-in\n"
      "client. One fault per run, on the step's command:\n\n"
      "- kill-client: the client dies by SIGKILL 0.2 s after the module echoed the\n"
      "  command (copy: after \"TFTP code transfer starting\");\n"
      "- drop: the module closes the connection 1 s after the echo (copy: after\n"
      "  \"TFTP code transfer starting\"); the client reports it and ends;\n"
      "- silence: the module says nothing more after the echo;\n"
      "- after the announcement (reload only): the same after \"System will now\n"
      "  restart\", the restart itself going ahead (drop 3 s later; kill-client\n"
      "  0.2 s later).\n\n"
      "Expected: 7 when the session ends before the answer was parsed, 8 when the\n"
      "module falls silent (idle time-out: 10 s, copy 1200 s, reload 60 s), 0 for\n"
      "the reload's normal end after its announcement (the announcement counts even\n"
      "when it was still unread as the client died) and for the return to the\n"
      "initial mode (steps 21 and 22), which only warns. \"Left running\" lists\n"
      "clients alive after the tool ended; \"module after\" the startup image of\n"
      "each mode (each checked to be bootable) and the mode it runs.\n\n"
      "The sweep runs under both pacings: the tool's default (settle) and\n"
      "`-pace prompt`.\n";
  std::vector<sweep_case> cases = all_cases();
  std::sort(cases.begin(), cases.end(), [](const sweep_case& a, const sweep_case& b) {
    return case_name(a) < case_name(b);
  });
  int missing = 0;
  for (const char* pace : {"settle", "prompt"}) {
    table += std::string("\n## ") + pace + " pacing\n\n" +
             "| # | step | fault | expected | exit | left running | module after | time |\n"
             "|---|---|---|---|---|---|---|---|\n";
    for (const sweep_case& c : cases) {
      std::string row;
      if (!qbsim_read_file(row_file(c, pace), &row)) {
        missing++;
        char buf[200];
        snprintf(buf, sizeof(buf), "| %d | %s | %s | %d | not run | | | |\n", c.step,
                 STEPS[c.step - 1].what, fault_label(c).c_str(), expected_code(c));
        row = buf;
      }
      table += row;
    }
  }
  FILE* f = fopen(out_path.c_str(), "w");
  ASSERT_NE(f, nullptr) << out_path;
  fputs(table.c_str(), f);
  fclose(f);
  printf("fault sweep table: %s (%d of %zu cases not run)\n", out_path.c_str(), missing,
         2 * cases.size());
}

}  // namespace
