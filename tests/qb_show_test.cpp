// "show": the command lines it sends and recorded answers replayed through its
// parsers, with no client started.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main.h"
#include "ssh_exec.h"

namespace {

const char kHeader[] =
    "ID  User Name        Connection From       Idle Time   Session Time  Session Type";
const char kDashes[] =
    "--- ---------------- --------------------- ----------- ------------- ------------";
const char kRow1[] = "1   admin            10.0.0.5              00:00:00    00:03:12      SSH";
const char kRow2[] = "2   root             10.0.0.9              00:01:40    00:20:00      Telnet";

class Show : public ::testing::Test {
 protected:
  void SetUp() override { simulator_mode = 0; }
  void TearDown() override { simulator_mode = 0; }

  // Replays one chunk as the switch sends it after the command: the echo,
  // the answer lines (each ended by CR LF) and the prompt.
  void replay(QbCliType type, const std::vector<std::string>& lines) {
    cntx_->type = type;
    cntx_->state = EXEC_REMOTE;
    snprintf(cntx_->cmd, sizeof(cntx_->cmd), "%s",
             type == QB_CLI_SHOW_VERSION    ? "show version\r\n"
             : type == QB_CLI_SHOW_HARDWARE ? "show hardware\r\n"
                                            : "show loginsession\r\n");
    std::string recv = cntx_->cmd;
    for (const std::string& line : lines)
      recv += line + "\r\n";
    recv += "\r\nqb-switch#";
    char sent[4096] = "";
    EXPECT_EQ(show_parser(recv.c_str(), sent, sizeof(sent), cntx_.get()), 0);
    EXPECT_EQ(cntx_->state, EXEC_REMOTE_FINISH);
    EXPECT_STREQ(sent, "");
  }

  void fresh() { cntx_.reset(new exec_context); }
  const login_list& rows() const { return *cntx_->p_login->p_list; }
  std::unique_ptr<exec_context> cntx_{new exec_context};
};

TEST_F(Show, SessionTableGivesItsRowsInOrder) {
  replay(QB_CLI_SHOW_LOGINSESSION, {kHeader, kDashes, kRow1, kRow2});
  EXPECT_EQ(cntx_->cli_result, MORVIK_SUCCESS);
  ASSERT_EQ(rows().size(), 2u);
  const qb_login_info& first = *rows()[0];
  EXPECT_EQ(first.id, 1);
  EXPECT_STREQ(first.user_name, "admin");
  EXPECT_STREQ(first.conn_from, "10.0.0.5");
  EXPECT_STREQ(first.idle_time, "00:00:00");
  EXPECT_STREQ(first.sess_time, "00:03:12");
  EXPECT_STREQ(first.sess_type, "SSH");
  EXPECT_EQ(rows()[1]->id, 2);
  EXPECT_STREQ(rows()[1]->sess_type, "Telnet");
}

TEST_F(Show, HeaderAndDashesAloneGiveNoRow) {
  replay(QB_CLI_SHOW_LOGINSESSION, {kHeader, kDashes});
  EXPECT_EQ(cntx_->cli_result, MORVIK_SUCCESS);
  EXPECT_TRUE(rows().empty());
  EXPECT_EQ(cntx_->p_login->header, 1);
  EXPECT_EQ(cntx_->p_login->separator, 1);
}

TEST_F(Show, DashesBeforeTheHeaderAreAccepted) {
  replay(QB_CLI_SHOW_LOGINSESSION, {kDashes, kHeader, kRow1});
  EXPECT_EQ(cntx_->cli_result, MORVIK_SUCCESS);
  EXPECT_EQ(rows().size(), 1u);
}

TEST_F(Show, SessionAnswersThatDoNotParse) {
  struct Row {
    const char* what;
    std::vector<std::string> lines;
    size_t rows_kept;  // rows parsed before the parse stopped
  };
  const Row cases[] = {
      {"empty answer", {}, 0},
      {"banner before the header", {"Login sessions:", kHeader, kDashes, kRow1}, 0},
      {"row before the dashes", {kHeader, kRow1, kDashes}, 0},
      {"row without header", {kDashes, kRow1}, 0},
      {"five words after a good row", {kHeader, kDashes, kRow1, "2 root 10.0.0.9 00:01:40 00:20:00"}, 1},
      {"first word not a number", {kHeader, kDashes, "x admin 10.0.0.5 00:00:00 00:03:12 SSH"}, 0},
      // only the four markers of show count as CLI errors
      {"other wording of an error", {"Invalid input"}, 0},
  };
  for (const Row& c : cases) {
    fresh();
    replay(QB_CLI_SHOW_LOGINSESSION, c.lines);
    EXPECT_EQ(cntx_->cli_result, MORVIK_REMOTE_PARSER_ERR) << c.what;
    EXPECT_EQ(rows().size(), c.rows_kept) << c.what;
  }
}

TEST_F(Show, LongUserNameShiftsTheLaterFields) {
  replay(QB_CLI_SHOW_LOGINSESSION,
         {kHeader, kDashes, "3 abcdefghijklmnopqrst 10.0.0.7 00:00:01 00:00:02 SSH"});
  EXPECT_EQ(cntx_->cli_result, MORVIK_SUCCESS);
  ASSERT_EQ(rows().size(), 1u);
  EXPECT_STREQ(rows()[0]->user_name, "abcdefghijklmno");
  EXPECT_STREQ(rows()[0]->conn_from, "pqrst");
  EXPECT_STREQ(rows()[0]->idle_time, "10.0.0.7");
  EXPECT_STREQ(rows()[0]->sess_type, "00:00:02");
}

TEST_F(Show, CliErrorMarkersStopTheParse) {
  const char* markers[] = {
      "% Command not found",           "% Incomplete command.",
      "% Invalid input detected at '^' marker.", "Incorrect input : show",
      "-bash: show: command not found",
  };
  for (QbCliType type : {QB_CLI_SHOW_LOGINSESSION, QB_CLI_SHOW_VERSION, QB_CLI_SHOW_HARDWARE}) {
    for (const char* marker : markers) {
      fresh();
      replay(type, {kHeader, kDashes, marker, kRow1});
      EXPECT_EQ(cntx_->cli_result, MORVIK_CLI_INVALID_PARAM_ERR) << marker;
      EXPECT_TRUE(rows().empty()) << marker;
    }
  }
}

TEST_F(Show, HardwareAcceptsOnlyTableMarks) {
  replay(QB_CLI_SHOW_HARDWARE, {kHeader, kDashes});
  EXPECT_EQ(cntx_->cli_result, MORVIK_SUCCESS);
  replay(QB_CLI_SHOW_HARDWARE, {kDashes, "Fan 1 : OK"});
  EXPECT_EQ(cntx_->cli_result, MORVIK_REMOTE_PARSER_ERR);
}

// ---------------------------------------------------------------------------

class ShowVersion : public Show {
 protected:
  // Feeds one line to the line parser of a version context.
  int line(const std::string& text) {
    cntx_->type = QB_CLI_SHOW_VERSION;
    std::string copy = text;
    return parse_show_line(&copy[0], cntx_.get());
  }
  const qb_version_info& version() const { return *cntx_->p_version; }
};

TEST_F(ShowVersion, EveryKeyFillsItsField) {
  struct Row {
    const char* line;
    size_t offset;
    const char* value;
  };
#define FIELD(name) offsetof(qb_version_info, name)
  const Row rows[] = {
      {"Serial Number : A1B2", FIELD(serial_num), "A1B2"},
      {"Serial number : A1B3 (chassis)", FIELD(serial_num), "A1B3"},
      {"Hardware Version : HW-2", FIELD(hardware_ver), "HW-2"},
      {"Number of ports : 24", FIELD(ports), "24"},
      {"Label Revision Number : 7", FIELD(label_revision), "7"},
      {"Part Number : 46C7191", FIELD(part_num), "46C7191"},
      {"Machine Model : XY-100", FIELD(machine_model), " XY-100"},
      {"Machine Type :   8886 rev 2", FIELD(machine_type), "   8886 rev 2"},
      {"System Description : Quorbel blade switch", FIELD(sys_descr), " Quorbel blade switch"},
      {"Loader Version : 1.2.0", FIELD(loader_ver), "1.2.0"},
      {"Loader version : 1.2.1", FIELD(loader_ver), "1.2.1"},
      {"Operation Code Version : 7.4.5", FIELD(opcode_ver), "7.4.5"},
      {"Operation code version : 7.4.6", FIELD(opcode_ver), "7.4.6"},
      {"Boot Rom Version : 0.9", FIELD(bootrom_ver), "0.9"},
      {"Boot rom version : 0.8", FIELD(bootrom_ver), "0.8"},
  };
#undef FIELD
  for (const Row& row : rows) {
    fresh();
    EXPECT_EQ(line(row.line), 1) << row.line;
    EXPECT_EQ(cntx_->cli_result, MORVIK_SUCCESS) << row.line;
    EXPECT_STREQ(reinterpret_cast<const char*>(cntx_->p_version) + row.offset, row.value) << row.line;
  }
}

TEST_F(ShowVersion, WordValueNeedsABlankBeforeTheColon) {
  EXPECT_EQ(line("Serial Number : OLD"), 1);
  EXPECT_EQ(line("Serial Number: A1B2"), 1);
  EXPECT_EQ(cntx_->cli_result, MORVIK_SUCCESS);
  EXPECT_STREQ(version().serial_num, "OLD");
  EXPECT_EQ(line("Serial Number : NEW"), 1);
  EXPECT_STREQ(version().serial_num, "NEW");
}

TEST_F(ShowVersion, ValuesAreCutToTheirField) {
  const std::string word(60, 'w');
  line("Part Number : " + word);
  EXPECT_EQ(std::string(version().part_num), word.substr(0, 49));
  const std::string text(250, 't');
  line("Machine Model :" + text);
  EXPECT_EQ(std::string(version().machine_model), text.substr(0, 49));
  line("System Description :" + text);
  EXPECT_EQ(std::string(version().sys_descr), text.substr(0, 199));
}

TEST_F(ShowVersion, KeylessLineNeedsModelOrOpcodeBefore) {
  EXPECT_EQ(line("Unit 1"), 0);
  EXPECT_EQ(cntx_->cli_result, MORVIK_REMOTE_PARSER_ERR);

  cntx_->cli_result = MORVIK_SUCCESS;
  EXPECT_EQ(line("Machine Model : XY-100"), 1);
  EXPECT_EQ(line("Unit 1"), 1);
  EXPECT_EQ(cntx_->cli_result, MORVIK_SUCCESS);

  fresh();
  EXPECT_EQ(line("Operation Code Version : 7.4.5"), 1);
  EXPECT_EQ(line("Unit 1"), 1);
  EXPECT_EQ(cntx_->cli_result, MORVIK_SUCCESS);
}

TEST_F(ShowVersion, KeysWithoutValuesStillSucceed) {
  replay(QB_CLI_SHOW_VERSION, {kDashes, "Serial Number:", "Machine Model", "Part Number : "});
  EXPECT_EQ(cntx_->cli_result, MORVIK_SUCCESS);
  EXPECT_STREQ(version().serial_num, "");
  EXPECT_STREQ(version().machine_model, "");
  EXPECT_EQ(cntx_->p_login->separator, 1);  // marks the session table whatever the type
}

// ---------------------------------------------------------------------------

TEST_F(Show, FirstPromptSendsTheCommandLine) {
  struct Row {
    QbCliType type;
    int sim;
    const char* line;
  };
  const Row rows[] = {
      {QB_CLI_SHOW_LOGINSESSION, 0, "show loginsession\r\n"},
      {QB_CLI_SHOW_VERSION, 0, "show version\r\n"},
      {QB_CLI_SHOW_HARDWARE, 0, "show hardware\r\n"},
      {QB_CLI_SHOW_LOGINSESSION, 1, "qb_show loginsession\r\n"},
      {QB_CLI_SHOW_VERSION, 1, "qb_show version\r\n"},
  };
  for (const Row& row : rows) {
    simulator_mode = row.sim;
    exec_context cntx;
    cntx.type = row.type;
    cntx.state = EXEC_LOGIN;
    char sent[4096] = "";
    EXPECT_EQ(show_parser("Welcome\r\nqb-switch#", sent, sizeof(sent), &cntx), 1);
    EXPECT_STREQ(sent, row.line);
    EXPECT_STREQ(cntx.cmd, row.line);
    EXPECT_EQ(cntx.state, EXEC_REMOTE);
  }
}

TEST_F(Show, UnknownTypeSendsNothing) {
  for (QbCliType type : {QB_CLI_UNKNOWN, QB_CLI_DIR, QB_CLI_RELOAD}) {
    exec_context cntx;
    cntx.type = type;
    cntx.state = EXEC_LOGIN;
    char sent[4096] = "";
    EXPECT_EQ(show_parser("qb-switch#", sent, sizeof(sent), &cntx), 0);
    EXPECT_EQ(cntx.cli_result, MORVIK_INTERNAL_ERR);
    EXPECT_EQ(cntx.state, EXEC_LOGIN);
    EXPECT_STREQ(sent, "");
  }
}

TEST_F(Show, ChunkWithoutPromptOrInAnotherStateIsLeftAlone) {
  struct Row {
    const char* chunk;
    ExecState state;
  };
  const Row rows[] = {
      {"Welcome to the module", EXEC_LOGIN},
      {"ID  User Name", EXEC_REMOTE},
      {"qb-switch#", EXEC_CONNECTING},
      {"qb-switch#", EXEC_QUIT},
  };
  for (const Row& row : rows) {
    exec_context cntx;
    cntx.type = QB_CLI_SHOW_LOGINSESSION;
    cntx.state = row.state;
    char sent[4096] = "";
    EXPECT_EQ(show_parser(row.chunk, sent, sizeof(sent), &cntx), 0) << row.chunk;
    EXPECT_EQ(cntx.state, row.state) << row.chunk;
    EXPECT_STREQ(sent, "");
    EXPECT_STREQ(cntx.cmd, "");
  }
}

TEST(ExecShow, NullContextPointerIsAnInternalError) {
  EXPECT_EQ(exec_show(session_settings(), QB_CLI_SHOW_LOGINSESSION, nullptr), MORVIK_INTERNAL_ERR);
}

}  // namespace
