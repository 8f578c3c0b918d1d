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

#include "misc.h"

#include "main.h"
#include "nxa-tools-trace.h"
#include "qb_socket.h"

namespace {

const int PRG_LEN = 4096;
const int PROBE_MAX_ATTEMPTS = 100;
const char* const SSH_PORT = "22";

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
  printf("\nENVIRONMENT:\n");
  printf("   MORVIK_PASSWORD\t SSH user password when neither -pwd nor -pwd_file is given\n");
  printf("   MORVIK_LOCK_DIR\t Directory of the per-module lock files (/run/lock/morvik)\n");
  printf("\nEXAMPLE:\n");
  printf("\t%s -host 10.0.0.5 -usr admin -pwd_file /etc/morvik/admin.pw -mode update both\n"
         "\t  -tftp 10.0.0.1/images -img_tzr tzr.bin -img_sw sw.bin -report /var/tmp/qb5.json\n",
         name);
  printf("\n");
}

// The options in the order they are compared.
enum OptionId {
  OPT_HOST,
  OPT_USR,
  OPT_PWD,
  OPT_MODE,
  OPT_TFTP,
  OPT_IMG_TZR,
  OPT_IMG_SW,
  OPT_D,
  OPT_SIM,
  OPT_PACE,
  OPT_PWD_FILE,
  OPT_REPORT,
  OPT_DRY_RUN,
  OPT_STAGE,
  OPT_CHECK_TFTP,
  OPT_HOSTKEY,
  OPT_HELP,
  OPT_COUNT
};

struct option_def {
  const char* name;
  const char* duplicate_msg;
  const char* value_msg;  // null: the option takes no value of its own
  char* field;
  size_t field_size;
};

const option_def* option_table() {
  static const option_def table[OPT_COUNT] = {
      {"host", "Duplicate of argument '%s'\n", "Invalid or missed host\n", options.host,
       sizeof(options.host)},
      {"usr", "Duplicate of argument '%s'\n", "Invalid username\n", options.username,
       sizeof(options.username)},
      {"pwd", "Duplicate of argument'%s'\n", "Invalid password\n", options.password,
       sizeof(options.password)},
      {"mode", "Duplicate of argument'%s'\n", "Invalid or missed mode\n", nullptr, 0},
      {"tftp", "Duplicate of argument'%s'\n", "Invalid or missed tftp url\n", options.tftp_path,
       sizeof(options.tftp_path)},
      {"img_tzr", "Duplicate of argument'%s'\n", "Invalid or missed tftp tzr filename\n",
       options.img_tzr, sizeof(options.img_tzr)},
      {"img_sw", "Duplicate of argument'%s'\n", "Invalid or missed tftp switch filename\n",
       options.img_sw, sizeof(options.img_sw)},
      {"D", "Duplicate of argument'%s'\n", nullptr, nullptr, 0},
      {"sim", "Duplicate of argument'%s'\n", nullptr, nullptr, 0},
      {"pace", "Duplicate of argument'%s'\n", "Invalid or missed pace\n", nullptr, 0},
      {"pwd_file", "Duplicate of argument'%s'\n", "Invalid or missed password file\n",
       options.pwd_file, sizeof(options.pwd_file)},
      {"report", "Duplicate of argument'%s'\n", "Invalid or missed report file\n",
       options.report_path, sizeof(options.report_path)},
      {"dry_run", "Duplicate of argument'%s'\n", nullptr, nullptr, 0},
      {"stage", "Duplicate of argument'%s'\n", nullptr, nullptr, 0},
      {"check_tftp", "Duplicate of argument'%s'\n", nullptr, nullptr, 0},
      {"hostkey", "Argument '%s' may be given at most 8 times\n",
       "Invalid or missed host key\n", nullptr, 0},
      {"help", nullptr, nullptr, nullptr, 0},
  };
  return table;
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
bool value_is_safe(int id) {
  switch (id) {
    case OPT_HOST: {
      size_t len = strlen(options.host);
      if (len > 0 && options.host[len - 1] == '\n')
        options.host[len - 1] = '\0';
      return !has_blank_or_control(options.host);
    }
    case OPT_USR:
      return !has_blank_or_control(options.username);
    case OPT_PWD:
      return !has_text_after_line_end(options.password);
    case OPT_TFTP:
      return !has_blank_or_control(options.tftp_path);
    case OPT_IMG_TZR:
      return !has_blank_or_control(options.img_tzr);
    case OPT_IMG_SW:
      return !has_blank_or_control(options.img_sw);
    default:
      return true;
  }
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
  while (refusal == nullptr && len < sizeof(text) - 1) {
    ssize_t n = read(fd, text + len, sizeof(text) - 1 - len);
    if (n == 0)
      break;
    if (n > 0)
      len += static_cast<size_t>(n);
    else if (errno != EINTR)
      refusal = strerror(errno);
  }
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

}  // namespace

QBCodes parse_args(int argc, char** argv) {
  char prg[PRG_LEN];
  snprintf(prg, sizeof(prg), "%s", (argc > 0 && argv[0] != nullptr) ? argv[0] : "");
  if (argc < 2) {
    nxa_trace(TRACE_ERROR, "No arguments\n");
    return MORVIK_INVALID_PARAM_ERR;
  }
  const bool only_help = (argc == 2);
  const option_def* table = option_table();
  int seen[OPT_COUNT] = {0};
  // Taken first, so that the variable is gone whatever the command line says.
  char env_password[4096];
  const bool env_given = take_env_password(env_password, sizeof(env_password));

  for (int i = 1; i < argc; ++i) {
    const char* token = argv[i];
    if (token[0] != '-') {
      nxa_trace(TRACE_ERROR, "Invalid argument '%s'\n", token);
      return MORVIK_INVALID_PARAM_ERR;
    }
    const char* name = token + 1;
    int id = 0;
    while (id < OPT_COUNT && strcmp(name, table[id].name) != 0)
      ++id;
    if (id == OPT_COUNT || (id == OPT_HELP && !only_help)) {
      nxa_trace(TRACE_ERROR, "Invalid argument '%s'\n", name);
      return MORVIK_INVALID_PARAM_ERR;
    }
    if (id == OPT_HELP) {
      usage(prg);
      exit(MORVIK_SUCCESS);
    }
    const option_def& opt = table[id];
    if (seen[id] >= (id == OPT_HOSTKEY ? MAX_HOST_KEYS : 1)) {
      nxa_trace(TRACE_ERROR, opt.duplicate_msg, name);
      return MORVIK_INVALID_PARAM_ERR;
    }
    ++seen[id];
    if (seen[OPT_PWD] > 0 && seen[OPT_PWD_FILE] > 0) {
      nxa_trace(TRACE_ERROR, "Arguments 'pwd' and 'pwd_file' exclude each other\n");
      return MORVIK_INVALID_PARAM_ERR;
    }
    if (id == OPT_DRY_RUN || id == OPT_STAGE || id == OPT_CHECK_TFTP) {
      int* flag = id == OPT_DRY_RUN ? &options.dry_run
                  : id == OPT_STAGE ? &options.stage : &options.check_tftp;
      *flag = 1;
      continue;
    }

    const bool has_next = (i + 1 < argc);
    const char* next = has_next ? argv[i + 1] : nullptr;
    if (id == OPT_SIM) {
      simulator_mode = 1;
      continue;
    }
    if (id == OPT_D) {
      options.tracemode = TRACE_MODE_QUIET;
      if (!has_next || next[0] == '\0' || next[0] == '-')
        continue;
      ++i;
      if (strcmp(next, "info") == 0)
        options.tracemode = TRACE_MODE_INFO;
      else if (strcmp(next, "verbose") == 0)
        options.tracemode = TRACE_MODE_VERBOSE;
      else if (strcmp(next, "debug") == 0)
        options.tracemode = TRACE_MODE_DEBUG;
      else
        nxa_trace(TRACE_ALWAYS, "Invalid trace modeargument '%s' - ignoring\n", next);
      continue;
    }
    if (!has_next || next[0] == '-') {
      nxa_trace(TRACE_ERROR, "%s", opt.value_msg);
      return MORVIK_INVALID_PARAM_ERR;
    }
    ++i;
    if (id == OPT_HOSTKEY) {
      const char* problem = host_key_problem(next);
      if (problem != nullptr) {
        nxa_trace(TRACE_ERROR, "Invalid host key: %s\n", problem);
        return MORVIK_INVALID_PARAM_ERR;
      }
      snprintf(options.host_keys[options.host_key_count], sizeof(options.host_keys[0]), "%s", next);
      ++options.host_key_count;
      continue;
    }
    if (id == OPT_PACE) {
      if (strcmp(next, "settle") == 0) {
        options.pace = QB_PACE_SETTLE;
      } else if (strcmp(next, "prompt") == 0) {
        options.pace = QB_PACE_PROMPT;
      } else {
        nxa_trace(TRACE_ERROR, "%s", opt.value_msg);
        return MORVIK_INVALID_PARAM_ERR;
      }
      continue;
    }
    if (id == OPT_MODE) {
      if (strcmp(next, "account_check") == 0) {
        options.mode = QB_CHECK_AUTH_MODE;
      } else if (strcmp(next, "update") == 0) {
        options.mode = QB_FLASH_MODE;
        if (i + 1 < argc && strcmp(argv[i + 1], "both") == 0) {
          options.both = 1;
          ++i;
        }
      } else {
        nxa_trace(TRACE_ERROR, "Invalid mode\n");
        return MORVIK_INVALID_PARAM_ERR;
      }
      continue;
    }
    snprintf(opt.field, opt.field_size, "%s", next);
    if (id == OPT_PWD)
      hide_argument(argv[i]);
    if (!value_is_safe(id)) {
      nxa_trace(TRACE_ERROR, "%s", opt.value_msg);
      return MORVIK_INVALID_PARAM_ERR;
    }
  }

  const bool password_given = seen[OPT_PWD] || seen[OPT_PWD_FILE] || env_given;
  if (!seen[OPT_HOST] || !seen[OPT_USR] || !password_given || !seen[OPT_MODE]) {
    nxa_trace(TRACE_ERROR, "Argument missed\n");
    return MORVIK_INVALID_PARAM_ERR;
  }
  if (options.mode == QB_FLASH_MODE && (!seen[OPT_TFTP] || !seen[OPT_IMG_TZR] || !seen[OPT_IMG_SW])) {
    nxa_trace(TRACE_ERROR, "Argument missed\n");
    return MORVIK_INVALID_PARAM_ERR;
  }
  const struct {
    int given;
    const char* name;
  } update_only[] = {{options.dry_run, "dry_run"}, {options.stage, "stage"},
                     {options.check_tftp, "check_tftp"}};
  for (const auto& flag : update_only) {
    if (flag.given && options.mode != QB_FLASH_MODE) {
      nxa_trace(TRACE_ERROR, "Argument '%s' needs -mode update\n", flag.name);
      return MORVIK_INVALID_PARAM_ERR;
    }
  }
  // A staged update leaves the module in its mode; "both" has to restart it.
  if (options.stage && options.both) {
    nxa_trace(TRACE_ERROR, "Argument 'stage' excludes 'both'\n");
    return MORVIK_INVALID_PARAM_ERR;
  }
  if (seen[OPT_PWD_FILE]) {
    if (!read_password_file(options.pwd_file, options.password, sizeof(options.password)))
      return MORVIK_INVALID_PARAM_ERR;
  } else if (!seen[OPT_PWD] && env_given) {
    QBCodes retval = MORVIK_SUCCESS;
    if (has_text_after_line_end(env_password)) {
      nxa_trace(TRACE_ERROR, "Invalid password\n");
      retval = MORVIK_INVALID_PARAM_ERR;
    } else if (strlen(env_password) > MAX_PASSWORD_LEN) {
      nxa_trace(TRACE_ERROR, "Password in %s is longer than 63 characters\n", PASSWORD_VARIABLE);
      retval = MORVIK_INVALID_PARAM_ERR;
    } else {
      snprintf(options.password, sizeof(options.password), "%.*s",
               static_cast<int>(MAX_PASSWORD_LEN), env_password);
    }
    memset(env_password, 0, sizeof(env_password));
    return retval;
  }
  memset(env_password, 0, sizeof(env_password));
  return MORVIK_SUCCESS;
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
    if (i > 0) {
      sleep(static_cast<unsigned int>(pacing.attempt_pause_sec));
      if (max_sec > 0 && difftime(time(nullptr), begin) >= max_sec)
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
