// "copy": the module's questions and progress lines, and recorded final
// answers, replayed through its parsers with no client started.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "nxa-tools-trace.h"
#include "ssh_exec.h"
#include "test_support.h"

using test_support::CommandDialogue;

namespace {

// The copy command's dialogue once its line is out, moved to state.
struct Copy : CommandDialogue {
  explicit Copy(ExecState state = EXEC_REMOTE) : CommandDialogue(QB_COPY) {
    start();
    cntx().state = state;
  }
};

}  // namespace

TEST(CopyParser, AnswersStartQuestionWithBareY) {
  const char* question = "Do you want to start the transfer? (y/n)";
  EXPECT_EQ("", Copy(EXEC_CONNECTING).feed(question));
  EXPECT_EQ("y", Copy().feed(question));
}

TEST(CopyParser, ClaimsEchoAndSummarySilently) {
  const struct {
    const char* chunk;
    int handled;
  } cases[] = {
      {"y", 1}, {"ny", 1}, {"yes", 0}, {"Please wait", 0},
      {"Mode:                 TFTP\r\nDestination filename: f.bin", 1},
      {"Switch management access will be blocked", 1},
  };
  for (const auto& c : cases) {
    Copy copy;
    EXPECT_EQ("", copy.feed(c.chunk)) << c.chunk;
    EXPECT_EQ(c.handled, copy.handled()) << c.chunk;
  }
}

TEST(CopyParser, ReportsProgressInFixedOrder) {
  Copy copy;
  nxa_set_trace(TRACE_MODE_VERBOSE);
  testing::internal::CaptureStdout();
  copy.feed("Verifying CRC...\r\ncode transfer starting");
  std::string out = testing::internal::GetCapturedStdout();
  nxa_set_trace(TRACE_MODE_QUIET);
  size_t transfer = out.find("transfer starting...\n");
  ASSERT_NE(std::string::npos, transfer);
  EXPECT_NE(std::string::npos, out.find("verifying CRC...\n", transfer));
}

TEST(CopyParser, JudgesRecordedFinalAnswers) {
  const struct {
    const char* answer;
    QBCodes expected;
  } cases[] = {
      {"copy tftp://server/dir/f.bin image f.bin\r\ny\r\nVerifying CRC...\r\n"
       "TFTP transfer operation completed\r\nquorbel#",
       MORVIK_SUCCESS},
      {"Mode: TFTP\r\ntransfer operation completed\r\nquorbel#", MORVIK_REMOTE_PARSER_ERR},
      {"y\r\nTransfer Canceled\r\n% Incorrect input\r\nquorbel#", MORVIK_CLI_CMD_FAILED_ERR},
      {"Image not intended for this product\r\nquorbel#", MORVIK_CLI_CMD_FAILED_ERR},
      {"quorbel#", MORVIK_REMOTE_PARSER_ERR},
      {"% Invalid input detected at '^' marker.\r\nquorbel#", MORVIK_CLI_INVALID_PARAM_ERR},
  };
  for (const auto& c : cases) {
    Copy copy;
    EXPECT_EQ("quit\n", copy.feed(c.answer)) << c.answer;
    EXPECT_EQ(c.expected, copy.cntx().cli_result) << c.answer;
  }
}

TEST(ExecCopy, NullArgumentsAreInternalError) {
  char url[] = "server/dir";
  exec_context* cntx = nullptr;
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_copy(session_settings(), nullptr, url, &cntx, 1200));
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_copy(session_settings(), url, nullptr, &cntx, 1200));
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_copy(session_settings(), url, url, nullptr, 1200));
}
