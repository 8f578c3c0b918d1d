// What sessions leave behind in the tool's own process, however they end: no
// descriptor that was not there before, no child left unreaped, and standard
// streams that are the tool's own again, also when the client never started.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main.h"
#include "ssh_exec.h"
#include "test_support.h"

namespace {

// Descriptor number -> what it refers to, from /proc/self/fd (the listing's
// own descriptor left out).
std::map<int, std::string> open_files() {
  std::map<int, std::string> fds;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr)
    return fds;
  int own = dirfd(d);
  while (struct dirent* e = readdir(d)) {
    int fd = atoi(e->d_name);
    if (e->d_name[0] == '.' || fd == own)
      continue;
    char target[512] = "";
    ssize_t n = readlinkat(own, e->d_name, target, sizeof(target) - 1);
    fds[fd] = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
  }
  closedir(d);
  return fds;
}

// Device and inode of descriptors 0 to 2, "closed" for one that is not open.
std::vector<std::string> standard_streams() {
  std::vector<std::string> ids;
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat sb;
    ids.push_back(fstat(fd, &sb) == 0
                      ? std::to_string(sb.st_dev) + ":" + std::to_string(sb.st_ino)
                      : "closed");
  }
  return ids;
}

// True when the process has no child at all, ended or not.
bool no_child_left() {
  return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

int never_answers(const char*, char*, int, exec_context*) { return 1; }

class SessionResources : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    setenv("FAKEPLINK_SCRIPT", (dir_.path() + "/script").c_str(), 1);
    s_ = test_support::client_settings(FAKEPLINK_PATH);
    signal(SIGPIPE, SIG_IGN);
    files_ = open_files();
    streams_ = standard_streams();
  }
  void TearDown() override { unsetenv("FAKEPLINK_SCRIPT"); }

  // Runs one session of the client script and checks what it left. With
  // `show` the whole command runs, else a parser that never answers.
  void session(const std::string& name, const std::string& script_text, bool show = false) {
    SCOPED_TRACE(name);
    dir_.write("script", script_text, 0644);
    if (show) {
      exec_context* p_cntx = nullptr;
      EXPECT_EQ(exec_show(s_, QB_CLI_SHOW_LOGINSESSION, &p_cntx), MORVIK_SUCCESS);
      release_cntx(&p_cntx);
    } else {
      exec_context cntx;
      ssh_exec(s_, &cntx, never_answers, 2);
    }
    expect_nothing_left();
  }

  void expect_nothing_left() {
    EXPECT_EQ(open_files(), files_);
    EXPECT_EQ(standard_streams(), streams_);
    EXPECT_TRUE(no_child_left());
  }

  session_settings s_;
  test_support::TempDir dir_;
  test_support::TraceMode quiet_{TRACE_MODE_QUIET};
  std::map<int, std::string> files_;
  std::vector<std::string> streams_;
};

TEST_F(SessionResources, ManySessionsEndedEveryWayLeaveNothingBehind) {
  const std::string login = "say admin@127.0.0.1's password: \nexpect secret\\n\nsay \\r\\nqb# \n";
  const std::string table =
      "expect show loginsession\\r\\n\n"
      "say show loginsession\\r\\n"
      "ID  User Name   Connection From  Idle Time  Session Time  Session Type\\r\\n"
      "--  ----------  ---------------  ---------  ------------  ------------\\r\\n"
      "1   admin       127.0.0.1        00:00:00   00:00:03      SSH\\r\\nqb# \n";
  for (int round = 0; round < 2; ++round) {
    session("runs its command and logs out", login + table + "expect quit\\n\nexit 0\n", true);
    session("dies mid-answer", login + "say half an ans\nsleep 1.5\nexit 1\n");
    session("closes its input", "close-input\n" + login + "sleep 3\nexit 0\n");
    session("falls silent", "hang\n");
    session("ignores SIGTERM", "ignore-term\n" + login + "hang\n");
  }
}

TEST_F(SessionResources, FailedStartsLeaveTheStandardStreamsOurs) {
  dir_.write("script", "exit 0\n", 0644);
  std::string not_executable = dir_.write("plink", "not a program\n", 0644);
  for (const std::string& client : {not_executable, dir_.path() + "/missing/plink"}) {
    SCOPED_TRACE(client);
    snprintf(s_.ssh_path, sizeof(s_.ssh_path), "%s", client.c_str());
    exec_context cntx;
    ssh_exec(s_, &cntx, never_answers, 2);
    EXPECT_EQ(cntx.state, EXEC_STARTING);
    expect_nothing_left();
  }
}

// With too few descriptors the pipes cannot all be made; wherever that
// happens, what was made is undone.
TEST_F(SessionResources, RunningOutOfDescriptorsUndoesWhatWasMade) {
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int failed = 0;
  for (int spare = 0; spare <= 10; ++spare) {
    // New descriptors take the lowest free numbers: a limit just above the
    // spare-th free number leaves exactly `spare` of them.
    int limit = 0;
    for (int free_below = 0; free_below <= spare; ++limit)
      if (files_.count(limit) == 0)
        ++free_below;
    SCOPED_TRACE(std::to_string(spare) + " descriptors to spare");
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(limit - 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    exec_context cntx;
    QBCodes rc = ssh_exec(s_, &cntx, never_answers, 1);
    setrlimit(RLIMIT_NOFILE, &saved);
    if (rc == MORVIK_INTERNAL_ERR) {
      ++failed;
      EXPECT_EQ(cntx.state, EXEC_INIT);
    }
    expect_nothing_left();
  }
  // The session's two pipes take four new descriptors at once: each limit
  // below fails.
  EXPECT_EQ(failed, 4);
}

}  // namespace
