// Command words, boot-mode names, and the records of a remote command with
// their list methods.
#include "defines.h"

#include <climits>
#include <string>

#include <gtest/gtest.h>

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
      CODE(MORVIK_HOST_KEY_ERR),
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

TEST_F(SimulatorMode, CommandWordsPerMode) {
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
