// The stand-in behind its testbed: client dialogue, TFTP download, restart
// downtime on port 22, the simulator flavour, and a clean teardown. Both
// chains (stand-in client, and real plink with sshd) are exercised.
#include <dirent.h>

#include <cstdio>
#include <string>

#include "gtest/gtest.h"
#include "harness.h"

#ifndef DRIVE_SCRIPT
#define DRIVE_SCRIPT ""
#endif

namespace {

// Runs the scripted client (see drive.sh) as user admin.
e2e_result drive(const e2e_area& area, const std::vector<std::string>& steps, bool real,
                 int time_limit = 120) {
  std::vector<std::string> argv = {"/bin/bash", DRIVE_SCRIPT, "admin"};
  argv.insert(argv.end(), steps.begin(), steps.end());
  e2e_options o;
  o.real = real;
  o.time_limit = time_limit;
  return run_in_testbed(area, argv, o);
}

bool has(const std::string& s, const std::string& w) { return s.find(w) != std::string::npos; }

int count_of(const std::string& s, const std::string& w) {
  int n = 0;
  for (size_t p = s.find(w); p != std::string::npos; p = s.find(w, p + 1))
    n++;
  return n;
}

// Drives a reload, then probes port 22 every 0.2 s after the client ended and
// prints how long it refused ("closed_ms=N"), "open-at-once" if it answered
// right away, or "never-open" after give_up_ms.
std::string restart_probe_script(int give_up_ms) {
  return std::string("bash ") + DRIVE_SCRIPT +
         " admin '1:y\\n' '1:secret\\n' '1:reload\\r\\n' '2:y' '1:'\n"
         "t0=$(date +%s%N); first=1\n"
         "while :; do\n"
         "  if (exec 3<>/dev/tcp/127.0.0.1/22) 2>/dev/null; then\n"
         "    [ $first = 1 ] && echo open-at-once\n"
         "    echo closed_ms=$(( ($(date +%s%N) - t0) / 1000000 )); break\n"
         "  fi\n"
         "  first=0; sleep 0.2\n"
         "  [ $(( ($(date +%s%N) - t0) / 1000000 )) -gt " +
         std::to_string(give_up_ms) +
         " ] && { echo never-open; break; }\n"
         "done\n";
}

class Chain : public ::testing::TestWithParam<bool> {};

TEST_P(Chain, LoginReachesThePromptAndRunsOneCommand) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  e2e_result r = drive(area, {"1:y\\n", "1:secret\\n", "1:show loginsession\\r\\n", "1:quit\\n"},
                       GetParam());
  std::string t = transcript(area, r);
  EXPECT_EQ(r.status, 0) << t;
  EXPECT_TRUE(has(r.output, "host key") && has(r.output, "fingerprint") && has(r.output, "y/n"))
      << t;
  EXPECT_TRUE(has(r.output, "Using username \"admin\".\r\nadmin@127.0.0.1's password: ")) << t;
  EXPECT_TRUE(has(r.output, "qb-switch# show loginsession\r\nID ")) << t;
  EXPECT_TRUE(has(r.output, "rc=0")) << t;
  EXPECT_EQ(r.received, "show loginsession\r\nquit\n") << t;
}

TEST_P(Chain, WrongPasswordEndsAfterSixTries) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  std::vector<std::string> steps = {"1:y\\n"};
  for (int i = 0; i < 6; i++)
    steps.push_back("0.5:wrong\\n");
  steps.push_back("1:");
  e2e_result r = drive(area, steps, GetParam());
  std::string t = transcript(area, r);
  EXPECT_EQ(count_of(r.output, "password: "), 6) << t;
  EXPECT_EQ(count_of(r.output, "Access denied"), 5) << t;
  EXPECT_TRUE(has(r.output,
                  "FATAL ERROR: Remote side sent disconnect message\ntype 2 (protocol error):\n"
                  "\"Too many authentication failures\""))
      << t;
  EXPECT_TRUE(has(r.output, "rc=1")) << t;
  EXPECT_EQ(r.received, "") << t;
}

TEST_P(Chain, RestartRefusesPort22BeforeTheSessionEndsAndForTheDowntime) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  area.update([](qbsim_state& st) { st.downtime = 4; });
  std::string script = restart_probe_script(20000);
  e2e_options o;
  o.real = GetParam();
  o.time_limit = 120;
  e2e_result r = run_in_testbed(area, {"/bin/bash", "-c", script}, o);
  std::string t = transcript(area, r);
  EXPECT_TRUE(has(r.output, "System will now restart")) << t;
  EXPECT_FALSE(has(r.output, "open-at-once")) << t;
  size_t p = r.output.find("closed_ms=");
  ASSERT_NE(p, std::string::npos) << t;
  int ms = atoi(r.output.c_str() + p + 10);
  // The session itself outlives the closing by about 3 s of the downtime.
  EXPECT_GT(ms, 500) << t;
  EXPECT_LT(ms, 4000 + 3000) << t;
  EXPECT_EQ(area.state().restart, "none") << t;
}

INSTANTIATE_TEST_SUITE_P(Testbed, Chain, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return i.param ? "RealPlinkAndSshd" : "StandInClient";
                         });

TEST(Testbed, ModuleThatDoesNotComeBackKeepsPort22Closed) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  area.update([](qbsim_state& st) { st.downtime = 1; });
  ASSERT_TRUE(area.add_fault("no-return", "reload", 1));
  e2e_result r = run_in_testbed(area, {"/bin/bash", "-c", restart_probe_script(5000)});
  std::string t = transcript(area, r);
  EXPECT_TRUE(has(r.output, "System will now restart")) << t;
  EXPECT_TRUE(has(r.output, "never-open")) << t;
}

TEST(Testbed, DownloadStoresTheServersBytesAsTheSecondImage) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(area.add_tftp_image("images/new.bin", 300001, 9));
  e2e_result r = drive(area,
                       {"1:y\\n", "1:secret\\n", "1:delete img_b.bin\\r\\n", "2:y",
                        "1:copy tftp://127.0.0.1/images/new.bin image new.bin\\r\\n", "2:y",
                        "8:quit\\n"},
                       false);
  std::string t = transcript(area, r);
  EXPECT_TRUE(has(r.output, "transfer operation completed\r\nqb-switch# ")) << t;
  std::string stored, served;
  ASSERT_TRUE(qbsim_read_file(qbsim_flash_dir(area.state_dir, "Switch") + "/new.bin", &stored))
      << t;
  ASSERT_TRUE(qbsim_read_file(area.tftp_root + "/images/new.bin", &served));
  EXPECT_TRUE(stored == served) << t;
  qbsim_state st = area.state();
  qbsim_image* img = qbsim_find_image(st, "Switch", "new.bin");
  ASSERT_NE(img, nullptr) << t;
  EXPECT_EQ(img->startup, 'N');
  EXPECT_EQ(img->size, 300001);
}

// Without care the client of the download takes what follows a '#' for a
// fragment and asks the server for another file.
TEST(Testbed, DownloadOfANameWithAHashFetchesThatFile) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(area.add_tftp_image("new#1.bin", 3001, 5));
  area.update([](qbsim_state& st) { st.images.erase(st.images.begin() + 1); });
  e2e_result r = drive(area,
                       {"1:y\\n", "1:secret\\n",
                        "1:copy tftp://127.0.0.1/new#1.bin image new#1.bin\\r\\n", "2:y",
                        "7:quit\\n"},
                       false);
  std::string t = transcript(area, r);
  EXPECT_TRUE(has(r.output, "transfer operation completed")) << t;
  std::string stored, served;
  ASSERT_TRUE(qbsim_read_file(qbsim_flash_dir(area.state_dir, "Switch") + "/new#1.bin", &stored))
      << t;
  ASSERT_TRUE(qbsim_read_file(area.tftp_root + "/new#1.bin", &served));
  EXPECT_TRUE(stored == served) << t;
  qbsim_state st = area.state();
  EXPECT_NE(qbsim_find_image(st, "Switch", "new#1.bin"), nullptr) << t;
}

TEST(Testbed, FileMissingOnTheServerFailsTheTransfer) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  area.update([](qbsim_state& st) { st.images.erase(st.images.begin() + 1); });
  e2e_result r = drive(area,
                       {"1:y\\n", "1:secret\\n",
                        "1:copy tftp://127.0.0.1/nothing.bin image nothing.bin\\r\\n", "2:y",
                        "5:quit\\n"},
                       false);
  std::string t = transcript(area, r);
  EXPECT_TRUE(has(r.output, "File transfer failed: file not found on the server\r\nqb-switch# "))
      << t;
  EXPECT_EQ(area.state().images.size(), 3u) << t;
}

TEST(Testbed, SimulatorFlavourRunsQbCommandsAndQbQuitEndsTheLogin) {
  e2e_area area(true);
  ASSERT_TRUE(area.ok);
  e2e_result r = drive(area,
                       {"1:y\\n", "1:secret\\n", "1:qb_dir opcode\\r\\n",
                        "1:qb_boot_system mode TZR\\r\\n", "1:qb_quit\\n", "2:y\\n", "1:exit\\n"},
                       false);
  std::string t = transcript(area, r);
  EXPECT_TRUE(has(r.output, "qb-switch$ qb_dir opcode\r\ndate ")) << t;
  EXPECT_TRUE(has(r.output, "Configuration Saved")) << t;
  EXPECT_TRUE(has(r.output, "rc=0")) << t;
  EXPECT_FALSE(has(r.output, "command not found")) << t;
  EXPECT_EQ(area.state().next_mode, "TZR") << t;
  EXPECT_TRUE(has(r.received, "qb_quit\ny")) << t;
}

TEST(Testbed, LoginFaultsLandWithoutPasswordOrInAPlainShell) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(area.add_fault("no-password", "login", 1));
  ASSERT_TRUE(area.add_fault("shell", "login", 2));
  e2e_result r = drive(area, {"1:y\\n", "1:quit\\n"}, false);
  std::string t = transcript(area, r);
  EXPECT_FALSE(has(r.output, "password:")) << t;
  EXPECT_TRUE(has(r.output, "qb-switch# ")) << t;
  r = drive(area, {"1:secret\\n", "1:whichboot\\r\\n", "1:exit\\n"}, false);
  t = transcript(area, r);
  EXPECT_TRUE(has(r.output, "bash: whichboot: command not found")) << t;
}

TEST(Testbed, DropInTheMiddleOfCopyBreaksTheConnection) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(area.add_fault("drop", "copy", 1));
  ASSERT_TRUE(area.add_tftp_image("x.bin", 1000));
  area.update([](qbsim_state& st) { st.images.erase(st.images.begin() + 1); });
  e2e_result r = drive(area,
                       {"1:y\\n", "1:secret\\n", "1:copy tftp://127.0.0.1/x.bin image x.bin\\r\\n",
                        "2:y", "3:"},
                       false);
  std::string t = transcript(area, r);
  EXPECT_TRUE(has(r.output, "code transfer starting")) << t;
  EXPECT_TRUE(has(r.output, "FATAL ERROR: Remote side unexpectedly closed network connection"))
      << t;
  EXPECT_TRUE(has(r.output, "rc=1")) << t;
}

TEST(Testbed, AbortEndsTheClientWithTheConnectionAbortText) {
  for (bool sim : {false, true}) {
    SCOPED_TRACE(sim ? "simulator" : "CLI");
    e2e_area area(sim);
    ASSERT_TRUE(area.ok);
    ASSERT_TRUE(area.add_fault("abort", "dir", 1));
    std::string dir = sim ? "qb_dir opcode" : "dir opcode";
    e2e_result r = drive(area, {"1:y\\n", "1:secret\\n", "1:" + dir + "\\r\\n", "2:"}, false);
    std::string t = transcript(area, r);
    EXPECT_TRUE(has(r.output, dir + "\r\ndate ")) << t;
    EXPECT_FALSE(has(r.output, "Total:")) << t;
    EXPECT_TRUE(has(r.output, "FATAL ERROR: Network error: Software caused connection abort\r\n"))
        << t;
    EXPECT_TRUE(has(r.output, "rc=1")) << t;
  }
}

// Processes whose command line names the area, as "PID: COMMAND" lines.
std::string processes_of(const e2e_area& area) {
  DIR* d = opendir("/proc");
  if (d == nullptr)
    return "cannot read /proc";
  std::string left;
  while (struct dirent* e = readdir(d)) {
    std::string cmd;
    if (!qbsim_read_file(std::string("/proc/") + e->d_name + "/cmdline", &cmd))
      continue;
    for (char& c : cmd)
      if (c == '\0')
        c = ' ';
    if (has(cmd, area.root))
      left += std::string(e->d_name) + ": " + cmd + "\n";
  }
  closedir(d);
  return left;
}

TEST(Testbed, NothingIsLeftRunningAfterANormalEnd) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  e2e_result r = drive(area, {"1:y\\n", "1:secret\\n", "1:quit\\n"}, true);
  EXPECT_EQ(r.status, 0) << transcript(area, r);
  EXPECT_EQ(processes_of(area), "");
}

TEST(Testbed, NothingIsLeftRunningAfterTheTimeLimit) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  // The session never ends by itself: the client's end of input is no logout.
  e2e_result r = drive(area, {"1:y\\n", "1:secret\\n", "1:"}, true, 8);
  EXPECT_TRUE(r.timed_out) << transcript(area, r);
  EXPECT_LT(r.seconds, 20) << transcript(area, r);
  EXPECT_EQ(processes_of(area), "");
}

}  // namespace
