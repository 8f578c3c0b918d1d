// The tool under valgrind's memcheck (MORVIK_BIN names the wrapper script)
// through an account check and a one-mode update against the stand-in: no
// memory error, no block definitely or indirectly lost.
#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_support.h"

#ifndef MEMCHECK_WRAPPER
#define MEMCHECK_WRAPPER ""
#endif

namespace {

// The reports of every process valgrind watched, each under its file name.
struct memcheck_logs {
  std::string text;
  int with_summary = 0;  // reports of processes that ran to their end
  bool clean = true;     // every such report without errors and losses
};

bool has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

memcheck_logs read_logs(const std::string& dir) {
  memcheck_logs logs;
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.compare(0, 9, "valgrind-") == 0)
        names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string text;
    qbsim_read_file(dir + "/" + name, &text);
    logs.text += "==== " + name + ":\n" + text;
    // The forked client's report ends at its exec, before any summary.
    if (!has(text, "ERROR SUMMARY:"))
      continue;
    logs.with_summary++;
    const bool no_leaks = has(text, "All heap blocks were freed -- no leaks are possible") ||
                          (has(text, "definitely lost: 0 bytes in 0 blocks") &&
                           has(text, "indirectly lost: 0 bytes in 0 blocks"));
    if (!has(text, "ERROR SUMMARY: 0 errors from 0 contexts") || !no_leaks)
      logs.clean = false;
  }
  return logs;
}

class MemCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    // ctest names the wrapper; a run by hand gets the one of this build.
    setenv("MORVIK_BIN", MEMCHECK_WRAPPER, 0);
    ASSERT_TRUE(area_.ok);
  }

  void expect_clean(const e2e_result& r) {
    memcheck_logs logs = read_logs(area_.work_dir);
    std::string shown = transcript(area_, r) + "==== valgrind:\n" + logs.text;
    EXPECT_EQ(r.status, 0) << shown;
    EXPECT_EQ(logs.with_summary, 1) << shown;
    EXPECT_TRUE(logs.clean) << shown;
  }

  e2e_area area_;
};

TEST_F(MemCheck, AccountCheckIsClean) {
  e2e_result r = run_tool(area_, {"-host", "127.0.0.1", "-usr", "admin", "-pwd", "secret",
                                  "-mode", "account_check", "-D", "debug"});
  expect_clean(r);
}

TEST_F(MemCheck, OneModeUpdateIsClean) {
  ASSERT_TRUE(add_update_images(area_));
  e2e_options options;
  options.time_limit = 900;
  e2e_result r = run_tool(area_, update_args(false, "debug"), options);
  expect_clean(r);
  EXPECT_TRUE(has(r.output, "System was successfully flashed for mode 'Switch'"))
      << transcript(area_, r);
}

}  // namespace
