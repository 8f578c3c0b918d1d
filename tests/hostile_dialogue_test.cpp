// Hostile output of the module played through the whole session engine by the
// scripted fake client: the account check's command ends with its documented
// code, the tool sends nothing it should not, and nothing hangs.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "main.h"
#include "nxa-tools-trace.h"
#include "ssh_exec.h"
#include "test_support.h"

namespace {

const std::string kLogin =
    "say Using username \"admin\".\\r\\nadmin@127.0.0.1's password: \n"
    "expect secret\\n\nsay \\r\\nquorbel# \nexpect show loginsession\\r\\n\n";
const std::string kTable =
    "show loginsession\\r\\n"
    "ID  User Name   Connection From  Idle Time  Session Time  Session Type\\r\\n"
    "--  ----------  ---------------  ---------  ------------  ------------\\r\\n";
const std::string kRow = "1   admin       127.0.0.1        00:00:00   00:00:03      SSH\\r\\n";
const std::string kLogout = "expect quit\\n\nexit 0\n";
const char kAnswered[] = "secret\nshow loginsession\r\nquit\n";

struct Row {
  const char* name;
  std::string script;
  QBCodes result;
  const char* sent;  // everything the tool wrote to the client
};

const Row kRows[] = {
    {"GarbageBeforeThePasswordPrompt",
     "say \\x80\\xff\\x01\\x1b[0m\\xfe\\r\\n\nsleep 1.5\n" + kLogin + "say " + kTable + kRow +
         "quorbel# \n" + kLogout,
     MORVIK_SUCCESS, kAnswered},
    {"GarbageAsTheAnswer",
     kLogin + "say show loginsession\\r\\n\\x80\\xff\\x01\\x1b[0m\\xfe\\x7f\\r\\nquorbel# \n" +
         kLogout,
     MORVIK_REMOTE_PARSER_ERR, kAnswered},
    {"LineOfTenThousandCharacters",
     kLogin + "say show loginsession\\r\\n\nrepeat 10000 x\nsay \\r\\nquorbel# \n" + kLogout,
     MORVIK_REMOTE_PARSER_ERR, kAnswered},
    {"NulBytesAloneAreDropped",
     kLogin + "say \\x00\\x00\\x00\nsleep 3\nsay " + kTable + kRow + "quorbel# \n" + kLogout,
     MORVIK_SUCCESS, kAnswered},
    // A terminal shows nothing for NUL; the answer around it still counts.
    {"NulBytesInsideTheAnswerAreDropped",
     kLogin + "say " + kTable + "1   admin  \\x00     127.0.0.1        00:00:00   00:00:03      SSH" +
         "\\r\\n\\x00quorbel# \n" + kLogout,
     MORVIK_SUCCESS, kAnswered},
    {"NulAfterThePrompt",
     kLogin + "say " + kTable + kRow + "quorbel# \\x00\\x01\\x07\n" + kLogout, MORVIK_SUCCESS,
     kAnswered},
    // Only the last line is the prompt: a row with the character counts.
    {"PromptCharacterInsideTheAnswer",
     kLogin + "say " + kTable +
         "1   ad#min      127.0.0.1        00:00:00   00:00:03      SSH\\r\\n" + kRow +
         "quorbel# \n" + kLogout,
     MORVIK_SUCCESS, kAnswered},
};

class HostileDialogue : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    setenv("FAKEPLINK_SCRIPT", (dir_.path() + "/script").c_str(), 1);
    setenv("FAKEPLINK_LOG", (dir_.path() + "/input").c_str(), 1);
    simulator_mode = 0;
    signal(SIGPIPE, SIG_IGN);
  }
  void TearDown() override {
    release_cntx(&cntx_);
    unsetenv("FAKEPLINK_SCRIPT");
    unsetenv("FAKEPLINK_LOG");
  }

  test_support::TempDir dir_;
  exec_context* cntx_ = nullptr;
};

TEST_P(HostileDialogue, EndsWithItsDocumentedCode) {
  const Row& row = GetParam();
  dir_.write("script", row.script, 0644);
  const time_t begin = time(nullptr);
  QBCodes rc = MORVIK_INTERNAL_ERR;
  std::string trace;
  {
    test_support::TraceMode debug(TRACE_MODE_DEBUG);
    test_support::StdCapture capture;
    rc = exec_show(test_support::client_settings(FAKEPLINK_PATH), QB_CLI_SHOW_LOGINSESSION, &cntx_);
    trace = capture.out();
  }
  EXPECT_EQ(rc, row.result) << trace;
  EXPECT_EQ(test_support::read_file(dir_.path() + "/input"), row.sent) << trace;
  // Idle time-out and the client's termination bound every session.
  EXPECT_LT(difftime(time(nullptr), begin), 30);
}

INSTANTIATE_TEST_SUITE_P(Module, HostileDialogue, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
