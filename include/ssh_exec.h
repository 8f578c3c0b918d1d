// The remote session engine: one SSH client per command, driven through a chain
// of parsers, and the seven command modules built on it.
#ifndef MORVIK_SSH_EXEC_H
#define MORVIK_SSH_EXEC_H

#include "defines.h"

// Everything a session takes from outside. Handed to every command as a
// value; the engine reads no option of the command line.
struct session_settings {
  char ssh_path[4096];   // the client program
  char ssh_args[4096];   // its arguments, split at single blanks
  char password[64];     // typed at the client's password prompt
  char logout_word[50];  // sent at the prompt once the command is done
  char save_answer;      // 'y' or 'n' to the save question at logout
  QbPace pace;
  int simulator;     // after the dialogue: "exit" to the client, then a pause
  int cmd_timeout;   // idle seconds of show, whichboot, dir, delete, boot-system
  int quit_timeout;  // idle seconds once the logout is sent
  char host[255];    // the module, as the messages name it
  int host_keys_pinned;  // the client was given the only keys to accept (-hostkey)
  // The lock beside the client's host-key cache, taken while the client
  // stores a key on first contact; empty: no lock.
  char host_key_lock[4096];
  int host_key_lock_wait_ms;  // how long to wait for it; then "n": no store
  // "y" to the client's question whether to go on with an algorithm it warns
  // against (-accept_weak_crypto); else "n", and the run ends with
  // MORVIK_WEAK_CRYPTO_ERR.
  int accept_weak_crypto;

  // Empty client and password, logout word "quit", answer 'y', settle
  // pacing, 10 s idle time-outs: the tool's defaults.
  session_settings();
};

// Computes session_settings::host_key_lock from the environment as the
// client finds its cache: the file "sshhostkeys.lock" in $PUTTYDIR; else, with
// HOME (the password database's home when HOME is unset), in
// $XDG_CONFIG_HOME/putty or HOME/.config/putty if that directory exists, else
// in HOME/.putty. Writes it into path (size bytes) and returns 1; returns 0
// with path empty when no home is known or the path does not fit.
int host_key_lock_path(char* path, int size);

// A command parser: sees one cleaned text of client output (never empty), may
// put its answer into sent (bounded by max_sent) and move cntx->state on.
// Returns non-zero when it dealt with the text.
typedef int (*parser_handler)(const char* recv, char* sent, int max_sent, exec_context* cntx);

// A line parser: sees one line of a command's answer, at most 99 characters,
// without its line end. Returns non-zero to be given the next line.
typedef int (*line_parser_handler)(char* line, exec_context* cntx);

// def_parser's result for the client's own word that the connection broke
// (its "connection abort"), met before the command was done: the dialogue is
// over and its state stays the one it interrupted.
const int DEF_PARSER_SESSION_LOST = 2;
// def_parser's result for a login the tool does not go on with: a second
// password prompt (the first password was refused) or a server's prompt it
// has no answer for. Nothing is answered; the client is ended as at a
// time-out, and cli_result holds MORVIK_SSH_AUTH_ERR.
const int DEF_PARSER_LOGIN_REFUSED = 3;
// def_parser's result for the client's question whether to store a module's
// key met for the first time, answered "y": the client stores it in its
// cache next.
const int DEF_PARSER_HOST_KEY_ACCEPTED = 4;

// Runs one session for cntx with the command's parser and an idle time-out in
// seconds. Returns MORVIK_INTERNAL_ERR for a null parser or context or when the
// pipes cannot be made, MORVIK_SUCCESS otherwise; the outcome is cntx->state.
// Once the run is interrupted (qb_signal.h) it starts no client and ends a
// running one at once; the state stays where the interruption found it.
QBCodes ssh_exec(const session_settings& s, exec_context* cntx, parser_handler parser, int timeout);

// The generic part of every dialogue: host key and password while logging in,
// logout, the save question at logout. Consulted before and after the
// command's parser. Returns 0 (not dealt with), 1, DEF_PARSER_SESSION_LOST,
// DEF_PARSER_LOGIN_REFUSED or DEF_PARSER_HOST_KEY_ACCEPTED.
int def_parser(const session_settings& s, const char* recv, char* sent, int max_sent,
               exec_context* cntx);

// Whether text ends in a prompt: its last line, trailing blanks aside, ends
// in '$' or '#'. The character elsewhere, inside an answer, is no prompt.
bool has_prompt(const char* text);

// Whether text ends in a question the dialogue answers: its last line holds
// "y/n" or "yes/no", or it ends in "password:" (trailing blanks aside), or it
// is a server's prompt in the client's keyboard-interactive block ("| ...").
bool ends_in_question(const char* text);

// The client's question whether to go on with an algorithm it warns against
// (below its warning threshold, or open to the Terrapin attack), found in
// text: copies the kind of algorithm ("key-exchange algorithm") into kind and
// its name as the client printed it ("diffie-hellman-group1-sha1") into name,
// both bounded by their sizes, and the client's reason into reason; returns
// true. Returns false, and leaves the buffers alone, when text holds no such
// question.
bool weak_crypto_question(const char* text, char* kind, int kind_size, char* name,
                          int name_size, const char** reason);

// Frees *pp_cntx if set and nulls it; pp_cntx itself must not be null.
void release_cntx(exec_context** pp_cntx);

// Maps the final dialogue state to a result code; curr_code passes through for
// the states in which the command could have succeeded.
QBCodes execstate_to_exit_code(QBCodes curr_code, ExecState state);

// Copies the command's answer out of a chunk into response (at most size-1
// characters): without the echo of cmd, the prompt line and trailing line ends.
void extract_response(char* recv, char* cmd, char* response, int size);

// Splits response at '\r' and hands each line to parser until it returns 0.
// An empty answer still gives one call with an empty line.
void response_parser(char* response, exec_context* cntx, line_parser_handler parser);

// A command parser's last step, at the prompt after the command: takes the
// whole answer out of recv, hands its lines to parser and ends the dialogue
// (EXEC_REMOTE_FINISH).
void parse_remote_answer(const char* recv, exec_context* cntx, line_parser_handler parser);

// The file kinds of the module's listings ("Boot-Rom image", "Config File",
// "Operation Code"): returns the first one line names and joins the blank
// inside its keyword with '-', so that the keyword scans as one word; returns
// QB_FILE_UNKNOWN with line untouched if it names none.
QbFileType join_file_kind(char* line);

// The shared command parser of the row cmd of the command table, which every
// command's parser is: at the first prompt after the login it sends the
// command line of the context's type (in the context's dialect), at the next
// prompt it parses the answer with the row's line parser; any other chunk
// goes to the row's questions. A type the row does not serve, or a request
// it cannot put into words, sets cli_result to MORVIK_INTERNAL_ERR and sends
// nothing. Returns non-zero when it dealt with the chunk.
int command_parser(int cmd, const char* recv, char* sent, int max_sent, exec_context* cntx);

// A line parser's first test: whether line holds one of the row cmd's error
// markers, or a shell's word that it has no such command. Sets cli_result to
// MORVIK_CLI_INVALID_PARAM_ERR and returns 1 if so, else returns 0.
int cli_rejected(int cmd, const char* line, exec_context* cntx);

// ---------------------------------------------------------------------------
// What the command modules share around their session.

// run_command's and exec_command's time-out argument for the one that the
// command table gives.
const int QB_TIMEOUT_OF_ROW = -1;

// Runs cntx's session as the row cmd of the command table says, in the
// dialect of s, with an idle time-out of timeout seconds (QB_TIMEOUT_OF_ROW:
// the row's). Returns ssh_exec's MORVIK_INTERNAL_ERR as it is (no pipes for
// the client), else the final state mapped to a code, then the command's
// own result (cli_result) if the state allowed success, then the row's
// verdict; MORVIK_HOST_KEY_ERR, MORVIK_WEAK_CRYPTO_ERR or MORVIK_SSH_AUTH_ERR
// whenever the session's login left that in cli_result.
// MORVIK_INTERNAL_ERR for a null context or a cmd outside the table.
QBCodes run_command(const session_settings& s, int cmd, exec_context* cntx, int timeout);

// What every exec_ function does once it has checked its arguments: frees
// what *pp_cntx held, makes a context of type, lets the row cmd take request
// into it and runs its session (run_command). On MORVIK_SUCCESS the context
// is handed over in *pp_cntx, which the caller frees with release_cntx;
// otherwise it is freed and *pp_cntx stays null. MORVIK_INTERNAL_ERR for a
// null pp_cntx, a cmd outside the table or no memory.
QBCodes exec_command(const session_settings& s, int cmd, QbCliType type,
                     const qb_request& request, exec_context** pp_cntx, int timeout);

// ---------------------------------------------------------------------------
// Command modules. Each defines its row of the command table beside its code;
// each exec_* frees what *pp_cntx held, runs one session and, on
// MORVIK_SUCCESS only, hands the new context over in *pp_cntx; the caller
// frees it with release_cntx. The parsers are exported so that recorded
// answers can be replayed against them without a client; a command's
// questions and verdict are reached through its row.

extern const qb_command show_command;
QBCodes exec_show(const session_settings& s, QbCliType type, exec_context** pp_cntx);
int show_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_show_line(char* line, exec_context* cntx);

extern const qb_command dir_command;
QBCodes exec_dir(const session_settings& s, QbCliType type, file_info* info,
                 exec_context** pp_cntx);
// Copies the first opcode image of plist flagged 'Y' (startup non-zero) or 'N'
// into *info and returns 1; returns 0 with *info zeroed if there is none.
int get_opcode_image(int startup, files_list* plist, file_info* info);
int dir_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_dir_line(char* line, exec_context* cntx);

extern const qb_command whichboot_command;
QBCodes exec_whichboot(const session_settings& s, exec_context** pp_cntx);
int whichboot_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_whichboot_line(char* line, exec_context* cntx);

extern const qb_command copy_command;
QBCodes exec_copy(const session_settings& s, char* tftp_url, char* filename,
                  exec_context** pp_cntx, int timeout);
int copy_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_copy_line(char* line, exec_context* cntx);

extern const qb_command delete_command;
QBCodes exec_delete(const session_settings& s, file_info* info, exec_context** pp_cntx);
int delete_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_delete_line(char* line, exec_context* cntx);

extern const qb_command boot_system_command;
QBCodes exec_bootsystem(const session_settings& s, QbCliType type, char* imagename,
                        QbBootMode mode, exec_context** pp_cntx);
int bootsystem_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_bootsystem_line(char* line, exec_context* cntx);

extern const qb_command reload_command;
QBCodes exec_reload(const session_settings& s, exec_context** pp_cntx, int timeout);
int reload_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_reload_line(char* line, exec_context* cntx);

#endif
