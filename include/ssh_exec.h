// The remote session engine: one SSH client per command, driven through a chain
// of parsers, and the seven command modules built on it.
#ifndef MORVIK_SSH_EXEC_H
#define MORVIK_SSH_EXEC_H

#include "defines.h"

// A command parser: sees one cleaned chunk of client output (never empty), may
// put its answer into sent (bounded by max_sent) and move cntx->state on.
// Returns non-zero when it dealt with the chunk.
typedef int (*parser_handler)(const char* recv, char* sent, int max_sent, exec_context* cntx);

// A line parser: sees one line of a command's answer, at most 99 characters,
// without its line end. Returns non-zero to be given the next line.
typedef int (*line_parser_handler)(char* line, exec_context* cntx);

// Runs one session for cntx with the command's parser and an idle time-out in
// seconds. Returns MORVIK_INTERNAL_ERR for a null parser or context or when the
// pipes cannot be made, MORVIK_SUCCESS otherwise; the outcome is cntx->state.
QBCodes ssh_exec(exec_context* cntx, parser_handler parser, int timeout);

// The generic part of every dialogue: host key, password, logout, the save
// question at logout. Consulted before and after the command's parser.
int def_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);

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
// answer out of recv (at most 4095 characters), hands its lines to parser and
// ends the dialogue (EXEC_REMOTE_FINISH).
void parse_remote_answer(const char* recv, exec_context* cntx, line_parser_handler parser);

// The file kinds of the module's listings ("Boot-Rom image", "Config File",
// "Operation Code"): returns the first one line names and joins the blank
// inside its keyword with '-', so that the keyword scans as one word; returns
// QB_FILE_UNKNOWN with line untouched if it names none.
QbFileType join_file_kind(char* line);

// Whether what occurs in text.
bool str_contains(const char* text, const char* what);

// Removes trailing '\r' and '\n' in place.
void str_remove_ending(char* str);

// Removes, in place, every '\r' that is not followed by '\n'; len is the size
// of the buffer that holds str.
void str_remove_single_cr(char* str, int len);

// ---------------------------------------------------------------------------
// Command modules. Each exec_* frees what *pp_cntx held, runs one session and,
// on MORVIK_SUCCESS only, hands the new context over in *pp_cntx; the caller
// frees it with release_cntx. The parsers are exported so that recorded
// answers can be replayed against them without a client.

QBCodes exec_show(QbCliType type, exec_context** pp_cntx);
int show_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_show_line(char* line, exec_context* cntx);

QBCodes exec_dir(QbCliType type, file_info* info, exec_context** pp_cntx);
// Copies the first opcode image of plist flagged 'Y' (startup non-zero) or 'N'
// into *info and returns 1; returns 0 with *info zeroed if there is none.
int get_opcode_image(int startup, files_list* plist, file_info* info);
int dir_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_dir_line(char* line, exec_context* cntx);

QBCodes exec_whichboot(exec_context** pp_cntx);
int whichboot_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_whichboot_line(char* line, exec_context* cntx);

QBCodes exec_copy(char* tftp_url, char* filename, exec_context** pp_cntx, int timeout);
int copy_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_copy_line(char* line, exec_context* cntx);

QBCodes exec_delete(file_info* info, exec_context** pp_cntx);
int delete_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_delete_line(char* line, exec_context* cntx);

QBCodes exec_bootsystem(QbCliType type, char* imagename, QbBootMode mode, exec_context** pp_cntx);
int bootsystem_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_bootsystem_line(char* line, exec_context* cntx);

QBCodes exec_reload(exec_context** pp_cntx, int timeout);
int reload_parser(const char* recv, char* sent, int max_sent, exec_context* cntx);
int parse_reload_line(char* line, exec_context* cntx);

#endif
