// The command line under hostile values: very long, empty, control characters,
// bytes outside ASCII, repeated options, values glued to their option. Each is
// either refused with its one message and exit status 1, or taken as given.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main.h"
#include "test_support.h"

using test_support::Args;
using test_support::Argv;
using test_support::StdCapture;
using test_support::operator+;
using test_support::without_stamps;

namespace {

const Args kLogin = {"-host", "qb1", "-usr", "admin", "-pwd", "secret", "-mode", "account_check"};
const std::string kLong(10000, 'x');

// The trace facility prints at most 1023 characters of a message, so a long
// text loses its end, line end included.
std::string cut(const std::string& message) {
  return message.substr(0, 1023);
}

struct Outcome {
  int code;
  std::string out;
};

// Runs the tool's entry point (for a refused command line it ends before
// anything else happens) or the parser alone.
Outcome run(const Args& args, bool whole_tool) {
  Argv line(args);
  test_support::reset_command_line();
  StdCapture capture;
  int code = whole_tool ? morvik_main(line.argc(), line.argv()) : parse_args(line.argc(), line.argv());
  return {code, without_stamps(capture.out())};
}

class HostileArgs : public ::testing::Test {
 protected:
  void TearDown() override { test_support::reset_command_line(); }
};

TEST_F(HostileArgs, RefusedWithOneMessageAndExitStatusOne) {
  struct Row {
    const char* what;
    Args args;
    std::string message;
  };
  const Row rows[] = {
      {"long option name", {"-" + kLong}, cut("Invalid argument '" + kLong + "'\n")},
      {"long plain word", {kLong}, cut("Invalid argument '" + kLong + "'\n")},
      {"long mode word", {"-mode", kLong}, "Invalid mode\n"},
      {"mode word with CR", {"-mode", "update\r"}, "Invalid mode\n"},
      {"control byte in host", {"-host", "qb\x01"}, "Invalid or missed host\n"},
      {"escape sequence in user", {"-usr", "\x1b[2Jadmin"}, "Invalid username\n"},
      {"DEL in URL", {"-tftp", "tftp://h/\x7f"}, "Invalid or missed tftp url\n"},
      {"backspace in image", {"-img_tzr", "t.bin\b"}, "Invalid or missed tftp tzr filename\n"},
      {"line end inside password", {"-pwd", "a\rreload"}, "Invalid password\n"},
      {"control byte in option", {"-host\x01", "h"}, "Invalid argument 'host\x01'\n"},
      {"line end as option", {"-\n"}, "Invalid argument '\n'\n"},
      {"non-ASCII option", {"-h\xc3\xb6st", "h"}, "Invalid argument 'h\xc3\xb6st'\n"},
      {"both twice", {"-mode", "update", "both", "both"}, "Invalid argument 'both'\n"},
      {"whole line twice", kLogin + kLogin, "Duplicate of argument 'host'\n"},
      {"value glued", {"-hostx"}, "Invalid argument 'hostx'\n"},
      {"value after =", {"-host=x"}, "Invalid argument 'host=x'\n"},
      {"value after blank", {"-host x"}, "Invalid argument 'host x'\n"},
      {"trace word glued", {"-Ddebug"}, "Invalid argument 'Ddebug'\n"},
      {"mode after =", {"-mode=update"}, "Invalid argument 'mode=update'\n"},
      {"two dashes and =", {"--host=x"}, "Invalid argument '-host=x'\n"},
      {"switch glued", {"-simx"}, "Invalid argument 'simx'\n"},
      {"help with a value", {"-help=1"}, "Invalid argument 'help=1'\n"},
  };
  for (const Row& row : rows) {
    Outcome result = run(row.args, true);
    EXPECT_EQ(result.code, MORVIK_INVALID_PARAM_ERR) << row.what;
    EXPECT_EQ(result.out, row.message) << row.what;
  }
}

TEST_F(HostileArgs, AcceptedAsGivenOrCut) {
  struct Row {
    const char* what;
    Args args;
    const char* field;  // the option field that is checked
    std::string stored;
    std::string message;
  };
  const Row rows[] = {
      {"long host", {"-host", kLong, "-usr", "u", "-pwd", "p", "-mode", "account_check"},
       options.host, kLong.substr(0, 254), ""},
      {"long password", {"-pwd", kLong, "-host", "h", "-usr", "u", "-mode", "account_check"},
       options.password, kLong.substr(0, 63), ""},
      // What is cut off is never stored, so it cannot make the value unsafe.
      {"blank past the cut", {"-usr", kLong.substr(0, 70) + " -o x", "-host", "h", "-pwd", "p",
                              "-mode", "account_check"},
       options.username, kLong.substr(0, 63), ""},
      {"empty host", {"-host", "", "-usr", "u", "-pwd", "p", "-mode", "account_check"},
       options.host, "", ""},
      {"control bytes in password", {"-pwd", "\x01\x02\x1b", "-host", "h", "-usr", "u", "-mode",
                                     "account_check"},
       options.password, "\x01\x02\x1b", ""},
      {"UTF-8 host", {"-host", "qb-\xc3\xa9.local", "-usr", "u", "-pwd", "p", "-mode",
                      "account_check"},
       options.host, "qb-\xc3\xa9.local", ""},
      {"bytes past ASCII in user", {"-usr", "\xff\xfe", "-host", "h", "-pwd", "p", "-mode",
                                    "account_check"},
       options.username, "\xff\xfe", ""},
      {"long trace word", kLogin + Args{"-D", kLong}, options.host, "qb1",
       cut("Invalid trace modeargument '" + kLong + "' - ignoring\n")},
      {"control byte in trace word", kLogin + Args{"-D", "\x01" "debug"}, options.host, "qb1",
       "Invalid trace modeargument '\x01" "debug' - ignoring\n"},
      {"longest host key, eighth", kLogin + [] {
         Args keys;
         for (int k = 1; k < MAX_HOST_KEYS; ++k)
           keys = keys + Args{"-hostkey", "MD5:" + std::to_string(k)};
         return keys + Args{"-hostkey", std::string(HOST_KEY_LEN, '=')};
       }(), options.host_keys[MAX_HOST_KEYS - 1], std::string(HOST_KEY_LEN, '='), ""},
  };
  for (const Row& row : rows) {
    Outcome result = run(row.args, false);
    EXPECT_EQ(result.code, MORVIK_SUCCESS) << row.what;
    EXPECT_EQ(std::string(row.field), row.stored) << row.what;
    EXPECT_EQ(result.out, row.message) << row.what;
  }
}

}  // namespace
