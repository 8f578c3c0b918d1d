// The harness's text helpers, which every end-to-end comparison relies on,
// and its collection of sanitizer reports.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

TEST(Harness, SanitizerOptionsKeepInheritedOnesAndAddTheLogPath) {
  EXPECT_EQ(sanitizer_env("ASAN_OPTIONS", nullptr, "/w/r"), "ASAN_OPTIONS=log_path=/w/r");
  EXPECT_EQ(sanitizer_env("UBSAN_OPTIONS", "verbosity=1", "/w/r"),
            "UBSAN_OPTIONS=verbosity=1:log_path=/w/r");
}

TEST(Harness, SanitizerReportsAreTakenOnceAndOtherFilesStay) {
  char tmpl[] = "/tmp/morvik-harness-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const auto write = [&](const char* name, const char* text) {
    FILE* f = fopen((dir + "/" + name).c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(text, f);
    fclose(f);
  };
  write("report.12", "second");
  write("report.3", "first\n");
  write("reportx.1", "other");
  EXPECT_EQ(take_sanitizer_reports(dir + "/report"),
            "---- report.12\nsecond\n---- report.3\nfirst\n");
  EXPECT_EQ(take_sanitizer_reports(dir + "/report"), "");
  struct stat st;
  EXPECT_EQ(stat((dir + "/reportx.1").c_str(), &st), 0);
  EXPECT_EQ(take_sanitizer_reports(dir + "/missing/report"), "");
  std::string rm = "rm -rf " + dir;
  EXPECT_EQ(system(rm.c_str()), 0);
}

}  // namespace
