// "reload": its questions, the announcement and recorded final answers replayed
// through its parsers with no client started, and its verdict.
#include <gtest/gtest.h>

#include <string>

#include "ssh_exec.h"
#include "test_support.h"

using test_support::CommandDialogue;

namespace {

// The reload command's dialogue once its line is out.
struct Reload : CommandDialogue {
  Reload() : CommandDialogue(QB_RELOAD) { EXPECT_EQ("reload\r\n", start()); }
};

}  // namespace

TEST(ReloadParser, SavesConfigurationThenConfirmsRestart) {
  Reload reload;
  EXPECT_EQ("", reload.feed("The system has unsaved changes."));
  EXPECT_EQ("y", reload.feed("Would you like to save them now? (y/n)"));
  EXPECT_EQ("", reload.feed("y\r\nConfiguration Saved"));
  EXPECT_EQ("y", reload.feed("Are you sure you would like to reset the system? (y/n)"));
  EXPECT_EQ("", reload.feed("y\r\nSystem will now restart!"));
  EXPECT_EQ(EXEC_REMOTE_FINISH, reload.cntx().state);
  EXPECT_EQ(1, reload.cntx().p_reload->restart_marker);
}

// A notice in the same chunk hides neither the question nor the restart.
TEST(ReloadParser, SavedConfigurationBesideTheResetQuestionOrTheRestart) {
  Reload asked, restarting;
  EXPECT_EQ("y", asked.feed("Configuration Saved\r\nAre you sure you would like to reset? (y/n)"));
  EXPECT_EQ(EXEC_REMOTE, asked.cntx().state);
  restarting.feed("Configuration Saved\r\nSystem will now restart!");
  EXPECT_EQ(1, restarting.cntx().p_reload->restart_marker);
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
    Reload reload;
    EXPECT_EQ("quit\n", reload.feed(c.answer)) << c.answer;
    EXPECT_EQ(c.expected, reload.cntx().cli_result) << c.answer;
  }
}

// Silence after the announcement is the module going down: the session's
// time-out then counts as what the answer said.
TEST(ReloadVerdict, TimeoutAfterTheAnnouncementIsNoFailure) {
  const struct {
    ExecState state;
    int marker;
    QBCodes cli_result;
    QBCodes before;
    QBCodes after;
  } cases[] = {
      {EXEC_CANCELED_BY_TIMEOUT, 1, MORVIK_SUCCESS, MORVIK_REMOTE_TIMEOUT_ERR, MORVIK_SUCCESS},
      {EXEC_CANCELED_BY_TIMEOUT, 1, MORVIK_CLI_INVALID_PARAM_ERR, MORVIK_REMOTE_TIMEOUT_ERR,
       MORVIK_CLI_INVALID_PARAM_ERR},
      {EXEC_CANCELED_BY_TIMEOUT, 0, MORVIK_SUCCESS, MORVIK_REMOTE_TIMEOUT_ERR,
       MORVIK_REMOTE_TIMEOUT_ERR},
      {EXEC_REMOTE, 1, MORVIK_SUCCESS, MORVIK_REMOTE_PARSER_ERR, MORVIK_REMOTE_PARSER_ERR},
  };
  for (const auto& c : cases) {
    exec_context cntx;
    cntx.state = c.state;
    cntx.cli_result = c.cli_result;
    cntx.p_reload->restart_marker = c.marker;
    EXPECT_EQ(c.after, reload_command.verdict(&cntx, c.before));
  }
}

TEST(ExecReload, NullPointerIsInternalError) {
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_reload(session_settings(), nullptr, 60));
}
