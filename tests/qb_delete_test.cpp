#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ssh_exec.h"

namespace {

// Sends the command for img_b.bin at the first prompt, then hands chunk over
// in state. Returns what the parser wrote back.
std::string reply(exec_context& cntx, ExecState state, const char* chunk) {
  char sent[4096] = {0};
  snprintf(cntx.p_delete->p_del_file->name, sizeof(cntx.p_delete->p_del_file->name), "img_b.bin");
  cntx.state = EXEC_LOGIN;
  if (delete_parser("quorbel#", sent, sizeof(sent), &cntx) && state == EXEC_LOGIN)
    return sent;
  cntx.state = state;
  sent[0] = '\0';
  delete_parser(chunk, sent, sizeof(sent), &cntx);
  return sent;
}

}  // namespace

TEST(DeleteParser, SendsDeleteWithFileName) {
  exec_context cntx;
  EXPECT_EQ("delete img_b.bin\r\n", reply(cntx, EXEC_LOGIN, ""));
}

TEST(DeleteParser, AnswersQuestionWithBareYOnlyAfterCommand) {
  const char* question = "Are you sure you want to delete? (y/n)";
  exec_context before, after;
  EXPECT_EQ("", reply(before, EXEC_CONNECTING, question));
  EXPECT_EQ("y", reply(after, EXEC_REMOTE, question));
}

TEST(DeleteParser, JudgesRecordedFinalAnswers) {
  const struct {
    const char* answer;
    QBCodes expected;
  } cases[] = {
      {"delete img_b.bin\r\ny\r\nDeleted!\r\nanything\r\nquorbel#", MORVIK_SUCCESS},
      {"y\r\nFile Not Deleted!\r\nquorbel#", MORVIK_CLI_CMD_FAILED_ERR},
      {"y\r\nDelete Failed\r\nquorbel#", MORVIK_CLI_CMD_FAILED_ERR},
      {"quorbel#", MORVIK_REMOTE_PARSER_ERR},
      {"% Incorrect input\r\nquorbel#", MORVIK_CLI_INVALID_PARAM_ERR},
      {"-bash: delete: command not found\r\nadmin@quorbel:~$", MORVIK_CLI_INVALID_PARAM_ERR},
  };
  for (const auto& c : cases) {
    exec_context cntx;
    reply(cntx, EXEC_REMOTE, c.answer);
    EXPECT_EQ(c.expected, cntx.cli_result) << c.answer;
  }
}

TEST(ExecDelete, RefusesStartupImageWithoutSession) {
  file_info f = {"", "img_a.bin", QB_FILE_OPCODE, 'Y', 512};
  exec_context* held = new exec_context;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(MORVIK_CLI_CMD_FAILED_ERR, exec_delete(session_settings(), &f, &held));
  std::string out = testing::internal::GetCapturedStdout();
  out += testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, out.find("Trying to delete startup image 'img_a.bin'.Canceling.\n"));
  EXPECT_EQ(nullptr, held);
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_delete(session_settings(), nullptr, &held));
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_delete(session_settings(), &f, nullptr));
}
