#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "ssh_exec.h"

namespace {

const char* const HEADER = "date        file name      file type       startup  size";
const char* const DASHES = "---------------------------------------------------------";

// The first prompt makes the parser send its line; answer is then parsed.
void replay(exec_context& cntx, QbCliType type, const char* answer, char* sent) {
  cntx.type = type;
  cntx.state = EXEC_LOGIN;
  dir_parser("quorbel#", sent, 4096, &cntx);
  if (answer != nullptr)
    dir_parser(answer, sent, 4096, &cntx);
}

int feed(exec_context& cntx, std::initializer_list<const char*> lines) {
  int go_on = 1;
  for (const char* text : lines) {
    char line[100];
    snprintf(line, sizeof(line), "%s", text);
    go_on = parse_dir_line(line, &cntx);
  }
  return go_on;
}

}  // namespace

TEST(DirParser, SendsFileNameOfSingleFileListing) {
  exec_context cntx;
  char sent[4096] = {0};
  snprintf(cntx.p_dir->p_file->name, sizeof(cntx.p_dir->p_file->name), "img_b.bin");
  replay(cntx, QB_CLI_DIR_FILE, nullptr, sent);
  EXPECT_STREQ("dir opcode img_b.bin\r\n", sent);
}

TEST(DirParser, ListsRecordedFilesInOrder) {
  exec_context cntx;
  char sent[4096] = {0};
  replay(cntx, QB_CLI_DIR,
         "dir\r\n"
         "date        file name      file type       startup  size\r\n"
         "---------------------------------------------------------\r\n"
         "2009-01-01  boot.bin       Boot-Rom image  Y        128\r\n"
         "2009-01-01  startup        Config File     Y        4\r\n"
         "2009-03-02  img_a.bin      Operation Code  Y        512\r\n"
         "2009-01-15  img_b.bin      Operation Code  N        498\r\n"
         "---------------------------------------------------------\r\n"
         "Total: 4 files\r\nquorbel#",
         sent);
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
    std::initializer_list<const char*> lines;
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
    EXPECT_EQ(0, feed(cntx, c.lines)) << *(c.lines.end() - 1);
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

TEST(ExecDir, MissingArgumentsLeaveHeldContextAlone) {
  exec_context* held = new exec_context;
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_dir(session_settings(), QB_CLI_DIR_FILE, nullptr, &held));
  EXPECT_NE(nullptr, held);
  release_cntx(&held);
  EXPECT_EQ(MORVIK_INTERNAL_ERR, exec_dir(session_settings(), QB_CLI_DIR_OPCODE, nullptr, nullptr));
}
