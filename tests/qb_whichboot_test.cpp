#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>

#include "ssh_exec.h"

namespace {

const char* const HEADER = "file name      file type       startup  size";
const char* const DASHES = "--------------------------------------------";

// Feeds lines in order, as response_parser would; returns the last result.
int feed(exec_context& cntx, std::initializer_list<const char*> lines) {
  int go_on = 1;
  for (const char* text : lines) {
    char line[100];
    snprintf(line, sizeof(line), "%s", text);
    go_on = parse_whichboot_line(line, &cntx);
  }
  return go_on;
}

}  // namespace

TEST(WhichbootParser, FillsRecordFromRecordedDialogue) {
  exec_context cntx;
  char sent[4096] = {0};
  cntx.state = EXEC_LOGIN;
  EXPECT_EQ(1, whichboot_parser("quorbel#", sent, sizeof(sent), &cntx));
  EXPECT_STREQ("whichboot\r\n", sent);
  whichboot_parser(
      "whichboot\r\nBoot-System Switch\r\nNext Booting Mode: EHM\r\n"
      "file name      file type       startup  size\r\n"
      "--------------------------------------------\r\n"
      "boot_a.bin     Boot-Rom image  Y        128\r\n"
      "cfg_a          Config File     Y        4\r\n"
      "img_a.bin      Operation Code  Y        512\r\nquorbel#",
      sent, sizeof(sent), &cntx);
  const qb_whichboot_info& info = *cntx.p_whichboot;
  EXPECT_EQ(MORVIK_SUCCESS, cntx.cli_result);
  EXPECT_STREQ("Switch", info.boot_system);
  EXPECT_STREQ("EHM", info.next_boot_mode);
  EXPECT_STREQ("img_a.bin", info.p_opcode->name);
  EXPECT_EQ('Y', info.p_opcode->startup);
  EXPECT_EQ(512, info.p_opcode->size);
  EXPECT_STREQ("cfg_a", info.p_cfg->name);
}

TEST(WhichbootLine, LaterRowReplacesWholeRecord) {
  exec_context cntx;
  EXPECT_EQ(1, feed(cntx, {DASHES, HEADER, "img_a.bin Operation Code Y 512", "Operation Code"}));
  EXPECT_STREQ("Operation-Code", cntx.p_whichboot->p_opcode->name);
  EXPECT_EQ(0, cntx.p_whichboot->p_opcode->startup);
}

TEST(WhichbootLine, LinesOutOfPlaceStopWithTheirError) {
  const struct {
    std::initializer_list<const char*> lines;
    QBCodes expected;
  } cases[] = {
      {{""}, MORVIK_REMOTE_PARSER_ERR},
      {{HEADER, "img_a.bin Operation Code Y 512"}, MORVIK_REMOTE_PARSER_ERR},
      {{HEADER, DASHES, "That is all."}, MORVIK_REMOTE_PARSER_ERR},
      {{HEADER, DASHES, "% Invalid input detected at '^' marker."}, MORVIK_CLI_INVALID_PARAM_ERR},
      {{"-bash: whichboot: command not found"}, MORVIK_CLI_INVALID_PARAM_ERR},
  };
  for (const auto& c : cases) {
    exec_context cntx;
    EXPECT_EQ(0, feed(cntx, c.lines)) << *(c.lines.end() - 1);
    EXPECT_EQ(c.expected, cntx.cli_result) << *(c.lines.end() - 1);
  }
}

TEST(ExecWhichboot, NullPointerIsInternalError) {
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_whichboot(session_settings(), nullptr));
}
