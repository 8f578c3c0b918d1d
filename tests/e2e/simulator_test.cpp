// The hidden simulator mode: the same update against the simulator's bash
// login with its qb_* commands, ending each session with qb_quit and exit.
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

std::vector<std::string> simulator_update() {
  std::vector<std::string> args = update_args(false);
  args.push_back("-sim");
  return args;
}

void expect_simulated_update(const e2e_area& area, const e2e_result& r) {
  ASSERT_EQ(r.status, 0) << transcript(area, r);
  EXPECT_TRUE(in_order(r.output, {"\nSimulator mode!!!\n",
                                  "\nSystem was successfully flashed for mode 'Switch'\n",
                                  "\nProgram exited with code 0\n"}))
      << transcript(area, r);
  EXPECT_EQ(r.output.find("cannot"), std::string::npos) << transcript(area, r);
  EXPECT_TRUE(in_order(r.received, {"qb_whichboot\r\n", "qb_quit\n", "qb_dir opcode\r\n",
                                    "qb_delete img_b.bin\r\n", "qb_dir opcode img_b.bin\r\n",
                                    "qb_copy tftp://127.0.0.1/images/img_c.bin image img_c.bin\r\n",
                                    "qb_boot_system opcode img_c.bin\r\n", "qb_reload\r\n",
                                    "qb_whichboot\r\n"}))
      << transcript(area, r);
  qbsim_state st = area.state();
  EXPECT_EQ(st.running, "img_c.bin");
  EXPECT_EQ(images_of(st, "Switch"), "img_a.bin:N img_c.bin:Y");
}

// After qb_quit has ended the login, the tool still writes "exit" to the
// client, which is gone by then: that write must fail, not end the tool.
TEST(Simulator, AccountCheckOutlivesTheExitWrittenToAGoneClient) {
  e2e_area area(true);
  ASSERT_TRUE(area.ok);
  e2e_result r = run_tool(area, {"-host", "127.0.0.1", "-usr", "admin", "-pwd", "secret", "-mode",
                                 "account_check", "-sim", "-D", "verbose"});
  EXPECT_EQ(r.status, 0) << transcript(area, r);
  EXPECT_EQ(r.output, BANNER + "\nSimulator mode!!!\nMode: checking user account\n\n"
                               "\nChecking user account...\nAccount verified\n"
                               "\nProgram exited with code 0\n")
      << transcript(area, r);
}

TEST(Simulator, UpdateOverTheBashLogin) {
  e2e_area area(true);
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(add_update_images(area));
  e2e_result r = run_tool(area, simulator_update());
  expect_simulated_update(area, r);
}

TEST(RealChain, SimulatorUpdateOverARealBashLogin) {
  e2e_area area(true);
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(add_update_images(area));
  e2e_result r = run_tool(area, simulator_update(), real_chain());
  expect_simulated_update(area, r);
}

}  // namespace
