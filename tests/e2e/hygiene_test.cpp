// The running tool seen from outside through /proc: between sessions it holds
// its standard streams only, every client is reaped and none outlives it, and
// neither its command line nor its clients' ever shows the password, which
// its debug output keeps to itself as well.
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e_support.h"
#include "watch_support.h"

namespace {

// A password that no other text of a run contains by chance.
const std::string PASSWORD = "Zq7-pw-4417";

bool use_password(const e2e_area& area) {
  return area.update([](qbsim_state& st) { st.users[0].password = PASSWORD; });
}

std::vector<std::string> account_check(const std::string& trace) {
  return {"-host", "127.0.0.1", "-usr", "admin", "-pwd", PASSWORD, "-mode", "account_check",
          "-D",    trace};
}

// The watcher must see each fault it is there to catch, or its silence
// proves nothing: a descriptor kept past its use, a child left a zombie, a
// secret on a command line, and a client that lives on.
TEST(Watcher, SeesEveryFaultItIsMeantToCatch) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  std::string client = area.root + "/plink";
  ASSERT_EQ(symlink("/bin/sleep", client.c_str()), 0);
  std::vector<std::string> leaky = {
      toolwatch_bin(), "--report", report_path(area), "--secret", "hunter2", "--", "/bin/bash",
      "-c", "exec 7</etc/hostname; setsid -f " + client + " 4; exec -a hunter2 /bin/sleep 1.5"};
  e2e_result r = run_in_testbed(area, leaky);
  watch_report rep = read_report(area);
  EXPECT_GE(report_number(rep, "stray_fd_samples"), 1) << transcript(area, r);
  EXPECT_GE(report_number(rep, "secret_in_cmdline"), 1) << transcript(area, r);
  EXPECT_NE(rep["live_clients_after"], "") << transcript(area, r);

  std::vector<std::string> unreaped = {toolwatch_bin(), "--report", report_path(area), "--",
                                       "/bin/bash", "-c", "/bin/sleep 0.3 & exec /bin/sleep 2.5"};
  r = run_in_testbed(area, unreaped);
  rep = read_report(area);
  EXPECT_GE(report_number(rep, "zombie_max_sec"), 1) << transcript(area, r);
  EXPECT_EQ(report_number(rep, "max_children"), 1) << transcript(area, r);
}

TEST(Hygiene, UpdateKeepsOnlyItsStreamsReapsEveryClientAndHidesThePassword) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(use_password(area));
  ASSERT_TRUE(add_update_images(area));
  std::vector<std::string> args = with_option(update_args(false, "debug"), "-pwd", PASSWORD);
  e2e_result r = run_in_testbed(area, watched(area, args, PASSWORD));
  watch_report rep = read_report(area);
  const std::string t = transcript(area, r);
  ASSERT_EQ(r.status, 0) << t;
  // Watched ten times a second: at least half of that on a loaded machine.
  EXPECT_GT(report_number(rep, "samples"), 5 * r.seconds) << t;
  EXPECT_EQ(report_number(rep, "stray_fd_samples"), 0) << rep["stray_fds"] << "\n" << t;
  EXPECT_EQ(report_number(rep, "max_children"), 1) << t;
  EXPECT_LT(report_number(rep, "zombie_max_sec"), 3) << t;
  EXPECT_EQ(rep["live_clients_after"], "") << t;
  EXPECT_EQ(report_number(rep, "secret_in_cmdline"), 0) << rep["secret_where"] << "\n" << t;
  EXPECT_EQ(r.raw_output.find(PASSWORD), std::string::npos) << t;
}

TEST(PasswordExposure, AccountCheckKeepsItOffEveryCommandLineAndOutOfTheDebugOutput) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(use_password(area));
  e2e_result r = run_in_testbed(area, watched(area, account_check("debug"), PASSWORD));
  watch_report rep = read_report(area);
  const std::string t = transcript(area, r);
  ASSERT_EQ(r.status, 0) << t;
  EXPECT_EQ(report_number(rep, "secret_in_cmdline"), 0) << rep["secret_where"] << "\n" << t;
  EXPECT_EQ(r.raw_output.find(PASSWORD), std::string::npos) << t;
}

// Over real plink and sshd the client prompts for the password itself.
TEST(RealChain, AccountCheckKeepsThePasswordOffEveryCommandLine) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(use_password(area));
  e2e_result r =
      run_in_testbed(area, watched(area, account_check("debug"), PASSWORD), real_chain());
  watch_report rep = read_report(area);
  const std::string t = transcript(area, r);
  ASSERT_EQ(r.status, 0) << t;
  EXPECT_EQ(report_number(rep, "secret_in_cmdline"), 0) << rep["secret_where"] << "\n" << t;
  EXPECT_EQ(r.raw_output.find(PASSWORD), std::string::npos) << t;
  EXPECT_EQ(rep["live_clients_after"], "") << t;
}

}  // namespace
