// In a sanitized build, a report of any program run through the testbed ends
// it with status 99, fails the running test and shows in its transcript.
#include <string>

#include "gtest/gtest-spi.h"
#include "gtest/gtest.h"
#include "harness.h"

#ifndef REPORT_PROBE
#define REPORT_PROBE ""
#endif

namespace {

// EXPECT_NONFATAL_FAILURE sees only static storage.
e2e_area* g_area = nullptr;
e2e_result g_result;

void run_probe(const char* fault) { g_result = run_in_testbed(*g_area, {REPORT_PROBE, fault}); }

TEST(SanitizerReport, EachKindEndsTheProgramAndFailsTheTest) {
  struct {
    const char* fault;
    const char* report;
  } const cases[] = {
      {"overflow", "heap-buffer-overflow"},
      {"undefined", "runtime error: signed integer overflow"},
      {"leak", "detected memory leaks"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    e2e_area area;
    ASSERT_TRUE(area.ok);
    g_area = &area;
    EXPECT_NONFATAL_FAILURE(run_probe(c.fault), "sanitizer reports of");
    EXPECT_EQ(g_result.status, 99) << transcript(area, g_result);
    EXPECT_NE(g_result.sanitizer_reports.find(c.report), std::string::npos)
        << transcript(area, g_result);
    EXPECT_NE(transcript(area, g_result).find(c.report), std::string::npos);
    g_area = nullptr;
  }
}

TEST(SanitizerReport, CleanRunLeavesNoReport) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  e2e_result r = run_in_testbed(area, {REPORT_PROBE, "none"});
  EXPECT_EQ(r.status, 0) << transcript(area, r);
  EXPECT_EQ(r.sanitizer_reports, "");
}

}  // namespace
