#include <gtest/gtest.h>

#include <string>

#include "ssh_exec.h"

namespace {

// Hands one chunk through the parser chain as the session engine does and
// returns what would be written back.
std::string feed(exec_context& cntx, const char* chunk) {
  char sent[4096] = {0};
  if (!def_parser(session_settings(), chunk, sent, sizeof(sent), &cntx) &&
      !reload_parser(chunk, sent, sizeof(sent), &cntx))
    def_parser(session_settings(), chunk, sent, sizeof(sent), &cntx);
  return sent;
}

// A context of the given type at its first prompt.
std::string start(exec_context& cntx, QbCliType type) {
  cntx.type = type;
  cntx.state = EXEC_LOGIN;
  return feed(cntx, "quorbel#");
}

}  // namespace

TEST(ReloadParser, SendsReloadOnlyForItsType) {
  exec_context other, reload;
  EXPECT_EQ("", start(other, QB_CLI_DIR));
  EXPECT_EQ(MORVIK_INTERNAL_ERR, other.cli_result);
  EXPECT_EQ("reload\r\n", start(reload, QB_CLI_RELOAD));
}

TEST(ReloadParser, SavesConfigurationThenConfirmsRestart) {
  exec_context cntx;
  start(cntx, QB_CLI_RELOAD);
  EXPECT_EQ("", feed(cntx, "The system has unsaved changes."));
  EXPECT_EQ("y", feed(cntx, "Would you like to save them now? (y/n)"));
  EXPECT_EQ("", feed(cntx, "y\r\nConfiguration Saved"));
  EXPECT_EQ("y", feed(cntx, "Are you sure you would like to reset the system? (y/n)"));
  EXPECT_EQ("", feed(cntx, "y\r\nSystem will now restart!"));
  EXPECT_EQ(EXEC_REMOTE_FINISH, cntx.state);
  EXPECT_EQ(1, cntx.p_reload->restart_marker);
}

// A notice in the same chunk hides neither the question nor the restart.
TEST(ReloadParser, SavedConfigurationBesideTheResetQuestionOrTheRestart) {
  exec_context asked, restarting;
  start(asked, QB_CLI_RELOAD);
  EXPECT_EQ("y", feed(asked, "Configuration Saved\r\nAre you sure you would like to reset? (y/n)"));
  EXPECT_EQ(EXEC_REMOTE, asked.state);
  start(restarting, QB_CLI_RELOAD);
  feed(restarting, "Configuration Saved\r\nSystem will now restart!");
  EXPECT_EQ(1, restarting.p_reload->restart_marker);
}

TEST(ReloadParser, JudgesRecordedFinalAnswers) {
  const struct {
    const char* answer;
    QBCodes expected;
  } cases[] = {
      {"reload\r\nquorbel#", MORVIK_SUCCESS},
      {"y\r\nSystem will now restart!\r\nquorbel#", MORVIK_SUCCESS},
      {"% Incorrect input\r\nquorbel#", MORVIK_CLI_INVALID_PARAM_ERR},
      {"-bash: reload: command not found\r\nadmin@quorbel:~$", MORVIK_CLI_INVALID_PARAM_ERR},
      {"Configuration Saved\r\nquorbel#", MORVIK_REMOTE_PARSER_ERR},
  };
  for (const auto& c : cases) {
    exec_context cntx;
    start(cntx, QB_CLI_RELOAD);
    EXPECT_EQ("quit\n", feed(cntx, c.answer)) << c.answer;
    EXPECT_EQ(c.expected, cntx.cli_result) << c.answer;
  }
}

TEST(ExecReload, NullPointerIsInternalError) {
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_reload(session_settings(), nullptr, 60));
}
