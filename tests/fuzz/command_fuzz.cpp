// Every command's parser, driven as the session engine drives it: every chunk
// goes through def_parser, the command's parser and def_parser again, from a
// chosen dialogue state and dialect, for each row of the command table and
// each type it serves, with the request taken in as the row takes it.
//
// Input: row, type, state, dialect and boot mode (one byte each), the
// request texts (qb_request's file name, URL and image, each ended by NUL),
// then the client's output, in which a NUL also ends a chunk.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_commands.h"

namespace {

// Builds a seed for the row at index: a recorded dialogue from the first
// client output on, or from the login prompt on.
std::string seed(int index, const fuzz::recorded& r, bool from_login) {
  std::string s;
  s += static_cast<char>('0' + index);
  s += static_cast<char>('0' + r.type);
  s += from_login ? static_cast<char>('0' + EXEC_LOGIN) : static_cast<char>('0' + EXEC_CONNECTING);
  s += "02";  // not simulated; boot mode TZR
  s += r.request;
  if (from_login) {
    s += fuzz::PROMPT;
    s += '\0';
  } else {
    for (const char* chunk : fuzz::LOGIN_CHUNKS)
      s += std::string(chunk) + '\0';
  }
  for (const std::string& chunk : r.chunks)
    s += chunk + '\0';
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::vector<std::string> seeds;
  for (int i = 0; i < QB_COMMAND_COUNT; ++i) {
    for (const fuzz::recorded& r : fuzz::command_for(qb_commands[i]->cmd).dialogues) {
      seeds.push_back(seed(i, r, false));
      seeds.push_back(seed(i, r, true));
    }
  }
  fuzz::write_seeds_if_asked(seeds);
  fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const qb_command& row = *qb_commands[in.pick(QB_COMMAND_COUNT)];
  const std::vector<QbCliType> types = fuzz::types_of(row);
  unsigned type_pick = in.pick(static_cast<unsigned>(types.size()) + 1);
  exec_context cntx;
  // One pick past the command's own types: a context it cannot serve.
  cntx.type = type_pick < types.size() ? types[type_pick] : QB_CLI_UNKNOWN;
  cntx.state = static_cast<ExecState>(in.pick(EXEC_CANCELED_BY_TIMEOUT + 1));
  cntx.simulator = static_cast<int>(in.pick(2));
  // Every value the enumeration can hold, including those past the mode table.
  QbBootMode mode = static_cast<QbBootMode>(in.pick(8));
  session_settings s;
  snprintf(s.password, sizeof(s.password), "secret");
  snprintf(s.logout_word, sizeof(s.logout_word), "%s", qb_cmd_word(QB_QUIT, cntx.simulator));
  // The row takes what it needs as its exec_ function hands it on; a request
  // it refuses leaves the record as it was, which the parser must cope with
  // as well.
  const std::string file_name = in.text(SIZE_MAX);
  const std::string url = in.text(SIZE_MAX);
  const std::string image = in.text(SIZE_MAX);
  file_info file = {};
  snprintf(file.name, sizeof(file.name), "%s", file_name.c_str());
  const qb_request request = {&file, url.c_str(), image.c_str(), mode};
  row.take_request(&cntx, request);
  fuzz::check_context(cntx);

  for (const std::string& chunk : fuzz::engine_chunks(in.rest())) {
    std::unique_ptr<char[]> recv = fuzz::exact_copy(chunk);
    std::unique_ptr<char[]> sent(new char[fuzz::CHUNK_BUF]());
    const int max_sent = static_cast<int>(fuzz::CHUNK_BUF);
    const ExecState before = cntx.state;
    int handled = def_parser(s, recv.get(), sent.get(), max_sent, &cntx);
    if (handled == DEF_PARSER_SESSION_LOST)
      break;
    if (!handled && !row.parser(recv.get(), sent.get(), max_sent, &cntx))
      def_parser(s, recv.get(), sent.get(), max_sent, &cntx);
    // The password goes out only while logging in.
    if (strcmp(sent.get(), "secret\n") == 0)
      FUZZ_CHECK(before != EXEC_REMOTE && before != EXEC_REMOTE_FINISH && before != EXEC_QUIT);
    FUZZ_CHECK(strnlen(sent.get(), fuzz::CHUNK_BUF) < fuzz::CHUNK_BUF);
    fuzz::check_context(cntx);
    // The module's questions (delete, start the transfer, save, restart) are
    // confirmed only once our own command is out, and the command line goes
    // out only at the first prompt after the login.
    if (strcmp(sent.get(), "y") == 0)
      FUZZ_CHECK(before == EXEC_REMOTE);
    if (sent[0] != '\0' && strcmp(sent.get(), cntx.cmd) == 0)
      FUZZ_CHECK(before == EXEC_LOGIN && cntx.state == EXEC_REMOTE);
    // A command line cut at the end of its buffer would reach the module
    // without its line end.
    size_t cmd_len = strlen(cntx.cmd);
    FUZZ_CHECK(cmd_len == 0 || (cmd_len >= 2 && strcmp(cntx.cmd + cmd_len - 2, "\r\n") == 0));
  }
  return 0;
}
