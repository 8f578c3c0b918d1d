// "boot-system": the mode names it may send, and recorded answers replayed
// through its parsers with no client started.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ssh_exec.h"
#include "test_support.h"

using test_support::CommandDialogue;

namespace {

// A dialogue for mode (or image f.bin) whose first prompt has been handed on;
// sent gets what went out then.
struct BootSystem : CommandDialogue {
  BootSystem(QbCliType type, int mode) : CommandDialogue(QB_BOOT_SYSTEM, type) {
    cntx().p_bootsystem->mode = static_cast<QbBootMode>(mode);
    sent = start();
  }
  std::string sent;
};

}  // namespace

// A mode without an entry in the table of mode names must not be looked up.
TEST(BootsystemParser, UnservableRequestSendsNothing) {
  const struct {
    QbCliType type;
    int mode;
  } cases[] = {{QB_CLI_RELOAD, QB_MODE_SWITCH}, {QB_CLI_BOOT_SYSTEM_MODE, QB_MODE_ALL},
               {QB_CLI_BOOT_SYSTEM_MODE, 7}};
  for (const auto& c : cases) {
    BootSystem dialogue(c.type, c.mode);
    EXPECT_EQ("", dialogue.sent) << c.mode;
    EXPECT_EQ(MORVIK_INTERNAL_ERR, dialogue.cntx().cli_result) << c.mode;
    EXPECT_EQ(EXEC_LOGIN, dialogue.cntx().state) << c.mode;
  }
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
    BootSystem dialogue(c.type, QB_MODE_TZR);
    EXPECT_EQ("quit\n", dialogue.feed(c.answer)) << c.answer;
    EXPECT_EQ(c.expected, dialogue.cntx().cli_result) << c.answer;
    EXPECT_EQ(c.marker, dialogue.cntx().p_bootsystem->startup_marker) << c.answer;
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
