// The stand-in behind its testbed: client dialogue, TFTP download, restart
// downtime on port 22, the simulator flavour, and a clean teardown. Both
// chains (stand-in client, and real plink with sshd) are exercised.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

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

// Drives a reload while a prober connects to port 22 every 0.1 s. Prints
// "open-after-session" if the port answered as soon as the client ended, and
// "closed_ms=N": from the start of the last answered try before the port
// closed to the end of the first answered try after it, which spans the whole
// time it refused however late the tries come on a busy machine;
// "never-open" if it still refused give_up_ms after the prober saw it closed.
std::string restart_probe_script(int give_up_ms) {
  return std::string(
             "now() { echo $(( $(date +%s%N) / 1000000 )); }\n"
             "answers() { (exec 3<>/dev/tcp/127.0.0.1/22) 2>/dev/null; }\n"
             "probe() {\n"
             "  local last_open='' closed_at='' t\n"
             "  while :; do\n"
             "    t=$(now)\n"
             "    if answers; then\n"
             "      [ -n \"$closed_at\" ] && { echo closed_ms=$(( $(now) - last_open )); return; }\n"
             "      last_open=$t\n"
             "    elif [ -z \"$closed_at\" ]; then closed_at=$t\n"
             "    elif [ $(( t - closed_at )) -gt ") +
         std::to_string(give_up_ms) +
         " ]; then echo never-open; return\n"
         "    fi\n"
         "    sleep 0.1\n"
         "  done\n"
         "}\n"
         "probe & prober=$!\n"
         "bash " +
         DRIVE_SCRIPT +
         " admin '1:y\\n' '1:secret\\n' '1:reload\\r\\n' '2:y' '1:'\n"
         "answers && echo open-after-session\n"
         "wait $prober\n";
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
  // The session stays 3 s after the closing; the rest of the downtime leaves
  // the client time to end on a busy machine while the port still refuses.
  const int downtime = 8;
  area.update([](qbsim_state& st) { st.downtime = downtime; });
  e2e_options o;
  o.real = GetParam();
  o.time_limit = 120;
  e2e_result r = run_in_testbed(area, {"/bin/bash", "-c", restart_probe_script(30000)}, o);
  std::string t = transcript(area, r);
  EXPECT_TRUE(has(r.output, "System will now restart")) << t;
  EXPECT_FALSE(has(r.output, "open-after-session")) << t;
  size_t p = r.output.find("closed_ms=");
  ASSERT_NE(p, std::string::npos) << t;
  int ms = atoi(r.output.c_str() + p + 10);
  EXPECT_GE(ms, downtime * 1000) << t;
  EXPECT_LT(ms, (downtime + 10) * 1000) << t;
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

// Whether the module at state_dir keeps image in Switch mode with the bytes
// of the server's file at served.
::testing::AssertionResult stored_as_served(const std::string& state_dir, const std::string& image,
                                            const std::string& served) {
  std::string stored_bytes, served_bytes;
  if (!qbsim_read_file(qbsim_flash_dir(state_dir, "Switch") + "/" + image, &stored_bytes))
    return ::testing::AssertionFailure() << "the module holds no " << image;
  if (!qbsim_read_file(served, &served_bytes))
    return ::testing::AssertionFailure() << "cannot read " << served;
  if (stored_bytes != served_bytes)
    return ::testing::AssertionFailure() << image << " differs from " << served;
  return ::testing::AssertionSuccess();
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
  EXPECT_TRUE(stored_as_served(area.state_dir, "new.bin", area.tftp_root + "/images/new.bin"))
      << t;
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
  EXPECT_TRUE(stored_as_served(area.state_dir, "new#1.bin", area.tftp_root + "/new#1.bin")) << t;
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

bool write_text(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr)
    return false;
  bool ok = fputs(text.c_str(), f) >= 0;
  return fclose(f) == 0 && ok;
}

// Every password change replaces /etc/shadow by a rename. A running testbed's
// module accounts must outlive that. The "host" here is a mount namespace of
// the test's own with an overlay on /etc, so the real /etc/shadow stays as it is.
TEST(RealChain, HostReplacingItsShadowFileLeavesTheModuleAccountsAlone) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  const std::string w = area.work_dir, h = area.root + "/host";
  const std::string login = std::string("bash ") + DRIVE_SCRIPT + " admin";
  ASSERT_TRUE(write_text(area.root + "/logins.sh",
                         login + " '1:y\\n' '1:secret\\n' '1:quit\\n'\n"
                                 "touch first-login-done\n"
                                 "while [ ! -e shadow-replaced ]; do sleep 0.1; done\n" +
                             login + " '1:secret\\n' '1:quit\\n'\n"));
  ASSERT_TRUE(write_text(
      area.root + "/host.sh",
      "mkdir -p " + h + "/etc " + h + "/work || exit 1\n"
      "mount -t overlay overlay -o lowerdir=/etc,upperdir=" + h + "/etc,workdir=" + h +
          "/work /etc || exit 1\n"
          "bash " + testbed_script() + " --real --qbsim " + qbsim_bin() + " --state " +
          area.state_dir + " --work " + w + " --tftp-root " + area.tftp_root + " -- bash " +
          area.root + "/logins.sh &\n"
          "for i in $(seq 300); do [ -e " + w + "/first-login-done ] && break; sleep 0.1; done\n"
          "cp -p /etc/shadow /etc/shadow.new && mv /etc/shadow.new /etc/shadow &&\n"
          "  echo host replaced /etc/shadow\n"
          "touch " + w + "/shadow-replaced\n"
          "wait $!\n"));
  const std::string out = area.root + "/host.out";
  std::string cmd = "timeout -k 5 120 unshare --mount --propagation private bash " + area.root +
                    "/host.sh > " + out + " 2>&1";
  int rc = system(cmd.c_str());
  std::string text, sshd_log;
  qbsim_read_file(out, &text);
  qbsim_read_file(w + "/sshd.log", &sshd_log);
  const std::string t = text + "\n==== sshd.log:\n" + sshd_log;
  EXPECT_EQ(rc, 0) << t;
  EXPECT_TRUE(has(text, "host replaced /etc/shadow")) << t;
  EXPECT_EQ(count_of(text, "qb-switch# "), 2) << t;
  EXPECT_EQ(count_of(text, "rc=0"), 2) << t;
}

// A test's own packet filter, installed once port 22 is up: SYNs to port 22
// vanish, so a connect waits instead of being refused. A setup command that
// fails ends the run with 2 before the command runs.
TEST(Testbed, SetupCommandRunsInTheNamespacesBeforeTheCommand) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  e2e_options o;
  o.setup =
      "nft -f - <<'EOF'\n"
      "table inet drop22 {\n"
      "  chain input {\n"
      "    type filter hook input priority 0;\n"
      "    ip daddr 127.0.0.1 tcp dport 22 tcp flags & (syn | ack) == syn drop\n"
      "  }\n"
      "}\n"
      "EOF\n";
  e2e_result r = run_in_testbed(
      area, {"/bin/bash", "-c", "timeout 3 bash -c 'exec 3<>/dev/tcp/127.0.0.1/22'; echo rc=$?"},
      o);
  EXPECT_TRUE(has(r.output, "rc=124")) << transcript(area, r);  // timed out, not refused
  EXPECT_EQ(r.status, 0) << transcript(area, r);

  o.setup = "exit 3";
  r = run_in_testbed(area, {"/bin/bash", "-c", "echo command-ran"}, o);
  EXPECT_EQ(r.status, 2) << transcript(area, r);
  EXPECT_FALSE(has(r.output, "command-ran")) << transcript(area, r);
}

// Each area has its own lock directory for the tool; a test's own variables
// join the clean environment, replacing those of the same name.
TEST(Testbed, CommandGetsTheAreasLockDirectoryAndTheTestsVariables) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  e2e_options o;
  o.env = {"MORVIK_EXTRA=a b", "PATH=/usr/bin:/bin"};
  e2e_result r = run_in_testbed(area, {"/usr/bin/env"}, o);
  std::string t = transcript(area, r);
  EXPECT_TRUE(has(r.output, "\nMORVIK_LOCK_DIR=" + area.root + "/lock\n")) << t;
  EXPECT_TRUE(has(r.output, "\nMORVIK_EXTRA=a b\n")) << t;
  EXPECT_EQ(count_of(r.output, "PATH="), 1) << t;
  EXPECT_TRUE(has(r.output, "PATH=/usr/bin:/bin\n")) << t;
}

std::string state_text(const e2e_module& m) {
  std::string text;
  qbsim_read_file(qbsim_state_file(m.state_dir), &text);
  return text;
}

// Three modules on one network, each with its own sshd, state and accounts
// (one user name, two passwords), checked at once by one command; an update
// of one restarts it alone and changes its state alone.
TEST(RealChain, ModulesOnOneNetworkAnswerEachAtItsOwnAddress) {
  e2e_modules_area area(3);
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(area.modules[2].update([](qbsim_state& st) { st.users[0].password = "other"; }));
  std::string images = qbsim_bin() + " init --state " + area.root + "/images --tftp-root " +
                       area.tftp_root + "/images";
  ASSERT_EQ(system(("mkdir -p " + area.tftp_root + "/images && " + images).c_str()), 0);
  const std::string tool = morvik_bin();
  std::string checks;
  for (const auto& [address, password] :
       {std::pair<const char*, const char*>{"127.0.0.2", "secret"},
        {"127.0.0.3", "secret"},
        {"127.0.0.4", "other"}})
    checks += "{ " + tool + " -host " + address + " -usr admin -pwd " + password +
              " -mode account_check -D verbose; echo " + address + " rc=$?; } > check-" +
              address + ".log 2>&1 &\n";
  checks += "wait; cat check-*.log\n";
  e2e_result r = run_in_testbed(area, {"/bin/bash", "-c", checks});
  std::string t = transcript(area, r);
  for (const e2e_module& m : area.modules) {
    EXPECT_TRUE(has(r.output, m.address + " rc=0")) << t;
    EXPECT_EQ(m.received(), "show loginsession\r\nquit\n") << m.address << "\n" << t;
  }

  const std::string others_before = state_text(area.modules[0]) + state_text(area.modules[2]);
  std::string update =
      "probe() { while [ ! -e probe.stop ]; do for a in 127.0.0.2 127.0.0.4; do\n"
      "  (exec 3<>/dev/tcp/$a/22) 2>/dev/null || echo refused at $a; done; sleep 0.2; done; }\n"
      "probe & prober=$!\n" +
      tool +
      " -host 127.0.0.3 -usr admin -pwd secret -mode update -tftp 127.0.0.1/images"
      " -img_sw img_c.bin -img_tzr tzr_c.bin -D verbose; echo update rc=$?\n"
      "touch probe.stop; wait $prober\n";
  r = run_in_testbed(area, {"/bin/bash", "-c", update});
  t = transcript(area, r);
  EXPECT_TRUE(has(r.output, "update rc=0")) << t;
  EXPECT_FALSE(has(r.output, "refused at")) << t;
  qbsim_state st = area.modules[1].state();
  EXPECT_EQ(st.running, "img_c.bin") << t;
  EXPECT_TRUE(stored_as_served(area.modules[1].state_dir, "img_c.bin",
                               area.tftp_root + "/images/img_c.bin"))
      << t;
  EXPECT_EQ(state_text(area.modules[0]) + state_text(area.modules[2]), others_before) << t;
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
