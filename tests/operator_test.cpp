// What operators and frameworks use beside the module's dialogue: the
// password's sources, the report file and its JSON, the per-module lock.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "main.h"
#include "qb_lock.h"
#include "report.h"
#include "test_support.h"

using test_support::Args;
using test_support::TempDir;
using test_support::operator+;

namespace {

const Args kCheck = {"-host", "10.1.2.3", "-usr", "admin", "-mode", "account_check"};
const Args kUpdate = {"-host", "10.1.2.3", "-usr", "admin", "-pwd", "secret", "-mode", "update",
                      "-tftp", "10.0.0.1/img", "-img_tzr", "t.bin", "-img_sw", "s.bin"};

class OperatorArgs : public ::testing::Test {
 protected:
  void SetUp() override { test_support::reset_command_line(); }
  void TearDown() override { test_support::reset_command_line(); }
  static std::pair<QBCodes, std::string> parse(const Args& args) {
    return test_support::parse_command_line(args);
  }
  std::string file(const std::string& name, const std::string& text, mode_t mode) {
    return dir_.write(name, text, mode);
  }
  TempDir dir_;
};

TEST_F(OperatorArgs, PasswordComesFromTheOptionTheFileOrTheEnvironment) {
  const struct {
    const char* what;
    Args args;
    const char* env;  // MORVIK_PASSWORD, null: unset
    const char* password;
  } rows[] = {
      {"option", kCheck + Args{"-pwd", "opt"}, nullptr, "opt"},
      {"option before the environment", kCheck + Args{"-pwd", "opt"}, "env", "opt"},
      {"file, first line", kCheck + Args{"-pwd_file", "PW"}, "env", "file"},
      {"environment", kCheck, "env", "env"},
      {"empty environment", kCheck, "", ""},
  };
  for (const auto& row : rows) {
    test_support::reset_command_line();
    std::string pw = file("pw", "file\r\nsecond line\n", 0600);
    Args args = row.args;
    for (std::string& a : args)
      if (a == "PW")
        a = pw;
    if (row.env != nullptr)
      setenv("MORVIK_PASSWORD", row.env, 1);
    auto result = parse(args);
    EXPECT_EQ(result.first, MORVIK_SUCCESS) << row.what << ": " << result.second;
    EXPECT_STREQ(options.password, row.password) << row.what;
    EXPECT_EQ(getenv("MORVIK_PASSWORD"), nullptr) << row.what << ": the variable must go";
  }
}

TEST_F(OperatorArgs, RefusalsSayWhyAndEndTheParse) {
  const std::string pw = file("pw", "secret\n", 0600);
  const struct {
    const char* what;
    Args args;
    std::string message;
  } rows[] = {
      {"no source", kCheck, "Argument missed\n"},
      {"both options", kCheck + Args{"-pwd", "a", "-pwd_file", pw},
       "Arguments 'pwd' and 'pwd_file' exclude each other\n"},
      {"file option without value", kCheck + Args{"-pwd_file"}, "Invalid or missed password file\n"},
      {"file twice", kCheck + Args{"-pwd_file", pw, "-pwd_file", pw},
       "Duplicate of argument'pwd_file'\n"},
      {"report without value", kUpdate + Args{"-report", "-D"}, "Invalid or missed report file\n"},
      {"dry run of an account check", kCheck + Args{"-pwd", "a", "-dry_run"},
       "Argument 'dry_run' needs -mode update\n"},
      {"unknown pace", kUpdate + Args{"-pace", "fast"}, "Invalid or missed pace\n"},
  };
  for (const auto& row : rows) {
    test_support::reset_command_line();
    auto result = parse(row.args);
    EXPECT_EQ(result.first, MORVIK_INVALID_PARAM_ERR) << row.what;
    EXPECT_EQ(result.second, row.message) << row.what;
  }
}

TEST_F(OperatorArgs, PasswordFileIsRefusedLikeAPrivateKey) {
  const std::string fifo = dir_.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path;
    const char* reason;
  } rows[] = {
      {dir_.path() + "/missing", "Cannot read password file '%s': No such file or directory\n"},
      {dir_.path(), "Password file '%s' refused: not a regular file\n"},
      {fifo, "Password file '%s' refused: not a regular file\n"},
      {file("group", "secret\n", 0640), "Password file '%s' refused: readable or writable by "
                                        "group or others\n"},
      {file("others", "secret\n", 0602), "Password file '%s' refused: readable or writable by "
                                         "group or others\n"},
      {file("empty", "", 0600), "Password file '%s' refused: empty\n"},
      {file("blank", "\nsecret\n", 0600), "Password file '%s' refused: empty\n"},
      {file("long", std::string(64, 'x') + "\n", 0600),
       "Password file '%s' refused: holding a password longer than 63 characters\n"},
  };
  for (const auto& row : rows) {
    test_support::reset_command_line();
    auto result = parse(kCheck + Args{"-pwd_file", row.path});
    char expected[4096];
    snprintf(expected, sizeof(expected), row.reason, row.path.c_str());
    EXPECT_EQ(result.first, MORVIK_INVALID_PARAM_ERR) << row.path;
    EXPECT_EQ(result.second, expected);
    EXPECT_STREQ(options.password, "") << row.path;
  }
}

// ---------------------------------------------------------------------------

TEST(ReportFile, ReplacesItsPathOnlyWhenComplete) {
  TempDir dir;
  const std::string path = dir.path() + "/report.json";
  report_file f;
  ASSERT_EQ(report_open(&f, path.c_str()), 0);
  EXPECT_NE(access(f.temp, F_OK), -1);
  EXPECT_EQ(access(path.c_str(), F_OK), -1) << "nothing at the path before the end";
  ASSERT_EQ(report_commit(&f, "{}\n"), 0);
  EXPECT_EQ(test_support::read_file(path), "{}\n");
  EXPECT_EQ(access(f.temp, F_OK), -1) << "the temporary file is gone";
}

TEST(ReportFile, PathThatCannotBeWrittenIsRefusedAtOnce) {
  TempDir dir;
  report_file f;
  EXPECT_EQ(report_open(&f, (dir.path() + "/no/such/dir/r.json").c_str()), ENOENT);
  EXPECT_EQ(report_open(&f, dir.path().c_str()), EISDIR);
  EXPECT_EQ(report_open(&f, (dir.path() + "/").c_str()), EISDIR);
}

// Whatever a module or a command line holds, the report stays valid JSON.
TEST(ReportJson, EscapesWhatJsonCannotHoldAndNeverTheRest) {
  qb_opt opt;
  snprintf(opt.host, sizeof(opt.host), "q\"b\\\x01\xc3\xa9\xff");
  snprintf(opt.password, sizeof(opt.password), "topsecret");
  run_record r;
  record_init(&r);
  record_finish(&r, MORVIK_SSH_AUTH_ERR);
  char out[8192];
  ASSERT_TRUE(report_json(r, opt, 0, out, sizeof(out)));
  const std::string json = out;
  EXPECT_NE(json.find("\"host\": \"q\\\"b\\\\\\u0001\xc3\xa9\\ufffd\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"exit_name\": \"MORVIK_SSH_AUTH_ERR\", \"message\": \"login refused\""),
            std::string::npos)
      << json;
  EXPECT_EQ(json.find("topsecret"), std::string::npos);
  EXPECT_FALSE(report_json(r, opt, 0, out, 64)) << "a report that does not fit is no report";
}

// ---------------------------------------------------------------------------

TEST(ModuleLock, EveryHostStaysInsideTheDirectory) {
  const struct {
    const char* host;
    const char* path;
  } rows[] = {
      {"10.0.0.5", "/d/10.0.0.5.lock"},
      {"fe80::1", "/d/fe80::1.lock"},
      {"../../etc/x", "/d/..%2F..%2Fetc%2Fx.lock"},
      {"50%", "/d/50%25.lock"},
  };
  for (const auto& row : rows) {
    char path[64];
    ASSERT_TRUE(module_lock_path("/d", row.host, path, sizeof(path)));
    EXPECT_STREQ(path, row.path);
  }
  char tiny[8];
  EXPECT_FALSE(module_lock_path("/d", "10.0.0.5", tiny, sizeof(tiny)));
}

TEST(ModuleLock, SecondHolderIsBusyUntilTheFirstLetsGo) {
  TempDir dir;
  const std::string locks = dir.path() + "/run/lock/morvik";
  int first = -1, second = -1, err = 0;
  ASSERT_EQ(take_module_lock(locks.c_str(), "10.0.0.5", &first, &err), MORVIK_SUCCESS);
  struct stat st;
  ASSERT_EQ(stat(locks.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(take_module_lock(locks.c_str(), "10.0.0.5", &second, &err), MORVIK_MODULE_BUSY_ERR);
  EXPECT_EQ(second, -1);
  EXPECT_EQ(take_module_lock(locks.c_str(), "10.0.0.6", &second, &err), MORVIK_SUCCESS);
  close(second);
  close(first);
  EXPECT_EQ(take_module_lock(locks.c_str(), "10.0.0.5", &second, &err), MORVIK_SUCCESS);
  close(second);
  EXPECT_EQ(fcntl(first, F_GETFD), -1) << "closed";
}

}  // namespace
