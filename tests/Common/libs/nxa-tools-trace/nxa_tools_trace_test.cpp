// Masks, bounds, stream choice and message format of the trace facility.
#include "nxa-tools-trace.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "../../../test_support.h"

using test_support::StdCapture;
using test_support::TraceMode;

namespace {

// Every test leaves the mask as it found it.
class Trace : public ::testing::Test {
 protected:
  void SetUp() override { prev_ = nxa_set_trace(TRACE_MODE_QUIET); }
  void TearDown() override { nxa_set_trace(test_support::mode_of_mask(prev_)); }
  unsigned int prev_ = 0;
};

bool is_stamp(const std::string& text) {
  if (text.size() < 10)
    return false;
  for (int i : {0, 1, 3, 4, 6, 7})
    if (text[i] < '0' || text[i] > '9')
      return false;
  return text[2] == ':' && text[5] == ':' && text.compare(8, 2, ": ") == 0;
}

// The i386 build carries the earlier variant of the facility, which prints
// no time stamp; everything after the stamp is the same in both.
#if defined(__i386__)
const bool STAMPED = false;
#else
const bool STAMPED = true;
#endif

// Returns what follows the stamp of one printed message.
std::string message_of(const std::string& out) {
  if (!STAMPED)
    return out;
  EXPECT_TRUE(is_stamp(out)) << out;
  return out.size() >= 10 ? out.substr(10) : std::string();
}

TEST_F(Trace, InitialMaskPrintsErrorsOnly) {
  // SetUp made the first call of this process, unless another test ran
  // before, and every test restores the mask it found.
  EXPECT_EQ(prev_, 0x01u);
}

TEST_F(Trace, SetTraceReturnsThePreviousMask) {
  struct Row {
    unsigned int mode;
    unsigned int mask;
  };
  const Row rows[] = {
      {TRACE_MODE_QUIET, 0x01},   {TRACE_MODE_INFO, 0x05},    {TRACE_MODE_VERBOSE, 0x0F},
      {TRACE_MODE_DEBUG, 0x1F},   {TRACE_MODE_END, 0x01},     {7, 0x01},
      {0xFFFFFFFFu, 0x01},
  };
  for (const Row& row : rows) {
    nxa_set_trace(row.mode);
    EXPECT_EQ(nxa_set_trace(TRACE_MODE_QUIET), row.mask) << "mode " << row.mode;
  }
  nxa_set_trace(TRACE_MODE_DEBUG);
  EXPECT_EQ(nxa_set_trace(7), 0x1Fu);
  EXPECT_EQ(nxa_set_trace(TRACE_MODE_QUIET), 0x01u);
}

TEST_F(Trace, ModesPrintTheirLevelsOnly) {
  struct Row {
    unsigned int mode;
    const char* printed;  // one character per level 100..105: 'y' printed
  };
  const Row rows[] = {
      {TRACE_MODE_QUIET, "y....y"},   {TRACE_MODE_INFO, "y.y..y"}, {TRACE_MODE_VERBOSE, "yyyy.y"},
      {TRACE_MODE_DEBUG, "yyyyyy"},   {TRACE_MODE_END, "y....y"},  {42, "y....y"},
  };
  for (const Row& row : rows) {
    TraceMode mode(row.mode);
    for (int level = TRACE_ERROR; level <= TRACE_ALWAYS; ++level) {
      const bool expected = row.printed[level - TRACE_ERROR] == 'y';
      StdCapture capture;
      int rc = nxa_trace(level, "message\n");
      EXPECT_EQ(rc, expected ? 0 : 1) << "mode " << row.mode << " level " << level;
      EXPECT_EQ(!capture.out().empty(), expected) << "mode " << row.mode << " level " << level;
    }
  }
}

TEST_F(Trace, BoundsAndNullFormatPrintNothing) {
  TraceMode mode(TRACE_MODE_DEBUG);
  StdCapture capture;
  EXPECT_EQ(nxa_trace(TRACE_START, "x\n"), 1);
  EXPECT_EQ(nxa_trace(TRACE_END, "x\n"), 1);
  EXPECT_EQ(nxa_trace(0, "x\n"), 1);
  EXPECT_EQ(nxa_trace(TRACE_ERROR, nullptr), 1);
  EXPECT_EQ(capture.out(), "");
  EXPECT_EQ(capture.err(), "");
}

TEST_F(Trace, MessageFormatPerLevel) {
  TraceMode mode(TRACE_MODE_DEBUG);
  struct Row {
    int level;
    const char* after_stamp;
  };
  const Row rows[] = {
      {TRACE_ERROR, "text 7\n"},        {TRACE_WARNING, "Warning> text 7\n"},
      {TRACE_INFO, "text 7\n"},         {TRACE_NOTICE, "text 7\n"},
      {TRACE_DEBUG, "trace> text 7\n"}, {TRACE_ALWAYS, "text 7\n"},
  };
  for (const Row& row : rows) {
    StdCapture capture;
    nxa_trace(row.level, "text %d\n", 7);
    EXPECT_EQ(message_of(capture.out()), row.after_stamp) << "level " << row.level;
  }
}

TEST_F(Trace, StampIsLocalTimeOfDay) {
  if (!STAMPED) {
    StdCapture capture;
    nxa_trace(TRACE_ALWAYS, "now\n");
    EXPECT_EQ(capture.out(), "now\n");
    return;
  }
  // Half an hour off any whole-hour zone, so that UTC cannot pass for it.
  const char* old_tz = getenv("TZ");
  const std::string saved_tz = old_tz != nullptr ? old_tz : "";
  setenv("TZ", "XYZ-05:30", 1);
  tzset();
  time_t before = time(nullptr);
  StdCapture capture;
  nxa_trace(TRACE_ALWAYS, "now\n");
  const std::string out = capture.out();
  std::string expected;
  for (time_t t = before; t <= time(nullptr); ++t) {
    struct tm local;
    char stamp[16];
    localtime_r(&t, &local);
    strftime(stamp, sizeof(stamp), "%H:%M:%S", &local);
    expected += std::string(stamp) + " ";
  }
  if (old_tz != nullptr)
    setenv("TZ", saved_tz.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  ASSERT_TRUE(is_stamp(out)) << out;
  EXPECT_NE(expected.find(out.substr(0, 8)), std::string::npos) << out << " vs " << expected;
}

TEST_F(Trace, LongMessageIsCutAt1023Characters) {
  std::string text(2000, 'a');
  StdCapture capture;
  EXPECT_EQ(nxa_trace(TRACE_ERROR, "%s\n", text.c_str()), 0);
  EXPECT_EQ(message_of(capture.out()), std::string(1023, 'a'));
}

TEST_F(Trace, ErrorGoesToStdoutWhenStderrIsNoTerminal) {
  StdCapture capture;
  nxa_trace(TRACE_ERROR, "failed\n");
  EXPECT_EQ(message_of(capture.out()), "failed\n");
  EXPECT_EQ(capture.err(), "");
}

TEST_F(Trace, ErrorGoesToStderrWhenItIsATerminal) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master == -1 || grantpt(master) != 0 || unlockpt(master) != 0)
    GTEST_SKIP() << "no pseudo terminal";
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_NE(slave, -1);

  std::string out;
  {
    StdCapture capture;
    dup2(slave, STDERR_FILENO);
    nxa_trace(TRACE_ERROR, "failed\n");
    nxa_trace(TRACE_WARNING, "not an error\n");
    out = capture.out();
  }
  close(slave);
  std::string tty;
  struct pollfd pfd = {master, POLLIN, 0};
  char buf[256];
  while (poll(&pfd, 1, 500) > 0) {
    ssize_t n = read(master, buf, sizeof(buf));
    if (n <= 0)
      break;
    tty.append(buf, static_cast<size_t>(n));
  }
  close(master);
  // The terminal turns the line end into CR LF.
  EXPECT_EQ(message_of(tty), "failed\r\n");
  EXPECT_EQ(out, "");  // the warning is not printed in quiet mode
}

TEST_F(Trace, ErrorAndAlwaysPrintUnderQuietAndUnknownModes) {
  for (unsigned int m : {static_cast<unsigned int>(TRACE_MODE_QUIET), 99u}) {
    TraceMode mode(m);
    StdCapture capture;
    nxa_trace(TRACE_ALWAYS, "banner\n");
    nxa_trace(TRACE_NOTICE, "progress\n");
    nxa_trace(TRACE_ERROR, "failure\n");
    EXPECT_EQ(test_support::without_stamps(capture.out()), "banner\nfailure\n") << "mode " << m;
  }
}

}  // namespace
