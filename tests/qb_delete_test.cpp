// "delete": its question and recorded final answers replayed through its
// parsers with no client started, and the refusal to delete the startup image.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ssh_exec.h"
#include "test_support.h"

using test_support::CommandDialogue;

namespace {

// The delete command's dialogue for img_b.bin once its line is out, moved to
// state.
struct Delete : CommandDialogue {
  explicit Delete(ExecState state = EXEC_REMOTE) : CommandDialogue(QB_DELETE) {
    start();
    cntx().state = state;
  }
};

}  // namespace

TEST(DeleteParser, AnswersQuestionWithBareYOnlyAfterCommand) {
  const char* question = "Are you sure you want to delete? (y/n)";
  EXPECT_EQ("", Delete(EXEC_CONNECTING).feed(question));
  EXPECT_EQ("y", Delete().feed(question));
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
    Delete dialogue;
    EXPECT_EQ("quit\n", dialogue.feed(c.answer)) << c.answer;
    EXPECT_EQ(c.expected, dialogue.cntx().cli_result) << c.answer;
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
