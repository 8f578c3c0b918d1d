// The state file: what a test writes must come back the same, bad lines must
// be refused with their line number, and faults must fire on the right use.
#include <unistd.h>

#include <cstdlib>

#include "gtest/gtest.h"
#include "module_state.h"

namespace {

std::string temp_dir() {
  char tmpl[] = "/tmp/qbsim-state-XXXXXX";
  char* d = mkdtemp(tmpl);
  return d != nullptr ? d : "";
}

TEST(ModuleState, FormatAndParseRoundTrip) {
  qbsim_state st = qbsim_state_default(true);
  st.unsaved = true;
  st.restart = "requested";
  st.boot_fault = "same-mode";
  st.downtime = 9;
  st.faults.push_back({"error", "dir", 2, "% Invalid input detected at marker"});
  st.faults.push_back({"silence", "whichboot", 0, ""});
  st.counts["dir"] = 3;
  qbsim_state back;
  std::string err;
  ASSERT_TRUE(qbsim_state_parse(qbsim_state_format(st), &back, &err)) << err;
  EXPECT_EQ(qbsim_state_format(back), qbsim_state_format(st));
  EXPECT_EQ(back.flavour, "sim");
  EXPECT_TRUE(back.unsaved);
  ASSERT_EQ(back.faults.size(), 2u);
  EXPECT_EQ(back.faults[0].arg, "% Invalid input detected at marker");
  EXPECT_EQ(back.faults[1].occurrence, 0);
  EXPECT_EQ(back.counts["dir"], 3);
}

TEST(ModuleState, ParseRefusesBadLinesWithTheirNumber) {
  qbsim_state st;
  std::string err;
  EXPECT_FALSE(qbsim_state_parse("mode Switch\nmode Router\n", &st, &err));
  EXPECT_NE(err.find("line 2"), std::string::npos) << err;
  EXPECT_FALSE(qbsim_state_parse("fault silence dir 0\n", &st, &err));
  EXPECT_FALSE(qbsim_state_parse("image Switch a.bin Y 2009-01-01 12x\n", &st, &err));
  EXPECT_FALSE(qbsim_state_parse("hostname sw#1\n", &st, &err));
  EXPECT_TRUE(qbsim_state_parse("# comment\n\nmode tzr\n", &st, &err)) << err;
  EXPECT_EQ(st.mode, "TZR");
}

TEST(ModuleState, HashBeginsACommentOnlyAtTheStartOfAWord) {
  qbsim_state st;
  std::string err;
  ASSERT_TRUE(qbsim_state_parse("image Switch old#1.bin N 2009-01-15 5 # second image\n"
                                "running cfg#2.bak\t#running\n"
                                "fault silence whichboot 2 20 # silent\n",
                                &st, &err))
      << err;
  ASSERT_EQ(st.images.size(), 1u);
  EXPECT_EQ(st.images[0].name, "old#1.bin");
  EXPECT_EQ(st.running, "cfg#2.bak");
  ASSERT_EQ(st.faults.size(), 1u);
  EXPECT_EQ(st.faults[0].arg, "20");
}

TEST(ModuleState, FaultFiresOnItsOccurrenceOnly) {
  std::string dir = temp_dir();
  qbsim_state st = qbsim_state_default(false);
  st.faults.push_back({"silence", "whichboot", 2, "5"});
  st.faults.push_back({"long", "any", 0, ""});
  std::string err;
  ASSERT_TRUE(qbsim_state_init(dir, st, &err)) << err;
  std::vector<qbsim_fault> first = qbsim_take_faults(dir, "whichboot");
  std::vector<qbsim_fault> second = qbsim_take_faults(dir, "whichboot");
  std::vector<qbsim_fault> third = qbsim_take_faults(dir, "whichboot");
  std::vector<qbsim_fault> other = qbsim_take_faults(dir, "dir");
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].kind, "long");
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0].kind, "silence");
  EXPECT_EQ(second[0].arg, "5");
  EXPECT_EQ(third.size(), 1u);
  EXPECT_EQ(other.size(), 1u);
  qbsim_state back;
  ASSERT_TRUE(qbsim_state_load(dir, &back, &err)) << err;
  EXPECT_EQ(back.counts["whichboot"], 3);
  EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

TEST(ModuleState, BootRunsNextModeWithItsStartupImage) {
  qbsim_state st = qbsim_state_default(false);
  st.next_mode = "TZR";
  st.unsaved = true;
  st.restart = "down";
  qbsim_apply_boot(st);
  EXPECT_EQ(st.mode, "TZR");
  EXPECT_EQ(st.running, "tzr_a.bin");
  EXPECT_FALSE(st.unsaved);
  EXPECT_EQ(st.restart, "none");
}

TEST(ModuleState, BootFaultsBendTheStart) {
  qbsim_state st = qbsim_state_default(false);
  st.next_mode = "EHM";
  st.boot_fault = "same-mode";
  qbsim_apply_boot(st);
  EXPECT_EQ(st.mode, "Switch");
  EXPECT_TRUE(st.boot_fault.empty());
  st.boot_fault = "wrong-image";
  qbsim_apply_boot(st);  // Switch has a second image to come back with
  EXPECT_EQ(st.mode, "EHM");
  EXPECT_EQ(st.running, "ehm_a.bin");  // EHM has none: it keeps its own
  st.next_mode = "Switch";
  st.boot_fault = "wrong-image";
  qbsim_apply_boot(st);
  EXPECT_EQ(st.running, "img_b.bin");
}

}  // namespace
