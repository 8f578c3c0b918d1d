// What operators and frameworks use beside the module's dialogue: the
// password's sources, the report file and its JSON, the per-module lock.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

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

// A report longer than its buffer is no report: the last good one stays, and
// the error output says why there is no new one.
TEST(ReportFile, ReportThatDoesNotFitKeepsTheOldOneAndSaysSo) {
  TempDir dir;
  const std::string path = dir.write("report.json", "{\"old\": true}\n", 0644);
  report_file f;
  ASSERT_EQ(report_open(&f, path.c_str()), 0);
  run_record r;
  record_init(&r);
  record_finish(&r, MORVIK_SUCCESS);
  char text[64];
  test_support::StdCapture capture;
  EXPECT_EQ(report_write(&f, r, report_request_of(qb_opt(), 0), text, sizeof(text)), EOVERFLOW);
  EXPECT_NE(capture.out().find("Cannot write report '" + path + "'"), std::string::npos)
      << capture.out();
  EXPECT_EQ(test_support::read_file(path), "{\"old\": true}\n");
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
  ASSERT_TRUE(report_json(r, report_request_of(opt, 0), out, sizeof(out)));
  const std::string json = out;
  EXPECT_NE(json.find("\"host\": \"q\\\"b\\\\\\u0001\xc3\xa9\\ufffd\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"exit_name\": \"MORVIK_SSH_AUTH_ERR\", \"message\": \"login refused\""),
            std::string::npos)
      << json;
  EXPECT_EQ(json.find("topsecret"), std::string::npos);
  EXPECT_FALSE(report_json(r, report_request_of(opt, 0), out, 64))
      << "a report that does not fit is no report";
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
  module_lock first, second;
  lock_failure err;
  ASSERT_EQ(take_module_lock(locks.c_str(), "10.0.0.5", &first, &err), MORVIK_SUCCESS);
  struct stat st;
  ASSERT_EQ(stat(locks.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(take_module_lock(locks.c_str(), "10.0.0.5", &second, &err), MORVIK_MODULE_BUSY_ERR);
  EXPECT_EQ(second.count, 0);
  EXPECT_EQ(take_module_lock(locks.c_str(), "10.0.0.6", &second, &err), MORVIK_SUCCESS);
  release_module_lock(&second);
  const int first_fd = first.fd[0];
  release_module_lock(&first);
  EXPECT_EQ(take_module_lock(locks.c_str(), "10.0.0.5", &second, &err), MORVIK_SUCCESS);
  release_module_lock(&second);
  EXPECT_EQ(fcntl(first_fd, F_GETFD), -1) << "closed";
}

// A resolver's answer made by hand: one entry per address, in the order given.
struct resolved {
  std::vector<sockaddr_storage> addresses;
  std::vector<addrinfo> entries;
  explicit resolved(const std::vector<std::string>& texts)
      : addresses(texts.size()), entries(texts.size()) {
    for (size_t i = 0; i < texts.size(); ++i) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&addresses[i]);
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&addresses[i]);
      const bool is_v4 = inet_pton(AF_INET, texts[i].c_str(), &v4->sin_addr) == 1;
      addresses[i].ss_family = is_v4 ? AF_INET : AF_INET6;
      if (!is_v4) {
        EXPECT_EQ(inet_pton(AF_INET6, texts[i].c_str(), &v6->sin6_addr), 1) << texts[i];
      }
      entries[i].ai_addr = reinterpret_cast<sockaddr*>(&addresses[i]);
      entries[i].ai_addrlen = is_v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
      entries[i].ai_next = i + 1 < texts.size() ? &entries[i + 1] : nullptr;
    }
  }
};

// The names come from the resolver's list whatever its order; a host with
// more addresses than a run can lock is refused, not locked in part.
TEST(ModuleLock, ANameLocksEachOfItsAddressesOnce) {
  std::vector<std::string> too_many;
  for (int i = 0; i <= MODULE_LOCK_ADDRESSES; ++i)
    too_many.push_back("10.0.0." + std::to_string(i + 1));
  const struct {
    std::vector<std::string> resolved;
    std::vector<std::string> names;  // none: refused
  } rows[] = {
      {{"::1", "127.0.0.1"}, {"127.0.0.1", "::1"}},
      {{"127.0.0.1", "::1", "127.0.0.1"}, {"127.0.0.1", "::1"}},
      {std::vector<std::string>(MODULE_LOCK_ADDRESSES + 1, "fe80::1"), {"fe80::1"}},
      {too_many, {}},
  };
  for (const auto& row : rows) {
    resolved list(row.resolved);
    module_lock_names names;
    EXPECT_EQ(module_lock_names_of(list.entries.data(), &names), !row.names.empty());
    EXPECT_EQ(std::vector<std::string>(names.name, names.name + names.count), row.names);
  }
}

// localhost stands for 127.0.0.1, and for ::1 too where /etc/hosts says so:
// a run by either name or address keeps out a run by any other.
TEST(ModuleLock, ANameAndItsAddressesExcludeEachOther) {
  const struct {
    const char* host;
    const char* locks;  // among the names it locks
  } rows[] = {
      {"127.1", "127.0.0.1"},
      {"0:0::1", "::1"},
      {"localhost", "127.0.0.1"},
      {"no-such-module.invalid", "no-such-module.invalid"},
  };
  for (const auto& row : rows) {
    module_lock_names names;
    ASSERT_TRUE(module_lock_hosts(row.host, &names)) << row.host;
    auto* end = names.name + names.count;
    EXPECT_NE(std::find(names.name, end, std::string(row.locks)), end) << row.host;
  }
  module_lock_names of_localhost;
  ASSERT_TRUE(module_lock_hosts("localhost", &of_localhost));
  TempDir dir;
  const char* locks = dir.path().c_str();
  module_lock first, second;
  lock_failure why;
  ASSERT_EQ(take_module_lock(locks, "localhost", &first, &why), MORVIK_SUCCESS);
  EXPECT_EQ(first.count, of_localhost.count);
  for (int i = 0; i < of_localhost.count; ++i) {
    EXPECT_EQ(take_module_lock(locks, of_localhost.name[i], &second, &why), MORVIK_MODULE_BUSY_ERR)
        << of_localhost.name[i];
    EXPECT_EQ(second.count, 0);
  }
  release_module_lock(&first);
  ASSERT_EQ(take_module_lock(locks, "127.0.0.1", &first, &why), MORVIK_SUCCESS);
  EXPECT_EQ(take_module_lock(locks, "localhost", &second, &why), MORVIK_MODULE_BUSY_ERR);
  EXPECT_EQ(access((dir.path() + "/127.0.0.1.lock").c_str(), F_OK), 0);
  release_module_lock(&first);
  ASSERT_EQ(take_module_lock(locks, "localhost", &second, &why), MORVIK_SUCCESS);
  release_module_lock(&second);
}

// A directory that someone else could write would let them hold every
// module's lock; the tool refuses it rather than wait on their lock.
TEST(ModuleLock, RefusesADirectoryThatOthersControl) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to make directories of other users";
  const uid_t nobody = 65534;
  enum Kind { DIRECTORY, SYMLINK, PLAIN_FILE };
  const struct {
    const char* name;
    Kind kind;
    uid_t owner;
    mode_t mode;
    uid_t run_as;
    QbLockDirFault fault;  // LOCK_DIR_SOUND: the lock is taken
  } rows[] = {
      {"ours", DIRECTORY, 0, 0700, 0, LOCK_DIR_SOUND},
      {"ours, readable by all", DIRECTORY, 0, 0755, 0, LOCK_DIR_SOUND},
      {"another user's", DIRECTORY, nobody, 0700, 0, LOCK_DIR_NOT_OURS},
      {"group may write", DIRECTORY, 0, 0770, 0, LOCK_DIR_OPEN},
      {"others may write", DIRECTORY, 0, 0757, 0, LOCK_DIR_OPEN},
      {"sticky, all may write", DIRECTORY, 0, 01777, 0, LOCK_DIR_OPEN},
      {"a link to ours", SYMLINK, 0, 0700, 0, LOCK_DIR_LINK},
      {"a plain file", PLAIN_FILE, 0, 0600, 0, LOCK_DIR_NOT_A_DIR},
      {"ours, not root", DIRECTORY, nobody, 0700, nobody, LOCK_DIR_SOUND},
      {"root's, not root", DIRECTORY, 0, 0755, nobody, LOCK_DIR_SOUND},
  };
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0) << "others' runs must reach their directory";
  for (const auto& row : rows) {
    const std::string target = dir.path() + "/" + row.name;
    const std::string lock_dir = target + (row.kind == SYMLINK ? " link" : "");
    if (row.kind == PLAIN_FILE) {
      dir.write(row.name, "", row.mode);
    } else {
      ASSERT_EQ(mkdir(target.c_str(), 0700), 0) << row.name;
      ASSERT_EQ(chmod(target.c_str(), row.mode), 0) << row.name;
      ASSERT_EQ(chown(target.c_str(), row.owner, row.owner), 0) << row.name;
    }
    if (row.kind == SYMLINK) {
      ASSERT_EQ(symlink(target.c_str(), lock_dir.c_str()), 0) << row.name;
    }
    if (row.owner == 0 && row.run_as != 0) {
      // A run of root's left its lock file there, open to all.
      dir.write(row.name + std::string("/10.0.0.5.lock"), "", 0666);
    }
    ASSERT_EQ(seteuid(row.run_as), 0);
    module_lock lock;
    lock_failure why;
    QBCodes code = take_module_lock(lock_dir.c_str(), "10.0.0.5", &lock, &why);
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_EQ(code, row.fault == LOCK_DIR_SOUND ? MORVIK_SUCCESS : MORVIK_INTERNAL_ERR) << row.name;
    EXPECT_EQ(why.dir_fault, row.fault) << row.name;
    EXPECT_EQ(why.owner, row.fault == LOCK_DIR_NOT_OURS ? static_cast<long>(row.owner) : -1)
        << row.name;
    release_module_lock(&lock);
  }
}

}  // namespace
