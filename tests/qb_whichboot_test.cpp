// "whichboot": recorded answers replayed through its parsers, and its verdict
// over the boot mode and the startup image, with no client started.
#include <gtest/gtest.h>

#include <cstdio>

#include "ssh_exec.h"
#include "test_support.h"

using test_support::CommandDialogue;
using test_support::parse_lines;

namespace {

const char* const HEADER = "file name      file type       startup  size";
const char* const DASHES = "--------------------------------------------";

}  // namespace

TEST(WhichbootParser, FillsRecordFromRecordedDialogue) {
  CommandDialogue dialogue(QB_WHICHBOOT);
  dialogue.start();
  EXPECT_EQ("quit\n", dialogue.feed(dialogue.answer({"Boot-System Switch", "Next Booting Mode: EHM",
                                                      HEADER, DASHES,
                                                      "boot_a.bin     Boot-Rom image  Y        128",
                                                      "cfg_a          Config File     Y        4",
                                                      "img_a.bin      Operation Code  Y        512"})));
  const exec_context& cntx = dialogue.cntx();
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
  EXPECT_EQ(1, parse_lines(parse_whichboot_line, cntx, {DASHES, HEADER, "img_a.bin Operation Code Y 512", "Operation Code"}));
  EXPECT_STREQ("Operation-Code", cntx.p_whichboot->p_opcode->name);
  EXPECT_EQ(0, cntx.p_whichboot->p_opcode->startup);
}

TEST(WhichbootLine, LinesOutOfPlaceStopWithTheirError) {
  const struct {
    std::initializer_list<std::string> lines;
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
    EXPECT_EQ(0, parse_lines(parse_whichboot_line, cntx, c.lines)) << *(c.lines.end() - 1);
    EXPECT_EQ(c.expected, cntx.cli_result) << *(c.lines.end() - 1);
  }
}

// The mode is read from its name, in any case; without a startup opcode image
// or a known mode there is nothing to flash against.
TEST(WhichbootVerdict, NeedsStartupImageAndKnownMode) {
  const struct {
    const char* boot_system;
    file_info opcode;
    QBCodes expected;
    QbBootMode mode;
  } cases[] = {
      {"Switch", {"", "img_a.bin", QB_FILE_OPCODE, 'Y', 512}, MORVIK_SUCCESS, QB_MODE_SWITCH},
      {"tzr", {"", "img_a.bin", QB_FILE_OPCODE, 'Y', 512}, MORVIK_SUCCESS, QB_MODE_TZR},
      {"EHM", {"", "img_a.bin", QB_FILE_OPCODE, 'Y', 0}, MORVIK_SUCCESS, QB_MODE_EHM},
      {"Other", {"", "img_a.bin", QB_FILE_OPCODE, 'Y', 512}, MORVIK_CLI_NO_INFO_ERR, QB_MODE_UNKNOWN},
      {"Switch", {"", "img_a.bin", QB_FILE_OPCODE, 'N', 512}, MORVIK_CLI_NO_INFO_ERR, QB_MODE_UNKNOWN},
      {"Switch", {"", "", QB_FILE_OPCODE, 'Y', 512}, MORVIK_CLI_NO_INFO_ERR, QB_MODE_UNKNOWN},
      {"Switch", {"", "img_a.bin", QB_FILE_UNKNOWN, 'Y', 512}, MORVIK_CLI_NO_INFO_ERR,
       QB_MODE_UNKNOWN},
  };
  for (const auto& c : cases) {
    exec_context cntx;
    snprintf(cntx.p_whichboot->boot_system, sizeof(cntx.p_whichboot->boot_system), "%s",
             c.boot_system);
    *cntx.p_whichboot->p_opcode = c.opcode;
    EXPECT_EQ(c.expected, whichboot_command.verdict(&cntx, MORVIK_SUCCESS)) << c.boot_system;
    EXPECT_EQ(c.mode, cntx.p_whichboot->curr_mode) << c.boot_system;
    EXPECT_EQ(MORVIK_REMOTE_TIMEOUT_ERR, whichboot_command.verdict(&cntx, MORVIK_REMOTE_TIMEOUT_ERR));
  }
}

TEST(ExecWhichboot, NullPointerIsInternalError) {
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_whichboot(session_settings(), nullptr));
}
