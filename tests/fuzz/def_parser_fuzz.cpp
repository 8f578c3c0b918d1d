// The generic part of every dialogue on its own, chunk after chunk from a
// chosen state: login, logout and the save question at logout.
//
// Input: state and simulator flag (one byte each), the password (ended by
// NUL), then the client's output, in which a NUL also ends a chunk.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_commands.h"
#include "main.h"

using namespace std::string_literals;

namespace {

std::vector<std::string> seeds() {
  std::string login;
  for (const char* chunk : fuzz::LOGIN_CHUNKS)
    login += std::string(chunk) + '\0';
  return {
      "20secret\0"s + login,
      "40\0"s + fuzz::PROMPT,
      "71secret\0"s +
          "quit\r\nThe system has unsaved changes.\r\nWould you like to save them now? (y/n) \0"s +
          "y\r\nConfiguration Saved\r\n\0Y\0logout\r\n"s,
      "50secret\0"s + "Access denied\r\nadmin@127.0.0.1's password: \0Connection abort\0"s,
      "20secret\0"s + "The first key-exchange algorithm supported by the server is\n"
          "diffie-hellman-group1-sha1, which is below the configured\nwarning threshold.\n"
          "Continue with connection? (y/n) \0Connection abandoned.\0"s,
      "30secret\0"s + "-- Pre-authentication banner message from server: ---\r\n"
          "| Your password: (y/n)\n\0-- End of banner message from server ---\r\n"
          "-- Keyboard-interactive authentication prompts from server: ---\r\n| Password: \0"
          "\n-- End of keyboard-interactive prompts from server ---\r\nAccess denied\r\n"
          "-- Keyboard-interactive authentication prompts from server: ---\r\n| Code: \0"s,
  };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::write_seeds_if_asked(seeds());
  fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  exec_context cntx;
  cntx.state = static_cast<ExecState>(in.pick(EXEC_CANCELED_BY_TIMEOUT + 1));
  const int simulator = static_cast<int>(in.pick(2));
  session_settings s;
  snprintf(s.password, sizeof(s.password), "%s", in.text(SIZE_MAX).c_str());
  snprintf(s.logout_word, sizeof(s.logout_word), "%s", qb_cmd_word(QB_QUIT, simulator));

  for (const std::string& chunk : fuzz::engine_chunks(in.rest())) {
    std::unique_ptr<char[]> recv = fuzz::exact_copy(chunk);
    std::unique_ptr<char[]> sent(new char[fuzz::CHUNK_BUF]());
    const ExecState before = cntx.state;
    int handled = def_parser(s, recv.get(), sent.get(), static_cast<int>(fuzz::CHUNK_BUF), &cntx);
    if (handled == DEF_PARSER_SESSION_LOST || handled == DEF_PARSER_LOGIN_REFUSED) {
      FUZZ_CHECK(sent[0] == '\0' && cntx.state == before);
      break;
    }
    FUZZ_CHECK(strnlen(sent.get(), fuzz::CHUNK_BUF) < fuzz::CHUNK_BUF);
    // Login and logout are all it may move the dialogue to, and a chunk it
    // leaves to the command parser must find everything as it was.
    FUZZ_CHECK(cntx.state == before || cntx.state == EXEC_KEY_EXCHANGE ||
               cntx.state == EXEC_LOGIN || cntx.state == EXEC_QUIT);
    if (!handled)
      FUZZ_CHECK(sent[0] == '\0' && cntx.state == before);
    size_t len = strlen(sent.get());
    FUZZ_CHECK(len == 0 || sent[len - 1] == '\n');
    // The password goes to a password prompt while logging in and nowhere
    // else: once the command is out, only the logout and the save answer
    // (and, logging in, "y" to a new host key, a bare line end that refuses
    // a changed one, "n" that declines an algorithm the client warns against).
    const bool logged_in = before == EXEC_REMOTE || before == EXEC_REMOTE_FINISH ||
                           before == EXEC_QUIT;
    if (logged_in || strcasestr(recv.get(), "password:") == nullptr) {
      const std::string answer = sent.get();
      const std::string logout = std::string(s.logout_word) + "\n";
      FUZZ_CHECK(answer.empty() || answer == "y\n" || answer == "\n" || answer == logout ||
                 (answer == "n\n" && !logged_in));
    }
    fuzz::check_context(cntx);
  }
  return 0;
}
