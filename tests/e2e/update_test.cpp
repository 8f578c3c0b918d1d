// Updates of the module's current boot mode, end to end against the stand-in:
// the notices, the exit status, the module's final state and every command
// line it received; then each way the procedure must stop.
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace received;

class Update : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(area_.ok);
    ASSERT_TRUE(add_update_images(area_));
  }

  e2e_result run(const std::vector<std::string>& args = update_args(false), int time_limit = 600) {
    e2e_options options;
    options.time_limit = time_limit;
    e2e_result r = run_tool(area_, args, options);
    r.output = without_wait_seconds(r.output);
    return r;
  }

  // Starts the module in mode from its image startup, second image aside.
  void start_in(const std::string& mode, const std::string& startup) {
    ASSERT_TRUE(area_.update([&](qbsim_state& st) {
      st.mode = st.next_mode = mode;
      st.running = startup;
    }));
  }

  e2e_area area_;
};

TEST_F(Update, SwitchModeReplacesTheSecondImage) {
  e2e_result r = run();
  ASSERT_EQ(r.status, 0) << transcript(area_, r);
  EXPECT_EQ(r.output, BANNER + "Mode: flashing \n\n" + notices::current("Switch", "img_a.bin") +
                          notices::flash("Switch", "img_a.bin", "img_b.bin", "img_c.bin") +
                          "\nProgram exited with code 0\n")
      << transcript(area_, r);
  EXPECT_EQ(r.received, WHICHBOOT + DIR + delete_file("img_b.bin") + dir_file("img_b.bin") +
                            copy("img_c.bin") + DIR + boot_opcode("img_c.bin") + RELOAD + WHICHBOOT)
      << transcript(area_, r);
  qbsim_state st = area_.state();
  EXPECT_EQ(st.mode, "Switch");
  EXPECT_EQ(st.running, "img_c.bin");
  EXPECT_EQ(images_of(st, "Switch"), "img_a.bin:N img_c.bin:Y");
  EXPECT_EQ(images_of(st, "TZR"), "tzr_a.bin:Y");
  EXPECT_EQ(images_of(st, "EHM"), "ehm_a.bin:Y");
}

TEST_F(Update, TzrModeTakesTheTzrImageName) {
  start_in("TZR", "tzr_a.bin");
  e2e_result r = run();
  ASSERT_EQ(r.status, 0) << transcript(area_, r);
  EXPECT_EQ(r.output, BANNER + "Mode: flashing \n\n" + notices::current("TZR", "tzr_a.bin") +
                          notices::flash("TZR", "tzr_a.bin", "", "tzr_c.bin") +
                          "\nProgram exited with code 0\n")
      << transcript(area_, r);
  EXPECT_EQ(r.received, WHICHBOOT + DIR + copy("tzr_c.bin") + DIR + boot_opcode("tzr_c.bin") +
                            RELOAD + WHICHBOOT)
      << transcript(area_, r);
  qbsim_state st = area_.state();
  EXPECT_EQ(st.running, "tzr_c.bin");
  EXPECT_EQ(images_of(st, "TZR"), "tzr_a.bin:N tzr_c.bin:Y");
  EXPECT_EQ(images_of(st, "Switch"), "img_a.bin:Y img_b.bin:N");
}

TEST_F(Update, EmptyImageNameForTheCurrentModeIsAnInternalError) {
  e2e_result r = run(with_option(update_args(false), "-img_sw", ""));
  EXPECT_EQ(r.status, 2) << transcript(area_, r);
  EXPECT_EQ(r.output, BANNER + "Mode: flashing \n\n" + notices::current("Switch", "img_a.bin") +
                          "\nExecuting flashing for mode 'Switch'\n"
                          "\nFlashing was canceled with error 2\n"
                          "\nProgram exited with code 2\n")
      << transcript(area_, r);
  EXPECT_EQ(r.received, WHICHBOOT) << transcript(area_, r);
}

TEST_F(Update, WhichbootAndDirDisagreeingChangesNothing) {
  ASSERT_TRUE(area_.add_fault("mismatch", "whichboot", 1, "img_b.bin"));
  e2e_result r = run();
  EXPECT_EQ(r.status, 12) << transcript(area_, r);
  EXPECT_TRUE(in_order(r.output, {"Startup opcode image: 'img_a.bin'\n",
                                  "Opcode image names from 'dir' and 'whichboot' are different\n",
                                  "\nFlashing was canceled with error 12\n"}))
      << transcript(area_, r);
  EXPECT_EQ(r.received, WHICHBOOT + DIR) << transcript(area_, r);
  EXPECT_EQ(images_of(area_.state(), "Switch"), "img_a.bin:Y img_b.bin:N");
}

TEST_F(Update, ListingWithoutStartupImageLacksInformation) {
  ASSERT_TRUE(area_.add_fault("no-startup", "dir", 1));
  e2e_result r = run();
  EXPECT_EQ(r.status, 10) << transcript(area_, r);
  EXPECT_TRUE(in_order(r.output, {"\nGetting opcode images...\n",
                                  "Cannot get startup opcode image name\n",
                                  "\nFlashing was canceled with error 10\n"}))
      << transcript(area_, r);
  EXPECT_EQ(r.received, WHICHBOOT + DIR) << transcript(area_, r);
}

TEST_F(Update, DeleteThatLeavesTheFileListedStopsBeforeTheDownload) {
  ASSERT_TRUE(area_.add_fault("delete-keep", "delete", 1));
  e2e_result r = run();
  EXPECT_EQ(r.status, 12) << transcript(area_, r);
  EXPECT_TRUE(in_order(r.output, {"Confirmation of deleting...\n",
                                  "Cannot delete the second opcode image\n",
                                  "\nFlashing was canceled with error 12\n"}))
      << transcript(area_, r);
  EXPECT_EQ(r.received, WHICHBOOT + DIR + delete_file("img_b.bin") + dir_file("img_b.bin"))
      << transcript(area_, r);
}

TEST_F(Update, FailedDownloadKeepsTheStartupImage) {
  ASSERT_TRUE(area_.add_fault("copy-fail", "copy", 1, "CRC error"));
  e2e_result r = run();
  EXPECT_EQ(r.status, 11) << transcript(area_, r);
  EXPECT_TRUE(in_order(r.output, {"\nDownloading new image from TFTP server...\n",
                                  "\nFlashing was canceled with error 11\n"}))
      << transcript(area_, r);
  EXPECT_EQ(r.received, WHICHBOOT + DIR + delete_file("img_b.bin") + dir_file("img_b.bin") +
                            copy("img_c.bin"))
      << transcript(area_, r);
  qbsim_state st = area_.state();
  EXPECT_EQ(images_of(st, "Switch"), "img_a.bin:Y");
  EXPECT_EQ(st.running, "img_a.bin");
}

TEST_F(Update, ImageMissingOnTheServerFailsTheDownload) {
  e2e_result r = run(with_option(update_args(false), "-img_sw", "img_missing.bin"));
  EXPECT_EQ(r.status, 11) << transcript(area_, r);
  EXPECT_EQ(images_of(area_.state(), "Switch"), "img_a.bin:Y");
}

TEST_F(Update, DownloadNotFoundAfterwardsIsALogicError) {
  ASSERT_TRUE(area_.add_fault("copy-rename", "copy", 1, "img_x.bin"));
  e2e_result r = run();
  EXPECT_EQ(r.status, 12) << transcript(area_, r);
  EXPECT_TRUE(in_order(r.output, {"\nConfirmation of downloading...\n",
                                  "Downloading of new opcode image failed\n",
                                  "\nFlashing was canceled with error 12\n"}))
      << transcript(area_, r);
  EXPECT_EQ(r.received, WHICHBOOT + DIR + delete_file("img_b.bin") + dir_file("img_b.bin") +
                            copy("img_c.bin") + DIR)
      << transcript(area_, r);
  EXPECT_EQ(area_.state().running, "img_a.bin");
}

TEST_F(Update, StartUpFailedIsACommandFailure) {
  ASSERT_TRUE(area_.add_fault("startup-fail", "boot-system", 1));
  e2e_result r = run();
  EXPECT_EQ(r.status, 11) << transcript(area_, r);
  EXPECT_TRUE(in_order(r.output, {"\nChanging startup opcode image...\n",
                                  "\nFlashing was canceled with error 11\n"}))
      << transcript(area_, r);
  EXPECT_EQ(r.output.find("\nReload system...\n"), std::string::npos) << transcript(area_, r);
  EXPECT_EQ(area_.state().running, "img_a.bin");
}

TEST_F(Update, ModuleBackWithAnotherImageFailsTheFinalCheck) {
  ASSERT_TRUE(area_.add_fault("wrong-image", "reload", 1));
  e2e_result r = run();
  EXPECT_EQ(r.status, 12) << transcript(area_, r);
  EXPECT_TRUE(in_order(r.output, {"\nChecking if flashing was successful...\n",
                                  "Startup opcode image: 'img_a.bin'\n\n",
                                  "\nSystem flashing failed for mode 'Switch'\n",
                                  "\nFlashing was canceled with error 12\n"}))
      << transcript(area_, r);
}

// Seconds between the time stamps of the messages holding from and to in
// the tool's output; -1 if one is missing.
int seconds_between(const std::string& raw, const std::string& from, const std::string& to) {
  auto stamp = [&raw](const std::string& what) {
    size_t at = raw.find(what);
    if (at == std::string::npos)
      return -1;
    // The stamp precedes the message, which may begin with a line end.
    size_t colon = raw.rfind(": ", at);
    if (colon == std::string::npos || colon < 8)
      return -1;
    const std::string hms = raw.substr(colon - 8, 8);
    return std::stoi(hms.substr(0, 2)) * 3600 + std::stoi(hms.substr(3, 2)) * 60 +
           std::stoi(hms.substr(6, 2));
  };
  const int a = stamp(from), b = stamp(to);
  return a < 0 || b < 0 ? -1 : (b - a + 86400) % 86400;
}

// The probe gives the module 100 attempts, 5 seconds apart, to come back.
class UpdateSlow : public Update {};

// SYNs to the module's port 22 vanish: a connect waits instead of being
// refused, and each attempt must end by its own bound.
const char kDropSyns[] =
    "nft add table inet t && "
    "nft add chain inet t out '{ type filter hook output priority 0; }' && "
    "nft add rule inet t out ip daddr 127.0.0.1 tcp dport 22 tcp flags syn drop";

TEST_F(Update, ProbeOfAnAddressThatDropsPacketsEndsWithinItsBound) {
  e2e_options options;
  options.setup = kDropSyns;
  options.time_limit = 120;
  e2e_result r = run_tool(area_, update_args(false), options);
  EXPECT_EQ(r.status, 3) << transcript(area_, r);
  // Two attempts of at most 5 s with 5 s between them, and the tool's start.
  EXPECT_LT(r.seconds, 30) << transcript(area_, r);
  EXPECT_EQ(r.received, "") << transcript(area_, r);
}

// After the restart the module's packets vanish: the wait announced as 600 s
// ends by then, plus one bounded attempt.
TEST_F(UpdateSlow, ModuleDroppingPacketsAfterTheRestartEndsTheWaitOnTime) {
  ASSERT_TRUE(area_.add_fault("no-return", "reload", 1));
  e2e_options options;
  options.setup = "( while ! grep -q 'port 22 closed for the restart' " + area_.state_dir +
                  "/events.log 2>/dev/null; do sleep 0.1; done; " + kDropSyns + " ) &";
  options.time_limit = 1200;
  e2e_result r = run_tool(area_, update_args(false), options);
  r.output = without_wait_seconds(r.output);
  EXPECT_EQ(r.status, 3) << transcript(area_, r);
  EXPECT_TRUE(in_order(r.output, {"\nTrying to connect to the system after reloading (timeout 600 "
                                  "sec)...\n",
                                  "\nFlashing was canceled with error 3\n"}))
      << transcript(area_, r);
  const int wait = seconds_between(r.raw_output, "Trying to connect to the system after reloading",
                                   "Flashing was canceled");
  EXPECT_GE(wait, 595) << transcript(area_, r);
  // 600 s, one attempt of at most 5 s and its close, and a loaded machine.
  EXPECT_LE(wait, 600 + 5 + 1 + 15) << transcript(area_, r);
}

TEST_F(UpdateSlow, ModuleThatNeverComesBackCannotConnect) {
  ASSERT_TRUE(area_.add_fault("no-return", "reload", 1));
  e2e_result r = run(update_args(false), 1200);
  EXPECT_EQ(r.status, 3) << transcript(area_, r);
  EXPECT_TRUE(in_order(r.output, {"\nTrying to connect to the system after reloading (timeout 600 "
                                  "sec)...\n",
                                  "\nFlashing was canceled with error 3\n"}))
      << transcript(area_, r);
  EXPECT_EQ(r.output.find("Successfully connected after"), std::string::npos);
  EXPECT_GT(r.seconds, 99 * 5);
}

}  // namespace
