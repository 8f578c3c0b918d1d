// Hostile answers from the module handed straight to the command parsers, as
// the session engine hands chunks on: binary garbage, prompt characters inside
// an answer, lines far longer than a line parser sees.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ssh_exec.h"
#include "test_support.h"

using test_support::CommandDialogue;

namespace {

// Every command line of the command table: its row and the variant's type.
struct Variant {
  const qb_command* command;
  QbCliType type;
};

std::vector<Variant> every_variant() {
  std::vector<Variant> all;
  for (const qb_command* command : qb_commands)
    for (const qb_variant& variant : command->variants)
      if (variant.type != QB_CLI_UNKNOWN)
        all.push_back({command, variant.type});
  return all;
}

const char kPrompt[] = "\r\nquorbel# ";

// A session of one command that has sent its command line and now gets the
// module's chunks, each through the same parser chain as in the engine.
struct Session : CommandDialogue {
  Session(int cmd, QbCliType type) : CommandDialogue(cmd, type) { start(); }
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
  for (const Variant& v : every_variant()) {
    for (const Body& body : bodies) {
      const std::string what = std::string(v.command->word) + " " + std::to_string(v.type) + ", " +
                               body.what;
      Session unclaimed(v.command->cmd, v.type);
      // Without a prompt nobody claims it: nothing is answered, the dialogue
      // waits on.
      EXPECT_EQ(unclaimed.feed(cleaned(body.text)), "") << what;
      EXPECT_EQ(unclaimed.cntx().state, EXEC_REMOTE) << what;
      EXPECT_EQ(unclaimed.cntx().cli_result, MORVIK_SUCCESS) << what;

      Session answered(v.command->cmd, v.type);
      const std::string chunk = cleaned(answered.cntx().cmd + body.text + kPrompt);
      EXPECT_EQ(answered.feed(chunk), "quit\n") << what;
      EXPECT_EQ(answered.cntx().state, EXEC_QUIT) << what;
      EXPECT_EQ(answered.cntx().cli_result, MORVIK_REMOTE_PARSER_ERR) << what;
    }
  }
}

TEST(HostileAnswers, TenThousandCharacterLineReachesLineParsersCut) {
  std::string response(10000, 'x');
  for (const Variant& v : every_variant()) {
    exec_context cntx;
    cntx.type = v.type;
    static line_parser_handler tested;
    static std::string seen;
    tested = v.command->line_parser;
    seen.clear();
    response_parser(&response[0], &cntx, [](char* line, exec_context* c) {
      seen += line;
      seen += '|';
      return tested(line, c);
    });
    EXPECT_EQ(seen, std::string(99, 'x') + "|") << v.command->word << v.type;
    EXPECT_EQ(cntx.cli_result, MORVIK_REMOTE_PARSER_ERR) << v.command->word << v.type;
  }
}

// Only the last line, ending in '$' or '#', is the prompt: the character
// anywhere else is part of the answer, and a question that names such a file
// is still a question.
TEST(HostileAnswers, PromptCharacterInsideAnAnswerIsPartOfIt) {
  struct Row {
    const char* what;
    int cmd;
    QbCliType type;
    std::string chunk;
    QBCodes result;
    std::function<size_t(const exec_context&)> kept;
    size_t expected;
    const char* sent;
  };
  const Row rows[] = {
      {"dir row with #", QB_DIR, QB_CLI_DIR_OPCODE,
       "dir opcode\r\ndate file name file type startup size\r\n------------------\r\n"
       "2009-03-02 img_a.bin Operation Code Y 512\r\n2009-03-02 img#b.bin Operation Code N 9\r\n"
       "------------------\r\nquorbel# ",
       MORVIK_SUCCESS, [](const exec_context& c) { return c.p_dir->p_list->size(); }, 2, "quit\n"},
      {"session row with $", QB_SHOW, QB_CLI_SHOW_LOGINSESSION,
       "show loginsession\r\nID User Name Connection From Idle Time Session Time Session Type\r\n"
       "-----------\r\n1 ad$min 10.0.0.5 00:00:00 00:03:12 SSH\r\nquorbel# ",
       MORVIK_SUCCESS, [](const exec_context& c) { return c.p_login->p_list->size(); }, 1,
       "quit\n"},
      {"opcode row with #", QB_WHICHBOOT, QB_CLI_WHICHBOOT,
       "whichboot\r\nBoot-System: Switch\r\nfile name file type startup size\r\n"
       "--------------\r\nimg#a.bin Operation Code Y 512\r\nquorbel# ",
       MORVIK_SUCCESS, [](const exec_context& c) { return strlen(c.p_whichboot->p_opcode->name); },
       9, "quit\n"},
      {"summary naming a file with #", QB_COPY, QB_CLI_COPY,
       "Mode: TFTP\r\nDestination filename: f#1.bin\r\nAre you sure you want to start? (y/n) ",
       MORVIK_SUCCESS, [](const exec_context& c) { return c.state == EXEC_REMOTE; }, 1, "y"},
  };
  for (const Row& row : rows) {
    Session session(row.cmd, row.type);
    EXPECT_EQ(session.feed(row.chunk), row.sent) << row.what;
    EXPECT_EQ(session.cntx().cli_result, row.result) << row.what;
    EXPECT_EQ(row.kept(session.cntx()), row.expected) << row.what;
  }
}

}  // namespace
