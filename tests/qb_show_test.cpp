// "show": recorded answers replayed through its parsers, with no client
// started.
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ssh_exec.h"
#include "test_support.h"

namespace {

const char kHeader[] =
    "ID  User Name        Connection From       Idle Time   Session Time  Session Type";
const char kDashes[] =
    "--- ---------------- --------------------- ----------- ------------- ------------";
const char kRow1[] = "1   admin            10.0.0.5              00:00:00    00:03:12      SSH";
const char kRow2[] = "2   root             10.0.0.9              00:01:40    00:20:00      Telnet";

class Show : public ::testing::Test {
 protected:
  // Replays the answer of the given show variant, lines each ended by CR LF
  // and the prompt after them; the parsed answer is followed by the logout.
  void replay(QbCliType type, std::initializer_list<std::string> lines) {
    dialogue_.reset(new test_support::CommandDialogue(QB_SHOW, type));
    dialogue_->start();
    EXPECT_EQ(dialogue_->feed(dialogue_->answer(lines)), "quit\n");
  }

  exec_context& cntx() { return dialogue_->cntx(); }
  const login_list& rows() { return *cntx().p_login->p_list; }
  std::unique_ptr<test_support::CommandDialogue> dialogue_;
};

TEST_F(Show, SessionTableGivesItsRowsInOrder) {
  replay(QB_CLI_SHOW_LOGINSESSION, {kHeader, kDashes, kRow1, kRow2});
  EXPECT_EQ(cntx().cli_result, MORVIK_SUCCESS);
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
  EXPECT_EQ(cntx().cli_result, MORVIK_SUCCESS);
  EXPECT_TRUE(rows().empty());
  EXPECT_EQ(cntx().p_login->header, 1);
  EXPECT_EQ(cntx().p_login->separator, 1);
}

TEST_F(Show, DashesBeforeTheHeaderAreAccepted) {
  replay(QB_CLI_SHOW_LOGINSESSION, {kDashes, kHeader, kRow1});
  EXPECT_EQ(cntx().cli_result, MORVIK_SUCCESS);
  EXPECT_EQ(rows().size(), 1u);
}

TEST_F(Show, SessionAnswersThatDoNotParse) {
  struct Row {
    const char* what;
    std::initializer_list<std::string> lines;
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
    replay(QB_CLI_SHOW_LOGINSESSION, c.lines);
    EXPECT_EQ(cntx().cli_result, MORVIK_REMOTE_PARSER_ERR) << c.what;
    EXPECT_EQ(rows().size(), c.rows_kept) << c.what;
  }
}

TEST_F(Show, LongUserNameShiftsTheLaterFields) {
  replay(QB_CLI_SHOW_LOGINSESSION,
         {kHeader, kDashes, "3 abcdefghijklmnopqrst 10.0.0.7 00:00:01 00:00:02 SSH"});
  EXPECT_EQ(cntx().cli_result, MORVIK_SUCCESS);
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
      replay(type, {kHeader, kDashes, marker, kRow1});
      EXPECT_EQ(cntx().cli_result, MORVIK_CLI_INVALID_PARAM_ERR) << marker;
      EXPECT_TRUE(rows().empty()) << marker;
    }
  }
}

TEST_F(Show, HardwareAcceptsOnlyTableMarks) {
  replay(QB_CLI_SHOW_HARDWARE, {kHeader, kDashes});
  EXPECT_EQ(cntx().cli_result, MORVIK_SUCCESS);
  replay(QB_CLI_SHOW_HARDWARE, {kDashes, "Fan 1 : OK"});
  EXPECT_EQ(cntx().cli_result, MORVIK_REMOTE_PARSER_ERR);
}

// ---------------------------------------------------------------------------

class ShowVersion : public Show {
 protected:
  void SetUp() override { fresh(); }
  void fresh() { dialogue_.reset(new test_support::CommandDialogue(QB_SHOW, QB_CLI_SHOW_VERSION)); }
  // Feeds one line, uncut, to the line parser of a version context.
  int line(std::string text) { return parse_show_line(&text[0], &cntx()); }
  const qb_version_info& version() { return *cntx().p_version; }
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
    EXPECT_EQ(cntx().cli_result, MORVIK_SUCCESS) << row.line;
    EXPECT_STREQ(reinterpret_cast<const char*>(cntx().p_version) + row.offset, row.value) << row.line;
  }
}

TEST_F(ShowVersion, WordValueNeedsABlankBeforeTheColon) {
  EXPECT_EQ(line("Serial Number : OLD"), 1);
  EXPECT_EQ(line("Serial Number: A1B2"), 1);
  EXPECT_EQ(cntx().cli_result, MORVIK_SUCCESS);
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
  EXPECT_EQ(cntx().cli_result, MORVIK_REMOTE_PARSER_ERR);

  cntx().cli_result = MORVIK_SUCCESS;
  EXPECT_EQ(line("Machine Model : XY-100"), 1);
  EXPECT_EQ(line("Unit 1"), 1);
  EXPECT_EQ(cntx().cli_result, MORVIK_SUCCESS);

  fresh();
  EXPECT_EQ(line("Operation Code Version : 7.4.5"), 1);
  EXPECT_EQ(line("Unit 1"), 1);
  EXPECT_EQ(cntx().cli_result, MORVIK_SUCCESS);
}

TEST_F(ShowVersion, KeysWithoutValuesStillSucceed) {
  replay(QB_CLI_SHOW_VERSION, {kDashes, "Serial Number:", "Machine Model", "Part Number : "});
  EXPECT_EQ(cntx().cli_result, MORVIK_SUCCESS);
  EXPECT_STREQ(version().serial_num, "");
  EXPECT_STREQ(version().machine_model, "");
  EXPECT_EQ(cntx().p_login->separator, 1);  // marks the session table whatever the type
}

TEST(ExecShow, NullContextPointerIsAnInternalError) {
  EXPECT_EQ(exec_show(session_settings(), QB_CLI_SHOW_LOGINSESSION, nullptr), MORVIK_INTERNAL_ERR);
}

}  // namespace
