// The harness's text helpers, which every end-to-end comparison relies on.
#include "gtest/gtest.h"
#include "harness.h"

namespace {

TEST(Harness, StripTimeStampsRemovesOnlyLeadingStamps) {
  EXPECT_EQ(strip_time_stamps("12:34:56: Account verified\n12:34:57: \nDone 10:00:00: x\n"),
            "Account verified\n\nDone 10:00:00: x\n");
  EXPECT_EQ(strip_time_stamps("no stamp\n1:2:3: short\n"), "no stamp\n1:2:3: short\n");
  EXPECT_EQ(strip_time_stamps("12:34:56: last line without end"), "last line without end");
}

TEST(Harness, VisibleBytesSpellsOutLineEndsAndControls) {
  EXPECT_EQ(visible_bytes("dir\r\ny\x01"), "dir\\r\\n\ny\\x01");
}

}  // namespace
