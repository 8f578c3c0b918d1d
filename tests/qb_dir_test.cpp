// "dir": recorded listings replayed through its parsers, its verdict over the
// entries, and the choice of an opcode image, with no client started.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "ssh_exec.h"
#include "test_support.h"

using test_support::CommandDialogue;
using test_support::parse_lines;

namespace {

const char* const HEADER = "date        file name      file type       startup  size";
const char* const DASHES = "---------------------------------------------------------";

}  // namespace

TEST(DirParser, ListsRecordedFilesInOrder) {
  CommandDialogue dialogue(QB_DIR, QB_CLI_DIR);
  dialogue.start();
  EXPECT_EQ("quit\n",
            dialogue.feed(dialogue.answer({HEADER, DASHES,
                                           "2009-01-01  boot.bin       Boot-Rom image  Y        128",
                                           "2009-01-01  startup        Config File     Y        4",
                                           "2009-03-02  img_a.bin      Operation Code  Y        512",
                                           "2009-01-15  img_b.bin      Operation Code  N        498",
                                           DASHES, "Total: 4 files"})));
  exec_context& cntx = dialogue.cntx();
  EXPECT_EQ(MORVIK_SUCCESS, cntx.cli_result);
  files_list& list = *cntx.p_dir->p_list;
  ASSERT_EQ(4u, list.size());
  EXPECT_EQ(QB_FILE_BOOT_ROM, list[0]->type);
  EXPECT_EQ(QB_FILE_CFG, list[1]->type);
  EXPECT_STREQ("2009-03-02", list[2]->date);
  EXPECT_EQ(512, list[2]->size);
  file_info f;
  EXPECT_EQ(1, get_opcode_image(1, &list, &f));
  EXPECT_STREQ("img_a.bin", f.name);
  EXPECT_EQ(1, get_opcode_image(0, &list, &f));
  EXPECT_STREQ("img_b.bin", f.name);
}

TEST(DirLine, LinesOutOfPlaceStopWithTheirError) {
  const struct {
    std::initializer_list<std::string> lines;
    QBCodes expected;
  } cases[] = {
      {{""}, MORVIK_REMOTE_PARSER_ERR},
      {{DASHES}, MORVIK_REMOTE_PARSER_ERR},
      {{HEADER, "Total: 2 files"}, MORVIK_REMOTE_PARSER_ERR},
      {{HEADER, DASHES, "Total: 2 files"}, MORVIK_REMOTE_PARSER_ERR},
      {{HEADER, DASHES, "2009-01-01 notes.txt Text File N 12"}, MORVIK_REMOTE_PARSER_ERR},
      {{HEADER, DASHES, "2009-01-01 img_a.bin Operation Code Y"}, MORVIK_REMOTE_PARSER_ERR},
      {{HEADER, DASHES, DASHES, "Total: 0 files", DASHES}, MORVIK_REMOTE_PARSER_ERR},
      {{"% Invalid input detected at '^' marker."}, MORVIK_CLI_INVALID_PARAM_ERR},
      {{"-bash: dir: command not found"}, MORVIK_CLI_INVALID_PARAM_ERR},
  };
  for (const auto& c : cases) {
    exec_context cntx;
    EXPECT_EQ(0, parse_lines(parse_dir_line, cntx, c.lines)) << *(c.lines.end() - 1);
    EXPECT_EQ(c.expected, cntx.cli_result) << *(c.lines.end() - 1);
    EXPECT_TRUE(cntx.p_dir->p_list->empty());
  }
}

TEST(GetOpcodeImage, FirstOfTwoStartupImagesWins) {
  file_info a = {"", "img_a.bin", QB_FILE_OPCODE, 'Y', 1};
  file_info b = {"", "img_b.bin", QB_FILE_OPCODE, 'Y', 1};
  files_list list = {&a, &b};
  file_info f;
  EXPECT_EQ(1, get_opcode_image(1, &list, &f));
  EXPECT_STREQ("img_a.bin", f.name);
}

TEST(GetOpcodeImage, NoMatchLeavesInfoZeroed) {
  file_info startup = {"", "img_a.bin", QB_FILE_OPCODE, 'Y', 1};
  file_info other = {"", "img_b.bin", QB_FILE_OPCODE, 'N', 1};
  file_info zero;
  memset(&zero, 0, sizeof(zero));
  for (files_list list : {files_list{}, files_list{&startup}, files_list{nullptr, &other}}) {
    file_info f = startup;
    EXPECT_EQ(0, get_opcode_image(0, &list, &f));
    EXPECT_EQ(0, memcmp(&f, &zero, sizeof(f)));
  }
  EXPECT_EQ(0, get_opcode_image(1, nullptr, &startup));
  EXPECT_STREQ("img_a.bin", startup.name);
}

// A listing passes only with every entry complete: name, startup flag, kind
// and a size.
TEST(DirVerdict, IncompleteEntryIsNoInfo) {
  const struct {
    file_info entry;
    QBCodes expected;
  } cases[] = {
      {{"d", "img_a.bin", QB_FILE_OPCODE, 'Y', 512}, MORVIK_SUCCESS},
      {{"d", "img_b.bin", QB_FILE_OPCODE, 'N', 1}, MORVIK_SUCCESS},
      {{"d", "", QB_FILE_OPCODE, 'Y', 512}, MORVIK_CLI_NO_INFO_ERR},
      {{"d", "img_a.bin", QB_FILE_OPCODE, 'y', 512}, MORVIK_CLI_NO_INFO_ERR},
      {{"d", "img_a.bin", QB_FILE_UNKNOWN, 'Y', 512}, MORVIK_CLI_NO_INFO_ERR},
      {{"d", "img_a.bin", QB_FILE_OPCODE, 'Y', 0}, MORVIK_CLI_NO_INFO_ERR},
  };
  for (const auto& c : cases) {
    exec_context cntx;
    cntx.p_dir->p_list->push_back(new file_info(c.entry));
    EXPECT_EQ(c.expected, dir_command.verdict(&cntx, MORVIK_SUCCESS)) << c.entry.name << c.entry.startup;
    EXPECT_EQ(MORVIK_SSH_AUTH_ERR, dir_command.verdict(&cntx, MORVIK_SSH_AUTH_ERR));
  }
  exec_context empty;
  EXPECT_EQ(MORVIK_SUCCESS, dir_command.verdict(&empty, MORVIK_SUCCESS));
}

TEST(ExecDir, MissingArgumentsLeaveHeldContextAlone) {
  exec_context* held = new exec_context;
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_dir(session_settings(), QB_CLI_DIR_FILE, nullptr, &held));
  EXPECT_NE(nullptr, held);
  release_cntx(&held);
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_dir(session_settings(), QB_CLI_DIR_OPCODE, nullptr, nullptr));
}
