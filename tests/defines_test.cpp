// Command words, the command table and its runner, boot-mode names, and the
// records of a remote command with their list methods.
#include "defines.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <string>

#include <gtest/gtest.h>

#include "ssh_exec.h"
#include "test_support.h"

namespace {

// Reports name a code as the source spells it; a renumbered or renamed code
// would otherwise go unnoticed there.
TEST(ResultCodes, NamesMatchTheEnumeratorsAndEveryCodeHasAMeaning) {
#define CODE(c) {c, #c}
  const struct {
    int code;
    const char* name;
  } rows[] = {
      CODE(MORVIK_SUCCESS),           CODE(MORVIK_INVALID_PARAM_ERR),
      CODE(MORVIK_INTERNAL_ERR),      CODE(MORVIK_CANNOT_CONNECT_ERR),
      CODE(MORVIK_SSH_CLIENT_NOT_FOUND_ERR), CODE(MORVIK_SSH_CLIENT_ERR),
      CODE(MORVIK_SSH_AUTH_ERR),      CODE(MORVIK_REMOTE_PARSER_ERR),
      CODE(MORVIK_REMOTE_TIMEOUT_ERR), CODE(MORVIK_CLI_INVALID_PARAM_ERR),
      CODE(MORVIK_CLI_NO_INFO_ERR),   CODE(MORVIK_CLI_CMD_FAILED_ERR),
      CODE(MORVIK_FLASHING_LOGIC_ERR), CODE(MORVIK_MODULE_BUSY_ERR),
      CODE(MORVIK_HOST_KEY_ERR),      CODE(MORVIK_WEAK_CRYPTO_ERR),
  };
#undef CODE
  ASSERT_EQ(sizeof(rows) / sizeof(rows[0]), static_cast<size_t>(MORVIK_CODE_COUNT));
  for (const auto& row : rows) {
    EXPECT_STREQ(qb_code_name(row.code), row.name);
    ASSERT_NE(qb_code_meaning(row.code), nullptr) << row.name;
    EXPECT_EQ(strchr(qb_code_meaning(row.code), '\n'), nullptr) << row.name;
  }
  EXPECT_EQ(qb_code_name(MORVIK_CODE_COUNT), nullptr);
  EXPECT_EQ(qb_code_meaning(-1), nullptr);
}

class SimulatorMode : public ::testing::Test {
 protected:
  void TearDown() override { simulator_mode = 0; }
};

TEST_F(SimulatorMode, CommandWordsPerDialect) {
  struct Row {
    int cmd;
    const char* real;
    const char* sim;
  };
  const Row rows[] = {
      {QB_SHOW, "show", "qb_show"},
      {QB_WHICHBOOT, "whichboot", "qb_whichboot"},
      {QB_DIR, "dir", "qb_dir"},
      {QB_DELETE, "delete", "qb_delete"},
      {QB_COPY, "copy", "qb_copy"},
      {QB_BOOT_SYSTEM, "boot-system", "qb_boot_system"},
      {QB_RELOAD, "reload", "qb_reload"},
      {QB_QUIT, "quit", "qb_quit"},
      {QB_ALL, "foo", "foo"},
      {-1, "foo", "foo"},
      {INT_MAX, "foo", "foo"},
      {INT_MIN, "foo", "foo"},
  };
  for (const Row& row : rows) {
    EXPECT_STREQ(qb_cmd_word(row.cmd, 0), row.real) << row.cmd;
    EXPECT_STREQ(qb_cmd_word(row.cmd, 1), row.sim) << row.cmd;
    // main's lookup follows the command line's flag
    simulator_mode = 0;
    EXPECT_STREQ(get_qb_cmd(row.cmd), row.real) << row.cmd;
    simulator_mode = 1;
    EXPECT_STREQ(get_qb_cmd(row.cmd), row.sim) << row.cmd;
  }
}

TEST_F(SimulatorMode, ReloadTimeoutIsShorterForTheSimulator) {
  EXPECT_EQ(get_reload_timeout(), 60);
  simulator_mode = 1;
  EXPECT_EQ(get_reload_timeout(), 30);
}

// ---------------------------------------------------------------------------
// The command table

TEST(CommandTable, EveryTypeHasExactlyOneRowAndRowsStandAtTheirCommand) {
  for (int cmd = 0; cmd < QB_COMMAND_COUNT; ++cmd) {
    ASSERT_NE(qb_commands[cmd], nullptr);
    ASSERT_EQ(qb_command_of(cmd), qb_commands[cmd]);
    EXPECT_EQ(qb_commands[cmd]->cmd, cmd);
  }
  EXPECT_EQ(qb_command_of(QB_QUIT), nullptr);
  EXPECT_EQ(qb_command_of(-1), nullptr);
  const int last = qb_last_cli_type();
  for (int type = QB_CLI_UNKNOWN; type <= last + 1; ++type) {
    int rows = 0;
    for (const qb_command* command : qb_commands)
      for (const qb_variant& variant : command->variants)
        rows += variant.type == type && type != QB_CLI_UNKNOWN;
    const bool known = type > QB_CLI_UNKNOWN && type <= last;
    EXPECT_EQ(rows, known ? 1 : 0) << type;
    EXPECT_EQ(qb_command_serving(static_cast<QbCliType>(type), nullptr) != nullptr, known) << type;
  }
}

// The module's command lines, word and request, in both dialects.
TEST(CommandTable, FirstPromptSendsEachCommandLineInBothDialects) {
  const struct {
    int cmd;
    QbCliType type;
    const char* line;
    const char* sim_line;
  } rows[] = {
      {QB_SHOW, QB_CLI_SHOW_LOGINSESSION, "show loginsession\r\n", "qb_show loginsession\r\n"},
      {QB_SHOW, QB_CLI_SHOW_VERSION, "show version\r\n", "qb_show version\r\n"},
      {QB_SHOW, QB_CLI_SHOW_HARDWARE, "show hardware\r\n", "qb_show hardware\r\n"},
      {QB_WHICHBOOT, QB_CLI_WHICHBOOT, "whichboot\r\n", "qb_whichboot\r\n"},
      {QB_DIR, QB_CLI_DIR, "dir\r\n", "qb_dir\r\n"},
      {QB_DIR, QB_CLI_DIR_OPCODE, "dir opcode\r\n", "qb_dir opcode\r\n"},
      {QB_DIR, QB_CLI_DIR_FILE, "dir opcode img_b.bin\r\n", "qb_dir opcode img_b.bin\r\n"},
      {QB_DELETE, QB_CLI_DELETE, "delete img_b.bin\r\n", "qb_delete img_b.bin\r\n"},
      {QB_COPY, QB_CLI_COPY, "copy tftp://server/dir/f.bin image f.bin\r\n",
       "qb_copy tftp://server/dir/f.bin image f.bin\r\n"},
      {QB_BOOT_SYSTEM, QB_CLI_BOOT_SYSTEM_MODE, "boot-system mode TZR\r\n",
       "qb_boot_system mode TZR\r\n"},
      {QB_BOOT_SYSTEM, QB_CLI_BOOT_SYSTEM_OPCODE, "boot-system opcode f.bin\r\n",
       "qb_boot_system opcode f.bin\r\n"},
      {QB_RELOAD, QB_CLI_RELOAD, "reload\r\n", "qb_reload\r\n"},
  };
  for (const auto& row : rows) {
    for (int simulator : {0, 1}) {
      const char* line = simulator ? row.sim_line : row.line;
      test_support::CommandDialogue dialogue(row.cmd, row.type, simulator);
      EXPECT_EQ(dialogue.start(), line);
      EXPECT_EQ(dialogue.handled(), 1) << line;
      EXPECT_STREQ(dialogue.cntx().cmd, line);
      EXPECT_EQ(dialogue.cntx().state, EXEC_REMOTE) << line;
      EXPECT_EQ(dialogue.cntx().cli_result, MORVIK_SUCCESS) << line;
    }
  }
}

// A context typed for another command, or not typed at all, gets no command
// line: its session makes no progress and ends by its time-out.
TEST(CommandTable, ParserRefusesTheTypesOfOtherRows) {
  for (const qb_command* command : qb_commands) {
    for (int type = QB_CLI_UNKNOWN; type <= qb_last_cli_type(); ++type) {
      const qb_command* serving = qb_command_serving(static_cast<QbCliType>(type), nullptr);
      if (serving == command)
        continue;
      test_support::CommandDialogue dialogue(command->cmd, static_cast<QbCliType>(type));
      if (type == QB_CLI_UNKNOWN)
        dialogue.cntx().type = QB_CLI_UNKNOWN;
      EXPECT_EQ(dialogue.start(), "") << command->word << " " << type;
      EXPECT_EQ(dialogue.cntx().cli_result, MORVIK_INTERNAL_ERR) << command->word << " " << type;
      EXPECT_EQ(dialogue.cntx().state, EXEC_LOGIN) << command->word << " " << type;
      EXPECT_STREQ(dialogue.cntx().cmd, "") << command->word;
    }
  }
}

// Outside the command's two prompts a prompt is the session engine's, and a
// chunk without one is the command's questions' only: an answer or a
// greeting is left alone.
TEST(CommandTable, PromptsOutsideTheCommandsTurnAreLeftAlone) {
  const struct {
    const char* chunk;
    ExecState state;
  } cases[] = {
      {"quorbel# ", EXEC_CONNECTING},     {"quorbel# ", EXEC_KEY_EXCHANGE},
      {"quorbel# ", EXEC_REMOTE_FINISH},  {"quorbel# ", EXEC_QUIT},
      {"Welcome to the module", EXEC_LOGIN}, {"Boot-System: Switch", EXEC_REMOTE},
  };
  for (const qb_command* command : qb_commands) {
    for (const auto& c : cases) {
      exec_context cntx;
      cntx.type = command->variants[0].type;
      cntx.state = c.state;
      char sent[4096] = "";
      EXPECT_EQ(command->parser(c.chunk, sent, sizeof(sent), &cntx), 0) << command->word << c.chunk;
      EXPECT_EQ(cntx.state, c.state) << command->word << " " << c.chunk;
      EXPECT_STREQ(sent, "") << command->word;
      EXPECT_STREQ(cntx.cmd, "") << command->word;
      EXPECT_EQ(cntx.cli_result, MORVIK_SUCCESS) << command->word;
    }
  }
}

// ---------------------------------------------------------------------------
// The runner, with clients that are one-line scripts

class RunCommand : public ::testing::Test {
 protected:
  // As the tool does: a client gone before the last write must not end us.
  void SetUp() override { signal(SIGPIPE, SIG_IGN); }
  session_settings client(const std::string& script) {
    return test_support::client_settings(dir_.write("plink", "#!/bin/sh\n" + script),
                                         QB_PACE_PROMPT);
  }
  test_support::TempDir dir_;
};

TEST_F(RunCommand, NullContextOrCommandOutsideTheTableIsAnInternalError) {
  exec_context cntx;
  EXPECT_EQ(run_command(session_settings(), QB_SHOW, nullptr, 10), MORVIK_INTERNAL_ERR);
  EXPECT_EQ(run_command(session_settings(), QB_QUIT, &cntx, 10), MORVIK_INTERNAL_ERR);
  EXPECT_EQ(run_command(session_settings(), -1, &cntx, 10), MORVIK_INTERNAL_ERR);
  EXPECT_EQ(cntx.state, EXEC_INIT);
}

// Pipes that cannot be made are the one code ssh_exec promises for them,
// whichever command's session needed them.
TEST_F(RunCommand, PipesThatCannotBeMadeAreAnInternalErrorForEveryCommand) {
  const session_settings s = client("exit 0\n");
  // New descriptors take the lowest free number: a limit at it allows none.
  const int lowest_free = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_NE(lowest_free, -1);
  close(lowest_free);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit none = saved;
  none.rlim_cur = static_cast<rlim_t>(lowest_free);
  for (const qb_command* command : qb_commands) {
    exec_context cntx;
    cntx.type = command->variants[0].type;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    const QBCodes rc = run_command(s, command->cmd, &cntx, 10);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(rc, MORVIK_INTERNAL_ERR) << command->word;
    EXPECT_EQ(cntx.state, EXEC_INIT) << command->word;
  }
}

// A refused host key is the answer whatever else the session came to: a
// client that ended before anything was recognised, one that never started,
// for a command that maps only on success, one that maps always, and the one
// whose verdict forgives a time-out.
TEST_F(RunCommand, RefusedHostKeyDecidesWhateverTheStateAndTheMapping) {
  const std::string gone = "exit 0\n";
  const struct {
    int cmd;
    QbCliType type;
    bool starts;
    QBCodes without_refusal;
  } cases[] = {
      {QB_SHOW, QB_CLI_SHOW_LOGINSESSION, true, MORVIK_CANNOT_CONNECT_ERR},
      {QB_SHOW, QB_CLI_SHOW_LOGINSESSION, false, MORVIK_SSH_CLIENT_ERR},
      {QB_COPY, QB_CLI_COPY, true, MORVIK_CANNOT_CONNECT_ERR},
      {QB_DELETE, QB_CLI_DELETE, false, MORVIK_SSH_CLIENT_ERR},
      {QB_RELOAD, QB_CLI_RELOAD, true, MORVIK_CANNOT_CONNECT_ERR},
  };
  for (const auto& c : cases) {
    session_settings s = client(gone);
    if (!c.starts)
      snprintf(s.ssh_path, sizeof(s.ssh_path), "%s/missing", dir_.path().c_str());
    for (QBCodes refusal : {MORVIK_SUCCESS, MORVIK_HOST_KEY_ERR}) {
      exec_context cntx;
      cntx.type = c.type;
      cntx.cli_result = refusal;
      test_support::StdCapture quiet;
      const QBCodes expected = refusal == MORVIK_HOST_KEY_ERR ? refusal : c.without_refusal;
      EXPECT_EQ(run_command(s, c.cmd, &cntx, 10), expected) << c.cmd << " " << c.starts;
    }
  }
}

// The dialect is the settings', not the command line's flag.
TEST_F(RunCommand, SettingsChooseTheDialectOfTheCommandLine) {
  const std::string got = dir_.path() + "/got";
  session_settings s = client("printf \"password: \"\nread pw\nprintf '\\r\\nquorbel# '\n"
                              "read line\nprintf '%s' \"$line\" > '" + got + "'\n");
  s.simulator = 1;
  simulator_mode = 0;
  exec_context cntx;
  cntx.type = QB_CLI_WHICHBOOT;
  test_support::StdCapture quiet;
  run_command(s, QB_WHICHBOOT, &cntx, 10);
  EXPECT_EQ(test_support::read_file(got), "qb_whichboot\r");
  EXPECT_EQ(cntx.simulator, 1);
}

file_info* new_file(const char* name) {
  file_info* f = new file_info();
  snprintf(f->name, sizeof(f->name), "%s", name);
  return f;
}

qb_login_info* new_row(int id) {
  qb_login_info* row = new qb_login_info();
  row->id = id;
  return row;
}

TEST(DirInfo, FreshRecordHasAnEmptyListAndARequestFile) {
  qb_full_dir_info dir;
  ASSERT_NE(dir.p_list, nullptr);
  EXPECT_TRUE(dir.p_list->empty());
  EXPECT_NE(dir.p_file, nullptr);
  EXPECT_EQ(dir.header, 0);
  EXPECT_EQ(dir.upper_separator, 0);
  EXPECT_EQ(dir.bottom_separator, 0);
}

TEST(DirInfo, ResetEmptiesAFilledRecord) {
  qb_full_dir_info dir;
  dir.p_list->push_back(new_file("a.bin"));
  dir.p_list->push_back(nullptr);  // tolerated: null entries are skipped
  dir.p_list->push_back(new_file("b.bin"));
  dir.header = dir.upper_separator = dir.bottom_separator = 1;
  snprintf(dir.p_file->name, sizeof(dir.p_file->name), "asked.bin");
  dir.reset();
  ASSERT_NE(dir.p_list, nullptr);
  EXPECT_TRUE(dir.p_list->empty());
  ASSERT_NE(dir.p_file, nullptr);
  EXPECT_EQ(dir.header + dir.upper_separator + dir.bottom_separator, 0);
}

TEST(DirInfo, DeleteListRemovesTheArrayToo) {
  qb_full_dir_info dir;
  dir.p_list->push_back(new_file("a.bin"));
  dir.delete_list();
  EXPECT_EQ(dir.p_list, nullptr);
  dir.delete_list();  // harmless on a null list; the destructor copes as well
  EXPECT_EQ(dir.p_list, nullptr);
  EXPECT_NE(dir.p_file, nullptr);
}

TEST(LoginInfo, ClearListKeepsTheArray) {
  qb_full_login_info login;
  ASSERT_NE(login.p_list, nullptr);
  login_list* array = login.p_list;
  login.p_list->push_back(new_row(1));
  login.p_list->push_back(nullptr);
  login.p_list->push_back(new_row(2));
  login.clear_list();
  EXPECT_EQ(login.p_list, array);
  EXPECT_TRUE(login.p_list->empty());
}

TEST(LoginInfo, ResetEmptiesAFilledRecord) {
  qb_full_login_info login;
  login.p_list->push_back(new_row(1));
  login.header = login.separator = 1;
  login.reset();
  ASSERT_NE(login.p_list, nullptr);
  EXPECT_TRUE(login.p_list->empty());
  EXPECT_EQ(login.header, 0);
  EXPECT_EQ(login.separator, 0);
}

bool all_zero(const void* p, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < size; ++i)
    if (bytes[i] != 0)
      return false;
  return true;
}

TEST(WhichbootInfo, FreshRecordHasThreeZeroedFilesAndUnknownModes) {
  qb_whichboot_info info;
  EXPECT_EQ(info.curr_mode, QB_MODE_UNKNOWN);
  EXPECT_EQ(info.next_mode, QB_MODE_UNKNOWN);
  EXPECT_EQ(info.header + info.separator, 0);
  EXPECT_TRUE(all_zero(info.boot_system, sizeof(info.boot_system)));
  EXPECT_TRUE(all_zero(info.next_boot_mode, sizeof(info.next_boot_mode)));
  for (const file_info* f : {info.p_boot_rom, info.p_cfg, info.p_opcode}) {
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(all_zero(f, sizeof(*f)));
  }
  EXPECT_NE(info.p_boot_rom, info.p_cfg);
  EXPECT_NE(info.p_cfg, info.p_opcode);
}

TEST(ExecContext, FreshContextOwnsEveryRecordInItsInitialState) {
  exec_context cntx;
  EXPECT_EQ(cntx.type, QB_CLI_UNKNOWN);
  EXPECT_EQ(cntx.state, EXEC_INIT);
  EXPECT_EQ(cntx.cli_result, MORVIK_SUCCESS);
  EXPECT_EQ(cntx.simulator, 0);
  EXPECT_TRUE(all_zero(cntx.cmd, sizeof(cntx.cmd)));
  ASSERT_NE(cntx.p_login, nullptr);
  ASSERT_NE(cntx.p_version, nullptr);
  ASSERT_NE(cntx.p_whichboot, nullptr);
  ASSERT_NE(cntx.p_dir, nullptr);
  ASSERT_NE(cntx.p_delete, nullptr);
  ASSERT_NE(cntx.p_copy, nullptr);
  ASSERT_NE(cntx.p_reload, nullptr);
  ASSERT_NE(cntx.p_bootsystem, nullptr);
  EXPECT_TRUE(all_zero(cntx.p_version, sizeof(*cntx.p_version)));
  EXPECT_NE(cntx.p_login->p_list, nullptr);
  EXPECT_NE(cntx.p_dir->p_list, nullptr);
  EXPECT_NE(cntx.p_delete->p_del_file, nullptr);
  EXPECT_TRUE(all_zero(cntx.p_copy, sizeof(*cntx.p_copy)));
  EXPECT_EQ(cntx.p_bootsystem->mode, QB_MODE_UNKNOWN);
  EXPECT_EQ(cntx.p_bootsystem->startup_marker, 0);
  EXPECT_TRUE(all_zero(cntx.p_bootsystem->imagename, sizeof(cntx.p_bootsystem->imagename)));
  EXPECT_EQ(cntx.p_reload->restart_marker, 0);
}

}  // namespace
