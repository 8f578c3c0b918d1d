// Updates of both boot modes: the current one, then the other after a restart
// into it, then back to the initial mode; and how the run ends when the module
// does not follow.
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace received;

class UpdateBoth : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(area_.ok);
    ASSERT_TRUE(add_update_images(area_));
  }

  void start_in(const std::string& mode, const std::string& startup) {
    ASSERT_TRUE(area_.update([&](qbsim_state& st) {
      st.mode = st.next_mode = mode;
      st.running = startup;
    }));
  }

  e2e_result run(const e2e_options& options = e2e_options()) {
    e2e_result r = run_tool(area_, update_args(true), options);
    r.output = without_wait_seconds(r.output);
    return r;
  }

  e2e_area area_;
};

// Each mode's images after a successful run; Switch and EHM share -img_sw.
const char* const SWITCH_FLASHED = "img_a.bin:N img_c.bin:Y";
const char* const TZR_FLASHED = "tzr_a.bin:N tzr_c.bin:Y";
const char* const EHM_FLASHED = "ehm_a.bin:N img_c.bin:Y";

TEST_F(UpdateBoth, FromSwitchFlashesTzrAndReturns) {
  e2e_result r = run();
  ASSERT_EQ(r.status, 0) << transcript(area_, r);
  EXPECT_EQ(r.output,
            BANNER + "Mode: flashing both modes\n\n" + notices::current("Switch", "img_a.bin") +
                notices::flash("Switch", "img_a.bin", "img_b.bin", "img_c.bin") +
                notices::change_mode("TZR") + notices::current("TZR", "tzr_a.bin") +
                notices::flash("TZR", "tzr_a.bin", "", "tzr_c.bin") +
                "\nReload system to the initial mode\n" + notices::change_mode("Switch") +
                "\nProgram exited with code 0\n")
      << transcript(area_, r);
  EXPECT_EQ(r.received, WHICHBOOT + DIR + delete_file("img_b.bin") + dir_file("img_b.bin") +
                            copy("img_c.bin") + DIR + boot_opcode("img_c.bin") + RELOAD +
                            WHICHBOOT + boot_mode("TZR") + RELOAD + WHICHBOOT + DIR +
                            copy("tzr_c.bin") + DIR + boot_opcode("tzr_c.bin") + RELOAD +
                            WHICHBOOT + boot_mode("Switch") + RELOAD)
      << transcript(area_, r);
  qbsim_state st = area_.state();
  EXPECT_EQ(st.mode, "Switch");
  EXPECT_EQ(st.running, "img_c.bin");
  EXPECT_EQ(images_of(st, "Switch"), SWITCH_FLASHED);
  EXPECT_EQ(images_of(st, "TZR"), TZR_FLASHED);
  EXPECT_EQ(images_of(st, "EHM"), "ehm_a.bin:Y");
}

TEST_F(UpdateBoth, FromEhmFlashesTzrAndReturnsToEhm) {
  start_in("EHM", "ehm_a.bin");
  e2e_result r = run();
  ASSERT_EQ(r.status, 0) << transcript(area_, r);
  EXPECT_EQ(r.output,
            BANNER + "Mode: flashing both modes\n\n" + notices::current("EHM", "ehm_a.bin") +
                notices::flash("EHM", "ehm_a.bin", "", "img_c.bin") + notices::change_mode("TZR") +
                notices::current("TZR", "tzr_a.bin") +
                notices::flash("TZR", "tzr_a.bin", "", "tzr_c.bin") +
                "\nReload system to the initial mode\n" + notices::change_mode("EHM") +
                "\nProgram exited with code 0\n")
      << transcript(area_, r);
  qbsim_state st = area_.state();
  EXPECT_EQ(st.mode, "EHM");
  EXPECT_EQ(images_of(st, "EHM"), EHM_FLASHED);
  EXPECT_EQ(images_of(st, "TZR"), TZR_FLASHED);
  EXPECT_EQ(images_of(st, "Switch"), "img_a.bin:Y img_b.bin:N");
}

TEST_F(UpdateBoth, FromTzrFlashesSwitchAndReturnsToTzr) {
  start_in("TZR", "tzr_a.bin");
  e2e_result r = run();
  ASSERT_EQ(r.status, 0) << transcript(area_, r);
  EXPECT_TRUE(in_order(r.output, {"\nExecuting flashing for mode 'TZR'\n",
                                  "\nChanging current boot mode to 'Switch'...\n",
                                  "\nExecuting flashing for mode 'Switch'\n",
                                  "\nReload system to the initial mode\n",
                                  "\nChanging current boot mode to 'TZR'...\n",
                                  "\nProgram exited with code 0\n"}))
      << transcript(area_, r);
  qbsim_state st = area_.state();
  EXPECT_EQ(st.mode, "TZR");
  EXPECT_EQ(images_of(st, "TZR"), TZR_FLASHED);
  EXPECT_EQ(images_of(st, "Switch"), SWITCH_FLASHED);
}

TEST_F(UpdateBoth, ModuleStayingInTheFirstModeIsNotFlashedTwice) {
  ASSERT_TRUE(area_.add_fault("same-mode", "reload", 2));
  e2e_result r = run();
  EXPECT_EQ(r.status, 12) << transcript(area_, r);
  EXPECT_TRUE(in_order(r.output, {"\nChanging current boot mode to 'TZR'...\n",
                                  "\nExecuting flashing for mode 'Switch'\n",
                                  "\nTrying to flash the mode 'Switch' twice\n",
                                  "\nFlashing was canceled with error 12\n",
                                  "\nProgram exited with code 12\n"}))
      << transcript(area_, r);
  EXPECT_EQ(r.output.find("initial mode"), std::string::npos) << transcript(area_, r);
  // The second whichboot is the last thing the module hears of.
  std::string tail = boot_mode("TZR") + RELOAD + WHICHBOOT;
  EXPECT_EQ(r.received.substr(r.received.size() - tail.size()), tail) << transcript(area_, r);
}

TEST_F(UpdateBoth, FailedReturnToTheInitialModeIsOnlyAWarning) {
  // The fourth boot-system is the one that asks for the initial mode.
  ASSERT_TRUE(area_.add_fault("error", "boot-system", 4));
  e2e_result r = run();
  EXPECT_EQ(r.status, 0) << transcript(area_, r);
  EXPECT_TRUE(in_order(r.output, {"\nSystem was successfully flashed for mode 'TZR'\n",
                                  "\nReload system to the initial mode\n",
                                  "\nChanging current boot mode to 'Switch'...\n",
                                  "Warning> \nCannot reload the system to initial mode 'Switch'\n",
                                  "\nProgram exited with code 0\n"}))
      << transcript(area_, r);
  EXPECT_EQ(area_.state().mode, "TZR");
}

TEST(RealChain, UpdateOfBothModesFromSwitch) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(add_update_images(area));
  e2e_result r = run_tool(area, update_args(true), real_chain(900));
  ASSERT_EQ(r.status, 0) << transcript(area, r);
  EXPECT_TRUE(in_order(r.output, {"\nSystem was successfully flashed for mode 'Switch'\n",
                                  "\nSystem was successfully flashed for mode 'TZR'\n",
                                  "\nReload system to the initial mode\n",
                                  "\nProgram exited with code 0\n"}))
      << transcript(area, r);
  qbsim_state st = area.state();
  EXPECT_EQ(st.mode, "Switch");
  EXPECT_EQ(images_of(st, "Switch"), SWITCH_FLASHED);
  EXPECT_EQ(images_of(st, "TZR"), TZR_FLASHED);
}

}  // namespace
