// Command line, location of the SSH client, the reachability probe and the
// text routines the session engine cleans the client's output with.
#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include <vector>

#include "misc.h"

#include "main.h"
#include "nxa-tools-trace.h"
#include "qb_io.h"
#include "qb_signal.h"
#include "qb_socket.h"

namespace {

const int PRG_LEN = 4096;
const int PROBE_MAX_ATTEMPTS = 100;
const char* const SSH_PORT = "22";
// How often the wait after a restart looks at port 22.
const long long RESTART_LOOK_MS = 1000;

void usage(char* prog) {
  char name[PRG_LEN];
  const char* slash = strrchr(prog, '/');
  snprintf(name, sizeof(name), "%s", slash != nullptr ? slash + 1 : "morvik");
  printf("%s. ver.%d.%d.%d.%d\nPerforms flashing of Quorbel\n\n", name, MORVIK_VERSION_MAJOR,
         MORVIK_VERSION_MINOR, MORVIK_VERSION_PATCH, MORVIK_VERSION_BUILD);
  printf("Usage:\n");
  printf("\t%s OPTIONS -mode update [both] -tftp url -img_tzr filename -img_sw filename\n", name);
  printf("\t%s OPTIONS -mode account_check\n", name);
  printf("\nOPTIONS:\n");
  printf("   -help\t\t Show this help message\n");
  printf("   -D [info|verbose|debug]\t Trace mode. Default is 'quiet'\n");
  printf("   -host ip\t\t QB host ip address or hostname\n");
  printf("   -usr username\t SSH user login\n");
  printf("   -pwd password\t SSH user password\n");
  printf("   -mode {update [both] |account_check}\t Remote action\n");
  printf("      update\t\t Do flashing for current or both modes\n");
  printf("      account_check\t\t SSH authentication test\n");
  printf("   -tftp url\t\t TFTP url to image\n");
  printf("   -img_tzr filename\t image name for TZR mode\n");
  printf("   -img_sw filename\t image name for Switch and EHM mode\n");
  printf("\n");
  printf("   -pwd_file path\t SSH user password from the first line of a file\n"
         "\t\t\t that only its owner may read or write\n");
  printf("   -report path\t\t Write the run's report to a file, as one JSON object\n");
  printf("   -dry_run\t\t Read the module and show what the update would do;\n"
         "\t\t\t change nothing\n");
  printf("   -pace settle|prompt\t Read the module's output once it has settled (default)\n"
         "\t\t\t or as soon as it shows a prompt or a question\n");
  printf("   -stage\t\t Update: make the new image the startup image of the\n"
         "\t\t\t current mode and stop before the restart\n");
  printf("   -check_tftp\t\t Update: ask the TFTP server for every image before\n"
         "\t\t\t changing anything\n");
  printf("   -hostkey fingerprint\t Accept only this host key (up to %d times); the\n"
         "\t\t\t client's key cache is then neither read nor written\n",
         MAX_HOST_KEYS);
  printf("   -accept_weak_crypto\t Go on when the SSH client warns against an algorithm\n"
         "\t\t\t of the module's SSH server (refused by default: 15)\n");
  printf("   -sha256sums file\t Update: read every image from the TFTP server first\n"
         "\t\t\t and compare its SHA-256 with the file's line for it\n"
         "\t\t\t (sha256sum's format); implies -check_tftp\n");
  printf("\nENVIRONMENT:\n");
  printf("   MORVIK_PASSWORD\t SSH user password when neither -pwd nor -pwd_file is given\n");
  printf("   MORVIK_LOCK_DIR\t Directory of the per-module lock files (/run/lock/morvik)\n");
  printf("\nEXAMPLE:\n");
  printf("\t%s -host 10.0.0.5 -usr admin -pwd_file /etc/morvik/admin.pw -mode update both\n"
         "\t  -tftp 10.0.0.1/images -img_tzr tzr.bin -img_sw sw.bin -report /var/tmp/qb5.json\n",
         name);
  printf("\n");
}

bool has_blank_or_control(const char* text) {
  for (; *text != '\0'; ++text)
    if (isspace(static_cast<unsigned char>(*text)) || iscntrl(static_cast<unsigned char>(*text)))
      return true;
  return false;
}

// True when a line end is followed by more text: typed at the client's
// password prompt, that text would reach the module as a command.
bool has_text_after_line_end(const char* text) {
  const char* line_end = strpbrk(text, "\r\n");
  return line_end != nullptr && line_end[strspn(line_end, "\r\n")] != '\0';
}

// Values that end up on a command line, the SSH client's (split at blanks) or
// the module's (one line per command), must be single words: a blank or line
// end in them would add options or whole commands of the caller's choosing.
bool is_word(char* text) {
  return !has_blank_or_control(text);
}

// A host from a file read line by line may bring its line feed along.
bool is_host_word(char* text) {
  size_t len = strlen(text);
  if (len > 0 && text[len - 1] == '\n')
    text[len - 1] = '\0';
  return is_word(text);
}

// A password may hold blanks and end in a line end, but nothing may follow
// one: typed at the prompt, that would be a command of its own.
bool is_one_line(char* text) {
  return !has_text_after_line_end(text);
}

// A fingerprint becomes one word of the client's command line, so only the
// characters of its SHA256 and MD5 forms may appear. Returns what is wrong
// with value, or null.
const char* host_key_problem(const char* value) {
  const size_t len = strlen(value);
  if (len == 0)
    return "empty";
  if (len > static_cast<size_t>(HOST_KEY_LEN))
    return "longer than 128 characters";
  const char* const allowed =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=:._-";
  if (value[strspn(value, allowed)] != '\0')
    return "a character outside [A-Za-z0-9+/=:._-]";
  return nullptr;
}

// Process listings show the command line; once copied, the password is
// wiped from it.
void hide_argument(char* arg) {
  memset(arg, 0, strlen(arg));
}

const char* const PASSWORD_VARIABLE = "MORVIK_PASSWORD";

// Takes the password from the environment into password (size bytes) and
// removes the variable: the client never inherits it, and its text is wiped
// where /proc/PID/environ shows it. Returns whether the variable was set.
bool take_env_password(char* password, size_t size) {
  const size_t name_len = strlen(PASSWORD_VARIABLE);
  bool found = false;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (strncmp(*entry, PASSWORD_VARIABLE, name_len) != 0 || (*entry)[name_len] != '=')
      continue;
    char* value = *entry + name_len + 1;
    if (!found)
      snprintf(password, size, "%s", value);
    found = true;
    memset(value, 0, strlen(value));
  }
  unsetenv(PASSWORD_VARIABLE);
  return found;
}

// Reads fd until its end or until cap bytes are in buf, across interrupted
// reads; *len is the count read either way. Returns null, or the read's error
// text (static, not to be freed).
const char* read_up_to(int fd, char* buf, size_t cap, size_t* len) {
  while (*len < cap) {
    ssize_t n = read(fd, buf + *len, cap - *len);
    if (n == 0)
      return nullptr;
    if (n > 0)
      *len += static_cast<size_t>(n);
    else if (errno != EINTR)
      return strerror(errno);
  }
  return nullptr;
}

const size_t MAX_PASSWORD_LEN = sizeof(qb_opt::password) - 1;

// Reads the password from the first line of path, without its line end, into
// password (size bytes). Like a private key, the file must be a regular file
// that only its owner may read or write. Returns true, or false after saying
// why the file is refused.
bool read_password_file(const char* path, char* password, size_t size) {
  int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) {
    nxa_trace(TRACE_ERROR, "Cannot read password file '%s': %s\n", path, strerror(errno));
    return false;
  }
  struct stat st;
  const char* refusal = nullptr;
  if (fstat(fd, &st) != 0)
    refusal = strerror(errno);
  else if (!S_ISREG(st.st_mode))
    refusal = "not a regular file";
  else if ((st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0)
    refusal = "readable or writable by group or others";
  char text[4096];
  size_t len = 0;
  if (refusal == nullptr)
    refusal = read_up_to(fd, text, sizeof(text) - 1, &len);
  close(fd);
  text[len] = '\0';
  char* line_end = strchr(text, '\n');
  if (line_end != nullptr)
    *line_end = '\0';
  len = strlen(text);
  if (len > 0 && text[len - 1] == '\r')
    text[--len] = '\0';
  if (refusal == nullptr && len == 0)
    refusal = "empty";
  if (refusal == nullptr && len > MAX_PASSWORD_LEN)
    refusal = "holding a password longer than 63 characters";
  if (refusal == nullptr)
    snprintf(password, size, "%s", text);
  memset(text, 0, sizeof(text));
  if (refusal != nullptr) {
    nxa_trace(TRACE_ERROR, "Password file '%s' refused: %s\n", path, refusal);
    return false;
  }
  return true;
}

// One parse of the command line: the record it fills, the simulator flag,
// and the tokens with the index of the first one not consumed yet.
struct parse_context {
  qb_opt& opt;
  int& simulator;
  int argc;
  char** argv;
  int next;
};

struct option_row;

// Takes an option's value (null for a switch, or an optional value that is
// absent) into the context; returns false after reporting why it is refused.
typedef bool (*option_store)(const option_row& row, parse_context& ctx, char* value);

enum OptionValue {
  VALUE_NONE,      // a switch
  VALUE_NEEDED,    // the next token, which must not begin with '-'
  VALUE_OPTIONAL,  // the next token if it is non-empty and does not begin with '-'
};

enum OptionNeed {
  NEED_NONE,
  NEED_ALWAYS,      // every command line lacking it is incomplete
  NEED_FOR_UPDATE,  // an update lacking it is incomplete
  ONLY_FOR_UPDATE,  // refused with any other mode
};

struct option_row {
  const char* name;
  int times;                // how often it may be given; 0: only as the one argument
  const char* duplicate;    // printed, with the name, for one occurrence too many
  const char* bad_value;    // printed for a missing or refused value
  OptionValue value;
  OptionNeed need;
  option_store store;
  char* (*field)(qb_opt& opt) = nullptr;  // where store_text copies the value
  size_t field_size = 0;
  bool (*check)(char* text) = nullptr;  // whether the copied value may stand; may trim it
  int qb_opt::*flag = nullptr;          // what store_switch sets to 1
};

// Copies the value into its field, cut to the field, then checks what is
// stored: what was cut off never reaches a command line.
bool store_text(const option_row& row, parse_context& ctx, char* value) {
  char* field = row.field(ctx.opt);
  snprintf(field, row.field_size, "%s", value);
  if (row.check != nullptr && !row.check(field)) {
    nxa_trace(TRACE_ERROR, "%s", row.bad_value);
    return false;
  }
  return true;
}

// The password leaves the command line whether or not it is accepted.
bool store_password(const option_row& row, parse_context& ctx, char* value) {
  const bool accepted = store_text(row, ctx, value);
  hide_argument(value);
  return accepted;
}

// "update" may be followed by "both"; after "account_check" nothing is
// looked at.
bool store_mode(const option_row&, parse_context& ctx, char* value) {
  if (strcmp(value, "account_check") == 0) {
    ctx.opt.mode = QB_CHECK_AUTH_MODE;
    return true;
  }
  if (strcmp(value, "update") != 0) {
    nxa_trace(TRACE_ERROR, "Invalid mode\n");
    return false;
  }
  ctx.opt.mode = QB_FLASH_MODE;
  if (ctx.next < ctx.argc && strcmp(ctx.argv[ctx.next], "both") == 0) {
    ctx.opt.both = 1;
    ++ctx.next;
  }
  return true;
}

// -D alone is quiet; an unknown word is only a notice and leaves it quiet.
bool store_trace(const option_row&, parse_context& ctx, char* value) {
  const struct {
    const char* word;
    int mode;
  } words[] = {
      {"info", TRACE_MODE_INFO}, {"verbose", TRACE_MODE_VERBOSE}, {"debug", TRACE_MODE_DEBUG}};
  ctx.opt.tracemode = TRACE_MODE_QUIET;
  if (value == nullptr)
    return true;
  for (const auto& w : words) {
    if (strcmp(value, w.word) == 0) {
      ctx.opt.tracemode = w.mode;
      return true;
    }
  }
  nxa_trace(TRACE_ALWAYS, "Invalid trace modeargument '%s' - ignoring\n", value);
  return true;
}

bool store_pace(const option_row& row, parse_context& ctx, char* value) {
  if (strcmp(value, "settle") == 0) {
    ctx.opt.pace = QB_PACE_SETTLE;
  } else if (strcmp(value, "prompt") == 0) {
    ctx.opt.pace = QB_PACE_PROMPT;
  } else {
    nxa_trace(TRACE_ERROR, "%s", row.bad_value);
    return false;
  }
  return true;
}

bool store_host_key(const option_row&, parse_context& ctx, char* value) {
  const char* problem = host_key_problem(value);
  if (problem == nullptr && ctx.opt.host_key_count >= MAX_HOST_KEYS)
    problem = "too many";
  if (problem != nullptr) {
    nxa_trace(TRACE_ERROR, "Invalid host key: %s\n", problem);
    return false;
  }
  snprintf(ctx.opt.host_keys[ctx.opt.host_key_count], sizeof(ctx.opt.host_keys[0]), "%s", value);
  ++ctx.opt.host_key_count;
  return true;
}

bool store_switch(const option_row& row, parse_context& ctx, char*) {
  ctx.opt.*row.flag = 1;
  return true;
}

// The simulator's flag is the one switch outside the option record.
bool store_simulator(const option_row&, parse_context& ctx, char*) {
  ctx.simulator = 1;
  return true;
}

const char* const DUPLICATE = "Duplicate of argument'%s'\n";

// The options in the order they are compared. -host and -usr have their own
// duplicate text, with a blank before the quote.
const option_row OPTION_ROWS[] = {
    {"host", 1, "Duplicate of argument '%s'\n", "Invalid or missed host\n", VALUE_NEEDED,
     NEED_ALWAYS, store_text, [](qb_opt& o) { return o.host; }, sizeof(qb_opt::host),
     is_host_word},
    {"usr", 1, "Duplicate of argument '%s'\n", "Invalid username\n", VALUE_NEEDED, NEED_ALWAYS,
     store_text, [](qb_opt& o) { return o.username; }, sizeof(qb_opt::username), is_word},
    {"pwd", 1, DUPLICATE, "Invalid password\n", VALUE_NEEDED, NEED_NONE, store_password,
     [](qb_opt& o) { return o.password; }, sizeof(qb_opt::password), is_one_line},
    {"mode", 1, DUPLICATE, "Invalid or missed mode\n", VALUE_NEEDED, NEED_ALWAYS, store_mode},
    {"tftp", 1, DUPLICATE, "Invalid or missed tftp url\n", VALUE_NEEDED, NEED_FOR_UPDATE,
     store_text, [](qb_opt& o) { return o.tftp_path; }, sizeof(qb_opt::tftp_path), is_word},
    {"img_tzr", 1, DUPLICATE, "Invalid or missed tftp tzr filename\n", VALUE_NEEDED,
     NEED_FOR_UPDATE, store_text, [](qb_opt& o) { return o.img_tzr; }, sizeof(qb_opt::img_tzr),
     is_word},
    {"img_sw", 1, DUPLICATE, "Invalid or missed tftp switch filename\n", VALUE_NEEDED,
     NEED_FOR_UPDATE, store_text, [](qb_opt& o) { return o.img_sw; }, sizeof(qb_opt::img_sw),
     is_word},
    {"D", 1, DUPLICATE, nullptr, VALUE_OPTIONAL, NEED_NONE, store_trace},
    {"sim", 1, DUPLICATE, nullptr, VALUE_NONE, NEED_NONE, store_simulator},
    {"pace", 1, DUPLICATE, "Invalid or missed pace\n", VALUE_NEEDED, NEED_NONE, store_pace},
    {"pwd_file", 1, DUPLICATE, "Invalid or missed password file\n", VALUE_NEEDED, NEED_NONE,
     store_text, [](qb_opt& o) { return o.pwd_file; }, sizeof(qb_opt::pwd_file), nullptr},
    {"report", 1, DUPLICATE, "Invalid or missed report file\n", VALUE_NEEDED, NEED_NONE,
     store_text, [](qb_opt& o) { return o.report_path; }, sizeof(qb_opt::report_path), nullptr},
    {"dry_run", 1, DUPLICATE, nullptr, VALUE_NONE, ONLY_FOR_UPDATE, store_switch,
     nullptr, 0, nullptr, &qb_opt::dry_run},
    {"stage", 1, DUPLICATE, nullptr, VALUE_NONE, ONLY_FOR_UPDATE, store_switch,
     nullptr, 0, nullptr, &qb_opt::stage},
    {"check_tftp", 1, DUPLICATE, nullptr, VALUE_NONE, ONLY_FOR_UPDATE, store_switch,
     nullptr, 0, nullptr, &qb_opt::check_tftp},
    {"hostkey", MAX_HOST_KEYS, "Argument '%s' may be given at most 8 times\n",
     "Invalid or missed host key\n", VALUE_NEEDED, NEED_NONE, store_host_key},
    {"accept_weak_crypto", 1, DUPLICATE, nullptr, VALUE_NONE, NEED_NONE, store_switch,
     nullptr, 0, nullptr, &qb_opt::accept_weak_crypto},
    {"sha256sums", 1, DUPLICATE, "Invalid or missed checksum file\n", VALUE_NEEDED,
     ONLY_FOR_UPDATE, store_text, [](qb_opt& o) { return o.sha256sums; },
     sizeof(qb_opt::sha256sums), nullptr},
    {"help", 0, nullptr, nullptr, VALUE_NONE, NEED_NONE, nullptr},
};
const int OPTION_COUNT = static_cast<int>(sizeof(OPTION_ROWS) / sizeof(OPTION_ROWS[0]));

int find_option(const char* name) {
  int id = 0;
  for (const option_row& row : OPTION_ROWS) {
    if (strcmp(name, row.name) == 0)
      break;
    ++id;
  }
  return id;
}

bool given(const int seen[], const char* name) {
  return seen[find_option(name)] > 0;
}

// Takes the next token as an option, and its value; seen counts the
// occurrences so far. Returns MORVIK_SUCCESS, or MORVIK_INVALID_PARAM_ERR
// after reporting the token's error. A lone -help does not return.
QBCodes take_option(parse_context& ctx, int seen[], char* prg) {
  const char* token = ctx.argv[ctx.next++];
  if (token[0] != '-') {
    nxa_trace(TRACE_ERROR, "Invalid argument '%s'\n", token);
    return MORVIK_INVALID_PARAM_ERR;
  }
  const char* name = token + 1;
  const int id = find_option(name);
  const bool only_help = ctx.argc == 2;
  if (id == OPTION_COUNT || (OPTION_ROWS[id].times == 0 && !only_help)) {
    nxa_trace(TRACE_ERROR, "Invalid argument '%s'\n", name);
    return MORVIK_INVALID_PARAM_ERR;
  }
  const option_row& row = OPTION_ROWS[id];
  if (row.times == 0) {
    usage(prg);
    exit(MORVIK_SUCCESS);
  }
  if (seen[id] >= row.times) {
    nxa_trace(TRACE_ERROR, row.duplicate, name);
    return MORVIK_INVALID_PARAM_ERR;
  }
  ++seen[id];
  if (given(seen, "pwd") && given(seen, "pwd_file")) {
    nxa_trace(TRACE_ERROR, "Arguments 'pwd' and 'pwd_file' exclude each other\n");
    return MORVIK_INVALID_PARAM_ERR;
  }
  char* value = nullptr;
  const bool has_value = ctx.next < ctx.argc && ctx.argv[ctx.next][0] != '-';
  if (row.value == VALUE_NEEDED && !has_value) {
    nxa_trace(TRACE_ERROR, "%s", row.bad_value);
    return MORVIK_INVALID_PARAM_ERR;
  }
  // An empty token is a value of its own, but never an optional one.
  if (row.value == VALUE_NEEDED ||
      (row.value == VALUE_OPTIONAL && has_value && ctx.argv[ctx.next][0] != '\0'))
    value = ctx.argv[ctx.next++];
  return row.store(row, ctx, value) ? MORVIK_SUCCESS : MORVIK_INVALID_PARAM_ERR;
}

// Whether the options that the chosen mode needs were all given, and none
// that it refuses; reports the first fault.
bool command_line_complete(const qb_opt& opt, const int seen[], bool password_given) {
  bool missed = !password_given;
  for (int id = 0; id < OPTION_COUNT; ++id) {
    const option_row& row = OPTION_ROWS[id];
    if (seen[id] == 0 &&
        (row.need == NEED_ALWAYS || (row.need == NEED_FOR_UPDATE && opt.mode == QB_FLASH_MODE)))
      missed = true;
  }
  if (missed) {
    nxa_trace(TRACE_ERROR, "Argument missed\n");
    return false;
  }
  for (int id = 0; id < OPTION_COUNT; ++id) {
    const option_row& row = OPTION_ROWS[id];
    if (seen[id] > 0 && row.need == ONLY_FOR_UPDATE && opt.mode != QB_FLASH_MODE) {
      nxa_trace(TRACE_ERROR, "Argument '%s' needs -mode update\n", row.name);
      return false;
    }
  }
  // A staged update leaves the module in its mode; "both" has to restart it.
  if (opt.stage && opt.both) {
    nxa_trace(TRACE_ERROR, "Argument 'stage' excludes 'both'\n");
    return false;
  }
  return true;
}

// Completes the password from -pwd_file or, without -pwd, from what the
// environment held (env_given). Returns MORVIK_SUCCESS, or
// MORVIK_INVALID_PARAM_ERR after saying why the password is refused.
QBCodes take_password(qb_opt& opt, const int seen[], const char* env_password, bool env_given) {
  if (given(seen, "pwd_file"))
    return read_password_file(opt.pwd_file, opt.password, sizeof(opt.password))
               ? MORVIK_SUCCESS
               : MORVIK_INVALID_PARAM_ERR;
  if (given(seen, "pwd") || !env_given)
    return MORVIK_SUCCESS;
  if (has_text_after_line_end(env_password)) {
    nxa_trace(TRACE_ERROR, "Invalid password\n");
    return MORVIK_INVALID_PARAM_ERR;
  }
  if (strlen(env_password) > MAX_PASSWORD_LEN) {
    nxa_trace(TRACE_ERROR, "Password in %s is longer than 63 characters\n", PASSWORD_VARIABLE);
    return MORVIK_INVALID_PARAM_ERR;
  }
  snprintf(opt.password, sizeof(opt.password), "%.*s", static_cast<int>(MAX_PASSWORD_LEN),
           env_password);
  return MORVIK_SUCCESS;
}

// A checksum file lists a few images; one this large is not one.
const size_t MAX_SUMS_FILE = 1 << 20;

// Reads the checksum file at path, at most MAX_SUMS_FILE bytes, into *text.
// Returns null, or why it cannot be read.
const char* read_sums_file(const char* path, std::vector<char>* text) {
  int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1)
    return strerror(errno);
  struct stat st;
  const char* refusal = nullptr;
  if (fstat(fd, &st) != 0)
    refusal = strerror(errno);
  else if (!S_ISREG(st.st_mode))
    refusal = "not a regular file";
  text->resize(MAX_SUMS_FILE + 1);
  size_t len = 0;
  if (refusal == nullptr)
    refusal = read_up_to(fd, text->data(), text->size(), &len);
  close(fd);
  if (refusal == nullptr && len > MAX_SUMS_FILE)
    refusal = "larger than 1 MiB";
  text->resize(len);
  return refusal;
}

// -sha256sums: takes the checksum file's lines for the two images into opt;
// -check_tftp comes with it. Returns MORVIK_SUCCESS, or
// MORVIK_INVALID_PARAM_ERR after naming the file, and the line if one is
// at fault.
QBCodes take_checksums(qb_opt& opt, const int seen[]) {
  if (!given(seen, "sha256sums"))
    return MORVIK_SUCCESS;
  std::vector<char> text;
  const char* refusal = read_sums_file(opt.sha256sums, &text);
  if (refusal != nullptr) {
    nxa_trace(TRACE_ERROR, "Cannot read checksum file '%s': %s\n", opt.sha256sums, refusal);
    return MORVIK_INVALID_PARAM_ERR;
  }
  std::vector<sha256_entry> entries;
  const char* why = nullptr;
  const int line = parse_sha256sums(text.data(), text.size(), &entries, &why);
  if (line != 0) {
    nxa_trace(TRACE_ERROR, "Checksum file '%s' line %d: %s\n", opt.sha256sums, line, why);
    return MORVIK_INVALID_PARAM_ERR;
  }
  const struct {
    const char* image;
    image_digest* digest;
  } images[] = {{opt.img_sw, &opt.sums_sw}, {opt.img_tzr, &opt.sums_tzr}};
  for (const auto& i : images) {
    const sha256_entry* entry = find_sha256(entries, i.image);
    i.digest->listed = entry != nullptr;
    if (entry != nullptr)
      memcpy(i.digest->sha256, entry->digest, sizeof(i.digest->sha256));
  }
  opt.check_tftp = 1;
  return MORVIK_SUCCESS;
}

}  // namespace

QBCodes parse_args(int argc, char** argv) {
  char prg[PRG_LEN];
  snprintf(prg, sizeof(prg), "%s", (argc > 0 && argv[0] != nullptr) ? argv[0] : "");
  if (argc < 2) {
    nxa_trace(TRACE_ERROR, "No arguments\n");
    return MORVIK_INVALID_PARAM_ERR;
  }
  // Taken first, so that the variable is gone whatever the command line says.
  char env_password[4096];
  const bool env_given = take_env_password(env_password, sizeof(env_password));
  parse_context ctx = {options, simulator_mode, argc, argv, 1};
  int seen[OPTION_COUNT] = {0};
  QBCodes retval = MORVIK_SUCCESS;
  while (retval == MORVIK_SUCCESS && ctx.next < argc)
    retval = take_option(ctx, seen, prg);
  const bool password_given = given(seen, "pwd") || given(seen, "pwd_file") || env_given;
  if (retval == MORVIK_SUCCESS && !command_line_complete(options, seen, password_given))
    retval = MORVIK_INVALID_PARAM_ERR;
  if (retval == MORVIK_SUCCESS)
    retval = take_password(options, seen, env_password, env_given);
  if (retval == MORVIK_SUCCESS)
    retval = take_checksums(options, seen);
  memset(env_password, 0, sizeof(env_password));
  return retval;
}

QBCodes get_ssh_cmd() {
  char cwd[PRG_LEN];
  memset(cwd, 0, sizeof(cwd));
  // Without a working directory there is no ./plink to run either.
  if (getcwd(cwd, sizeof(cwd)) == nullptr)
    return MORVIK_SSH_CLIENT_NOT_FOUND_ERR;
  int len = snprintf(options.ssh_path, sizeof(options.ssh_path), "%s%s%s", cwd, "/", "plink");
  // A path cut at the buffer's end would name some other file.
  if (len < 0 || len >= static_cast<int>(sizeof(options.ssh_path)) ||
      access(options.ssh_path, F_OK) != 0)
    return MORVIK_SSH_CLIENT_NOT_FOUND_ERR;
  // plink takes what follows user@host as a remote command, so the pinned
  // keys go before it.
  char keys[MAX_HOST_KEYS * (HOST_KEY_LEN + 10) + 1] = "";
  size_t used = 0;
  for (int k = 0; k < options.host_key_count && k < MAX_HOST_KEYS; ++k) {
    int n = snprintf(keys + used, sizeof(keys) - used, "-hostkey %s ", options.host_keys[k]);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(keys) - used)
      break;
    used += static_cast<size_t>(n);
  }
  snprintf(options.ssh_args, sizeof(options.ssh_args), "-ssh %s%s@%s", keys, options.username,
           options.host);
  return MORVIK_SUCCESS;
}

char* get_last_error_str(unsigned long err, char* buf, int len) {
  (void)buf;
  (void)len;
  return strerror(static_cast<int>(err));
}

int is_server_available(char* host, int count) {
  return is_server_available(host, count, probe_settings(), 0);
}

int is_server_available(char* host, int count, const probe_settings& pacing, int max_sec) {
  if (host == nullptr)
    return 0;
  if (count < 1)
    count = 1;
  if (count > PROBE_MAX_ATTEMPTS)
    count = PROBE_MAX_ATTEMPTS;
  const time_t begin = time(nullptr);
  for (int i = 0; i < count; ++i) {
    // A noted signal ends the wait: the run is about to stop (a handled
    // signal also cuts the pause short).
    if (interrupt_signal() != 0)
      return 0;
    if (i > 0) {
      sleep(static_cast<unsigned int>(pacing.attempt_pause_sec));
      if (interrupt_signal() != 0 || (max_sec > 0 && difftime(time(nullptr), begin) >= max_sec))
        return 0;
    }
    SOCKET sock = -1;
    if (tcp_connect(host, SSH_PORT, &sock, pacing) == MORVIK_SUCCESS) {
      sock_close(&sock, pacing.close_pause_sec);
      return 1;
    }
  }
  return 0;
}

int is_server_available(char* host, double max_sec) {
  if (host == nullptr)
    return 0;
  time_t begin = time(nullptr);
  int connected = 0;
  double elapsed = 0;
  do {
    SOCKET sock = -1;
    if (tcp_connect(host, SSH_PORT, &sock) == MORVIK_SUCCESS) {
      connected = 1;
      sock_close(&sock);
    }
    time_t check = time(nullptr);
    sleep(static_cast<unsigned int>(probe_settings().attempt_pause_sec));
    elapsed = difftime(check, begin);
  } while (elapsed <= max_sec && !connected);
  return connected;
}

int wait_for_restart(char* host, const probe_settings& pacing, int max_sec, int down_within_sec) {
  if (host == nullptr)
    return 0;
  const long long begin = monotonic_ms();
  bool seen_down = false;
  for (;;) {
    const long long waited = monotonic_ms() - begin;
    if (waited >= max_sec * 1000LL || interrupt_signal() != 0)
      return 0;
    // A restart too quick for one look a second to see: the module answers
    // as before, and the verify tells which image it runs.
    if (!seen_down && waited >= down_within_sec * 1000LL)
      return 1;
    const long long attempt = monotonic_ms();
    SOCKET sock = -1;
    const bool up = tcp_connect(host, SSH_PORT, &sock, pacing) == MORVIK_SUCCESS;
    sock_close(&sock, pacing.close_pause_sec);
    if (up && seen_down)
      return 1;
    if (!up)
      seen_down = true;
    const long long spent = monotonic_ms() - attempt;
    if (spent < RESTART_LOOK_MS)
      pause_ms(static_cast<int>(RESTART_LOOK_MS - spent));
  }
}

bool str_contains(const char* text, const char* what) {
  return strstr(text, what) != nullptr;
}

void str_remove_ending(char* str) {
  if (str == nullptr)
    return;
  size_t len = strlen(str);
  while (len > 0 && (str[len - 1] == '\r' || str[len - 1] == '\n'))
    str[--len] = '\0';
}

void str_remove_single_cr(char* str, int len) {
  if (str == nullptr || len <= 0 || str[0] == '\0')
    return;
  char* work = static_cast<char*>(calloc(static_cast<size_t>(len) + 1, 1));
  if (work == nullptr)
    return;
  size_t out = 0;
  for (const char* p = str; *p != '\0' && out < static_cast<size_t>(len); ++p) {
    if (*p == '\r' && p[1] != '\n')
      continue;
    work[out++] = *p;
  }
  snprintf(str, static_cast<size_t>(len), "%s", work);
  free(work);
}
