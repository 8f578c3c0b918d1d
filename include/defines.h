// Shared vocabulary of the tool: result codes, tool and boot modes, the per-command
// records that hang off an exec_context, and the table of the switch's commands.
#ifndef MORVIK_DEFINES_H
#define MORVIK_DEFINES_H

#include <cstring>
#include <new>
#include <vector>

// Result of every fallible operation; the last one becomes the exit status.
enum QBCodes {
  MORVIK_SUCCESS = 0,
  MORVIK_INVALID_PARAM_ERR = 1,
  MORVIK_INTERNAL_ERR = 2,
  MORVIK_CANNOT_CONNECT_ERR = 3,
  MORVIK_SSH_CLIENT_NOT_FOUND_ERR = 4,
  MORVIK_SSH_CLIENT_ERR = 5,
  MORVIK_SSH_AUTH_ERR = 6,
  MORVIK_REMOTE_PARSER_ERR = 7,
  MORVIK_REMOTE_TIMEOUT_ERR = 8,
  MORVIK_CLI_INVALID_PARAM_ERR = 9,
  MORVIK_CLI_NO_INFO_ERR = 10,
  MORVIK_CLI_CMD_FAILED_ERR = 11,
  MORVIK_FLASHING_LOGIC_ERR = 12,
  MORVIK_MODULE_BUSY_ERR = 13,
  MORVIK_HOST_KEY_ERR = 14,
  MORVIK_WEAK_CRYPTO_ERR = 15
};
// One past the last result code.
const int MORVIK_CODE_COUNT = 16;

// The enumerator's name of a result code ("MORVIK_SSH_AUTH_ERR"), and one line
// saying what it means; null outside 0 to MORVIK_CODE_COUNT - 1. Both point
// into constant tables.
const char* qb_code_name(int code);
const char* qb_code_meaning(int code);

enum QbToolModes { QB_UNDEF_MODE = 0, QB_CHECK_AUTH_MODE = 1, QB_FLASH_MODE = 2 };

// When the session engine hands the client's output to the parsers. Settle:
// once a poll a second has seen the waiting bytes stand still, with a pause
// after the client starts and before each probe closes. Prompt: as soon as
// the text gathered so far ends in a prompt character or in a question that
// the dialogue answers.
enum QbPace { QB_PACE_SETTLE = 0, QB_PACE_PROMPT = 1 };

// The commands of the module's command line, and the logout word; also the
// index of the command table.
enum QB_CMDS {
  QB_SHOW = 0,
  QB_WHICHBOOT = 1,
  QB_DIR = 2,
  QB_DELETE = 3,
  QB_COPY = 4,
  QB_BOOT_SYSTEM = 5,
  QB_RELOAD = 6,
  QB_QUIT = 7,
  QB_ALL = 8
};

// Boot mode of the module; also the index of s_boot_mode and s_mode_sign.
enum QbBootMode {
  QB_MODE_UNKNOWN = 0,
  QB_MODE_SWITCH = 1,
  QB_MODE_TZR = 2,
  QB_MODE_EHM = 3,
  QB_MODE_ALL = 4
};

extern const char* const unkn_cmd;
extern const char* const s_boot_mode[QB_MODE_ALL];
extern const char* const s_mode_sign[QB_MODE_ALL];

// Whether mode has an entry in s_boot_mode (a value outside the enumerators
// may come from an unchecked cast).
inline bool qb_mode_is_named(int mode) {
  return mode >= QB_MODE_UNKNOWN && mode < QB_MODE_ALL;
}
const int RELOAD_CMD_TIMEOUT = 60;

// Non-zero once -sim was given: the peer is the simulator, not a module.
extern int simulator_mode;

// The command word of a QB_CMDS value in the given dialect (non-zero: the
// simulator's), "foo" outside the table. Points into constant tables.
const char* qb_cmd_word(int cmd, int simulator);

// The two lookups in the dialect of the command line (simulator_mode), for
// main: the command word, and the idle time-out in seconds of the restart
// command's session.
const char* get_qb_cmd(int cmd);
int get_reload_timeout();

// ---------------------------------------------------------------------------
// Command records

enum QbFileType {
  QB_FILE_UNKNOWN = 0,
  QB_FILE_BOOT_ROM = 1,
  QB_FILE_OPCODE = 2,
  QB_FILE_CFG = 3
};

// One file of the module; always copied whole between owners.
struct file_info {
  char date[100];
  char name[100];
  QbFileType type;
  char startup;
  int size;
};

typedef std::vector<file_info*> files_list;

// Result of "dir": the listing's position flags and the parsed files.
struct qb_full_dir_info {
  int header;
  int upper_separator;
  int bottom_separator;
  files_list* p_list;  // owned, with every entry
  file_info* p_file;   // owned; the file asked for by a single-file listing

  qb_full_dir_info() : p_list(nullptr), p_file(nullptr) { reset(); }
  ~qb_full_dir_info() {
    delete_list();
    delete p_file;
    p_file = nullptr;
  }
  qb_full_dir_info(const qb_full_dir_info&) = delete;
  qb_full_dir_info& operator=(const qb_full_dir_info&) = delete;

  void reset() {
    delete_list();
    delete p_file;
    p_file = new (std::nothrow) file_info();
    p_list = new (std::nothrow) files_list;
    header = 0;
    upper_separator = 0;
    bottom_separator = 0;
  }
  // Frees every entry and the array object itself; p_list is null afterwards.
  void delete_list() {
    if (p_list != nullptr) {
      for (file_info* p_entry : *p_list)
        delete p_entry;
      p_list->clear();
    }
    delete p_list;
    p_list = nullptr;
  }
};

// One row of the "show loginsession" table.
struct qb_login_info {
  int id;
  char user_name[50];
  char conn_from[50];
  char idle_time[50];
  char sess_time[50];
  char sess_type[50];
};

typedef std::vector<qb_login_info*> login_list;

// Result of "show loginsession": the table's position flags and its rows.
struct qb_full_login_info {
  int header;
  int separator;
  login_list* p_list;  // owned, with every row

  qb_full_login_info() : p_list(nullptr) { reset(); }
  ~qb_full_login_info() {
    clear_list();
    delete p_list;
    p_list = nullptr;
  }
  qb_full_login_info(const qb_full_login_info&) = delete;
  qb_full_login_info& operator=(const qb_full_login_info&) = delete;

  void reset() {
    clear_list();
    delete p_list;
    p_list = new (std::nothrow) login_list;
    header = 0;
    separator = 0;
  }
  // Frees every row but keeps the (now empty) array object.
  void clear_list() {
    if (p_list == nullptr)
      return;
    for (qb_login_info* p_row : *p_list)
      delete p_row;
    p_list->clear();
  }
};

// Result of "show version"; an empty field means the answer did not give it.
struct qb_version_info {
  char serial_num[50];
  char hardware_ver[50];
  char ports[50];
  char label_revision[50];
  char part_num[50];
  char machine_model[50];
  char machine_type[50];
  char sys_descr[200];
  char loader_ver[50];
  char opcode_ver[50];
  char bootrom_ver[50];
};

// Result of "whichboot": current and next boot mode and the files booted from.
struct qb_whichboot_info {
  int header;
  int separator;
  QbBootMode curr_mode;
  QbBootMode next_mode;
  char boot_system[100];
  char next_boot_mode[100];
  file_info* p_boot_rom;  // owned
  file_info* p_cfg;       // owned
  file_info* p_opcode;    // owned

  qb_whichboot_info()
      : header(0),
        separator(0),
        curr_mode(QB_MODE_UNKNOWN),
        next_mode(QB_MODE_UNKNOWN),
        p_boot_rom(nullptr),
        p_cfg(nullptr),
        p_opcode(nullptr) {
    memset(boot_system, 0, sizeof(boot_system));
    memset(next_boot_mode, 0, sizeof(next_boot_mode));
    p_boot_rom = new (std::nothrow) file_info();
    p_cfg = new (std::nothrow) file_info();
    p_opcode = new (std::nothrow) file_info();
  }
  ~qb_whichboot_info() {
    delete p_boot_rom;
    p_boot_rom = nullptr;
    delete p_cfg;
    p_cfg = nullptr;
    delete p_opcode;
    p_opcode = nullptr;
  }
  qb_whichboot_info(const qb_whichboot_info&) = delete;
  qb_whichboot_info& operator=(const qb_whichboot_info&) = delete;
};

// Request of "delete": the listing entry of the file to remove.
struct qb_delete_info {
  file_info* p_del_file;  // owned

  qb_delete_info() : p_del_file(new (std::nothrow) file_info()) {}
  ~qb_delete_info() {
    delete p_del_file;
    p_del_file = nullptr;
  }
  qb_delete_info(const qb_delete_info&) = delete;
  qb_delete_info& operator=(const qb_delete_info&) = delete;
};

// Request of "copy": where the module downloads the image from, and to.
struct qb_copy_info {
  char tftp_url[255];
  char srcfile[100];
  char destfile[100];

  qb_copy_info() {
    memset(tftp_url, 0, sizeof(tftp_url));
    memset(srcfile, 0, sizeof(srcfile));
    memset(destfile, 0, sizeof(destfile));
  }
};

// Request of "boot-system" and the module's confirmation.
struct qb_boot_system_info {
  QbBootMode mode;
  char imagename[100];
  int startup_marker;

  qb_boot_system_info() : mode(QB_MODE_UNKNOWN), startup_marker(0) {
    memset(imagename, 0, sizeof(imagename));
  }
};

// Result of "reload": whether the module announced its restart.
struct qb_reload_info {
  int restart_marker;

  qb_reload_info() : restart_marker(0) {}
};

// ---------------------------------------------------------------------------
// Execution context of one remote command

enum QbCliType {
  QB_CLI_UNKNOWN = 0,
  QB_CLI_SHOW_LOGINSESSION = 1,
  QB_CLI_SHOW_VERSION = 2,
  QB_CLI_SHOW_HARDWARE = 3,
  QB_CLI_WHICHBOOT = 4,
  QB_CLI_DIR = 5,
  QB_CLI_DIR_OPCODE = 6,
  QB_CLI_DIR_FILE = 7,
  QB_CLI_DELETE = 8,
  QB_CLI_COPY = 9,
  QB_CLI_BOOT_SYSTEM_MODE = 10,
  QB_CLI_BOOT_SYSTEM_OPCODE = 11,
  QB_CLI_RELOAD = 12
};

enum ExecState {
  EXEC_INIT = 0,
  EXEC_STARTING = 1,
  EXEC_CONNECTING = 2,
  EXEC_KEY_EXCHANGE = 3,
  EXEC_LOGIN = 4,
  EXEC_REMOTE = 5,
  EXEC_REMOTE_FINISH = 6,
  EXEC_QUIT = 7,
  EXEC_TERMINATED = 8,
  EXEC_CANCELED_BY_TIMEOUT = 9
};

// One login, one command line, one logout. Owns one record of every kind;
// a record the allocator could not provide is left null, and the command
// modules check the ones they need.
// Which of the client's frames around a server's text a login is in: none,
// the pre-authentication banner, or the keyboard-interactive prompts.
enum QbServerBlock { QB_BLOCK_NONE = 0, QB_BLOCK_BANNER = 1, QB_BLOCK_KBD = 2 };

struct exec_context {
  QbCliType type;
  ExecState state;
  char cmd[512];  // the command line exactly as sent, "\r\n" included
  QBCodes cli_result;
  qb_full_login_info* p_login;
  qb_version_info* p_version;
  qb_whichboot_info* p_whichboot;
  qb_full_dir_info* p_dir;
  qb_delete_info* p_delete;
  qb_copy_info* p_copy;
  qb_reload_info* p_reload;
  qb_boot_system_info* p_bootsystem;
  int simulator;  // the peer's dialect: non-zero for the simulator's command words
  // The client's frame around the server's own text that it is showing:
  // while in one, the lines are the server's, not the client's.
  QbServerBlock server_block;

  exec_context()
      : type(QB_CLI_UNKNOWN),
        state(EXEC_INIT),
        cli_result(MORVIK_SUCCESS),
        simulator(0),
        server_block(QB_BLOCK_NONE) {
    memset(cmd, 0, sizeof(cmd));
    p_login = new (std::nothrow) qb_full_login_info;
    p_version = new (std::nothrow) qb_version_info;
    p_whichboot = new (std::nothrow) qb_whichboot_info;
    p_dir = new (std::nothrow) qb_full_dir_info;
    p_delete = new (std::nothrow) qb_delete_info;
    p_copy = new (std::nothrow) qb_copy_info;
    p_reload = new (std::nothrow) qb_reload_info;
    p_bootsystem = new (std::nothrow) qb_boot_system_info;
    if (p_version != nullptr)
      memset(p_version, 0, sizeof(*p_version));
  }
  ~exec_context() {
    delete p_login;
    p_login = nullptr;
    delete p_version;
    p_version = nullptr;
    delete p_whichboot;
    p_whichboot = nullptr;
    delete p_dir;
    p_dir = nullptr;
    delete p_delete;
    p_delete = nullptr;
    delete p_copy;
    p_copy = nullptr;
    delete p_bootsystem;
    p_bootsystem = nullptr;
    delete p_reload;
    p_reload = nullptr;
  }
  exec_context(const exec_context&) = delete;
  exec_context& operator=(const exec_context&) = delete;
};

// ---------------------------------------------------------------------------
// The command table: a list of rows, one per command of the module's command
// line, each defined in the command's own source beside its code.

const int QB_MAX_VARIANTS = 3;
const int QB_MAX_WORDS = 3;
const int QB_MAX_MARKERS = 4;
// A row's time-out that is the session's command time-out (cmd_timeout).
const int QB_TIMEOUT_SESSION = 0;

// One command line of a command: the type that selects it and its printf
// format, which takes the command word and then the request's words. words
// (null: none) reads them from the context's request record and returns 0
// when the record cannot give them.
struct qb_variant {
  QbCliType type;
  const char* format;
  int (*words)(const exec_context* cntx, const char* words[QB_MAX_WORDS]);
};

// What a command is asked for, as the exec_ functions take it; each command
// reads what its type needs and nothing else. Null or QB_MODE_UNKNOWN: not
// given.
struct qb_request {
  const file_info* file;  // the file to list alone (dir) or to delete
  const char* url;        // where the image lies (copy)
  const char* image;      // the image to download (copy) or to boot from (boot-system)
  QbBootMode mode;        // the boot mode to start in next (boot-system)
};

// Everything of one command that the shared runner and parser need. The
// functions have the contracts of parser_handler and line_parser_handler
// (the session engine's); null questions or verdict: the command has none.
struct qb_command {
  QB_CMDS cmd;
  const char* word;
  const char* sim_word;
  qb_variant variants[QB_MAX_VARIANTS];  // type QB_CLI_UNKNOWN: no more
  // Readies a new context of one of the row's types for its session: checks
  // that the records the command fills exist and copies what request holds
  // for the type into them. Returns MORVIK_SUCCESS, or the code of a request
  // it refuses (MORVIK_INTERNAL_ERR for a missing record or value).
  QBCodes (*take_request)(exec_context* cntx, const qb_request& request);
  // The command's parser, handed to the session: the shared command parser
  // bound to this row.
  int (*parser)(const char* recv, char* sent, int max_sent, exec_context* cntx);
  int (*line_parser)(char* line, exec_context* cntx);
  // Answers a chunk without a prompt (the module's questions, progress);
  // returns non-zero when it dealt with it.
  int (*questions)(const char* recv, char* sent, int max_sent, exec_context* cntx);
  // The command's judgement of its record after the session: gets the result
  // so far and returns the command's.
  QBCodes (*verdict)(exec_context* cntx, QBCodes retval);
  // The CLI's words for a rejected command line that this command looks for
  // (null-ended); a shell's "bash ... command" counts for every command.
  const char* markers[QB_MAX_MARKERS + 1];
  int timeout;      // idle seconds on a module, or QB_TIMEOUT_SESSION
  int sim_timeout;  // the same against the simulator
};

// Every command's row, in the order of QB_CMDS, QB_SHOW to QB_RELOAD.
const int QB_COMMAND_COUNT = QB_QUIT;
extern const qb_command* const qb_commands[QB_COMMAND_COUNT];

// The highest type that a row serves.
QbCliType qb_last_cli_type();

// The row of a QB_CMDS value; null for the logout word and outside the table.
const qb_command* qb_command_of(int cmd);

// The row one of whose variants is type, and that variant; null if none.
const qb_command* qb_command_serving(QbCliType type, const qb_variant** variant);

// The row's idle time-out in seconds in the given dialect, QB_TIMEOUT_SESSION
// where the session's command time-out applies.
int qb_command_timeout(const qb_command& command, int simulator);

#endif
