// Runs that must cost nothing when repeated, resumed, staged, pointed at a
// missing image, met by an impostor or cut short by a signal: each against
// the stand-in doing that thing, with what it left on the module.
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "module_state.h"

namespace {

using namespace received;

std::vector<std::string> plus(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// Mode's images become startup:Y and second:N ("" for none); with running
// set the module also runs startup in that mode.
void set_images(qbsim_state& st, const std::string& mode, const std::string& startup,
                const std::string& second) {
  std::vector<qbsim_image> kept;
  for (const qbsim_image& image : st.images)
    if (image.mode != mode)
      kept.push_back(image);
  for (const std::string& name : {startup, second}) {
    if (name.empty())
      continue;
    qbsim_image image;
    image.mode = mode;
    image.name = name;
    image.startup = name == startup ? 'Y' : 'N';
    image.date = "2026-12-01";
    image.size = 1048576;
    kept.push_back(image);
  }
  st.images = kept;
}

std::string report_text(const e2e_area& area) {
  std::string json;
  qbsim_read_file(area.work_dir + "/run.json", &json);
  return json;
}

std::string modes_field(const std::string& json) {
  size_t at = json.find("\"modes\": [");
  return at == std::string::npos ? "" : json.substr(at, json.find(']', at) - at + 1);
}

// ---------------------------------------------------------------------------

struct ConvergeCase {
  const char* name;
  void (*prepare)(qbsim_state& st);
  std::vector<std::string> args;
  std::string notice;    // a line the run must print
  std::string received;  // everything the module is sent
  std::string switch_images, running;  // the module afterwards
  std::string modes;     // the report's modes
  bool changed;
};

void switch_flashed(qbsim_state& st) {
  set_images(st, "Switch", "img_c.bin", "img_a.bin");
  st.running = "img_c.bin";
}
void both_flashed(qbsim_state& st) {
  switch_flashed(st);
  set_images(st, "TZR", "tzr_c.bin", "tzr_a.bin");
}
void switched_not_restarted(qbsim_state& st) {
  set_images(st, "Switch", "img_c.bin", "img_a.bin");
}

const char kCurrentSwitch[] = "Mode 'Switch' already runs opcode image 'img_c.bin'; nothing to flash\n";

const ConvergeCase kConvergeCases[] = {
    {"AlreadyFlashed", switch_flashed, update_args(false), kCurrentSwitch, WHICHBOOT + DIR,
     "img_c.bin:Y img_a.bin:N", "img_c.bin",
     "\"modes\": [{\"mode\": \"Switch\", \"outcome\": \"current\"}]", false},
    {"BothModesAlreadyFlashed", both_flashed, update_args(true), kCurrentSwitch,
     WHICHBOOT + DIR + boot_mode("TZR") + RELOAD + WHICHBOOT + DIR + boot_mode("Switch") + RELOAD,
     "img_c.bin:Y img_a.bin:N", "img_c.bin",
     "\"modes\": [{\"mode\": \"Switch\", \"outcome\": \"current\"}, "
     "{\"mode\": \"TZR\", \"outcome\": \"current\"}]",
     false},
    {"SwitchedButNotRestarted", switched_not_restarted, update_args(false),
     "Opcode image 'img_c.bin' is already the startup image of mode 'Switch'; restarting to run it\n",
     WHICHBOOT + DIR + RELOAD + WHICHBOOT, "img_c.bin:Y img_a.bin:N", "img_c.bin",
     "\"modes\": [{\"mode\": \"Switch\", \"outcome\": \"restarted\"}]", true},
    {"DryRunOfAFlashedMode", switch_flashed, plus(update_args(false), {"-dry_run"}),
     kCurrentSwitch, WHICHBOOT + DIR, "img_c.bin:Y img_a.bin:N", "img_c.bin",
     "\"modes\": [{\"mode\": \"Switch\", \"outcome\": \"current\"}]", false},
    {"Staged", nullptr, plus(update_args(false), {"-stage"}),
     "Staged opcode image 'img_c.bin' for mode 'Switch'; it runs from the next restart\n",
     WHICHBOOT + DIR + delete_file("img_b.bin") + dir_file("img_b.bin") + copy("img_c.bin") + DIR +
         boot_opcode("img_c.bin"),
     "img_a.bin:N img_c.bin:Y", "img_a.bin",
     "\"modes\": [{\"mode\": \"Switch\", \"outcome\": \"staged\"}]", true},
    // Staged before: a second -stage changes nothing and does not restart.
    {"StagedAgain", switched_not_restarted, plus(update_args(false), {"-stage"}),
     "Staged opcode image 'img_c.bin' for mode 'Switch'; it runs from the next restart\n",
     WHICHBOOT + DIR, "img_c.bin:Y img_a.bin:N", "img_a.bin",
     "\"modes\": [{\"mode\": \"Switch\", \"outcome\": \"staged\"}]", false},
};

class Converge : public ::testing::TestWithParam<ConvergeCase> {};

TEST_P(Converge, SendsOnlyWhatTheModuleStillNeeds) {
  const ConvergeCase& c = GetParam();
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(add_update_images(area));
  if (c.prepare != nullptr) {
    ASSERT_TRUE(area.update(c.prepare));
  }
  e2e_result r = run_tool(area, plus(c.args, {"-report", area.work_dir + "/run.json"}));
  const std::string t = transcript(area, r);
  EXPECT_EQ(r.status, 0) << t;
  EXPECT_NE(r.output.find(c.notice), std::string::npos) << t;
  EXPECT_EQ(r.output.find("Dry run: would"), std::string::npos) << t;
  EXPECT_EQ(r.received, c.received) << t;
  qbsim_state st = area.state();
  EXPECT_EQ(images_of(st, "Switch"), c.switch_images) << t;
  EXPECT_EQ(st.running, c.running) << t;
  const std::string json = report_text(area);
  EXPECT_EQ(modes_field(json), c.modes) << json;
  EXPECT_NE(json.find(c.changed ? "\"changed\": true" : "\"changed\": false"), std::string::npos)
      << json;
}

INSTANTIATE_TEST_SUITE_P(Module, Converge, ::testing::ValuesIn(kConvergeCases),
                         [](const ::testing::TestParamInfo<ConvergeCase>& info) {
                           return std::string(info.param.name);
                         });

// A maintenance window needs only the second run: the first staged the image.
TEST(Stage, ThenAPlainUpdateOnlyRestartsAndVerifies) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(add_update_images(area));
  e2e_result staged = run_tool(area, plus(update_args(false), {"-stage"}));
  ASSERT_EQ(staged.status, 0) << transcript(area, staged);
  EXPECT_EQ(area.state().running, "img_a.bin");
  e2e_result r = run_tool(area, update_args(false));
  EXPECT_EQ(r.status, 0) << transcript(area, r);
  EXPECT_EQ(r.received, WHICHBOOT + DIR + RELOAD + WHICHBOOT) << transcript(area, r);
  EXPECT_EQ(area.state().running, "img_c.bin");
}

// ---------------------------------------------------------------------------

struct TftpCase {
  const char* name;
  std::vector<std::string> args;
  std::string setup;    // testbed setup command
  std::string message;  // the start of the error line ("" none)
  int status;
  std::string received;
};

const std::vector<std::string> kChecked = plus(update_args(false), {"-check_tftp"});
const std::string kMissing = "Image 'img_missing.bin' cannot be read from TFTP server '127.0.0.1': ";

const TftpCase kTftpCases[] = {
    {"ImageMissing", with_option(kChecked, "-img_sw", "img_missing.bin"), "", kMissing, 12,
     WHICHBOOT + DIR},
    {"OtherModesImageMissing",
     with_option(plus(update_args(true), {"-check_tftp"}), "-img_tzr", "tzr_missing.bin"), "",
     "Image 'tzr_missing.bin' cannot be read from TFTP server '127.0.0.1': ", 12, WHICHBOOT + DIR},
    {"NoServerAtAll", kChecked, "kill $(cat dnsmasq.pid)",
     "Image 'img_c.bin' cannot be read from TFTP server '127.0.0.1': ", 12, WHICHBOOT + DIR},
    {"DryRunChecksToo", with_option(plus(kChecked, {"-dry_run"}), "-img_sw", "img_missing.bin"), "",
     kMissing, 12, WHICHBOOT + DIR},
    {"ImagePresent", kChecked, "", "", 0,
     WHICHBOOT + DIR + delete_file("img_b.bin") + dir_file("img_b.bin") + copy("img_c.bin") + DIR +
         boot_opcode("img_c.bin") + RELOAD + WHICHBOOT},
};

class TftpCheck : public ::testing::TestWithParam<TftpCase> {};

TEST_P(TftpCheck, RefusesBeforeTheModuleLosesAnything) {
  const TftpCase& c = GetParam();
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(add_update_images(area));
  e2e_options options;
  options.setup = c.setup;
  e2e_result r =
      run_tool(area, plus(c.args, {"-report", area.work_dir + "/run.json"}), options);
  const std::string t = transcript(area, r);
  EXPECT_EQ(r.status, c.status) << t;
  EXPECT_EQ(r.received, c.received) << t;
  if (c.status != 0) {
    EXPECT_NE(r.output.find(c.message), std::string::npos) << t;
    EXPECT_NE(report_text(area).find("\"failed_step\": \"check_tftp\""), std::string::npos) << t;
    EXPECT_EQ(images_of(area.state(), "Switch"), "img_a.bin:Y img_b.bin:N") << t;
  }
}

INSTANTIATE_TEST_SUITE_P(Server, TftpCheck, ::testing::ValuesIn(kTftpCases),
                         [](const ::testing::TestParamInfo<TftpCase>& info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------

// -sha256sums SUMS: the images read from the real TFTP server and compared
// with a checksum file made from the served images (sha256sum), which the
// case may then change on the server; and the size the module stored.
struct DigestCase {
  const char* name;
  std::vector<std::string> args;  // "SUMS" stands for the checksum file
  std::string listed;             // the images SUMS describes
  std::string after;              // shell, in the images' folder, once SUMS is written
  std::string fault;              // of the copy, "" none
  int status;
  std::string message;  // part of what the run prints
  std::string received;
  std::string failed_step;  // "" none
  void (*prepare)(qbsim_state& st) = nullptr;
};

std::vector<std::string> summed(const std::vector<std::string>& args) {
  return plus(args, {"-sha256sums", "SUMS"});
}

const std::string kOnServer = "on TFTP server '127.0.0.1' ";
const std::string kFlashSwitch = WHICHBOOT + DIR + delete_file("img_b.bin") +
                                 dir_file("img_b.bin") + copy("img_c.bin") + DIR +
                                 boot_opcode("img_c.bin") + RELOAD + WHICHBOOT;

const DigestCase kDigestCases[] = {
    {"Matches", summed(update_args(false)), "img_c.bin", "", "", 0,
     "Image 'img_c.bin' " + kOnServer + "has the SHA-256 that", kFlashSwitch, ""},
    {"BothModesListed", summed(update_args(true)), "img_c.bin tzr_c.bin", "", "", 0,
     "Image 'tzr_c.bin' " + kOnServer + "has the SHA-256 that",
     kFlashSwitch + boot_mode("TZR") + RELOAD + WHICHBOOT + DIR + copy("tzr_c.bin") + DIR +
         boot_opcode("tzr_c.bin") + RELOAD + WHICHBOOT + boot_mode("Switch") + RELOAD,
     ""},
    {"Differs", summed(update_args(false)), "img_c.bin", "printf x >> img_c.bin", "", 12,
     "Image 'img_c.bin' " + kOnServer + "has SHA-256 ", WHICHBOOT + DIR, "check_tftp"},
    {"OtherModesImageDiffers", summed(update_args(true)), "img_c.bin tzr_c.bin",
     "printf x >> tzr_c.bin", "", 12, "Image 'tzr_c.bin' " + kOnServer + "has SHA-256 ",
     WHICHBOOT + DIR, "check_tftp"},
    {"NotListed", summed(update_args(true)), "img_c.bin", "", "", 12,
     "Image 'tzr_c.bin' " + kOnServer + "is not listed in checksum file '", WHICHBOOT + DIR,
     "check_tftp"},
    {"MissingOnTheServer", summed(update_args(false)), "img_c.bin", "rm img_c.bin", "", 12,
     "Image 'img_c.bin' cannot be read from TFTP server '127.0.0.1': ", WHICHBOOT + DIR,
     "check_tftp"},
    {"DryRunReadsAndCompares", summed(plus(update_args(false), {"-dry_run"})), "img_c.bin", "",
     "", 0, "has the SHA-256 that", WHICHBOOT + DIR, ""},
    {"DryRunDiffers", summed(plus(update_args(false), {"-dry_run"})), "img_c.bin",
     "printf x >> img_c.bin", "", 12, "has SHA-256 ", WHICHBOOT + DIR, "check_tftp"},
    // A dry run vets every image it names, for a rollout's one look at them.
    {"DryRunVetsAnImageTheModuleRuns", summed(plus(update_args(false), {"-dry_run"})),
     "img_c.bin", "printf x >> img_c.bin", "", 12, "has SHA-256 ", WHICHBOOT + DIR, "check_tftp",
     switch_flashed},
    {"ShortStore", summed(update_args(false)), "img_c.bin", "", "copy-short", 12,
     "Opcode image 'img_c.bin' was stored with 1047552 bytes; TFTP server '127.0.0.1' serves "
     "1048576\n",
     WHICHBOOT + DIR + delete_file("img_b.bin") + dir_file("img_b.bin") + copy("img_c.bin") + DIR,
     "confirm_download"},
};

class Digest : public ::testing::TestWithParam<DigestCase> {};

TEST_P(Digest, FlashesOnlyTheImageTheFileDescribes) {
  const DigestCase& c = GetParam();
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(add_update_images(area));
  const std::string sums = area.work_dir + "/SHA256SUMS";
  if (!c.listed.empty()) {
    const std::string make = "cd '" + area.tftp_root + "/images' && sha256sum " + c.listed +
                             " > '" + sums + "' && " + (c.after.empty() ? "true" : c.after);
    ASSERT_EQ(system(make.c_str()), 0) << make;
  }
  if (!c.fault.empty()) {
    ASSERT_TRUE(area.add_fault(c.fault, "copy", 1));
  }
  if (c.prepare != nullptr) {
    ASSERT_TRUE(area.update(c.prepare));
  }
  const qbsim_state before = area.state();
  std::vector<std::string> args = with_option(c.args, "-sha256sums", sums);
  e2e_result r = run_tool(area, plus(args, {"-report", area.work_dir + "/run.json"}));
  const std::string t = transcript(area, r);
  EXPECT_EQ(r.status, c.status) << t;
  EXPECT_EQ(r.received, c.received) << t;
  EXPECT_NE(r.output.find(c.message), std::string::npos) << t;
  const std::string json = report_text(area);
  EXPECT_NE(json.find("\"failed_step\": " +
                      (c.failed_step.empty() ? "null" : "\"" + c.failed_step + "\"")),
            std::string::npos)
      << json;
  if (c.failed_step == "check_tftp") {
    for (const char* mode : {"Switch", "TZR"})
      EXPECT_EQ(images_of(area.state(), mode), images_of(before, mode)) << t;
  }
  // Each image read whole is in the report with the digest the file lists.
  std::string listed;
  qbsim_read_file(sums, &listed);
  for (size_t at = 0; c.status == 0 && at < listed.size(); at = listed.find('\n', at) + 1)
    EXPECT_NE(json.find("\"sha256\": \"" + listed.substr(at, 64) + "\""), std::string::npos)
        << json;
}

INSTANTIATE_TEST_SUITE_P(Server, Digest, ::testing::ValuesIn(kDigestCases),
                         [](const ::testing::TestParamInfo<DigestCase>& info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------

struct SignalCase {
  const char* name;
  const char* signal;
  std::vector<std::string> fault;  // kind, command, occurrence, arg
  int downtime;
  std::string until;  // shell condition that holds once the run is where the signal goes
  int status;
  std::string message;  // "" none
  std::string signal_field;
  std::vector<std::string> args;
  std::string setup;               // testbed setup command
  int within_s;                    // the tool ends in fewer seconds after the signal
};

const SignalCase kSignalCases[] = {
    {"TermDuringTheDownload", "TERM", {"silence", "copy", "1", "60"}, 5,
     "grep -q 'copy tftp' \"$QBSIM_STATE/received\"", 143,
     "Interrupted by SIGTERM during step 'download'\n", "\"signal\": \"SIGTERM\"", update_args(false), "", 10},
    {"HupWhileWaitingForTheRestart", "HUP", {}, 40,
     // The restart's session is over, and the tool moved on to its wait.
     "sed -n '/port 22 closed for the restart/,$p' \"$QBSIM_STATE/events.log\" | "
     "grep -q ' ends (' && sleep 3",
     129,
     "Interrupted by SIGHUP during step 'wait_for_module'\n", "\"signal\": \"SIGHUP\"", update_args(false), "", 10},
    // A TFTP server that takes requests and never answers holds the check for seconds.
    {"TermDuringTheTftpCheck", "TERM", {}, 5, "test -e asked", 143,
     "Interrupted by SIGTERM during step 'check_tftp'\n", "\"signal\": \"SIGTERM\"",
     plus(update_args(false), {"-check_tftp"}),
     "kill $(cat dnsmasq.pid); timeout 120 python3 -c 'import socket, time; "
     "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind((\"127.0.0.1\", 69)); "
     "s.recv(600); open(\"asked\", \"w\").close(); time.sleep(120)' > /dev/null 2>&1 &",
     2},
    // A job started in the background inherits SIGINT ignored; so it stays.
    {"IntToABackgroundJobIsIgnored", "INT", {"silence", "dir", "1", "3"}, 5,
     "grep -q 'dir opcode' \"$QBSIM_STATE/received\"", 0, "", "\"signal\": null", update_args(false), "", 10},
};

class Interrupt : public ::testing::TestWithParam<SignalCase> {};

TEST_P(Interrupt, EndsTheClientReportsAndUnlocks) {
  const SignalCase& c = GetParam();
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(add_update_images(area));
  ASSERT_TRUE(area.update([&c](qbsim_state& st) { st.downtime = c.downtime; }));
  if (!c.fault.empty()) {
    ASSERT_TRUE(area.add_fault(c.fault[0], c.fault[1], std::stoi(c.fault[2]), c.fault[3]));
  }
  std::string tool = morvik_bin();
  for (const std::string& a :
       with_test_pace(plus(c.args, {"-report", area.work_dir + "/run.json"})))
    tool += " " + a;
  const std::string script =
      tool + " > tool.out 2>&1 & tool=$!; "
      "for i in $(seq 3000); do " + c.until + " && break; sleep 0.1; done; "
      "kill -" + c.signal + " $tool; start=$(date +%s); wait $tool; echo status=$?; "
      "echo after_s=$(( $(date +%s) - start )); "
      "echo clients=$(pgrep -c -x plink); "
      "flock -n \"$MORVIK_LOCK_DIR/127.0.0.1.lock\" true && echo lock=free; cat tool.out";
  e2e_options options;
  options.time_limit = 600;
  options.setup = c.setup;
  e2e_result r = run_in_testbed(area, {"/bin/bash", "-c", script}, options);
  const std::string t = transcript(area, r);
  EXPECT_NE(r.output.find("status=" + std::to_string(c.status) + "\n"), std::string::npos) << t;
  EXPECT_NE(r.output.find("clients=0\n"), std::string::npos) << t;
  EXPECT_NE(r.output.find("lock=free\n"), std::string::npos) << t;
  if (!c.message.empty()) {
    EXPECT_NE(r.output.find(c.message), std::string::npos) << t;
    size_t at = r.output.find("after_s=");
    ASSERT_NE(at, std::string::npos) << t;
    EXPECT_LT(std::stoi(r.output.substr(at + 8)), c.within_s) << "ends promptly\n" << t;
  }
  EXPECT_NE(report_text(area).find(c.signal_field), std::string::npos) << report_text(area);
}

INSTANTIATE_TEST_SUITE_P(Run, Interrupt, ::testing::ValuesIn(kSignalCases),
                         [](const ::testing::TestParamInfo<SignalCase>& info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------

// A name and its addresses are one module, and so one lock: of two runs
// started at once, by a name and by one of its addresses, one ends with 13.
// localhost stands for ::1 first and 127.0.0.1 too, as Debian writes it.
struct NamesCase {
  const char* name;
  const char* hosts;  // the testbed's /etc/hosts
  const char* first;
  const char* second;
};

const NamesCase kNamesCases[] = {
    {"NameAndItsAddress", "127.0.0.1 qb-module\n", "qb-module", "127.0.0.1"},
    {"LocalhostOfBothFamilies", "::1 localhost ip6-localhost\n127.0.0.1 localhost\n", "localhost",
     "127.0.0.1"},
};

class OneLockPerModule : public ::testing::TestWithParam<NamesCase> {};

TEST_P(OneLockPerModule, RunsByAnyOfItsNamesExcludeEachOther) {
  const NamesCase& c = GetParam();
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(area.add_fault("silence", "show", 1, "3"));
  std::string tool = morvik_bin();
  for (const std::string& a :
       with_test_pace({"-usr", "admin", "-pwd", "secret", "-mode", "account_check", "-D", "verbose"}))
    tool += " " + a;
  const std::string script = tool + " -host " + c.first + " > first.out 2>&1 & first=$!; " + tool +
                             " -host " + c.second + " > second.out 2>&1 & second=$!; "
                             "wait $first; a=$?; wait $second; b=$?; "
                             "echo statuses=$(printf '%s\\n' $a $b | sort -n | paste -sd' '); "
                             "cat first.out second.out";
  e2e_options options;
  options.setup = std::string("printf '") + c.hosts + "' > hosts && mount --bind hosts /etc/hosts";
  e2e_result r = run_in_testbed(area, {"/bin/bash", "-c", script}, options);
  const std::string t = transcript(area, r);
  EXPECT_NE(r.output.find("statuses=0 13\n"), std::string::npos) << t;
  EXPECT_NE(r.output.find("is busy with another run\n"), std::string::npos) << t;
}

INSTANTIATE_TEST_SUITE_P(Names, OneLockPerModule, ::testing::ValuesIn(kNamesCases),
                         [](const ::testing::TestParamInfo<NamesCase>& info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------

// The real chain: a second run with a new sshd host key meets a changed key.
std::vector<std::string> real_check_args() {
  return {"-host", "127.0.0.1", "-usr", "admin", "-pwd", "secret", "-mode", "account_check",
          "-D", "verbose"};
}

TEST(RealChain, ChangedHostKeyIsRefusedAndTheCacheKept) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  e2e_result first = run_tool(area, real_check_args(), real_chain());
  ASSERT_EQ(first.status, 0) << transcript(area, first);
  const std::string cache = area.work_dir + "/putty/sshhostkeys";
  std::string before, after, sshd_log;
  ASSERT_TRUE(qbsim_read_file(cache, &before));
  e2e_options rekeyed = real_chain();
  rekeyed.new_host_key = true;
  e2e_result r = run_tool(area, real_check_args(), rekeyed);
  const std::string t = transcript(area, r);
  EXPECT_EQ(r.status, 14) << t;
  ASSERT_TRUE(qbsim_read_file(cache, &after));
  EXPECT_EQ(after, before) << "the cache keeps the old key\n" << t;
  qbsim_read_file(area.work_dir + "/sshd.log", &sshd_log);
  EXPECT_EQ(sshd_log.find("password"), std::string::npos) << "no password tried\n" << sshd_log;
  EXPECT_EQ(r.received, "") << t;
}

struct PinCase {
  const char* name;
  const char* fingerprint;  // a shell word; $fp is the module's own
  int status;
};

const PinCase kPinCases[] = {
    {"ItsOwnKey", "\"$fp\"", 0},
    {"AnotherKey", "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", 14},
    {"OneOfSeveral", "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA -hostkey \"$fp\"", 0},
};

class RealChainPin : public ::testing::TestWithParam<PinCase> {};

TEST_P(RealChainPin, OnlyTheGivenKeysAreAcceptedAndNothingIsCached) {
  const PinCase& c = GetParam();
  e2e_area area;
  ASSERT_TRUE(area.ok);
  std::string tool = morvik_bin();
  for (const std::string& a : with_test_pace(real_check_args()))
    tool += " " + a;
  const std::string script = "fp=$(ssh-keygen -lf hostkey.pub | cut -d' ' -f2); " + tool +
                             " -hostkey " + c.fingerprint + "; echo status=$?; "
                             "test -e putty/sshhostkeys && echo cached";
  e2e_result r = run_in_testbed(area, {"/bin/bash", "-c", script}, real_chain());
  const std::string t = transcript(area, r);
  EXPECT_NE(r.output.find("status=" + std::to_string(c.status) + "\n"), std::string::npos) << t;
  EXPECT_EQ(r.output.find("cached"), std::string::npos) << t;
}

INSTANTIATE_TEST_SUITE_P(RealChain, RealChainPin, ::testing::ValuesIn(kPinCases),
                         [](const ::testing::TestParamInfo<PinCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
