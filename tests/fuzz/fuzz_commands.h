// Recorded dialogues with the module, per command of the command table, that
// seed the fuzzers; the rows themselves (parsers, types, what a request
// needs) come from the table.
#ifndef MORVIK_FUZZ_COMMANDS_H
#define MORVIK_FUZZ_COMMANDS_H

#include <string>
#include <vector>

#include "fuzz_support.h"

namespace fuzz {

// The request texts as a harness reads them: the file's name, the URL and
// the image, each ended by NUL (qb_request's order).
inline std::string request(const char* file, const char* url, const char* image) {
  return std::string(file) + '\0' + url + '\0' + image + '\0';
}

// What one session with the module looked like after the login prompt.
struct recorded {
  unsigned type;                    // index into the command's types
  std::string request;              // request(...) of the session
  const char* echo;                 // the command line the tool sent
  std::vector<std::string> chunks;  // what the module printed, chunk by chunk
};

// What the harnesses add to a row of the command table.
struct command {
  int cmd;
  std::vector<recorded> dialogues;
};

// The types a row of the command table serves, in the row's order; a
// recorded type indexes them.
inline std::vector<QbCliType> types_of(const qb_command& row) {
  std::vector<QbCliType> all;
  for (const qb_variant& v : row.variants)
    if (v.type != QB_CLI_UNKNOWN)
      all.push_back(v.type);
  return all;
}

const char* const PROMPT = "quorbel# ";
const char* const LOGIN_CHUNKS[] = {
    "The host key is not cached for this server:\r\n  127.0.0.1 (port 22)\r\n"
    "The server's ssh-ed25519 key fingerprint is:\r\n  ssh-ed25519 255 SHA256:abc\r\n"
    "Store key in cache? (y/n, Return cancels connection, i for more info) ",
    "Using username \"admin\".\r\nadmin@127.0.0.1's password: ",
    "\r\nquorbel# ",
};

const char* const SESSION_TABLE =
    "ID  User Name       Connection From       Idle Time   Session Time Session Type\r\n"
    "--- --------------- --------------------- ----------- ------------ ------------\r\n"
    "1   admin           10.0.0.5              00:00:00    00:03:12     SSH\r\n"
    "2   root            10.0.0.9              00:01:40    00:20:00     Telnet\r\n";
const char* const VERSION =
    "System Description     : Quorbel switch module, 24 ports\r\n"
    "Machine Type           : 8012\r\nMachine Model          : QB-2400\r\n"
    "Serial Number          : QB0012345\r\nPart Number            : 00Q4321\r\n"
    "Hardware Version       : 2\r\nLabel Revision Number  : 3\r\n"
    "Number of ports        : 24\r\nLoader Version         : 1.0.2\r\n"
    "Operation Code Version : 3.1.4 (img_a.bin)\r\nBoot Rom Version       : 1.0.2\r\n";
const char* const DIR_LISTING =
    "date        file name            file type        startup  size\r\n"
    "------------------------------------------------------------------\r\n"
    "2009-01-01  boot.bin             Boot-Rom image   Y        128\r\n"
    "2009-01-01  startup              Config File      Y        4\r\n"
    "2009-03-02  img_a.bin            Operation Code   Y        512\r\n"
    "2009-01-15  img_b.bin            Operation Code   N        498\r\n"
    "------------------------------------------------------------------\r\n"
    "Total: 4 files\r\n";
const char* const WHICHBOOT =
    "Boot-System: Switch\r\nNext Booting Mode: EHM\r\n\r\n"
    "file name            file type        startup  size\r\n"
    "--------------------------------------------------------\r\n"
    "boot.bin             Boot-Rom image   Y        128\r\n"
    "startup              Config File      Y        4\r\n"
    "img_a.bin            Operation Code   Y        512\r\n";

const std::string NONE = request("", "", "");

inline std::string answer(const char* echo, const std::string& body) {
  return std::string(echo) + body + PROMPT;
}

inline const std::vector<command>& commands() {
  static const std::vector<command> table = {
      {QB_SHOW,
       {{0, NONE, "show loginsession\r\n", {answer("show loginsession\r\n", SESSION_TABLE)}},
        {1, NONE, "show version\r\n", {answer("show version\r\n", VERSION)}},
        {2, NONE, "show hardware\r\n",
         {answer("show hardware\r\n", "Module Type : 24-port switch module\r\n")}},
        {0, NONE, "show loginsession\r\n",
         {answer("show loginsession\r\n", "% Invalid input detected at '^' marker.\r\n"),
          "The system has unsaved changes.\r\nWould you like to save them now? (y/n) ",
          "y\r\nConfiguration Saved\r\n"}}}},
      {QB_DIR,
       {{0, NONE, "dir\r\n", {answer("dir\r\n", DIR_LISTING)}},
        {1, NONE, "dir opcode\r\n", {answer("dir opcode\r\n", DIR_LISTING)}},
        {2, request("img_b.bin", "", ""), "dir opcode img_b.bin\r\n",
         {answer("dir opcode img_b.bin\r\n",
                 "date file name file type startup size\r\n------------------\r\n"
                 "------------------\r\nTotal: 0 files\r\n")}}}},
      {QB_WHICHBOOT,
       {{0, NONE, "whichboot\r\n", {answer("whichboot\r\n", WHICHBOOT)}},
        {0, NONE, "whichboot\r\n",
         {answer("whichboot\r\n", "-bash: whichboot: command not found\r\n")}}}},
      {QB_COPY,
       {{0, request("", "server/dir", "f.bin"), "copy tftp://server/dir/f.bin image f.bin\r\n",
         {"copy tftp://server/dir/f.bin image f.bin\r\n"
          "Mode:                 TFTP\r\nTFTP Server:          server\r\n"
          "TFTP Path:            dir/\r\nTFTP Filename:        f.bin\r\n"
          "Data type:            Code\r\nDestination filename: f.bin\r\n"
          "Management access will be blocked for the duration of the transfer\r\n"
          "Are you sure you want to start? (y/n) ",
          "y", "TFTP code transfer starting...\r\n",
          "Verifying CRC of file in Flash File System\r\n",
          "File receive complete... storing in Flash File System...\r\n",
          "File transfer operation completed successfully.\r\nquorbel# "}},
        {0, request("", "tftp://server", "f.bin"), "copy tftp://server/f.bin image f.bin\r\n",
         {answer("copy tftp://server/f.bin image f.bin\r\n",
                 "y\r\nTFTP transfer failed\r\nImage not intended for this product\r\n")}}}},
      {QB_DELETE,
       {{0, request("img_b.bin", "", ""), "delete img_b.bin\r\n",
         {"delete img_b.bin\r\nAre you sure you want to delete? (y/n) ",
          "y\r\nFile img_b.bin Deleted!\r\nquorbel# "}},
        {0, request("img_b.bin", "", ""), "delete img_b.bin\r\n",
         {"delete img_b.bin\r\nAre you sure you want to delete? (y/n) ",
          "y\r\nFile img_b.bin Not Deleted!\r\nquorbel# "}}}},
      {QB_BOOT_SYSTEM,
       {{0, NONE, "boot-system mode TZR\r\n", {answer("boot-system mode TZR\r\n", "")}},
        {1, request("", "", "f.bin"), "boot-system opcode f.bin\r\n",
         {answer("boot-system opcode f.bin\r\n", "Start Up Success\r\n")}},
        {1, request("", "", "f.bin"), "boot-system opcode f.bin\r\n",
         {answer("boot-system opcode f.bin\r\n", "Start Up Failed!\r\n")}}}},
      {QB_RELOAD,
       {{0, NONE, "reload\r\n",
         {"reload\r\nThe system has unsaved changes.\r\nWould you like to save them now? (y/n) ",
          "y\r\nConfiguration Saved\r\n",
          "Are you sure you would like to reset the system? (y/n) ",
          "y\r\nSystem will now restart\r\n",
          "FATAL ERROR: Network error: Software caused connection abort\r\n"}},
        {0, NONE, "reload\r\n", {answer("reload\r\n", "% Incorrect input\r\n")}}}},
  };
  return table;
}

// The harnesses' part of a row of the command table; aborts for a row that
// has none, so that a new command cannot go unfuzzed.
inline const command& command_for(int cmd) {
  for (const command& c : commands())
    if (c.cmd == cmd)
      return c;
  fprintf(stderr, "no command %d\n", cmd);
  abort();
}

}  // namespace fuzz

#endif
