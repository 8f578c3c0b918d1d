#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "nxa-tools-trace.h"
#include "ssh_exec.h"

namespace {

// Sends the copy command at the first prompt, then hands chunk over in state.
// Returns what the parser wrote back; *handled gets its result.
std::string reply(exec_context& cntx, ExecState state, const char* chunk, int* handled = nullptr) {
  char sent[4096] = {0};
  snprintf(cntx.p_copy->tftp_url, sizeof(cntx.p_copy->tftp_url), "tftp://server/dir");
  snprintf(cntx.p_copy->srcfile, sizeof(cntx.p_copy->srcfile), "f.bin");
  snprintf(cntx.p_copy->destfile, sizeof(cntx.p_copy->destfile), "f.bin");
  cntx.state = EXEC_LOGIN;
  if (copy_parser("quorbel#", sent, sizeof(sent), &cntx) && state == EXEC_LOGIN)
    return sent;
  cntx.state = state;
  sent[0] = '\0';
  int result = copy_parser(chunk, sent, sizeof(sent), &cntx);
  if (handled != nullptr)
    *handled = result;
  return sent;
}

}  // namespace

TEST(CopyParser, SendsUrlFileAndDestination) {
  exec_context cntx;
  EXPECT_EQ("copy tftp://server/dir/f.bin image f.bin\r\n", reply(cntx, EXEC_LOGIN, ""));
}

TEST(CopyParser, AnswersStartQuestionWithBareY) {
  const char* question = "Do you want to start the transfer? (y/n)";
  exec_context before, after;
  EXPECT_EQ("", reply(before, EXEC_CONNECTING, question));
  EXPECT_EQ("y", reply(after, EXEC_REMOTE, question));
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
    exec_context cntx;
    int handled = -1;
    EXPECT_EQ("", reply(cntx, EXEC_REMOTE, c.chunk, &handled)) << c.chunk;
    EXPECT_EQ(c.handled, handled) << c.chunk;
  }
}

TEST(CopyParser, ReportsProgressInFixedOrder) {
  exec_context cntx;
  nxa_set_trace(TRACE_MODE_VERBOSE);
  testing::internal::CaptureStdout();
  reply(cntx, EXEC_REMOTE, "Verifying CRC...\r\ncode transfer starting");
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
    exec_context cntx;
    reply(cntx, EXEC_REMOTE, c.answer);
    EXPECT_EQ(c.expected, cntx.cli_result) << c.answer;
  }
}

TEST(ExecCopy, NullArgumentsAreInternalError) {
  char url[] = "server/dir";
  exec_context* cntx = nullptr;
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_copy(session_settings(), nullptr, url, &cntx, 1200));
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_copy(session_settings(), url, nullptr, &cntx, 1200));
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_copy(session_settings(), url, url, nullptr, 1200));
}
