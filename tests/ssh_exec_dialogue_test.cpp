// Whole recorded dialogues played to the session engine by the scripted fake
// client: what the tool answers, when it gives up, and what it leaves behind.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "main.h"
#include "nxa-tools-trace.h"
#include "ssh_exec.h"

namespace {

const char* const HOST_KEY_QUESTION =
    "say The host key is not cached for this server:\\r\\n  127.0.0.1 (port 22)\\r\\n"
    "The server's ssh-ed25519 key fingerprint is:\\r\\n  ssh-ed25519 255 SHA256:abc\\r\\n"
    "Store key in cache? (y/n, Return cancels connection, i for more info) \n";
const char* const PASSWORD_PROMPT =
    "say Using username \"admin\".\\r\\nadmin@127.0.0.1's password: \n";
const char* const LOGIN_PROMPT = "say \\r\\nquorbel# \n";
const char* const SESSION_TABLE =
    "say show loginsession\\r\\n"
    "ID  User Name   Connection From  Idle Time  Session Time  Session Type\\r\\n"
    "--  ----------  ---------------  ---------  ------------  ------------\\r\\n"
    "1   admin       127.0.0.1        00:00:00   00:00:03      SSH\\r\\n"
    "quorbel# \n";

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class Dialogue : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/morvik-dialogue-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("FAKEPLINK_SCRIPT", (dir_ + "/script").c_str(), 1);
    setenv("FAKEPLINK_LOG", (dir_ + "/input").c_str(), 1);
    setenv("FAKEPLINK_PID", (dir_ + "/pid").c_str(), 1);
    options = qb_opt();
    snprintf(options.ssh_path, sizeof(options.ssh_path), "%s", FAKEPLINK_PATH);
    snprintf(options.ssh_args, sizeof(options.ssh_args), "-ssh admin@127.0.0.1");
    snprintf(options.password, sizeof(options.password), "secret");
    simulator_mode = 0;
    signal(SIGPIPE, SIG_IGN);
    nxa_set_trace(TRACE_MODE_DEBUG);
  }

  void TearDown() override {
    nxa_set_trace(TRACE_MODE_QUIET);
    release_cntx(&cntx_);
    unsetenv("FAKEPLINK_SCRIPT");
    unsetenv("FAKEPLINK_LOG");
    unsetenv("FAKEPLINK_PID");
    std::string cleanup = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cleanup.c_str()), 0);
  }

  void script(const std::string& lines) {
    std::ofstream out(dir_ + "/script");
    out << lines;
  }

  // Runs fn with the tool's standard output going to a file, returns that text.
  template <typename Fn>
  std::string capture(Fn fn) {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    FILE* out = fopen((dir_ + "/trace").c_str(), "w");
    dup2(fileno(out), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    fclose(out);
    return read_file(dir_ + "/trace");
  }

  std::string input() { return read_file(dir_ + "/input"); }

  bool client_gone() {
    pid_t pid = static_cast<pid_t>(atoi(read_file(dir_ + "/pid").c_str()));
    return pid > 0 && kill(pid, 0) == -1 && errno == ESRCH;
  }

  std::string dir_;
  exec_context* cntx_ = nullptr;
};

int count_of(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

TEST_F(Dialogue, HostKeyPasswordCommandAndLogout) {
  script(std::string(HOST_KEY_QUESTION) + "expect y\\n\n" + PASSWORD_PROMPT +
         "expect secret\\n\n" + LOGIN_PROMPT + "expect show loginsession\\r\\n\n" + SESSION_TABLE +
         "expect quit\\n\nexit 0\n");
  QBCodes rc = MORVIK_INTERNAL_ERR;
  std::string trace = capture([&] { rc = exec_show(QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  ASSERT_EQ(rc, MORVIK_SUCCESS) << trace;
  EXPECT_EQ(input(), "y\nsecret\nshow loginsession\r\nquit\n");
  ASSERT_EQ(cntx_->p_login->p_list->size(), 1u);
  EXPECT_STREQ((*cntx_->p_login->p_list)[0]->user_name, "admin");
  EXPECT_EQ(cntx_->state, EXEC_QUIT);
  EXPECT_EQ(count_of(trace, "cannot parse output."), 0) << trace;
}

TEST_F(Dialogue, PasswordNeverReachesTheDebugOutput) {
  script(std::string(PASSWORD_PROMPT) + "expect secret\\n\n" + LOGIN_PROMPT +
         "expect show loginsession\\r\\n\n" + SESSION_TABLE + "expect quit\\n\nexit 0\n");
  std::string trace = capture([&] { exec_show(QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  EXPECT_EQ(trace.find("secret"), std::string::npos) << trace;
  EXPECT_NE(trace.find("== sent data begin ==    7 bytes to write ==\n******\n"), std::string::npos)
      << trace;
}

TEST_F(Dialogue, EmptyPasswordSendsLoneLineEnd) {
  options.password[0] = '\0';
  script(std::string(PASSWORD_PROMPT) + "expect \\n\n" + LOGIN_PROMPT +
         "expect show loginsession\\r\\n\n" + SESSION_TABLE + "expect quit\\n\nexit 0\n");
  QBCodes rc = MORVIK_INTERNAL_ERR;
  capture([&] { rc = exec_show(QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  EXPECT_EQ(rc, MORVIK_SUCCESS);
  EXPECT_EQ(input(), "\nshow loginsession\r\nquit\n");
}

TEST_F(Dialogue, SaveQuestionAtLogoutIsAnsweredYes) {
  script(std::string(PASSWORD_PROMPT) + "expect secret\\n\n" + LOGIN_PROMPT +
         "expect show loginsession\\r\\n\n" + SESSION_TABLE +
         "expect quit\\n\n"
         "say quit\\r\\nThe system has unsaved changes.\\r\\n"
         "Would you like to save them now? (y/n) \n"
         "expect y\\n\nsay y\\r\\nConfiguration Saved\\r\\n\nsleep 1.5\nexit 0\n");
  QBCodes rc = MORVIK_INTERNAL_ERR;
  capture([&] { rc = exec_show(QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  EXPECT_EQ(rc, MORVIK_SUCCESS);
  EXPECT_EQ(input(), "secret\nshow loginsession\r\nquit\ny\n");
}

TEST_F(Dialogue, PromptBeforePasswordLogsOutWithoutCommand) {
  script(std::string(LOGIN_PROMPT) + "expect quit\\n\nexit 0\n");
  QBCodes rc = MORVIK_INTERNAL_ERR;
  capture([&] { rc = exec_show(QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  EXPECT_EQ(rc, MORVIK_CLI_NO_INFO_ERR);
  EXPECT_EQ(input(), "quit\n");
}

TEST_F(Dialogue, RefusedPasswordEndsAsAuthenticationFailure) {
  script(std::string(PASSWORD_PROMPT) + "expect secret\\n\n" +
         "say Access denied\\r\\nadmin@127.0.0.1's password: \nexpect secret\\n\n"
         "say FATAL ERROR: Remote side sent disconnect message\\r\\n\nexit 1\n");
  QBCodes rc = MORVIK_INTERNAL_ERR;
  capture([&] { rc = exec_show(QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  EXPECT_EQ(rc, MORVIK_SSH_AUTH_ERR);
  EXPECT_EQ(input(), "secret\nsecret\n");
  EXPECT_EQ(cntx_, nullptr);
}

TEST_F(Dialogue, LongAnswerIsParsedOnlyFromTheChunkWithThePrompt) {
  script(std::string(PASSWORD_PROMPT) + "expect secret\\n\n" + LOGIN_PROMPT +
         "expect show loginsession\\r\\n\nbig 5000\nsay quorbel# \nexpect quit\\n\nexit 0\n");
  QBCodes rc = MORVIK_INTERNAL_ERR;
  std::string trace = capture([&] { rc = exec_show(QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  EXPECT_EQ(rc, MORVIK_REMOTE_PARSER_ERR);
  EXPECT_EQ(count_of(trace, "cannot parse output."), 1) << trace;
  EXPECT_EQ(input(), "secret\nshow loginsession\r\nquit\n");
}

// A stand-alone parser that never sends anything keeps the dialogue waiting.
int silent_parser(const char*, char*, int, exec_context*) {
  return 1;
}

TEST_F(Dialogue, ClientHangingAfterLogoutIsTerminated) {
  script(std::string(LOGIN_PROMPT) + "hang\n");
  exec_context cntx;
  QBCodes rc = MORVIK_INTERNAL_ERR;
  std::string trace = capture([&] { rc = ssh_exec(&cntx, silent_parser, 2); });
  EXPECT_EQ(rc, MORVIK_SUCCESS);
  // The prompt made the dialogue log out; silence after that is no time-out.
  EXPECT_EQ(cntx.state, EXEC_QUIT);
  EXPECT_NE(trace.find("Warning> client terminated forcibly\n"), std::string::npos) << trace;
  EXPECT_TRUE(client_gone());
}

TEST_F(Dialogue, ClientSilentBeforeLoginIsCanceledByTimeout) {
  script("hang\n");
  exec_context cntx;
  std::string trace = capture([&] { ssh_exec(&cntx, silent_parser, 2); });
  EXPECT_EQ(cntx.state, EXEC_CANCELED_BY_TIMEOUT);
  EXPECT_NE(trace.find("trace> client canceled by timeout\n"), std::string::npos) << trace;
  EXPECT_EQ(execstate_to_exit_code(MORVIK_SUCCESS, cntx.state), MORVIK_REMOTE_TIMEOUT_ERR);
}

TEST_F(Dialogue, ClientIgnoringSigtermIsKilledAndReaped) {
  script("ignore-term\nhang\n");
  exec_context cntx;
  capture([&] { ssh_exec(&cntx, silent_parser, 1); });
  EXPECT_TRUE(client_gone());
}

TEST_F(Dialogue, ClientThatNeverStopsWritingEndsByTimeout) {
  script(std::string(PASSWORD_PROMPT) + "expect secret\\n\n" + LOGIN_PROMPT +
         "expect show loginsession\\r\\n\nflood\n");
  exec_context cntx;
  cntx.type = QB_CLI_SHOW_LOGINSESSION;
  time_t begin = time(nullptr);
  capture([&] { ssh_exec(&cntx, show_parser, 3); });
  EXPECT_EQ(cntx.state, EXEC_CANCELED_BY_TIMEOUT);
  EXPECT_LT(difftime(time(nullptr), begin), 20);
  EXPECT_TRUE(client_gone());
}

TEST_F(Dialogue, WriteToClientThatClosedItsInputFails) {
  script("close-input\n" + std::string(PASSWORD_PROMPT) + "sleep 3\nexit 0\n");
  exec_context cntx;
  std::string trace = capture([&] { ssh_exec(&cntx, silent_parser, 5); });
  EXPECT_EQ(cntx.state, EXEC_TERMINATED);
  EXPECT_NE(trace.find("cannot write data.\n"), std::string::npos) << trace;
}

TEST_F(Dialogue, ClientThatCannotBeExecutedNeverConnects) {
  std::string path = dir_ + "/plink";
  std::ofstream(path) << "not a program\n";
  chmod(path.c_str(), 0644);
  snprintf(options.ssh_path, sizeof(options.ssh_path), "%s", path.c_str());
  QBCodes rc = MORVIK_INTERNAL_ERR;
  capture([&] { rc = exec_show(QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  EXPECT_EQ(rc, MORVIK_CANNOT_CONNECT_ERR);
}

TEST_F(Dialogue, StandardStreamsAreOursAgainAfterTheSession) {
  script(std::string(LOGIN_PROMPT) + "expect quit\\n\nexit 0\n");
  struct stat before[3];
  for (int fd = 0; fd < 3; ++fd)
    ASSERT_EQ(fstat(fd, &before[fd]), 0);
  exec_context cntx;
  capture([&] { ssh_exec(&cntx, silent_parser, 5); });
  for (int fd = 0; fd < 3; ++fd) {
    struct stat after;
    ASSERT_EQ(fstat(fd, &after), 0);
    EXPECT_EQ(after.st_ino, before[fd].st_ino) << "descriptor " << fd;
    EXPECT_EQ(after.st_dev, before[fd].st_dev) << "descriptor " << fd;
  }
}

}  // namespace
