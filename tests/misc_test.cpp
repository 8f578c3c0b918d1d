// Command line, location of the SSH client, the text routines and the quick
// cases of the reachability probe.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "main.h"
#include "nxa-tools-trace.h"
#include "qb_socket.h"
#include "ssh_exec.h"
#include "test_support.h"

using test_support::Args;
using test_support::Argv;
using test_support::StdCapture;
using test_support::operator+;
using test_support::TempDir;
using test_support::TraceMode;
using test_support::without_stamps;

namespace {

const Args kAccountCheck = {"-host", "10.1.2.3", "-usr", "admin", "-pwd", "secret",
                            "-mode", "account_check"};
const Args kUpdateImages = {"-tftp", "tftp://10.0.0.1/img", "-img_tzr", "tzr.bin",
                            "-img_sw", "sw.bin"};

struct ParseResult {
  QBCodes code;
  std::string out;
};

class ParseArgs : public ::testing::Test {
 protected:
  void SetUp() override { test_support::reset_command_line(); }
  void TearDown() override { test_support::reset_command_line(); }

  // Runs parse_args on args; returns its result and what it
  // printed, without time stamps.
  static ParseResult parse(const Args& args) {
    auto result = test_support::parse_command_line(args);
    return {result.first, result.second};
  }
};

struct ErrorRow {
  Args args;
  const char* message;
};

TEST_F(ParseArgs, EveryErrorPrintsItsOneMessage) {
  const ErrorRow rows[] = {
      {{}, "No arguments\n"},
      // Tokens that are no option
      {{"help"}, "Invalid argument 'help'\n"},
      {{"host", "h"}, "Invalid argument 'host'\n"},
      {{""}, "Invalid argument ''\n"},
      {{"-"}, "Invalid argument ''\n"},
      {{"-x"}, "Invalid argument 'x'\n"},
      {{"--host", "h"}, "Invalid argument '-host'\n"},
      {{"-Host", "h"}, "Invalid argument 'Host'\n"},
      {{"-help", "-sim"}, "Invalid argument 'help'\n"},
      {{"-sim", "-help"}, "Invalid argument 'help'\n"},
      {{"-mode", "account_check", "both"}, "Invalid argument 'both'\n"},
      {{"-D", ""}, "Invalid argument ''\n"},
      // Duplicates: -host and -usr with a blank before the quote, the others without
      {{"-host", "a", "-host", "b"}, "Duplicate of argument 'host'\n"},
      {{"-usr", "a", "-usr", "b"}, "Duplicate of argument 'usr'\n"},
      {{"-pwd", "a", "-pwd", "b"}, "Duplicate of argument'pwd'\n"},
      {{"-mode", "update", "-mode", "update"}, "Duplicate of argument'mode'\n"},
      {{"-tftp", "a", "-tftp", "b"}, "Duplicate of argument'tftp'\n"},
      {{"-img_tzr", "a", "-img_tzr", "b"}, "Duplicate of argument'img_tzr'\n"},
      {{"-img_sw", "a", "-img_sw", "b"}, "Duplicate of argument'img_sw'\n"},
      {{"-D", "-D"}, "Duplicate of argument'D'\n"},
      {{"-sim", "-sim"}, "Duplicate of argument'sim'\n"},
      // The duplicate is reported before its missing value
      {{"-pwd", "a", "-pwd"}, "Duplicate of argument'pwd'\n"},
      // Values missing at the end of the line
      {{"-host"}, "Invalid or missed host\n"},
      {{"-usr"}, "Invalid username\n"},
      {{"-pwd"}, "Invalid password\n"},
      {{"-mode"}, "Invalid or missed mode\n"},
      {{"-tftp"}, "Invalid or missed tftp url\n"},
      {{"-img_tzr"}, "Invalid or missed tftp tzr filename\n"},
      {{"-img_sw"}, "Invalid or missed tftp switch filename\n"},
      // ... or followed by another option
      {{"-usr", "-pwd", "p"}, "Invalid username\n"},
      {{"-host", "-usr", "u"}, "Invalid or missed host\n"},
      {{"-mode", "-D"}, "Invalid or missed mode\n"},
      {{"-tftp", "-img_sw", "x"}, "Invalid or missed tftp url\n"},
      // Mode words
      {{"-mode", "flash"}, "Invalid mode\n"},
      {{"-mode", "Update"}, "Invalid mode\n"},
      {{"-mode", ""}, "Invalid mode\n"},
      {{"-mode", "both"}, "Invalid mode\n"},
      // Incomplete command lines
      {{"-usr", "u", "-pwd", "p", "-mode", "account_check"}, "Argument missed\n"},
      {{"-host", "h", "-pwd", "p", "-mode", "account_check"}, "Argument missed\n"},
      {{"-host", "h", "-usr", "u", "-mode", "account_check"}, "Argument missed\n"},
      {{"-host", "h", "-usr", "u", "-pwd", "p"}, "Argument missed\n"},
      {{"-host", "h", "-usr", "u", "-pwd", "p", "-mode", "update", "-img_tzr", "t", "-img_sw", "s"},
       "Argument missed\n"},
      {{"-host", "h", "-usr", "u", "-pwd", "p", "-mode", "update", "-tftp", "u", "-img_sw", "s"},
       "Argument missed\n"},
      {{"-host", "h", "-usr", "u", "-pwd", "p", "-mode", "update", "-tftp", "u", "-img_tzr", "t"},
       "Argument missed\n"},
      // An unknown trace word is only a notice; the parse goes on
      {{"-D", "loud"}, "Invalid trace modeargument 'loud' - ignoring\nArgument missed\n"},
      // Whitespace in a user or host would become extra options of the client
      {{"-usr", "admin -o ProxyCommand=x"}, "Invalid username\n"},
      {{"-usr", "admin\tx"}, "Invalid username\n"},
      {{"-usr", "admin\n"}, "Invalid username\n"},
      {{"-host", "h -o ProxyCommand=x"}, "Invalid or missed host\n"},
      {{"-host", "h\n\n"}, "Invalid or missed host\n"},
      {{"-host", "h\r\n"}, "Invalid or missed host\n"},
      {{"-host", " h"}, "Invalid or missed host\n"},
      // URL and image names become words of the module's command line; a line
      // end in them, or in the password, would be a command of its own
      {{"-tftp", "h image x"}, "Invalid or missed tftp url\n"},
      {{"-tftp", "h\r\nreload"}, "Invalid or missed tftp url\n"},
      {{"-img_tzr", "t.bin\r\nreload"}, "Invalid or missed tftp tzr filename\n"},
      {{"-img_sw", "s.bin image x"}, "Invalid or missed tftp switch filename\n"},
      {{"-img_sw", "s.bin\n"}, "Invalid or missed tftp switch filename\n"},
      {{"-pwd", "x\nreload"}, "Invalid password\n"},
      {{"-pwd", "x\r\n\rreload"}, "Invalid password\n"},
      // The update's own switches
      {{"-stage", "-stage"}, "Duplicate of argument'stage'\n"},
      {{"-check_tftp", "-check_tftp"}, "Duplicate of argument'check_tftp'\n"},
      {kAccountCheck + Args{"-stage"}, "Argument 'stage' needs -mode update\n"},
      {kAccountCheck + Args{"-check_tftp"}, "Argument 'check_tftp' needs -mode update\n"},
      {Args{"-stage", "-host", "h", "-usr", "u", "-pwd", "p", "-mode", "update", "both"} +
           kUpdateImages,
       "Argument 'stage' excludes 'both'\n"},
      // Pinned host keys: one word each of a fingerprint's characters, at most eight
      {{"-hostkey"}, "Invalid or missed host key\n"},
      {{"-hostkey", "-host", "h"}, "Invalid or missed host key\n"},
      {{"-hostkey", ""}, "Invalid host key: empty\n"},
      {{"-hostkey", std::string(129, 'A')}, "Invalid host key: longer than 128 characters\n"},
      {{"-hostkey", "SHA256:ab cd"}, "Invalid host key: a character outside [A-Za-z0-9+/=:._-]\n"},
      {{"-hostkey", "SHA256:ab\n"}, "Invalid host key: a character outside [A-Za-z0-9+/=:._-]\n"},
      {{"-hostkey", "a;reboot"}, "Invalid host key: a character outside [A-Za-z0-9+/=:._-]\n"},
      {{"-hostkey", "k\xc3\xa9y"}, "Invalid host key: a character outside [A-Za-z0-9+/=:._-]\n"},
      {Args{"-hostkey", "a", "-hostkey", "b", "-hostkey", "c", "-hostkey", "d", "-hostkey", "e",
            "-hostkey", "f", "-hostkey", "g", "-hostkey", "h", "-hostkey", "i"},
       "Argument 'hostkey' may be given at most 8 times\n"},
  };
  for (const ErrorRow& row : rows) {
    test_support::reset_command_line();
    std::string shown;
    for (const std::string& a : row.args)
      shown += "[" + a + "]";
    ParseResult result = parse(row.args);
    EXPECT_EQ(result.code, MORVIK_INVALID_PARAM_ERR) << shown;
    EXPECT_EQ(result.out, row.message) << shown;
  }
}

TEST_F(ParseArgs, PasswordMayHaveBlanksAndATrailingLineEnd) {
  for (const char* password : {"two words", "secret\n", "secret\r\n"}) {
    test_support::reset_command_line();
    ParseResult result = parse({"-host", "h", "-usr", "u", "-pwd", password, "-mode",
                                "account_check"});
    EXPECT_EQ(result.code, MORVIK_SUCCESS) << password;
    EXPECT_STREQ(options.password, password);
  }
}

TEST_F(ParseArgs, PasswordIsWipedFromTheCommandLine) {
  Argv line({"-pwd", "secret", "-host", "h", "-usr", "u", "-mode", "account_check"});
  ASSERT_EQ(parse_args(line.argc(), line.argv()), MORVIK_SUCCESS);
  EXPECT_STREQ(options.password, "secret");
  EXPECT_EQ(std::string(line.argv()[2], 6), std::string(6, '\0'));
  EXPECT_STREQ(line.argv()[4], "h");
}

TEST_F(ParseArgs, AccountCheckNeedsNoImageOptions) {
  ParseResult result = parse(kAccountCheck);
  EXPECT_EQ(result.code, MORVIK_SUCCESS);
  EXPECT_EQ(result.out, "");
  EXPECT_STREQ(options.host, "10.1.2.3");
  EXPECT_STREQ(options.username, "admin");
  EXPECT_STREQ(options.password, "secret");
  EXPECT_EQ(options.mode, QB_CHECK_AUTH_MODE);
  EXPECT_EQ(options.both, 0);
  EXPECT_EQ(options.tracemode, TRACE_MODE_QUIET);
  EXPECT_EQ(simulator_mode, 0);
}

TEST_F(ParseArgs, UpdateTakesBothOnlyRightAfterIt) {
  const Args login = {"-host", "h", "-usr", "u", "-pwd", "p"};
  struct Row {
    Args args;
    int both;
    int tracemode;
  };
  const Row rows[] = {
      {Args{"-mode", "update", "both"} + login + kUpdateImages, 1, TRACE_MODE_QUIET},
      {login + Args{"-mode", "update", "-D", "debug"} + kUpdateImages, 0, TRACE_MODE_DEBUG},
      {login + kUpdateImages + Args{"-mode", "update"}, 0, TRACE_MODE_QUIET},
  };
  for (const Row& row : rows) {
    test_support::reset_command_line();
    ParseResult result = parse(row.args);
    EXPECT_EQ(result.code, MORVIK_SUCCESS) << result.out;
    EXPECT_EQ(options.mode, QB_FLASH_MODE);
    EXPECT_EQ(options.both, row.both);
    EXPECT_EQ(options.tracemode, row.tracemode);
  }
  EXPECT_STREQ(options.tftp_path, "tftp://10.0.0.1/img");
  EXPECT_STREQ(options.img_tzr, "tzr.bin");
  EXPECT_STREQ(options.img_sw, "sw.bin");
}

TEST_F(ParseArgs, TraceWordsSelectTheirMode) {
  struct Row {
    Args args;
    int mode;
    const char* out;
  };
  const Row rows[] = {
      {kAccountCheck + Args{"-D", "info"}, TRACE_MODE_INFO, ""},
      {kAccountCheck + Args{"-D", "verbose"}, TRACE_MODE_VERBOSE, ""},
      {kAccountCheck + Args{"-D", "debug"}, TRACE_MODE_DEBUG, ""},
      {kAccountCheck + Args{"-D"}, TRACE_MODE_QUIET, ""},
      {Args{"-D"} + kAccountCheck, TRACE_MODE_QUIET, ""},  // -host is parsed as an option
      {kAccountCheck + Args{"-D", "Debug"}, TRACE_MODE_QUIET,
       "Invalid trace modeargument 'Debug' - ignoring\n"},
  };
  for (const Row& row : rows) {
    test_support::reset_command_line();
    ParseResult result = parse(row.args);
    EXPECT_EQ(result.code, MORVIK_SUCCESS) << result.out;
    EXPECT_EQ(options.tracemode, row.mode);
    EXPECT_EQ(result.out, row.out);
    EXPECT_STREQ(options.host, "10.1.2.3");
  }
}

TEST_F(ParseArgs, EmptyValuesAreAccepted) {
  ParseResult result = parse({"-host", "h", "-usr", "", "-pwd", "", "-mode", "account_check",
                              "-tftp", "", "-img_tzr", "", "-img_sw", ""});
  EXPECT_EQ(result.code, MORVIK_SUCCESS) << result.out;
  EXPECT_STREQ(options.username, "");
  EXPECT_STREQ(options.password, "");
}

TEST_F(ParseArgs, HostLosesOneTrailingLineFeed) {
  ParseResult result = parse({"-host", "qb1\n", "-usr", "u", "-pwd", "p", "-mode", "account_check"});
  EXPECT_EQ(result.code, MORVIK_SUCCESS) << result.out;
  EXPECT_STREQ(options.host, "qb1");
}

TEST_F(ParseArgs, LongValuesAreCutToTheirField) {
  const std::string long_text(300, 'h');
  ParseResult result = parse({"-host", long_text, "-usr", long_text, "-pwd", long_text, "-mode",
                              "update", "-tftp", long_text, "-img_tzr", long_text, "-img_sw",
                              long_text});
  EXPECT_EQ(result.code, MORVIK_SUCCESS) << result.out;
  EXPECT_EQ(std::string(options.host), long_text.substr(0, 254));
  EXPECT_EQ(std::string(options.username), long_text.substr(0, 63));
  EXPECT_EQ(std::string(options.tftp_path), long_text.substr(0, 254));
  EXPECT_EQ(std::string(options.img_sw), long_text.substr(0, 63));
}

TEST_F(ParseArgs, SwitchesSetTheirFlag) {
  const Args update = Args{"-host", "h", "-usr", "u", "-pwd", "p", "-mode", "update"} +
                      kUpdateImages;
  struct Row {
    Args args;
    const int* flag;
  };
  const Row rows[] = {
      {kAccountCheck + Args{"-sim"}, &simulator_mode},
      {update + Args{"-stage"}, &options.stage},
      {Args{"-check_tftp"} + update + Args{"-stage"}, &options.check_tftp},
      {update + Args{"-check_tftp", "-dry_run"}, &options.dry_run},
  };
  for (const Row& row : rows) {
    test_support::reset_command_line();
    ParseResult result = parse(row.args);
    EXPECT_EQ(result.code, MORVIK_SUCCESS) << result.out;
    EXPECT_EQ(*row.flag, 1) << row.args.back();
  }
}

// -sha256sums: the file is read once the command line is complete; a fault
// in it is the command line's, naming the file and the line.
TEST_F(ParseArgs, ChecksumFileIsReadAndItsImagesLookedUp) {
  TempDir dir;
  const std::string sums = dir.path() + "/SUMS";
  const std::string digest(64, 'b');
  const Args update =
      Args{"-host", "h", "-usr", "u", "-pwd", "p", "-mode", "update"} + kUpdateImages;
  const struct {
    const char* text;  // null: no file
    Args args;
    std::string out;   // with FILE for the file's path
    int sw_listed;
  } rows[] = {
      {"# images\n\nDIGEST *sw.bin\n", update + Args{"-sha256sums", sums}, "", 1},
      {"DIGEST  other.bin\n", Args{"-sha256sums", sums} + update, "", 0},
      {nullptr, update + Args{"-sha256sums", sums},
       "Cannot read checksum file 'FILE': No such file or directory\n", 0},
      {"DIGEST  sw.bin\nsw.bin DIGEST\n", update + Args{"-sha256sums", sums},
       "Checksum file 'FILE' line 2: its digest is not 64 hex digits\n", 0},
      {"", kAccountCheck + Args{"-sha256sums", sums}, "Argument 'sha256sums' needs -mode update\n",
       0},
      {"", update + Args{"-sha256sums"}, "Invalid or missed checksum file\n", 0},
  };
  for (const auto& row : rows) {
    test_support::reset_command_line();
    unlink(sums.c_str());
    if (row.text != nullptr) {
      std::string text = row.text;
      for (size_t at; (at = text.find("DIGEST")) != std::string::npos;)
        text.replace(at, 6, digest);
      dir.write("SUMS", text, 0644);
    }
    ParseResult result = parse(row.args);
    std::string out = row.out;
    if (out.find("FILE") != std::string::npos)
      out.replace(out.find("FILE"), 4, sums);
    EXPECT_EQ(result.out, out) << row.text;
    EXPECT_EQ(result.code, out.empty() ? MORVIK_SUCCESS : MORVIK_INVALID_PARAM_ERR) << row.text;
    if (!out.empty())
      continue;
    EXPECT_EQ(options.check_tftp, 1) << row.text;
    EXPECT_EQ(options.sums_sw.listed, row.sw_listed) << row.text;
    EXPECT_EQ(options.sums_tzr.listed, 0) << row.text;
    EXPECT_EQ(options.sums_sw.sha256[0], row.sw_listed ? 0xbb : 0) << row.text;
  }
}

const char kUsage[] =
    "NAME. ver.1.1.0.33\nPerforms flashing of Quorbel\n\n"
    "Usage:\n"
    "\tNAME OPTIONS -mode update [both] -tftp url -img_tzr filename -img_sw filename\n"
    "\tNAME OPTIONS -mode account_check\n"
    "\nOPTIONS:\n"
    "   -help\t\t Show this help message\n"
    "   -D [info|verbose|debug]\t Trace mode. Default is 'quiet'\n"
    "   -host ip\t\t QB host ip address or hostname\n"
    "   -usr username\t SSH user login\n"
    "   -pwd password\t SSH user password\n"
    "   -mode {update [both] |account_check}\t Remote action\n"
    "      update\t\t Do flashing for current or both modes\n"
    "      account_check\t\t SSH authentication test\n"
    "   -tftp url\t\t TFTP url to image\n"
    "   -img_tzr filename\t image name for TZR mode\n"
    "   -img_sw filename\t image name for Switch and EHM mode\n"
    "\n"
    // The options added since follow the lines above, which stay as they are.
    "   -pwd_file path\t SSH user password from the first line of a file\n"
    "\t\t\t that only its owner may read or write\n"
    "   -report path\t\t Write the run's report to a file, as one JSON object\n"
    "   -dry_run\t\t Read the module and show what the update would do;\n"
    "\t\t\t change nothing\n"
    "   -pace settle|prompt\t Read the module's output once it has settled (default)\n"
    "\t\t\t or as soon as it shows a prompt or a question\n"
    "   -stage\t\t Update: make the new image the startup image of the\n"
    "\t\t\t current mode and stop before the restart\n"
    "   -check_tftp\t\t Update: ask the TFTP server for every image before\n"
    "\t\t\t changing anything\n"
    "   -hostkey fingerprint\t Accept only this host key (up to 8 times); the\n"
    "\t\t\t client's key cache is then neither read nor written\n"
    "   -accept_weak_crypto\t Go on when the SSH client warns against an algorithm\n"
    "\t\t\t of the module's SSH server (refused by default: 15)\n"
    "   -sha256sums file\t Update: read every image from the TFTP server first\n"
    "\t\t\t and compare its SHA-256 with the file's line for it\n"
    "\t\t\t (sha256sum's format); implies -check_tftp\n"
    "\nENVIRONMENT:\n"
    "   MORVIK_PASSWORD\t SSH user password when neither -pwd nor -pwd_file is given\n"
    "   MORVIK_LOCK_DIR\t Directory of the per-module lock files (/run/lock/morvik)\n"
    "\nEXAMPLE:\n"
    "\tNAME -host 10.0.0.5 -usr admin -pwd_file /etc/morvik/admin.pw -mode update both\n"
    "\t  -tftp 10.0.0.1/images -img_tzr tzr.bin -img_sw sw.bin -report /var/tmp/qb5.json\n"
    "\n";

std::string usage_for(const std::string& name) {
  std::string text = kUsage;
  for (size_t pos; (pos = text.find("NAME")) != std::string::npos;)
    text.replace(pos, 4, name);
  return text;
}

// Runs a lone -help in a child whose stdout goes to a file, and compares it.
class ParseArgsHelp : public ParseArgs {
 protected:
  void expect_usage(const std::string& prog, const std::string& name) {
    TempDir dir;
    const std::string file = dir.path() + "/usage.txt";
    std::string prog_copy = prog;
    std::string help = "-help";
    char* argv[] = {&prog_copy[0], &help[0], nullptr};
    EXPECT_EXIT(
        {
          int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
          dup2(fd, STDOUT_FILENO);
          parse_args(2, argv);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(test_support::read_file(file), usage_for(name));
  }
};

TEST_F(ParseArgsHelp, LoneHelpPrintsUsageAndExitsWithZero) {
  expect_usage("/opt/tools/qbflash", "qbflash");
}

TEST_F(ParseArgsHelp, ProgramWithoutSlashIsNamedMorvik) {
  expect_usage("qbflash", "morvik");
}

// ---------------------------------------------------------------------------

class GetSshCmd : public ::testing::Test {
 protected:
  void SetUp() override {
    options = qb_opt();
    snprintf(options.username, sizeof(options.username), "admin");
    snprintf(options.host, sizeof(options.host), "10.1.2.3");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    saved_cwd_ = cwd;
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(saved_cwd_.c_str()), 0);
    options = qb_opt();
  }
  TempDir dir_;
  std::string saved_cwd_;
};

TEST_F(GetSshCmd, NoClientInWorkingDirectory) {
  EXPECT_EQ(get_ssh_cmd(), MORVIK_SSH_CLIENT_NOT_FOUND_ERR);
  EXPECT_STREQ(options.ssh_args, "");
}

TEST_F(GetSshCmd, VanishedWorkingDirectoryFindsNoClient) {
  // Without a working directory the path would become "/plink".
  TempDir gone;
  ASSERT_EQ(chdir(gone.path().c_str()), 0);
  ASSERT_EQ(rmdir(gone.path().c_str()), 0);
  EXPECT_EQ(get_ssh_cmd(), MORVIK_SSH_CLIENT_NOT_FOUND_ERR);
  EXPECT_STREQ(options.ssh_args, "");
}

TEST_F(GetSshCmd, ClientThatIsNotExecutableStillPasses) {
  dir_.write("plink", "not a program\n", 0644);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  EXPECT_EQ(get_ssh_cmd(), MORVIK_SUCCESS);
  EXPECT_EQ(std::string(options.ssh_path), std::string(cwd) + "/plink");
  EXPECT_STREQ(options.ssh_args, "-ssh admin@10.1.2.3");
}

TEST_F(GetSshCmd, PinnedHostKeysComeBeforeTheLogin) {
  dir_.write("plink", "", 0755);
  const std::string longest(HOST_KEY_LEN, 'k');
  std::string all_longest;
  for (int k = 0; k < MAX_HOST_KEYS; ++k)
    all_longest += "-hostkey " + longest + " ";
  struct Row {
    std::vector<std::string> keys;
    std::string args;
  };
  const Row rows[] = {
      {{"SHA256:AbC+/="}, "-ssh -hostkey SHA256:AbC+/= admin@10.1.2.3"},
      {{"A", "b:c"}, "-ssh -hostkey A -hostkey b:c admin@10.1.2.3"},
      {std::vector<std::string>(MAX_HOST_KEYS, longest), "-ssh " + all_longest + "admin@10.1.2.3"},
  };
  for (const Row& row : rows) {
    options.host_key_count = 0;
    for (const std::string& key : row.keys)
      snprintf(options.host_keys[options.host_key_count++], HOST_KEY_LEN + 1, "%s", key.c_str());
    EXPECT_EQ(get_ssh_cmd(), MORVIK_SUCCESS);
    EXPECT_EQ(options.ssh_args, row.args);
  }
}

// ---------------------------------------------------------------------------

TEST(StrRemoveEnding, RemovesTrailingLineEndsOnly) {
  struct Row {
    const char* in;
    const char* out;
  };
  const Row rows[] = {
      {"abc\r\n", "abc"}, {"abc\n\r", "abc"},     {"\r\n\r\n", ""}, {"", ""},
      {"abc", "abc"},     {"a\r\nb", "a\r\nb"},   {"a\r\nb\n", "a\r\nb"},
  };
  for (const Row& row : rows) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%s", row.in);
    str_remove_ending(buf);
    EXPECT_STREQ(buf, row.out);
  }
  str_remove_ending(nullptr);
}

TEST(StrRemoveSingleCr, KeepsCrLfAndDropsOtherCr) {
  struct Row {
    const char* in;
    const char* out;
  };
  const Row rows[] = {
      {"X\rY\r\nZ", "XY\r\nZ"}, {"\r\r\n", "\r\n"},   {"abc", "abc"},
      {"\r", ""},               {"a\r", "a"},         {"\r\r\r\n\r", "\r\n"},
      {"a\r\nb\r\n", "a\r\nb\r\n"},
  };
  for (const Row& row : rows) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%s", row.in);
    str_remove_single_cr(buf, sizeof(buf));
    EXPECT_STREQ(buf, row.out);
  }
}

TEST(StrRemoveSingleCr, StaysWithinTheGivenLength) {
  char buf[8] = {'a', 'b', 'c', 'd', 'e', 'f', '\0', '#'};
  str_remove_single_cr(buf, 4);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(memcmp(buf + 4, "ef\0#", 4), 0);

  char untouched[] = "a\rb";
  str_remove_single_cr(untouched, 0);
  EXPECT_STREQ(untouched, "a\rb");
  str_remove_single_cr(nullptr, 8);
}

// ---------------------------------------------------------------------------

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(IsServerAvailable, NullHostReturnsAtOnce) {
  TraceMode mode(TRACE_MODE_DEBUG);
  StdCapture capture;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(is_server_available(nullptr, 2), 0);
  EXPECT_EQ(is_server_available(nullptr, 10.0), 0);
  EXPECT_LT(seconds_since(start), 0.9);  // no wait of a second or more
  EXPECT_EQ(capture.out(), "");
}

// A listening TCP socket on the loopback address of the family, at the
// given port or, by default, one the system chooses.
struct Listener {
  int fd = -1;
  std::string port;
  explicit Listener(int family, int number = 0) {
    fd = socket(family, SOCK_STREAM, 0);
    if (fd == -1)
      return;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    struct sockaddr_storage addr;
    memset(&addr, 0, sizeof(addr));
    socklen_t len;
    if (family == AF_INET6) {
      auto* a6 = reinterpret_cast<struct sockaddr_in6*>(&addr);
      a6->sin6_family = AF_INET6;
      a6->sin6_addr = in6addr_loopback;
      a6->sin6_port = htons(static_cast<uint16_t>(number));
      len = sizeof(*a6);
    } else {
      auto* a4 = reinterpret_cast<struct sockaddr_in*>(&addr);
      a4->sin_family = AF_INET;
      a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a4->sin_port = htons(static_cast<uint16_t>(number));
      len = sizeof(*a4);
    }
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
      close(fd);
      fd = -1;
      return;
    }
    number = family == AF_INET6 ? ntohs(reinterpret_cast<struct sockaddr_in6*>(&addr)->sin6_port)
                                    : ntohs(reinterpret_cast<struct sockaddr_in*>(&addr)->sin_port);
    port = std::to_string(number);
  }
  ~Listener() {
    if (fd != -1)
      close(fd);
  }
};

// Brings up the loopback interface of a new network namespace.
bool loopback_up() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s == -1)
    return false;
  struct ifreq ifr;
  memset(&ifr, 0, sizeof(ifr));
  snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "lo");
  bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  close(s);
  return ok;
}

// Port 22 is fixed, so a probe of it runs in a child with a network of its
// own. Returns what body (run there) returned, or "skip" without such a
// network.
std::string in_own_network(std::string (*body)()) {
  int report[2];
  if (pipe(report) != 0)
    return "no pipe";
  pid_t pid = fork();
  if (pid == -1)
    return "no fork";
  if (pid == 0) {
    close(report[0]);
    std::string text = "skip";
    if (unshare(CLONE_NEWNET) == 0 && loopback_up())
      text = body();
    ssize_t written = write(report[1], text.data(), text.size());
    _exit(written > 0 ? 0 : 1);
  }
  close(report[1]);
  std::string text;
  char buf[64];
  ssize_t n;
  while ((n = read(report[0], buf, sizeof(buf))) > 0)
    text.append(buf, static_cast<size_t>(n));
  close(report[0]);
  waitpid(pid, nullptr, 0);
  return text;
}

TEST(IsServerAvailable, ProbesPort22AtLeastOnce) {
  const std::string text = in_own_network([] {
    char host[] = "127.0.0.1";
    int up[3] = {0, 0, 0};
    {
      Listener sshd(AF_INET, 22);
      if (sshd.fd != -1) {
        up[0] = is_server_available(host, 0);
        up[1] = is_server_available(host, -3);
        up[2] = is_server_available(host, 2);
      }
    }
    return std::to_string(up[0]) + " " + std::to_string(up[1]) + " " + std::to_string(up[2]) +
           " " + std::to_string(is_server_available(host, 1));
  });
  if (text == "skip")
    GTEST_SKIP() << "no private network namespace";
  // Counts below 1 still make one attempt; nobody listening gives 0.
  EXPECT_EQ(text, "1 1 1 0");
}

// The wait after a restart against a port 22 that a thread opens and closes
// on a schedule: back only once it was seen closed and open again; taken as
// back when it never closes within the grace; given up when it stays closed.
struct RestartCase {
  const char* name;
  double down_at, up_at;  // seconds after the start; < 0: never
  int max_sec, down_within_sec;
  int back;                  // what the watch returns
  double not_before, within;  // seconds: when it may return at the earliest, the latest
};

void PrintTo(const RestartCase& c, std::ostream* os) {
  *os << c.name;
}

// Looks come once a second: the first one after the port reopens ends it.
const RestartCase kRestartCases[] = {
    {"GoesDownAndComesBack", 1.5, 3.5, 20, 10, 1, 3.5, 5.5},
    {"NeverSeenDown", -1, -1, 20, 2, 1, 2.0, 3.5},
    {"NeverComesBack", 1.0, -1, 4, 10, 0, 4.0, 5.5},
};

class RestartWatch : public ::testing::TestWithParam<RestartCase> {};

const RestartCase* restart_case = nullptr;

// Port 22's schedule while the watch runs: open from the start, closed from
// down_at, open again from up_at; connections are taken and closed.
std::string watch_restart_once() {
  const RestartCase& c = *restart_case;
  const auto start = std::chrono::steady_clock::now();
  bool done = false;
  std::thread port([&] {
    std::unique_ptr<Listener> sshd;
    while (!done) {
      const double t =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const bool open = c.down_at < 0 || t < c.down_at || (c.up_at >= 0 && t >= c.up_at);
      if (open && sshd == nullptr)
        sshd.reset(new Listener(AF_INET, 22));
      if (!open)
        sshd.reset();
      if (sshd != nullptr && sshd->fd != -1) {
        struct pollfd pf = {sshd->fd, POLLIN, 0};
        if (poll(&pf, 1, 20) > 0) {
          int peer = accept(sshd->fd, nullptr, nullptr);
          if (peer != -1)
            close(peer);
        }
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the port is up
  char host[] = "127.0.0.1";
  probe_settings pacing;
  pacing.close_pause_sec = 0;
  pacing.connect_timeout_ms = 1000;
  const int back = wait_for_restart(host, pacing, c.max_sec, c.down_within_sec);
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() - 0.1;
  done = true;
  port.join();
  char text[32];
  snprintf(text, sizeof(text), "%d %.2f", back, took);
  return text;
}

TEST_P(RestartWatch, SeesThePortCloseAndOpenAgain) {
  restart_case = &GetParam();
  const std::string text = in_own_network(watch_restart_once);
  if (text == "skip")
    GTEST_SKIP() << "no private network namespace";
  int back = -1;
  double took = -1;
  ASSERT_EQ(sscanf(text.c_str(), "%d %lf", &back, &took), 2) << text;
  EXPECT_EQ(back, GetParam().back) << text;
  EXPECT_GE(took, GetParam().not_before) << text;
  EXPECT_LE(took, GetParam().within) << text;
}

INSTANTIATE_TEST_SUITE_P(Port22, RestartWatch, ::testing::ValuesIn(kRestartCases),
                         [](const ::testing::TestParamInfo<RestartCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(TcpConnect, ConnectsToAListenerAndHandsOverABlockingSocket) {
  Listener listener(AF_INET);
  ASSERT_NE(listener.fd, -1);
  SOCKET sock = -1;
  ASSERT_EQ(tcp_connect("127.0.0.1", listener.port.c_str(), &sock), MORVIK_SUCCESS);
  ASSERT_NE(sock, -1);
  EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, 0);
  int peer = accept(listener.fd, nullptr, nullptr);
  EXPECT_NE(peer, -1);
  if (peer != -1)
    close(peer);
  sock_close(&sock);
  EXPECT_EQ(sock, -1);
}

// A socket whose flags cannot be read is not taken for a blocking one.
TEST(MakeBlocking, SaysWhetherTheSocketBlocks) {
  const int open_socket = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  ASSERT_NE(open_socket, -1);
  const int closed_socket = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(closed_socket, -1);
  close(closed_socket);
  EXPECT_TRUE(make_blocking(open_socket));
  EXPECT_EQ(fcntl(open_socket, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_FALSE(make_blocking(closed_socket));
  close(open_socket);
}

TEST(TcpConnect, ConnectsToAnIpv6Literal) {
  Listener listener(AF_INET6);
  if (listener.fd == -1)
    GTEST_SKIP() << "no IPv6 loopback";
  SOCKET sock = -1;
  ASSERT_EQ(tcp_connect("::1", listener.port.c_str(), &sock), MORVIK_SUCCESS);
  EXPECT_NE(sock, -1);
  close(sock);
}

TEST(TcpConnect, RefusedConnectionIsClosedAndReported) {
  std::string port;
  {
    Listener gone(AF_INET);
    ASSERT_NE(gone.fd, -1);
    port = gone.port;
  }
  TraceMode mode(TRACE_MODE_DEBUG);
  SOCKET sock = 4242;  // must stay as it was
  StdCapture capture;
  EXPECT_EQ(tcp_connect("127.0.0.1", port.c_str(), &sock), MORVIK_CANNOT_CONNECT_ERR);
  EXPECT_EQ(sock, 4242);
  EXPECT_EQ(without_stamps(capture.out()),
            "trace> Trying to connect to socket ...\n"
            "trace> Connection to socket ... Failed\n"
            "trace> Close socket ... Done\n"
            "trace> Unable to connect to host 127.0.0.1 port " +
                port + ": Cannot connect to socket\n");
}

TEST(TcpConnect, UnresolvableHostFailsWithoutASocket) {
  TraceMode mode(TRACE_MODE_DEBUG);
  SOCKET sock = -1;
  StdCapture capture;
  auto start = std::chrono::steady_clock::now();
  // Not a valid name, so the resolver fails without asking any server.
  EXPECT_EQ(tcp_connect("bad..host", "22", &sock), MORVIK_CANNOT_CONNECT_ERR);
  EXPECT_LT(seconds_since(start), 0.9);  // no socket, so no closing pause
  EXPECT_EQ(sock, -1);
  EXPECT_EQ(without_stamps(capture.out()),
            "trace> Unable to connect to host bad..host port 22 (" + std::to_string(EAI_NONAME) +
                "): " + gai_strerror(EAI_NONAME) + "\n");
}

TEST(TcpConnect, NullArgumentsAreInternalErrors) {
  SOCKET sock = -1;
  struct Row {
    const char* host;
    const char* port;
    SOCKET* p_sock;
    const char* message;
  };
  const Row rows[] = {
      {nullptr, "22", &sock,
       "Unable to connect to host (null) port 22: Internal error: Invalid object\n"},
      {"127.0.0.1", nullptr, &sock,
       "Unable to connect to host 127.0.0.1 port (null): Internal error: Invalid object\n"},
      {"127.0.0.1", "22", nullptr,
       "Unable to connect to host 127.0.0.1 port 22: Internal error: Invalid object\n"},
  };
  for (const Row& row : rows) {
    StdCapture capture;
    EXPECT_EQ(tcp_connect(row.host, row.port, row.p_sock), MORVIK_INTERNAL_ERR);
    EXPECT_EQ(without_stamps(capture.out()), row.message);
  }
  EXPECT_EQ(sock, -1);
}

}  // namespace
