// Hostile answers from the module handed straight to the command parsers, as
// the session engine hands chunks on: binary garbage, prompt characters inside
// an answer, lines far longer than a line parser sees.
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "main.h"
#include "ssh_exec.h"

namespace {

struct Command {
  const char* name;
  parser_handler parser;
  line_parser_handler line_parser;
  QbCliType type;
};

const Command kCommands[] = {
    {"show loginsession", show_parser, parse_show_line, QB_CLI_SHOW_LOGINSESSION},
    {"show version", show_parser, parse_show_line, QB_CLI_SHOW_VERSION},
    {"show hardware", show_parser, parse_show_line, QB_CLI_SHOW_HARDWARE},
    {"dir", dir_parser, parse_dir_line, QB_CLI_DIR},
    {"dir opcode", dir_parser, parse_dir_line, QB_CLI_DIR_OPCODE},
    {"dir opcode file", dir_parser, parse_dir_line, QB_CLI_DIR_FILE},
    {"whichboot", whichboot_parser, parse_whichboot_line, QB_CLI_WHICHBOOT},
    {"copy", copy_parser, parse_copy_line, QB_CLI_COPY},
    {"delete", delete_parser, parse_delete_line, QB_CLI_DELETE},
    {"boot-system mode", bootsystem_parser, parse_bootsystem_line, QB_CLI_BOOT_SYSTEM_MODE},
    {"boot-system opcode", bootsystem_parser, parse_bootsystem_line, QB_CLI_BOOT_SYSTEM_OPCODE},
    {"reload", reload_parser, parse_reload_line, QB_CLI_RELOAD},
};

const char kPrompt[] = "\r\nquorbel# ";

// A session of one command that has sent its command line and now gets the
// module's chunks, each through the same parser chain as in the engine.
class Session {
 public:
  explicit Session(const Command& command) : parser_(command.parser) {
    simulator_mode = 0;
    snprintf(cntx_.p_dir->p_file->name, sizeof(cntx_.p_dir->p_file->name), "img_b.bin");
    snprintf(cntx_.p_delete->p_del_file->name, sizeof(cntx_.p_delete->p_del_file->name), "b.bin");
    snprintf(cntx_.p_copy->tftp_url, sizeof(cntx_.p_copy->tftp_url), "tftp://server");
    snprintf(cntx_.p_copy->srcfile, sizeof(cntx_.p_copy->srcfile), "f.bin");
    snprintf(cntx_.p_copy->destfile, sizeof(cntx_.p_copy->destfile), "f.bin");
    snprintf(cntx_.p_bootsystem->imagename, sizeof(cntx_.p_bootsystem->imagename), "f.bin");
    cntx_.p_bootsystem->mode = QB_MODE_TZR;
    cntx_.type = command.type;
    cntx_.state = EXEC_LOGIN;
    feed("quorbel# ");
  }

  // Hands one chunk over as the engine holds it: a C string, so a NUL ends it.
  // Returns what would be written back to the module.
  std::string feed(const std::string& chunk) {
    char sent[4096] = "";
    const char* recv = chunk.c_str();
    if (!def_parser(session_settings(), recv, sent, sizeof(sent), &cntx_) &&
        !parser_(recv, sent, sizeof(sent), &cntx_))
      def_parser(session_settings(), recv, sent, sizeof(sent), &cntx_);
    return sent;
  }

  exec_context& cntx() { return cntx_; }

 private:
  parser_handler parser_;
  exec_context cntx_;
};

// What the engine makes of bytes the module printed, at most one read long.
std::string cleaned(std::string bytes) {
  bytes.resize(4095);
  bytes.resize(4096, '\0');
  str_remove_single_cr(&bytes[0], 4096);
  str_remove_ending(&bytes[0]);
  return bytes.c_str();
}

TEST(HostileAnswers, GarbageAndOverlongLinesAreParserErrors) {
  const std::string garbage = "\x80\xff\x01\x02\x1b[0m\xfe\x7f\x90\x05 ~%s%n\x9b";
  struct Body {
    const char* what;
    std::string text;
  };
  const Body bodies[] = {
      {"binary garbage", garbage + "\r\n" + garbage},
      {"one line filling the chunk", std::string(4000, 'x')},
      {"blanks filling the chunk", std::string(4000, ' ')},
      {"line ends and lone CRs", "\r\r\n\r\n\r\rjunk\r"},
  };
  for (const Command& command : kCommands) {
    for (const Body& body : bodies) {
      const std::string what = std::string(command.name) + ", " + body.what;
      Session unclaimed(command);
      // Without a prompt nobody claims it: nothing is answered, the dialogue
      // waits on.
      EXPECT_EQ(unclaimed.feed(cleaned(body.text)), "") << what;
      EXPECT_EQ(unclaimed.cntx().state, EXEC_REMOTE) << what;
      EXPECT_EQ(unclaimed.cntx().cli_result, MORVIK_SUCCESS) << what;

      Session answered(command);
      const std::string chunk = cleaned(answered.cntx().cmd + body.text + kPrompt);
      EXPECT_EQ(answered.feed(chunk), "quit\n") << what;
      EXPECT_EQ(answered.cntx().state, EXEC_QUIT) << what;
      EXPECT_EQ(answered.cntx().cli_result, MORVIK_REMOTE_PARSER_ERR) << what;
    }
  }
}

TEST(HostileAnswers, TenThousandCharacterLineReachesLineParsersCut) {
  std::string response(10000, 'x');
  for (const Command& command : kCommands) {
    exec_context cntx;
    cntx.type = command.type;
    static line_parser_handler tested;
    static std::string seen;
    tested = command.line_parser;
    seen.clear();
    response_parser(&response[0], &cntx, [](char* line, exec_context* c) {
      seen += line;
      seen += '|';
      return tested(line, c);
    });
    EXPECT_EQ(seen, std::string(99, 'x') + "|") << command.name;
    EXPECT_EQ(cntx.cli_result, MORVIK_REMOTE_PARSER_ERR) << command.name;
  }
}

// Only the last line, ending in '$' or '#', is the prompt: the character
// anywhere else is part of the answer, and a question that names such a file
// is still a question.
TEST(HostileAnswers, PromptCharacterInsideAnAnswerIsPartOfIt) {
  struct Row {
    const char* what;
    const Command& command;
    std::string chunk;
    QBCodes result;
    std::function<size_t(const exec_context&)> kept;
    size_t expected;
    const char* sent;
  };
  const Row rows[] = {
      {"dir row with #", kCommands[4],
       "dir opcode\r\ndate file name file type startup size\r\n------------------\r\n"
       "2009-03-02 img_a.bin Operation Code Y 512\r\n2009-03-02 img#b.bin Operation Code N 9\r\n"
       "------------------\r\nquorbel# ",
       MORVIK_SUCCESS, [](const exec_context& c) { return c.p_dir->p_list->size(); }, 2, "quit\n"},
      {"session row with $", kCommands[0],
       "show loginsession\r\nID User Name Connection From Idle Time Session Time Session Type\r\n"
       "-----------\r\n1 ad$min 10.0.0.5 00:00:00 00:03:12 SSH\r\nquorbel# ",
       MORVIK_SUCCESS, [](const exec_context& c) { return c.p_login->p_list->size(); }, 1,
       "quit\n"},
      {"opcode row with #", kCommands[6],
       "whichboot\r\nBoot-System: Switch\r\nfile name file type startup size\r\n"
       "--------------\r\nimg#a.bin Operation Code Y 512\r\nquorbel# ",
       MORVIK_SUCCESS, [](const exec_context& c) { return strlen(c.p_whichboot->p_opcode->name); },
       9, "quit\n"},
      {"summary naming a file with #", kCommands[7],
       "Mode: TFTP\r\nDestination filename: f#1.bin\r\nAre you sure you want to start? (y/n) ",
       MORVIK_SUCCESS, [](const exec_context& c) { return c.state == EXEC_REMOTE; }, 1, "y"},
  };
  for (const Row& row : rows) {
    Session session(row.command);
    EXPECT_EQ(session.feed(row.chunk), row.sent) << row.what;
    EXPECT_EQ(session.cntx().cli_result, row.result) << row.what;
    EXPECT_EQ(row.kept(session.cntx()), row.expected) << row.what;
  }
}

}  // namespace
