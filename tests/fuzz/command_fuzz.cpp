// One command's parser, driven as the session engine drives it: every chunk
// goes through def_parser, the command's parser and def_parser again, from a
// chosen dialogue state and dialect and for each type the command's row of
// the command table serves. Built once per command; FUZZ_COMMAND is its
// QB_CMDS value.
//
// Input: type, state, dialect and boot mode (one byte each), the
// request texts (each ended by NUL), then the client's output, in which a NUL
// also ends a chunk.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_commands.h"

namespace {

const fuzz::command* tested = nullptr;
const qb_command* row = nullptr;

// Builds a seed: a recorded dialogue from the first client output on, or from
// the login prompt on.
std::string seed(const fuzz::recorded& r, bool from_login) {
  std::string s;
  s += static_cast<char>('0' + r.type);
  s += from_login ? static_cast<char>('0' + EXEC_LOGIN) : static_cast<char>('0' + EXEC_CONNECTING);
  s += "02";  // not simulated; boot mode TZR
  s += r.request;
  s += '\0';
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

// Fills the request as the command's exec_ function would, bounded alike.
void set_request(exec_context& cntx, fuzz::Input& in, QbBootMode mode) {
  switch (tested->request) {
    case fuzz::REQ_DIR_FILE:
      snprintf(cntx.p_dir->p_file->name, sizeof(cntx.p_dir->p_file->name), "%s",
               in.text(SIZE_MAX).c_str());
      break;
    case fuzz::REQ_COPY: {
      std::string url = in.text(SIZE_MAX);
      std::string file = in.text(SIZE_MAX);
      qb_copy_info& copy = *cntx.p_copy;
      const char* format = url.find("tftp://") != std::string::npos ? "%s" : "tftp://%s";
      snprintf(copy.tftp_url, sizeof(copy.tftp_url), format, url.c_str());
      snprintf(copy.srcfile, sizeof(copy.srcfile), "%s", file.c_str());
      snprintf(copy.destfile, sizeof(copy.destfile), "%s", file.c_str());
      break;
    }
    case fuzz::REQ_DELETE:
      snprintf(cntx.p_delete->p_del_file->name, sizeof(cntx.p_delete->p_del_file->name), "%s",
               in.text(SIZE_MAX).c_str());
      break;
    case fuzz::REQ_BOOT_SYSTEM:
      snprintf(cntx.p_bootsystem->imagename, sizeof(cntx.p_bootsystem->imagename), "%s",
               in.text(SIZE_MAX).c_str());
      cntx.p_bootsystem->mode = mode;
      break;
    case fuzz::REQ_NONE:
      in.text(SIZE_MAX);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tested = &fuzz::command_for(FUZZ_COMMAND);
  row = &qb_commands[FUZZ_COMMAND];
  std::vector<std::string> seeds;
  for (const fuzz::recorded& r : tested->dialogues) {
    seeds.push_back(seed(r, false));
    seeds.push_back(seed(r, true));
  }
  fuzz::write_seeds_if_asked(seeds);
  fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const std::vector<QbCliType> types = fuzz::types_of(*row);
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
  set_request(cntx, in, mode);
  fuzz::check_context(cntx);

  for (const std::string& chunk : fuzz::engine_chunks(in.rest())) {
    std::unique_ptr<char[]> recv = fuzz::exact_copy(chunk);
    std::unique_ptr<char[]> sent(new char[fuzz::CHUNK_BUF]());
    const int max_sent = static_cast<int>(fuzz::CHUNK_BUF);
    const ExecState before = cntx.state;
    int handled = def_parser(s, recv.get(), sent.get(), max_sent, &cntx);
    if (handled == DEF_PARSER_SESSION_LOST)
      break;
    if (!handled && !row->parser(recv.get(), sent.get(), max_sent, &cntx))
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
