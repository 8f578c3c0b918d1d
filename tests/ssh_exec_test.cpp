// The session engine's pure parts: the dialogue parser, the answer cutting and
// line splitting, the final-state mapping; and a few short real sessions.
#include "ssh_exec.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main.h"
#include "test_support.h"

using test_support::StdCapture;
using test_support::TempDir;
using test_support::TraceMode;

namespace {

TEST(ExecstateToExitCode, MapsEveryFinalState) {
  struct Row {
    ExecState state;
    QBCodes result;  // MORVIK_SUCCESS: the code passed in comes back
  };
  const Row rows[] = {
      {EXEC_INIT, MORVIK_SSH_CLIENT_ERR},
      {EXEC_STARTING, MORVIK_SSH_CLIENT_ERR},
      {EXEC_CONNECTING, MORVIK_CANNOT_CONNECT_ERR},
      {EXEC_KEY_EXCHANGE, MORVIK_SSH_AUTH_ERR},
      {EXEC_LOGIN, MORVIK_SSH_AUTH_ERR},
      {EXEC_REMOTE, MORVIK_REMOTE_PARSER_ERR},
      {EXEC_REMOTE_FINISH, MORVIK_SUCCESS},
      {EXEC_QUIT, MORVIK_SUCCESS},
      {EXEC_TERMINATED, MORVIK_REMOTE_PARSER_ERR},
      {EXEC_CANCELED_BY_TIMEOUT, MORVIK_REMOTE_TIMEOUT_ERR},
      {static_cast<ExecState>(EXEC_CANCELED_BY_TIMEOUT + 1), MORVIK_SUCCESS},
  };
  for (const Row& row : rows) {
    for (QBCodes in : {MORVIK_SUCCESS, MORVIK_CLI_NO_INFO_ERR}) {
      QBCodes expected = row.result == MORVIK_SUCCESS ? in : row.result;
      EXPECT_EQ(execstate_to_exit_code(in, row.state), expected)
          << "state " << row.state << " code " << in;
    }
  }
}

TEST(ReleaseCntx, FreesAndNullsAndToleratesNull) {
  exec_context* cntx = new exec_context;
  cntx->p_login->p_list->push_back(new qb_login_info());
  release_cntx(&cntx);
  EXPECT_EQ(cntx, nullptr);
  release_cntx(&cntx);
  EXPECT_EQ(cntx, nullptr);
}

// ---------------------------------------------------------------------------

std::string extract(const std::string& recv, const std::string& cmd, int size = 4096) {
  std::string recv_copy = recv, cmd_copy = cmd;
  std::vector<char> response(4096, '\0');
  extract_response(&recv_copy[0], &cmd_copy[0], response.data(), size);
  return response.data();
}

TEST(ExtractResponse, CutsEchoPromptAndLineEnds) {
  struct Row {
    const char* recv;
    const char* answer;
  };
  const char* cmd = "show loginsession\r\n";
  const Row rows[] = {
      // echo, two lines, an empty line, the prompt
      {"show loginsession\r\nA\r\nB\r\n\r\nswitch#", "A\r\nB"},
      // echo not in this chunk: taken from the start
      {"A\r\nB\r\nswitch#", "A\r\nB"},
      // line ends right after the echo are skipped
      {"show loginsession\r\n\r\n\r\nA\r\nswitch# ", "A"},
      // a prompt character inside the answer ends it with its whole line
      {"show loginsession\r\nA\r\nB$C\r\nD\r\nswitch#", "A"},
      {"show loginsession\r\nA\r\nB\r\nuser@qb:~$ ", "A\r\nB"},
      // a prompt with no line end before it leaves nothing
      {"abc#", ""},
      {"show loginsession\r\nswitch#", ""},
      // no prompt at all: only the trailing line ends go
      {"show loginsession\r\nA\r\nB\r\n", "A\r\nB"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(extract(row.recv, cmd), row.answer) << row.recv;
}

TEST(ExtractResponse, StaysWithinTheGivenSize) {
  char response[8];
  memset(response, '#', sizeof(response));
  char recv[] = "ABCDEFG";
  char cmd[] = "dir\r\n";
  extract_response(recv, cmd, response, 4);
  EXPECT_STREQ(response, "ABC");
  EXPECT_EQ(memcmp(response + 4, "####", 4), 0);
}

// ---------------------------------------------------------------------------

std::vector<std::string> seen_lines;
int stop_after = 0;  // 0: never stop

int record_line(char* line, exec_context*) {
  seen_lines.push_back(line);
  return stop_after == 0 || static_cast<int>(seen_lines.size()) < stop_after;
}

std::vector<std::string> lines_of(const std::string& response, int stop = 0) {
  seen_lines.clear();
  stop_after = stop;
  std::string copy = response;
  exec_context cntx;
  response_parser(&copy[0], &cntx, record_line);
  EXPECT_EQ(copy, response);  // the caller's text is not changed
  return seen_lines;
}

typedef std::vector<std::string> Lines;

TEST(ResponseParser, SplitsAtCarriageReturnsOnly) {
  EXPECT_EQ(lines_of("A\r\nB"), (Lines{"A", "B"}));
  EXPECT_EQ(lines_of("A\nB\r\nC"), (Lines{"A\nB", "C"}));
  EXPECT_EQ(lines_of("A\rB"), (Lines{"A", "B"}));
  EXPECT_EQ(lines_of("\r\nA\r\n\r\n\r\nB"), (Lines{"A", "B"}));
}

TEST(ResponseParser, EmptyRestGivesOneEmptyLine) {
  EXPECT_EQ(lines_of(""), (Lines{""}));
  EXPECT_EQ(lines_of("\r\n\r\n"), (Lines{""}));
  EXPECT_EQ(lines_of("A\r\n"), (Lines{"A", ""}));
}

TEST(ResponseParser, LinesAreCutAt99Characters) {
  std::string long_line(150, 'x');
  EXPECT_EQ(lines_of(long_line + "\r\nB"), (Lines{std::string(99, 'x'), "B"}));
}

TEST(ResponseParser, StopsWhenTheLineParserSaysSo) {
  EXPECT_EQ(lines_of("A\r\nB\r\nC", 1), (Lines{"A"}));
  EXPECT_EQ(lines_of("A\r\nB\r\nC", 2), (Lines{"A", "B"}));
}

// ---------------------------------------------------------------------------

class DefParser : public ::testing::Test {
 protected:
  void SetUp() override {
    options = qb_opt();
    snprintf(options.password, sizeof(options.password), "secret");
    simulator_mode = 0;
  }
  void TearDown() override {
    options = qb_opt();
    simulator_mode = 0;
  }
};

const char kHostKey[] =
    "The host key is not cached for this server:\n  127.0.0.1 (port 22)\n"
    "The server's ssh-ed25519 key fingerprint is:\n  ssh-ed25519 255 SHA256:abc\n"
    "Store key in cache? (y/n, Return cancels connection, i for more info) ";
const char kSaveQuestion[] =
    "The system has unsaved changes.\nWould you like to save them now? (y/n)";

TEST_F(DefParser, EveryRuleWithItsStateAndAnswer) {
  struct Row {
    const char* chunk;
    ExecState before;
    int result;
    ExecState after;
    const char* sent;
  };
  const Row rows[] = {
      // 1: host-key question, in any state
      {kHostKey, EXEC_CONNECTING, 1, EXEC_KEY_EXCHANGE, "y\n"},
      {"host key fingerprint (yes/no)", EXEC_QUIT, 1, EXEC_KEY_EXCHANGE, "y\n"},
      {"host key fingerprint", EXEC_CONNECTING, 0, EXEC_CONNECTING, ""},
      {"host key (y/n)", EXEC_CONNECTING, 0, EXEC_CONNECTING, ""},
      {"host key fingerprint y/n password:", EXEC_CONNECTING, 1, EXEC_KEY_EXCHANGE, "y\n"},
      // 2: password prompt, in any state, before a prompt character
      {"admin@127.0.0.1's password: ", EXEC_CONNECTING, 1, EXEC_LOGIN, "secret\n"},
      {"Access denied\nadmin@127.0.0.1's password: ", EXEC_LOGIN, 1, EXEC_LOGIN, "secret\n"},
      {"password:", EXEC_QUIT, 1, EXEC_LOGIN, "secret\n"},
      {"banner # admin's password: ", EXEC_CONNECTING, 1, EXEC_LOGIN, "secret\n"},
      {"Password:", EXEC_CONNECTING, 0, EXEC_CONNECTING, ""},
      // 3: a prompt character
      {"switch#", EXEC_LOGIN, 0, EXEC_LOGIN, ""},
      {"switch#", EXEC_REMOTE, 0, EXEC_REMOTE, ""},
      {"switch#", EXEC_QUIT, 1, EXEC_QUIT, ""},
      {"switch#", EXEC_CONNECTING, 1, EXEC_QUIT, "quit\n"},
      {"user@host:~$ ", EXEC_KEY_EXCHANGE, 1, EXEC_QUIT, "quit\n"},
      {"answer\r\nswitch#", EXEC_REMOTE_FINISH, 1, EXEC_QUIT, "quit\n"},
      {"exit\r\nswitch#", EXEC_LOGIN, 0, EXEC_LOGIN, ""},
      // 4: the other side is leaving
      {"logout", EXEC_REMOTE, 1, EXEC_QUIT, ""},
      {"exit", EXEC_CONNECTING, 1, EXEC_QUIT, ""},
      {"Remote side unexpectedly closed: connection abort", EXEC_LOGIN, 1, EXEC_QUIT, ""},
      // 5: unsaved changes without the question
      {"The system has unsaved changes.", EXEC_QUIT, 1, EXEC_QUIT, ""},
      {"The system has unsaved changes.", EXEC_REMOTE, 0, EXEC_REMOTE, ""},
      // 6: the save question is answered after the logout only
      {kSaveQuestion, EXEC_QUIT, 1, EXEC_QUIT, "y\n"},
      {kSaveQuestion, EXEC_REMOTE, 0, EXEC_REMOTE, ""},
      // ... and without "you like to save" it falls through to 7 and 8
      {"The system has unsaved changes (y/n)", EXEC_QUIT, 0, EXEC_QUIT, ""},
      {"system has unsaved changes y/n Configuration Saved", EXEC_QUIT, 1, EXEC_QUIT, ""},
      // 7: the outcome of the save
      {"Configuration Saved", EXEC_QUIT, 1, EXEC_QUIT, ""},
      {"Configuration Not Saved", EXEC_QUIT, 1, EXEC_QUIT, ""},
      {"Configuration Saved", EXEC_REMOTE, 0, EXEC_REMOTE, ""},
      // 8: the echo of a one-letter answer
      {"y", EXEC_QUIT, 1, EXEC_QUIT, ""},
      {"N", EXEC_QUIT, 1, EXEC_QUIT, ""},
      {"y", EXEC_REMOTE, 0, EXEC_REMOTE, ""},
      {"yn", EXEC_QUIT, 0, EXEC_QUIT, ""},
      // 9: anything else
      {"Copying file...", EXEC_REMOTE, 0, EXEC_REMOTE, ""},
      {"Copying file...", EXEC_QUIT, 0, EXEC_QUIT, ""},
  };
  for (const Row& row : rows) {
    exec_context cntx;
    cntx.state = row.before;
    char sent[4096] = "";
    EXPECT_EQ(def_parser(row.chunk, sent, sizeof(sent), &cntx), row.result)
        << row.chunk << " in " << row.before;
    EXPECT_EQ(cntx.state, row.after) << row.chunk << " in " << row.before;
    EXPECT_STREQ(sent, row.sent) << row.chunk << " in " << row.before;
  }
}

TEST_F(DefParser, LogoutWordFollowsSimulatorMode) {
  simulator_mode = 1;
  exec_context cntx;
  cntx.state = EXEC_REMOTE_FINISH;
  char sent[4096] = "";
  EXPECT_EQ(def_parser("sim#", sent, sizeof(sent), &cntx), 1);
  EXPECT_STREQ(sent, "qb_quit\n");
}

TEST_F(DefParser, EmptyPasswordSendsALoneLineEnd) {
  options.password[0] = '\0';
  exec_context cntx;
  char sent[4096] = "";
  EXPECT_EQ(def_parser("password: ", sent, sizeof(sent), &cntx), 1);
  EXPECT_STREQ(sent, "\n");
}

TEST_F(DefParser, AnswerIsBoundedByMaxSent) {
  exec_context cntx;
  char sent[8];
  memset(sent, '#', sizeof(sent));
  EXPECT_EQ(def_parser("password: ", sent, 4, &cntx), 1);
  EXPECT_STREQ(sent, "sec");
  EXPECT_EQ(memcmp(sent + 4, "####", 4), 0);
}

// ---------------------------------------------------------------------------

int never_handles(const char*, char*, int, exec_context*) {
  return 0;
}

class SshExec : public DefParser {
 protected:
  void use_client(const std::string& path) {
    snprintf(options.ssh_path, sizeof(options.ssh_path), "%s", path.c_str());
    snprintf(options.ssh_args, sizeof(options.ssh_args), "-ssh admin@10.1.2.3");
  }
  TempDir dir_;
};

TEST_F(SshExec, MissingParserOrContextIsAnInternalError) {
  exec_context cntx;
  cntx.state = EXEC_QUIT;
  EXPECT_EQ(ssh_exec(&cntx, nullptr, 10), MORVIK_INTERNAL_ERR);
  EXPECT_EQ(ssh_exec(nullptr, never_handles, 10), MORVIK_INTERNAL_ERR);
  EXPECT_EQ(cntx.state, EXEC_QUIT);
}

TEST_F(SshExec, ClientThatEndsAtOnceLeavesTheSessionConnecting) {
  const std::string cases[] = {
      dir_.write("plink", "#!/bin/sh\nkill -9 $$\n"),
      dir_.path() + "/missing",
  };
  for (const std::string& client : cases) {
    use_client(client);
    struct stat before, after;
    ASSERT_EQ(fstat(STDOUT_FILENO, &before), 0);
    exec_context cntx;
    EXPECT_EQ(ssh_exec(&cntx, never_handles, 10), MORVIK_SUCCESS) << client;
    EXPECT_EQ(cntx.state, EXEC_CONNECTING) << client;
    ASSERT_EQ(fstat(STDOUT_FILENO, &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
  }
}

TEST_F(SshExec, PasswordIsSentButMaskedInTheDebugFrame) {
  const std::string got = dir_.path() + "/got";
  use_client(dir_.write("plink", "#!/bin/sh\nprintf \"admin@10.1.2.3's password: \"\nread pw\n"
                                 "printf '%s' \"$pw\" > '" + got + "'\n"));
  TraceMode mode(TRACE_MODE_DEBUG);
  exec_context cntx;
  std::string out;
  {
    StdCapture capture;
    EXPECT_EQ(ssh_exec(&cntx, never_handles, 10), MORVIK_SUCCESS);
    out = capture.out();
  }
  EXPECT_EQ(cntx.state, EXEC_LOGIN);
  EXPECT_EQ(test_support::read_file(got), "secret");
  EXPECT_EQ(out.find("secret"), std::string::npos) << out;
  EXPECT_NE(out.find("== sent data begin ==    7 bytes to write ==\n******\n\n"), std::string::npos)
      << out;
}

}  // namespace
