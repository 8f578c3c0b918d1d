// Whole recorded dialogues played to the session engine by the scripted fake
// client: what the tool answers, when it gives up, and what it leaves behind.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "main.h"
#include "nxa-tools-trace.h"
#include "qb_signal.h"
#include "ssh_exec.h"
#include "test_support.h"

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

// Every dialogue runs under both pacings.
class Dialogue : public ::testing::TestWithParam<QbPace> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/morvik-dialogue-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("FAKEPLINK_SCRIPT", (dir_ + "/script").c_str(), 1);
    setenv("FAKEPLINK_LOG", (dir_ + "/input").c_str(), 1);
    setenv("FAKEPLINK_PID", (dir_ + "/pid").c_str(), 1);
    s_ = test_support::client_settings(FAKEPLINK_PATH, GetParam());
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
  session_settings s_;
  exec_context* cntx_ = nullptr;
};

int count_of(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

TEST_P(Dialogue, HostKeyPasswordCommandAndLogout) {
  script(std::string(HOST_KEY_QUESTION) + "expect y\\n\n" + PASSWORD_PROMPT +
         "expect secret\\n\n" + LOGIN_PROMPT + "expect show loginsession\\r\\n\n" + SESSION_TABLE +
         "expect quit\\n\nexit 0\n");
  QBCodes rc = MORVIK_INTERNAL_ERR;
  std::string trace = capture([&] { rc = exec_show(s_, QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  ASSERT_EQ(rc, MORVIK_SUCCESS) << trace;
  EXPECT_EQ(input(), "y\nsecret\nshow loginsession\r\nquit\n");
  ASSERT_EQ(cntx_->p_login->p_list->size(), 1u);
  EXPECT_STREQ((*cntx_->p_login->p_list)[0]->user_name, "admin");
  EXPECT_EQ(cntx_->state, EXEC_QUIT);
  EXPECT_EQ(count_of(trace, "cannot parse output."), 0) << trace;
}

TEST_P(Dialogue, PasswordNeverReachesTheDebugOutput) {
  script(std::string(PASSWORD_PROMPT) + "expect secret\\n\n" + LOGIN_PROMPT +
         "expect show loginsession\\r\\n\n" + SESSION_TABLE + "expect quit\\n\nexit 0\n");
  std::string trace = capture([&] { exec_show(s_, QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  EXPECT_EQ(trace.find("secret"), std::string::npos) << trace;
  EXPECT_NE(trace.find("== sent data begin ==    7 bytes to write ==\n******\n"), std::string::npos)
      << trace;
}

TEST_P(Dialogue, EmptyPasswordSendsLoneLineEnd) {
  s_.password[0] = '\0';
  script(std::string(PASSWORD_PROMPT) + "expect \\n\n" + LOGIN_PROMPT +
         "expect show loginsession\\r\\n\n" + SESSION_TABLE + "expect quit\\n\nexit 0\n");
  QBCodes rc = MORVIK_INTERNAL_ERR;
  capture([&] { rc = exec_show(s_, QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  EXPECT_EQ(rc, MORVIK_SUCCESS);
  EXPECT_EQ(input(), "\nshow loginsession\r\nquit\n");
}

TEST_P(Dialogue, SaveQuestionAtLogoutIsAnsweredYes) {
  script(std::string(PASSWORD_PROMPT) + "expect secret\\n\n" + LOGIN_PROMPT +
         "expect show loginsession\\r\\n\n" + SESSION_TABLE +
         "expect quit\\n\n"
         "say quit\\r\\nThe system has unsaved changes.\\r\\n"
         "Would you like to save them now? (y/n) \n"
         "expect y\\n\nsay y\\r\\nConfiguration Saved\\r\\n\nsleep 1.5\nexit 0\n");
  QBCodes rc = MORVIK_INTERNAL_ERR;
  capture([&] { rc = exec_show(s_, QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  EXPECT_EQ(rc, MORVIK_SUCCESS);
  EXPECT_EQ(input(), "secret\nshow loginsession\r\nquit\ny\n");
}

TEST_P(Dialogue, PromptBeforePasswordLogsOutWithoutCommand) {
  script(std::string(LOGIN_PROMPT) + "expect quit\\n\nexit 0\n");
  QBCodes rc = MORVIK_INTERNAL_ERR;
  capture([&] { rc = exec_show(s_, QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  EXPECT_EQ(rc, MORVIK_CLI_NO_INFO_ERR);
  EXPECT_EQ(input(), "quit\n");
}

// The password is typed once: the client asking again gets nothing, and is
// ended as a silent one would be.
TEST_P(Dialogue, RefusedPasswordEndsAsAuthenticationFailure) {
  script(std::string(PASSWORD_PROMPT) + "expect secret\\n\n" +
         "say Access denied\\r\\nadmin@127.0.0.1's password: \nsleep 30\n");
  QBCodes rc = MORVIK_INTERNAL_ERR;
  const auto start = std::chrono::steady_clock::now();
  capture([&] { rc = exec_show(s_, QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(rc, MORVIK_SSH_AUTH_ERR);
  EXPECT_EQ(input(), "secret\n");
  EXPECT_EQ(cntx_, nullptr);
  EXPECT_TRUE(client_gone());
}

// More than one read of the client's output, and a pause in the middle: the
// answer is still parsed whole.
TEST_P(Dialogue, LongOrPausedAnswerIsParsedWhole) {
  const std::string table_head =
      "say show loginsession\\r\\n"
      "ID  User Name   Connection From  Idle Time  Session Time  Session Type\\r\\n"
      "--  ----------  ---------------  ---------  ------------  ------------\\r\\n\n";
  const std::string row = "1   admin       127.0.0.1        00:00:00   00:00:03      SSH\\r\\n";
  const struct {
    std::string rows;
    size_t count;
  } cases[] = {
      {"repeat 70 " + row + "\n", 70},
      {"say " + row + "\nsleep 2.5\nsay " + row + "\n", 2},
  };
  for (const auto& c : cases) {
    script(std::string(PASSWORD_PROMPT) + "expect secret\\n\n" + LOGIN_PROMPT +
           "expect show loginsession\\r\\n\n" + table_head + c.rows +
           "say quorbel# \nexpect quit\\n\nexit 0\n");
    QBCodes rc = MORVIK_INTERNAL_ERR;
    std::string trace = capture([&] { rc = exec_show(s_, QB_CLI_SHOW_LOGINSESSION, &cntx_); });
    ASSERT_EQ(rc, MORVIK_SUCCESS) << trace;
    EXPECT_EQ(cntx_->p_login->p_list->size(), c.count);
    EXPECT_EQ(count_of(trace, "cannot parse output."), 0) << trace;
  }
}

// A stand-alone parser that never sends anything keeps the dialogue waiting.
int silent_parser(const char*, char*, int, exec_context*) {
  return 1;
}

TEST_P(Dialogue, ClientHangingAfterLogoutIsTerminated) {
  script(std::string(LOGIN_PROMPT) + "hang\n");
  exec_context cntx;
  QBCodes rc = MORVIK_INTERNAL_ERR;
  std::string trace = capture([&] { rc = ssh_exec(s_, &cntx, silent_parser, 3); });
  EXPECT_EQ(rc, MORVIK_SUCCESS);
  // The prompt made the dialogue log out; silence after that is no time-out.
  EXPECT_EQ(cntx.state, EXEC_QUIT);
  EXPECT_NE(trace.find("Warning> client terminated forcibly\n"), std::string::npos) << trace;
  EXPECT_TRUE(client_gone());
}

TEST_P(Dialogue, ClientSilentBeforeLoginIsCanceledByTimeout) {
  script("hang\n");
  exec_context cntx;
  std::string trace = capture([&] { ssh_exec(s_, &cntx, silent_parser, 2); });
  EXPECT_EQ(cntx.state, EXEC_CANCELED_BY_TIMEOUT);
  EXPECT_NE(trace.find("trace> client canceled by timeout\n"), std::string::npos) << trace;
  EXPECT_EQ(execstate_to_exit_code(MORVIK_SUCCESS, cntx.state), MORVIK_REMOTE_TIMEOUT_ERR);
}

TEST_P(Dialogue, ClientIgnoringSigtermIsKilledAndReaped) {
  script("ignore-term\nhang\n");
  exec_context cntx;
  capture([&] { ssh_exec(s_, &cntx, silent_parser, 1); });
  EXPECT_TRUE(client_gone());
}

TEST_P(Dialogue, ClientThatNeverStopsWritingEndsByTimeout) {
  script(std::string(PASSWORD_PROMPT) + "expect secret\\n\n" + LOGIN_PROMPT +
         "expect show loginsession\\r\\n\nflood\n");
  exec_context cntx;
  cntx.type = QB_CLI_SHOW_LOGINSESSION;
  time_t begin = time(nullptr);
  capture([&] { ssh_exec(s_, &cntx, show_parser, 3); });
  EXPECT_EQ(cntx.state, EXEC_CANCELED_BY_TIMEOUT);
  EXPECT_LT(difftime(time(nullptr), begin), 20);
  EXPECT_TRUE(client_gone());
}

TEST_P(Dialogue, WriteToClientThatClosedItsInputFails) {
  script("close-input\n" + std::string(PASSWORD_PROMPT) + "sleep 3\nexit 0\n");
  exec_context cntx;
  std::string trace = capture([&] { ssh_exec(s_, &cntx, silent_parser, 5); });
  EXPECT_EQ(cntx.state, EXEC_TERMINATED);
  EXPECT_NE(trace.find("cannot write data.\n"), std::string::npos) << trace;
}

TEST_P(Dialogue, ClientThatCannotBeExecutedIsAClientError) {
  std::string path = dir_ + "/plink";
  std::ofstream(path) << "not a program\n";
  chmod(path.c_str(), 0644);
  snprintf(s_.ssh_path, sizeof(s_.ssh_path), "%s", path.c_str());
  QBCodes rc = MORVIK_INTERNAL_ERR;
  std::string trace = capture([&] { rc = exec_show(s_, QB_CLI_SHOW_LOGINSESSION, &cntx_); });
  EXPECT_EQ(rc, MORVIK_SSH_CLIENT_ERR);
  EXPECT_NE(trace.find("Cannot start the SSH client '" + path + "': Permission denied\n"),
            std::string::npos)
      << trace;
}

TEST_P(Dialogue, StandardStreamsAreOursAgainAfterTheSession) {
  script(std::string(LOGIN_PROMPT) + "expect quit\\n\nexit 0\n");
  struct stat before[3];
  for (int fd = 0; fd < 3; ++fd)
    ASSERT_EQ(fstat(fd, &before[fd]), 0);
  exec_context cntx;
  capture([&] { ssh_exec(s_, &cntx, silent_parser, 5); });
  for (int fd = 0; fd < 3; ++fd) {
    struct stat after;
    ASSERT_EQ(fstat(fd, &after), 0);
    EXPECT_EQ(after.st_ino, before[fd].st_ino) << "descriptor " << fd;
    EXPECT_EQ(after.st_dev, before[fd].st_dev) << "descriptor " << fd;
  }
}

// ---------------------------------------------------------------------------
// The client's host-key dialogue, played by the fake client against a cache
// of its own in PUTTYDIR.

class HostKey : public Dialogue {
 protected:
  void SetUp() override {
    Dialogue::SetUp();
    setenv("PUTTYDIR", dir_.c_str(), 1);
    snprintf(s_.host, sizeof(s_.host), "qb7");
    snprintf(s_.host_key_lock, sizeof(s_.host_key_lock), "%s/sshhostkeys.lock", dir_.c_str());
    std::ofstream(cache()) << kOldEntry;
  }
  void TearDown() override {
    unsetenv("PUTTYDIR");
    Dialogue::TearDown();
  }
  std::string cache() { return dir_ + "/sshhostkeys"; }
  static constexpr const char* kOldEntry = "ssh-ed25519@22:10.9.9.9 0x01d\n";
};

TEST_P(HostKey, FirstContactIsStoredADifferentKeyIsRefused) {
  const struct {
    const char* name;
    const char* client;  // the host-key step of the fake client
    bool pinned;
    QBCodes result;
    const char* input;
    bool stored;
    const char* check;  // what the message names beside the host
  } cases[] = {
      {"first contact", "first-contact", false, MORVIK_SUCCESS,
       "y\nsecret\nshow loginsession\r\nquit\n", true, nullptr},
      {"changed key", "changed-key", false, MORVIK_HOST_KEY_ERR, "\n", false, "cache"},
      {"no pinned key matches", "pinned-mismatch", true, MORVIK_HOST_KEY_ERR, "", false,
       "-hostkey"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    remove((dir_ + "/input").c_str());
    std::ofstream(cache()) << kOldEntry;
    s_.host_keys_pinned = c.pinned;
    script(std::string(c.client) + "\n" + PASSWORD_PROMPT + "expect secret\\n\n" + LOGIN_PROMPT +
           "expect show loginsession\\r\\n\n" + SESSION_TABLE + "expect quit\\n\nexit 0\n");
    QBCodes rc = MORVIK_INTERNAL_ERR;
    std::string trace = capture([&] { rc = exec_show(s_, QB_CLI_SHOW_LOGINSESSION, &cntx_); });
    release_cntx(&cntx_);
    EXPECT_EQ(rc, c.result) << trace;
    EXPECT_EQ(input(), c.input);
    const std::string entries = read_file(cache());
    EXPECT_EQ(entries != kOldEntry, c.stored) << entries;
    EXPECT_EQ(count_of(trace, "cannot parse output."), 0) << trace;
    if (c.check != nullptr) {
      const size_t error = trace.find("qb7");
      ASSERT_NE(error, std::string::npos) << trace;
      const std::string line = trace.substr(trace.rfind('\n', error) + 1,
                                            trace.find('\n', error) - trace.rfind('\n', error));
      EXPECT_NE(line.find(c.check), std::string::npos) << line;
    }
  }
  struct stat sb;
  ASSERT_EQ(stat(s_.host_key_lock, &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0600u);
}

// Two first contacts at once that share one cache: the fake client rewrites
// it as plink does, so that two stores at the same time lose one key; the
// answers take turns, and both keys are kept.
TEST_P(HostKey, FirstContactsAtOnceStoreOneAfterTheOther) {
  script(std::string("first-contact\n") + PASSWORD_PROMPT + "expect secret\\n\nexit 0\n");
  session_settings a = s_, b = s_;
  snprintf(a.ssh_args, sizeof(a.ssh_args), "-ssh admin@127.0.0.2");
  snprintf(b.ssh_args, sizeof(b.ssh_args), "-ssh admin@127.0.0.3");
  exec_context ca, cb;
  nxa_set_trace(TRACE_MODE_QUIET);
  std::thread first([&] { ssh_exec(a, &ca, silent_parser, 5); });
  std::thread second([&] { ssh_exec(b, &cb, silent_parser, 5); });
  first.join();
  second.join();
  const std::string entries = read_file(cache());
  EXPECT_NE(entries.find("@22:127.0.0.2 "), std::string::npos) << entries;
  EXPECT_NE(entries.find("@22:127.0.0.3 "), std::string::npos) << entries;
  EXPECT_EQ(entries.find(kOldEntry), 0u) << entries;
  EXPECT_EQ(ca.state, EXEC_LOGIN);
  EXPECT_EQ(cb.state, EXEC_LOGIN);
}

// A lock that another run keeps: after the bounded wait the key is accepted
// for this session only ("n"), and the login goes on.
TEST_P(HostKey, LockThatStaysTakenConnectsWithoutStoring) {
  int holder = open(s_.host_key_lock, O_RDWR | O_CREAT, 0600);
  ASSERT_NE(holder, -1);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  s_.host_key_lock_wait_ms = 600;
  script(std::string("first-contact\n") + PASSWORD_PROMPT + "expect secret\\n\nexit 0\n");
  exec_context cntx;
  auto start = std::chrono::steady_clock::now();
  capture([&] { ssh_exec(s_, &cntx, silent_parser, 5); });
  close(holder);
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.6);
  EXPECT_EQ(input(), "n\nsecret\n");
  EXPECT_EQ(read_file(cache()), kOldEntry);
  EXPECT_EQ(cntx.state, EXEC_LOGIN);
}

// Whatever the client does after the first-contact answer, the session leaves
// the cache's lock free: the next session of this run, or another run, must
// not wait for it.
TEST_P(HostKey, LockIsFreeOnceTheSessionHasEnded) {
  const struct {
    const char* name;
    std::string after_answer;  // the fake client's script after the question
    int timeout;
  } cases[] = {
      {"ends without a word", "exit 0\n", 5},
      {"says nothing until ended", "hang\n", 2},
      {"asks for the password", std::string(PASSWORD_PROMPT) + "exit 0\n", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script(std::string("first-contact\n") + c.after_answer);
    exec_context cntx;
    capture([&] { ssh_exec(s_, &cntx, silent_parser, c.timeout); });
    int probe = open(s_.host_key_lock, O_RDWR | O_CLOEXEC);
    ASSERT_NE(probe, -1);
    EXPECT_EQ(flock(probe, LOCK_EX | LOCK_NB), 0) << strerror(errno);
    close(probe);
  }
}

// ---------------------------------------------------------------------------
// An interrupted run: the session ends at once, as at a time-out but without
// the wait, its client is gone, and the state is the one it had reached.

class Interrupted : public Dialogue {
 protected:
  void SetUp() override {
    Dialogue::SetUp();
    for (int i = 0; i < 3; ++i)
      sigaction(kSignals[i], nullptr, &saved_[i]);
    clear_interrupt();
    ASSERT_EQ(install_interrupt_handlers(), 0);
  }
  void TearDown() override {
    for (int i = 0; i < 3; ++i)
      sigaction(kSignals[i], &saved_[i], nullptr);
    clear_interrupt();
    Dialogue::TearDown();
  }
  static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction saved_[3];
};

TEST_P(Interrupted, SessionEndsWithinASecondAndItsClientIsGone) {
  const struct {
    const char* name;
    std::string script;
    const char* after;  // the input after which the signal comes
    int delay_ms;       // and how long after it
    ExecState state;
  } cases[] = {
      {"silent client", "hang\n", "", 1500, EXEC_CONNECTING},
      {"unanswered command",
       std::string(PASSWORD_PROMPT) + "expect secret\\n\n" + LOGIN_PROMPT +
           "expect show loginsession\\r\\n\nhang\n",
       "show loginsession", 500, EXEC_REMOTE},
      {"client that ignores SIGTERM", "ignore-term\nhang\n", "", 1500, EXEC_CONNECTING},
      {"waiting for the cache lock", std::string("first-contact\n") + "hang\n", "", 3500,
       EXEC_CONNECTING},
  };
  const pthread_t tool = pthread_self();
  int holder = -1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clear_interrupt();
    remove((dir_ + "/input").c_str());
    remove((dir_ + "/pid").c_str());
    script(c.script);
    if (c.script.compare(0, 13, "first-contact") == 0) {
      snprintf(s_.host_key_lock, sizeof(s_.host_key_lock), "%s/lock", dir_.c_str());
      holder = open(s_.host_key_lock, O_RDWR | O_CREAT, 0600);
      ASSERT_EQ(flock(holder, LOCK_EX), 0);
    }
    exec_context cntx;
    cntx.type = QB_CLI_SHOW_LOGINSESSION;
    std::chrono::steady_clock::time_point signalled;
    const std::string after = c.after;
    std::thread signaller([&] {
      // Sent once the client runs and has had what it waits for.
      for (int i = 0; i < 200 && (read_file(dir_ + "/pid").empty() ||
                                  input().find(after) == std::string::npos);
           ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::this_thread::sleep_for(std::chrono::milliseconds(c.delay_ms));
      signalled = std::chrono::steady_clock::now();
      pthread_kill(tool, SIGTERM);
    });
    capture([&] { ssh_exec(s_, &cntx, show_parser, 30); });
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    signaller.join();
    close(holder);
    holder = -1;
    s_.host_key_lock[0] = '\0';
    EXPECT_EQ(interrupt_signal(), SIGTERM);
    EXPECT_EQ(cntx.state, c.state);
    EXPECT_TRUE(client_gone());
    // A client that dies at SIGTERM is gone within a second; one that
    // ignores it gets the usual two seconds before SIGKILL.
    EXPECT_LT(took, c.name == std::string("client that ignores SIGTERM") ? 3.0 : 1.0);
  }
}

// How a session ends when the module or the client leaves early, or says the
// client's words inside an answer.
struct Ending {
  const char* name;
  std::string script;  // after the command was sent
  bool reload;         // the command: reload, else show loginsession
  QBCodes result;
  const char* input;  // all the tool typed
};

const std::string kTableRows =
    "ID  User Name   Connection From  Idle Time  Session Time  Session Type\\r\\n"
    "--  ----------  ---------------  ---------  ------------  ------------\\r\\n";
const std::string kRow = "1   admin       127.0.0.1        00:00:00   00:00:03      SSH\\r\\n";

const Ending kEndings[] = {
    // The client's abort text in the middle of the answer is no logout.
    {"AbortMidAnswer",
     "say show loginsession\\r\\n" + kTableRows + "\nsleep 1.5\n"
     "say FATAL ERROR: Network error: Software caused connection abort\\r\\n\nexit 1\n",
     false, MORVIK_REMOTE_PARSER_ERR, "secret\nshow loginsession\r\n"},
    // "exit" and "logout" in an answer that comes in two pieces are its text.
    {"ExitAndLogoutInsideTheAnswer",
     "say show loginsession\\r\\n" + kTableRows + "2   exit        logout           00:00:00   "
     "00:00:01      SSH\\r\\n\nsleep 2.5\nsay " + kRow + "quorbel# \nexpect quit\\n\nexit 0\n",
     false, MORVIK_SUCCESS, "secret\nshow loginsession\r\nquit\n"},
    // "password:" in an answer never gets the password typed.
    {"PasswordWordInsideTheAnswer",
     "say show loginsession\\r\\nEnter new password: \nsleep 2.5\nsay \\r\\n" + kTableRows + kRow +
     "quorbel# \nexpect quit\\n\nexit 0\n",
     false, MORVIK_REMOTE_PARSER_ERR, "secret\nshow loginsession\r\nquit\n"},
    // The announcement still waiting in the pipe when the client ends counts.
    {"AnnouncementLeftInThePipe",
     "say reload\\r\\nSystem will now restart\\r\\n\nexit 0\n", true, MORVIK_SUCCESS,
     "secret\nreload\r\n"},
    // A notice and the reset question in one write: the question is answered.
    {"SaveLineAndQuestionTogether",
     "say reload\\r\\nConfiguration Saved\\r\\nAre you sure you would like to reset the "
     "system? (y/n) \nexpect y\nsay y\\r\\nSystem will now restart\\r\\n\nsleep 1.5\nexit 0\n",
     true, MORVIK_SUCCESS, "secret\nreload\r\ny"},
};

class SessionEnding : public Dialogue {};

TEST_P(SessionEnding, EndsWithTheCodeOfWhatHappened) {
  for (const Ending& e : kEndings) {
    SCOPED_TRACE(e.name);
    remove((dir_ + "/input").c_str());
    script(std::string(PASSWORD_PROMPT) + "expect secret\\n\n" + LOGIN_PROMPT + "expect " +
           (e.reload ? "reload" : "show loginsession") + "\\r\\n\n" + e.script);
    QBCodes rc = MORVIK_INTERNAL_ERR;
    std::string trace = capture([&] {
      rc = e.reload ? exec_reload(s_, &cntx_, 10) : exec_show(s_, QB_CLI_SHOW_LOGINSESSION, &cntx_);
    });
    EXPECT_EQ(rc, e.result) << trace;
    EXPECT_EQ(input(), e.input) << trace;
    release_cntx(&cntx_);
  }
}

std::string pace_name(const ::testing::TestParamInfo<QbPace>& info) {
  return info.param == QB_PACE_PROMPT ? "Prompt" : "Settle";
}

INSTANTIATE_TEST_SUITE_P(Pace, Dialogue, ::testing::Values(QB_PACE_SETTLE, QB_PACE_PROMPT),
                         pace_name);
INSTANTIATE_TEST_SUITE_P(Pace, HostKey, ::testing::Values(QB_PACE_SETTLE, QB_PACE_PROMPT),
                         pace_name);
INSTANTIATE_TEST_SUITE_P(Pace, Interrupted, ::testing::Values(QB_PACE_SETTLE, QB_PACE_PROMPT),
                         pace_name);
INSTANTIATE_TEST_SUITE_P(Pace, SessionEnding, ::testing::Values(QB_PACE_SETTLE, QB_PACE_PROMPT),
                         pace_name);

}  // namespace
