#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ssh_exec.h"

namespace {

// Prepares a request for mode or image f.bin and hands the first prompt over.
// Returns what the parser wrote back.
std::string start(exec_context& cntx, QbCliType type, int mode) {
  char sent[4096] = {0};
  cntx.type = type;
  cntx.p_bootsystem->mode = static_cast<QbBootMode>(mode);
  snprintf(cntx.p_bootsystem->imagename, sizeof(cntx.p_bootsystem->imagename), "f.bin");
  cntx.state = EXEC_LOGIN;
  bootsystem_parser("quorbel#", sent, sizeof(sent), &cntx);
  return sent;
}

}  // namespace

TEST(BootsystemParser, SendsModeNameOrImageName) {
  exec_context mode, opcode;
  EXPECT_EQ("boot-system mode TZR\r\n", start(mode, QB_CLI_BOOT_SYSTEM_MODE, QB_MODE_TZR));
  EXPECT_EQ("boot-system opcode f.bin\r\n", start(opcode, QB_CLI_BOOT_SYSTEM_OPCODE, 0));
}

// A mode without an entry in the table of mode names must not be looked up.
TEST(BootsystemParser, UnservableRequestSendsNothing) {
  exec_context other, past_table, far_past;
  EXPECT_EQ("", start(other, QB_CLI_RELOAD, QB_MODE_SWITCH));
  EXPECT_EQ("", start(past_table, QB_CLI_BOOT_SYSTEM_MODE, QB_MODE_ALL));
  EXPECT_EQ("", start(far_past, QB_CLI_BOOT_SYSTEM_MODE, 7));
  for (const exec_context* cntx : {&other, &past_table, &far_past})
    EXPECT_EQ(MORVIK_INTERNAL_ERR, cntx->cli_result);
}

TEST(BootsystemParser, JudgesRecordedAnswers) {
  const struct {
    QbCliType type;
    const char* answer;
    QBCodes expected;
    int marker;
  } cases[] = {
      {QB_CLI_BOOT_SYSTEM_MODE, "boot-system mode TZR\r\nquorbel#", MORVIK_SUCCESS, 0},
      // A failed mode change is a failure, said by the line itself.
      {QB_CLI_BOOT_SYSTEM_MODE, "Start Up Failed!\r\nquorbel#", MORVIK_CLI_CMD_FAILED_ERR, 0},
      {QB_CLI_BOOT_SYSTEM_OPCODE, "Start Up Success\r\nquorbel#", MORVIK_SUCCESS, 1},
      // The missing confirmation is judged after the session.
      {QB_CLI_BOOT_SYSTEM_OPCODE, "Start Up Failed!\r\nquorbel#", MORVIK_SUCCESS, 0},
      {QB_CLI_BOOT_SYSTEM_OPCODE, "quorbel#", MORVIK_REMOTE_PARSER_ERR, 0},
      {QB_CLI_BOOT_SYSTEM_MODE, "% Incorrect input\r\nquorbel#", MORVIK_CLI_INVALID_PARAM_ERR, 0},
  };
  for (const auto& c : cases) {
    exec_context cntx;
    char sent[4096] = {0};
    start(cntx, c.type, QB_MODE_TZR);
    EXPECT_EQ(0, bootsystem_parser(c.answer, sent, sizeof(sent), &cntx)) << c.answer;
    EXPECT_EQ(c.expected, cntx.cli_result) << c.answer;
    EXPECT_EQ(c.marker, cntx.p_bootsystem->startup_marker) << c.answer;
  }
}

TEST(ExecBootsystem, IncompleteRequestIsInternalErrorWithoutSession) {
  exec_context* held = new exec_context;
  EXPECT_EQ(MORVIK_INTERNAL_ERR,
            exec_bootsystem(session_settings(), QB_CLI_BOOT_SYSTEM_OPCODE, nullptr, QB_MODE_UNKNOWN, &held));
  EXPECT_EQ(nullptr, held);
  EXPECT_EQ(MORVIK_INTERNAL_ERR,
            exec_bootsystem(session_settings(), QB_CLI_BOOT_SYSTEM_MODE, nullptr, QB_MODE_ALL, &held));
  EXPECT_EQ(MORVIK_INTERNAL_ERR,
            exec_bootsystem(session_settings(), QB_CLI_BOOT_SYSTEM_MODE, nullptr, QB_MODE_TZR, nullptr));
}
