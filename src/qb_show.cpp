// "show": the login sessions, the version or the hardware of the module. The
// account check relies on the session table to prove that a login works.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "nxa-tools-trace.h"
#include "misc.h"
#include "ssh_exec.h"

namespace {

// Reads the first blank-delimited word after the colon of a line whose key
// has key_words words. Leaves field alone when the line has another shape.
void take_word_after_colon(const char* line, int key_words, char* field, size_t field_size) {
  char scratch[100];
  char value[100];
  value[0] = '\0';
  if (key_words == 2)
    sscanf(line, "%50s %50s :%50s", scratch, scratch, value);
  else
    sscanf(line, "%50s %50s %50s :%50s", scratch, scratch, scratch, value);
  if (value[0] != '\0')
    snprintf(field, field_size, "%s", value);
}

// Copies everything behind the line's first colon, blanks included.
void take_rest_after_colon(const char* line, char* field, size_t field_size) {
  const char* colon = strchr(line, ':');
  if (colon != nullptr)
    snprintf(field, field_size, "%s", colon + 1);
}

struct version_key {
  const char* text;
  const char* other_form;  // null: the key has one spelling only
  const char* message;
  int key_words;  // 0: the value is the rest of the line
  size_t offset;
  size_t size;
};

#define VERSION_FIELD(name) offsetof(qb_version_info, name), sizeof(qb_version_info::name)

const version_key version_keys[] = {
    {"Serial number", "Serial Number", "show version: serial found\n", 2, VERSION_FIELD(serial_num)},
    {"Hardware Version", nullptr, "show version: hardware version found\n", 2,
     VERSION_FIELD(hardware_ver)},
    {"Number of ports", nullptr, "show version: ports found\n", 3, VERSION_FIELD(ports)},
    {"Label Revision Number", nullptr, "show version: revision found\n", 3,
     VERSION_FIELD(label_revision)},
    {"Part Number", nullptr, "show version: part number found\n", 2, VERSION_FIELD(part_num)},
    {"Machine Model", nullptr, "show version: machine model found\n", 0,
     VERSION_FIELD(machine_model)},
    {"Machine Type", nullptr, "show version: machine type found\n", 0, VERSION_FIELD(machine_type)},
    {"System Description", nullptr, "show version: description found\n", 0,
     VERSION_FIELD(sys_descr)},
    {"Loader version", "Loader Version", "show version: loader version found\n", 2,
     VERSION_FIELD(loader_ver)},
    {"Operation code version", "Operation Code Version", "show version: opcode version found\n", 3,
     VERSION_FIELD(opcode_ver)},
    {"Boot rom version", "Boot Rom Version", "show version: boot rom version found\n", 3,
     VERSION_FIELD(bootrom_ver)},
};

#undef VERSION_FIELD

// Returns 1 to go on with the next line, 0 after recording an error.
int parse_version_line(char* line, exec_context* cntx) {
  qb_version_info* p_version = cntx->p_version;
  for (const version_key& key : version_keys) {
    if (!str_contains(line, key.text) && (key.other_form == nullptr || !str_contains(line, key.other_form)))
      continue;
    nxa_trace(TRACE_DEBUG, "%s", key.message);
    char* field = reinterpret_cast<char*>(p_version) + key.offset;
    if (key.key_words == 0)
      take_rest_after_colon(line, field, key.size);
    else
      take_word_after_colon(line, key.key_words, field, key.size);
    return 1;
  }
  // Lines without a key are the module's free text, tolerated only once the
  // answer has shown itself to be a version listing.
  if (p_version->machine_model[0] == '\0' && p_version->opcode_ver[0] == '\0') {
    cntx->cli_result = MORVIK_REMOTE_PARSER_ERR;
    return 0;
  }
  return 1;
}

// Returns 1 to go on, 0 after recording an error.
int parse_session_row(char* line, exec_context* cntx) {
  qb_login_info* p_row = new (std::nothrow) qb_login_info();
  if (p_row == nullptr) {
    cntx->cli_result = MORVIK_INTERNAL_ERR;
    return 0;
  }
  // The row's layout is the module's and the widths bound every copy. An id
  // beyond int's range reads as some other number, which only counts the row.
  // NOLINTNEXTLINE(cert-err34-c)
  int fields = sscanf(line, "%d %15s %21s %11s %12s %12s", &p_row->id, p_row->user_name,
                      p_row->conn_from, p_row->idle_time, p_row->sess_time, p_row->sess_type);
  if (fields != 6) {
    delete p_row;
    cntx->cli_result = MORVIK_REMOTE_PARSER_ERR;
    return 0;
  }
  nxa_trace(TRACE_DEBUG, "show loginsession: info found\n");
  cntx->p_login->p_list->push_back(p_row);
  return 1;
}

}  // namespace

int parse_show_line(char* line, exec_context* cntx) {
  if (line == nullptr || cntx == nullptr || cli_rejected(QB_SHOW, line, cntx))
    return 0;
  qb_full_login_info* p_login = cntx->p_login;
  if (str_contains(line, "ID") && str_contains(line, "User Name") && str_contains(line, "Connection From") &&
      str_contains(line, "Idle Time") && str_contains(line, "Session Time") &&
      str_contains(line, "Session Type")) {
    nxa_trace(TRACE_DEBUG, "show: header found\n");
    p_login->header = 1;
    return 1;
  }
  if (str_contains(line, "-----------")) {
    nxa_trace(TRACE_DEBUG, "show: separator line found\n");
    p_login->separator = 1;
    return 1;
  }
  if (cntx->type == QB_CLI_SHOW_LOGINSESSION && p_login->header && p_login->separator)
    return parse_session_row(line, cntx);
  if (cntx->type == QB_CLI_SHOW_VERSION)
    return parse_version_line(line, cntx);
  cntx->cli_result = MORVIK_REMOTE_PARSER_ERR;
  return 0;
}

int show_parser(const char* recv, char* sent, int max_sent, exec_context* cntx) {
  return command_parser(QB_SHOW, recv, sent, max_sent, cntx);
}

namespace {

// show asks nothing; its answers go into the login and version records.
QBCodes show_request(exec_context* cntx, const qb_request&) {
  if (cntx->p_version == nullptr || cntx->p_login == nullptr || cntx->p_login->p_list == nullptr)
    return MORVIK_INTERNAL_ERR;
  return MORVIK_SUCCESS;
}

// The account check rests on a session table with at least one row.
QBCodes show_verdict(exec_context* cntx, QBCodes retval) {
  if (retval == MORVIK_SUCCESS && cntx->type == QB_CLI_SHOW_LOGINSESSION &&
      cntx->p_login->p_list->empty())
    return MORVIK_CLI_NO_INFO_ERR;
  return retval;
}

}  // namespace

const qb_command show_command = {
    QB_SHOW, "show", "qb_show",
    {{QB_CLI_SHOW_LOGINSESSION, "%s loginsession\r\n", nullptr},
     {QB_CLI_SHOW_VERSION, "%s version\r\n", nullptr},
     {QB_CLI_SHOW_HARDWARE, "%s hardware\r\n", nullptr}},
    show_request, show_parser, parse_show_line, nullptr, show_verdict,
    {"Command not found", "Incomplete command", "Invalid input detected", "Incorrect input",
     nullptr},
    QB_TIMEOUT_SESSION, QB_TIMEOUT_SESSION};

QBCodes exec_show(const session_settings& s, QbCliType type, exec_context** pp_cntx) {
  return exec_command(s, QB_SHOW, type, qb_request(), pp_cntx, QB_TIMEOUT_OF_ROW);
}
