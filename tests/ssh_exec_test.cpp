// The session engine's pure parts: the dialogue parser, the answer cutting and
// line splitting, the final-state mapping; and a few short real sessions.
#include "ssh_exec.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main.h"
#include "qb_io.h"
#include "qb_lock.h"
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
      // only the last line is the prompt's: the character elsewhere is the answer's
      {"show loginsession\r\nA\r\nB$C\r\ncfg#2.bak\r\nswitch#", "A\r\nB$C\r\ncfg#2.bak"},
      {"show loginsession\r\nA #\r\nswitch# \x07", "A #"},
      // the same prompt twice, as a shell shows it for the line end after the command
      {"show loginsession\r\nA\r\nuser$ \r\nuser$ ", "A"},
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
  void SetUp() override { snprintf(s_.password, sizeof(s_.password), "secret"); }
  session_settings s_;
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
      // 1: host-key question, while logging in only; the result says it
      {kHostKey, EXEC_CONNECTING, DEF_PARSER_HOST_KEY_ACCEPTED, EXEC_KEY_EXCHANGE, "y\n"},
      {"host key fingerprint (yes/no)", EXEC_KEY_EXCHANGE, DEF_PARSER_HOST_KEY_ACCEPTED,
       EXEC_KEY_EXCHANGE, "y\n"},
      {"host key fingerprint (yes/no)", EXEC_REMOTE, 0, EXEC_REMOTE, ""},
      {"host key fingerprint (yes/no)", EXEC_QUIT, 0, EXEC_QUIT, ""},
      {"host key fingerprint", EXEC_CONNECTING, 0, EXEC_CONNECTING, ""},
      {"host key (y/n)", EXEC_CONNECTING, 0, EXEC_CONNECTING, ""},
      {"host key fingerprint y/n password:", EXEC_CONNECTING, DEF_PARSER_HOST_KEY_ACCEPTED,
       EXEC_KEY_EXCHANGE, "y\n"},
      // 2: password prompt, while logging in only, before a prompt character
      {"admin@127.0.0.1's password: ", EXEC_CONNECTING, 1, EXEC_LOGIN, "secret\n"},
      {"Access denied\nadmin@127.0.0.1's password: ", EXEC_LOGIN, DEF_PARSER_LOGIN_REFUSED,
       EXEC_LOGIN, ""},
      {"password:", EXEC_QUIT, 0, EXEC_QUIT, ""},
      {"TFTP password: (none)", EXEC_REMOTE, 0, EXEC_REMOTE, ""},
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
      // ... only at the end of the last line
      {"Welcome #1\r\n", EXEC_CONNECTING, 0, EXEC_CONNECTING, ""},
      {"cfg#2.bak\r\nswitch# ", EXEC_CONNECTING, 1, EXEC_QUIT, "quit\n"},
      {"switch# \x1b[0m\x1b[?2004h", EXEC_CONNECTING, 1, EXEC_QUIT, "quit\n"},
      // 4: the other side is leaving: a logout once the command is done, a
      // lost session before; "exit" in an answer is the module's text
      {"logout", EXEC_REMOTE_FINISH, 1, EXEC_QUIT, ""},
      {"exit", EXEC_QUIT, 1, EXEC_QUIT, ""},
      {"logout", EXEC_REMOTE, 0, EXEC_REMOTE, ""},
      {"exit.bin", EXEC_CONNECTING, 0, EXEC_CONNECTING, ""},
      {"Software caused connection abort", EXEC_REMOTE_FINISH, 1, EXEC_QUIT, ""},
      {"Software caused connection abort", EXEC_LOGIN, DEF_PARSER_SESSION_LOST, EXEC_LOGIN, ""},
      {"Software caused connection abort", EXEC_REMOTE, DEF_PARSER_SESSION_LOST, EXEC_REMOTE, ""},
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
    EXPECT_EQ(def_parser(s_, row.chunk, sent, sizeof(sent), &cntx), row.result)
        << row.chunk << " in " << row.before;
    EXPECT_EQ(cntx.state, row.after) << row.chunk << " in " << row.before;
    EXPECT_STREQ(sent, row.sent) << row.chunk << " in " << row.before;
  }
}

const char kChangedKey[] =
    "WARNING - POTENTIAL SECURITY BREACH!\nThe host key does not match the one PuTTY has "
    "cached\nfor this server:\n  127.0.0.1 (port 22)\n"
    "The new ssh-ed25519 key fingerprint is:\n  ssh-ed25519 255 SHA256:def\n"
    "Update cached key? (y/n, Return cancels connection, i for more info) ";
const char kNotPinned[] = "FATAL ERROR: Host key not in manually configured list";

// A key that is not the expected one is refused before any password: a bare
// line end to the question, the verdict 14, and nothing typed afterwards.
TEST_F(DefParser, KeyThatDiffersIsRefusedAndNoPasswordFollows) {
  struct Row {
    const char* chunk;
    ExecState before;
    int result;
    ExecState after;
    const char* sent;
    QBCodes verdict;
  };
  const Row rows[] = {
      {kChangedKey, EXEC_CONNECTING, 1, EXEC_CONNECTING, "\n", MORVIK_HOST_KEY_ERR},
      {"Update cached key? (y/n, Return cancels connection)", EXEC_CONNECTING, 1,
       EXEC_CONNECTING, "\n", MORVIK_HOST_KEY_ERR},
      {kNotPinned, EXEC_CONNECTING, 1, EXEC_CONNECTING, "", MORVIK_HOST_KEY_ERR},
      {kHostKey, EXEC_CONNECTING, DEF_PARSER_HOST_KEY_ACCEPTED, EXEC_KEY_EXCHANGE, "y\n",
       MORVIK_SUCCESS},
      // The same words in a command's answer are the module's text.
      {kChangedKey, EXEC_REMOTE, 0, EXEC_REMOTE, "", MORVIK_SUCCESS},
      {kNotPinned, EXEC_REMOTE, 0, EXEC_REMOTE, "", MORVIK_SUCCESS},
  };
  for (const Row& row : rows) {
    exec_context cntx;
    cntx.state = row.before;
    char sent[4096] = "";
    {
      StdCapture quiet;
      EXPECT_EQ(def_parser(s_, row.chunk, sent, sizeof(sent), &cntx), row.result) << row.chunk;
    }
    EXPECT_EQ(cntx.state, row.after) << row.chunk;
    EXPECT_STREQ(sent, row.sent) << row.chunk;
    EXPECT_EQ(cntx.cli_result, row.verdict) << row.chunk;
    if (row.verdict == MORVIK_HOST_KEY_ERR) {
      // Whatever asks for a password afterwards gets none.
      sent[0] = '\0';
      EXPECT_EQ(def_parser(s_, "Connection abandoned.", sent, sizeof(sent), &cntx), 1);
      EXPECT_EQ(def_parser(s_, "admin@127.0.0.1's password: ", sent, sizeof(sent), &cntx), 0);
      EXPECT_STREQ(sent, "");
    }
  }
}

// What plink 0.78 and 0.83 print (the same texts) before the password, as
// servers of old modules make them ask.
#define CONTINUE                                                                            \
  "To accept the risk and continue, enter \"y\". To abandon the\nconnection, enter \"n\".\n" \
  "Continue with connection? (y/n) "
const char kWeakKex[] =
    "The first key-exchange algorithm supported by the server is\n"
    "diffie-hellman-group1-sha1, which is below the configured\nwarning threshold.\n"
    CONTINUE;
const char kWeakCipher[] =
    "The first client-to-server cipher supported by the server is\n"
    "3des-cbc, which is below the configured warning threshold.\n"
    CONTINUE;
const char kWeakHostKey[] =
    "The first host key type supported by the server is ssh-dss,\n"
    "which is below the configured warning threshold.\n"
    CONTINUE;
const char kWeakStoredKey[] =
    "The first host key type we have stored for this server is\n"
    "ssh-dss, which is below the configured warning threshold.\n"
    "The server also provides the following types of host key\n"
    "above the threshold, which we do not have stored:\n  ssh-ed25519\n"
    CONTINUE;
const char kTerrapin[] =
    "The client-to-server cipher selected for this session is\n"
    "ChaCha20-Poly1305, which, with this server, is vulnerable to\n"
    "the 'Terrapin' attack CVE-2023-48795, potentially allowing\n"
    "an attacker to modify the encrypted session.\n"
    "Upgrading, patching, or reconfiguring this SSH server is the\n"
    "best way to avoid this vulnerability, if possible.\n"
    CONTINUE;
#undef CONTINUE
const char kKbdPassword[] =
    "Using username \"admin\".\r\n"
    "-- Keyboard-interactive authentication prompts from server: ------------------\r\n"
    "| Password: ";
const char kKbdAgain[] =
    "\n-- End of keyboard-interactive prompts from server ---------------------------\r\n"
    "Access denied\r\n"
    "-- Keyboard-interactive authentication prompts from server: ------------------\r\n"
    "| Password: ";
const char kBanner[] =
    "Using username \"admin\".\r\n"
    "-- Pre-authentication banner message from server: ----------------------------\r\n"
    "| Authorised use only.\n| Forgot your password: ask the operator (y/n) who set it.\n";
const char kBannerEnd[] =
    "-- End of banner message from server -----------------------------------------\r\n"
    "admin@127.0.0.1's password: ";

// The login questions of old modules' servers: an algorithm the client warns
// against is declined unless accepted, a keyboard-interactive password prompt
// gets the password once, any other prompt or a second one ends the login
// (6), a banner asks nothing.
TEST_F(DefParser, LoginQuestionsOfOldServers) {
  struct Row {
    const char* chunk;
    ExecState before;
    QbServerBlock block;  // the frame the chunk comes in
    bool accept;          // -accept_weak_crypto
    int result;
    ExecState after;
    const char* sent;
    QBCodes verdict;
    const char* algorithm;  // the kind and name the client warned about
  };
  const std::string banner_and_prompt = std::string(kBanner) + kBannerEnd;
  const Row rows[] = {
      {kWeakKex, EXEC_CONNECTING, QB_BLOCK_NONE, false, 1, EXEC_CONNECTING, "n\n",
       MORVIK_WEAK_CRYPTO_ERR, "key-exchange algorithm diffie-hellman-group1-sha1"},
      {kWeakKex, EXEC_CONNECTING, QB_BLOCK_NONE, true, 1, EXEC_CONNECTING, "y\n",
       MORVIK_SUCCESS, "key-exchange algorithm diffie-hellman-group1-sha1"},
      {kWeakCipher, EXEC_CONNECTING, QB_BLOCK_NONE, false, 1, EXEC_CONNECTING, "n\n",
       MORVIK_WEAK_CRYPTO_ERR, "client-to-server cipher 3des-cbc"},
      {kWeakHostKey, EXEC_CONNECTING, QB_BLOCK_NONE, false, 1, EXEC_CONNECTING, "n\n",
       MORVIK_WEAK_CRYPTO_ERR, "host key type ssh-dss"},
      {kWeakStoredKey, EXEC_CONNECTING, QB_BLOCK_NONE, true, 1, EXEC_CONNECTING, "y\n",
       MORVIK_SUCCESS, "host key type ssh-dss"},
      {kTerrapin, EXEC_CONNECTING, QB_BLOCK_NONE, false, 1, EXEC_CONNECTING, "n\n",
       MORVIK_WEAK_CRYPTO_ERR, "client-to-server cipher ChaCha20-Poly1305"},
      // Only the client's, while it logs in, before the password.
      {kWeakKex, EXEC_REMOTE, QB_BLOCK_NONE, false, 0, EXEC_REMOTE, "", MORVIK_SUCCESS,
       "key-exchange algorithm diffie-hellman-group1-sha1"},
      {kWeakKex, EXEC_LOGIN, QB_BLOCK_NONE, true, 0, EXEC_LOGIN, "", MORVIK_SUCCESS,
       "key-exchange algorithm diffie-hellman-group1-sha1"},
      {"Continue with connection? (y/n) ", EXEC_CONNECTING, QB_BLOCK_NONE, false, 0,
       EXEC_CONNECTING, "", MORVIK_SUCCESS, nullptr},
      // Keyboard-interactive: "password:" in any case, trailing blanks aside.
      {kKbdPassword, EXEC_KEY_EXCHANGE, QB_BLOCK_NONE, false, 1, EXEC_LOGIN, "secret\n",
       MORVIK_SUCCESS, nullptr},
      {"| PASSWORD:  ", EXEC_KEY_EXCHANGE, QB_BLOCK_KBD, false, 1, EXEC_LOGIN, "secret\n",
       MORVIK_SUCCESS, nullptr},
      {"| Verification code: ", EXEC_LOGIN, QB_BLOCK_KBD, false, DEF_PARSER_LOGIN_REFUSED,
       EXEC_LOGIN, "", MORVIK_SSH_AUTH_ERR, nullptr},
      {kKbdAgain, EXEC_LOGIN, QB_BLOCK_KBD, false, DEF_PARSER_LOGIN_REFUSED, EXEC_LOGIN, "",
       MORVIK_SSH_AUTH_ERR, nullptr},
      // A capital P outside the block is no password prompt of the client's.
      {"| Password: ", EXEC_KEY_EXCHANGE, QB_BLOCK_NONE, false, 0, EXEC_KEY_EXCHANGE, "",
       MORVIK_SUCCESS, nullptr},
      // A banner's words ask nothing; the prompt after it is the client's.
      {kBanner, EXEC_KEY_EXCHANGE, QB_BLOCK_NONE, false, 1, EXEC_KEY_EXCHANGE, "",
       MORVIK_SUCCESS, nullptr},
      {kBannerEnd, EXEC_KEY_EXCHANGE, QB_BLOCK_BANNER, false, 1, EXEC_LOGIN, "secret\n",
       MORVIK_SUCCESS, nullptr},
      {banner_and_prompt.c_str(), EXEC_KEY_EXCHANGE, QB_BLOCK_NONE, false, 1,
       EXEC_LOGIN, "secret\n", MORVIK_SUCCESS, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.chunk);
    s_.accept_weak_crypto = row.accept;
    exec_context cntx;
    cntx.state = row.before;
    cntx.server_block = row.block;
    char sent[4096] = "";
    {
      StdCapture quiet;
      EXPECT_EQ(def_parser(s_, row.chunk, sent, sizeof(sent), &cntx), row.result);
    }
    EXPECT_EQ(cntx.state, row.after);
    EXPECT_STREQ(sent, row.sent);
    EXPECT_EQ(cntx.cli_result, row.verdict);
    char kind[100] = "", name[100] = "";
    const char* reason = nullptr;
    EXPECT_EQ(weak_crypto_question(row.chunk, kind, sizeof(kind), name, sizeof(name), &reason),
              row.algorithm != nullptr);
    if (row.algorithm != nullptr) {
      EXPECT_EQ(std::string(kind) + " " + name, row.algorithm);
    }
    if (row.verdict != MORVIK_SUCCESS) {
      // Nothing is typed after a refusal, and the client's farewell is taken.
      sent[0] = '\0';
      EXPECT_EQ(def_parser(s_, "Connection abandoned.", sent, sizeof(sent), &cntx),
                row.before == EXEC_LOGIN ? 0 : 1);
      EXPECT_EQ(def_parser(s_, "admin@127.0.0.1's password: ", sent, sizeof(sent), &cntx), 0);
      EXPECT_STREQ(sent, "");
    }
  }
}

// The lock file beside the client's host-key cache, found as the client finds
// the cache.
TEST(HostKeyLockPath, FollowsTheClientsChoiceOfDirectory) {
  TempDir dir;
  const std::string home = dir.path() + "/home";
  const std::string xdg_home = dir.path() + "/xdg";
  mkdir(home.c_str(), 0700);
  struct Row {
    const char* puttydir;  // null: unset
    const char* xdg;
    bool config_putty;  // HOME/.config/putty exists
    std::string lock;
  };
  const Row rows[] = {
      {"/srv/keys", nullptr, true, "/srv/keys/sshhostkeys.lock"},
      {"", nullptr, false, home + "/.putty/sshhostkeys.lock"},
      {nullptr, nullptr, false, home + "/.putty/sshhostkeys.lock"},
      {nullptr, nullptr, true, home + "/.config/putty/sshhostkeys.lock"},
      {nullptr, xdg_home.c_str(), true, home + "/.putty/sshhostkeys.lock"},
  };
  const char* names[] = {"PUTTYDIR", "XDG_CONFIG_HOME", "HOME"};
  const char* saved[3];
  for (int i = 0; i < 3; ++i)
    saved[i] = getenv(names[i]) != nullptr ? strdup(getenv(names[i])) : nullptr;
  auto put = [](const char* name, const char* value) {
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  };
  setenv("HOME", home.c_str(), 1);
  for (const Row& row : rows) {
    put("PUTTYDIR", row.puttydir);
    put("XDG_CONFIG_HOME", row.xdg);
    const std::string config = home + "/.config";
    if (row.config_putty) {
      mkdir(config.c_str(), 0700);
      mkdir((config + "/putty").c_str(), 0700);
    } else {
      rmdir((config + "/putty").c_str());
    }
    char path[4096];
    EXPECT_EQ(host_key_lock_path(path, sizeof(path)), 1);
    EXPECT_EQ(std::string(path), row.lock);
  }
  // A path that does not fit is no path.
  char small[8];
  EXPECT_EQ(host_key_lock_path(small, sizeof(small)), 0);
  EXPECT_STREQ(small, "");
  for (int i = 0; i < 3; ++i) {
    put(names[i], saved[i]);
    free(const_cast<char*>(saved[i]));
  }
}

// The lock makes the cache's directory as the client would (0700, its parent
// not) and the file 0600.
TEST(LockHostKeyCache, MakesTheDirectoryAsTheClientWouldButNotItsParent) {
  TempDir dir;
  const std::string lock = dir.path() + "/.putty/sshhostkeys.lock";
  fd_handle fd = -1;
  ASSERT_EQ(lock_host_key_cache(lock.c_str(), 0, &fd), QB_KEY_LOCK_HELD);
  unlock_host_key_cache(fd);
  EXPECT_EQ(fd, -1);
  struct stat sb;
  ASSERT_EQ(stat((dir.path() + "/.putty").c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(lock.c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0600u);

  const std::string deep = dir.path() + "/no/such/sshhostkeys.lock";
  EXPECT_EQ(lock_host_key_cache(deep.c_str(), 0, &fd), QB_KEY_LOCK_UNAVAILABLE);
  EXPECT_NE(stat((dir.path() + "/no").c_str(), &sb), 0);
}

TEST_F(DefParser, LogoutWordAndSaveAnswerComeFromTheSettings) {
  snprintf(s_.logout_word, sizeof(s_.logout_word), "qb_quit");
  s_.save_answer = 'n';
  exec_context cntx;
  cntx.state = EXEC_REMOTE_FINISH;
  char sent[4096] = "";
  EXPECT_EQ(def_parser(s_, "sim#", sent, sizeof(sent), &cntx), 1);
  EXPECT_STREQ(sent, "qb_quit\n");
  sent[0] = '\0';
  EXPECT_EQ(def_parser(s_, kSaveQuestion, sent, sizeof(sent), &cntx), 1);
  EXPECT_STREQ(sent, "n\n");
}

TEST_F(DefParser, EmptyPasswordSendsALoneLineEnd) {
  s_.password[0] = '\0';
  exec_context cntx;
  char sent[4096] = "";
  EXPECT_EQ(def_parser(s_, "password: ", sent, sizeof(sent), &cntx), 1);
  EXPECT_STREQ(sent, "\n");
}

TEST_F(DefParser, AnswerIsBoundedByMaxSent) {
  exec_context cntx;
  char sent[8];
  memset(sent, '#', sizeof(sent));
  EXPECT_EQ(def_parser(s_, "password: ", sent, 4, &cntx), 1);
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
    snprintf(s_.ssh_path, sizeof(s_.ssh_path), "%s", path.c_str());
    snprintf(s_.ssh_args, sizeof(s_.ssh_args), "-ssh admin@10.1.2.3");
  }
  TempDir dir_;
};

TEST_F(SshExec, MissingParserOrContextIsAnInternalError) {
  exec_context cntx;
  cntx.state = EXEC_QUIT;
  EXPECT_EQ(ssh_exec(s_, &cntx, nullptr, 10), MORVIK_INTERNAL_ERR);
  EXPECT_EQ(ssh_exec(s_, nullptr, never_handles, 10), MORVIK_INTERNAL_ERR);
  EXPECT_EQ(cntx.state, EXEC_QUIT);
}

// A client that ran and ended never connected; one that could not be run
// never started, and the reason is said.
TEST_F(SshExec, ClientThatEndsAtOnceOrCannotRunStopsTheSessionEarly) {
  const struct {
    std::string client;
    ExecState state;
    const char* message;
  } cases[] = {
      {dir_.write("plink", "#!/bin/sh\nkill -9 $$\n"), EXEC_CONNECTING, ""},
      {dir_.path() + "/missing", EXEC_STARTING, "No such file or directory\n"},
      {dir_.write("noexec", "#!/bin/sh\n", 0644), EXEC_STARTING, "Permission denied\n"},
      {dir_.write("garbage", "\x7f" "ELF\x01\x01\x01 not a program", 0755), EXEC_STARTING,
       "Exec format error\n"},
  };
  for (const auto& c : cases) {
    use_client(c.client);
    struct stat before, after;
    ASSERT_EQ(fstat(STDOUT_FILENO, &before), 0);
    exec_context cntx;
    std::string out;
    {
      StdCapture capture;
      EXPECT_EQ(ssh_exec(s_, &cntx, never_handles, 10), MORVIK_SUCCESS) << c.client;
      out = capture.out();
    }
    EXPECT_EQ(cntx.state, c.state) << c.client;
    if (c.message[0] != '\0') {
      EXPECT_NE(out.find("Cannot start the SSH client '" + c.client + "': " + c.message),
                std::string::npos)
          << out;
    }
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
    EXPECT_EQ(ssh_exec(s_, &cntx, never_handles, 10), MORVIK_SUCCESS);
    out = capture.out();
  }
  EXPECT_EQ(cntx.state, EXEC_LOGIN);
  EXPECT_EQ(test_support::read_file(got), "secret");
  EXPECT_EQ(out.find("secret"), std::string::npos) << out;
  EXPECT_NE(out.find("== sent data begin ==    7 bytes to write ==\n******\n\n"), std::string::npos)
      << out;
}

}  // namespace
