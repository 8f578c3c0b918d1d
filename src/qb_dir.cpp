// "dir": the module's stored files, all of them, the opcode images or one image,
// and the choice of the startup or the second opcode image out of such a list.
#include <cstdio>
#include <cstring>

#include "nxa-tools-trace.h"
#include "misc.h"
#include "ssh_exec.h"

namespace {

const char* const DASHES = "------------------";

// Returns 1 to go on, 0 after recording an error. Joins the keyword in line.
int parse_file_row(char* line, exec_context* cntx) {
  file_info* p_file = new (std::nothrow) file_info();
  if (p_file == nullptr) {
    cntx->cli_result = MORVIK_INTERNAL_ERR;
    return 0;
  }
  p_file->type = join_file_kind(line);
  char scratch[100];
  // The row's layout is the module's and the widths bound every copy. A
  // size beyond int's range reads as some other number; sizes are only
  // tested for zero.
  if (p_file->type != QB_FILE_UNKNOWN &&
      sscanf(line, "%50s %50s %50s %c %d", p_file->date, p_file->name, scratch,  // NOLINT(cert-err34-c)
             &p_file->startup, &p_file->size) == 5) {
    nxa_trace(TRACE_DEBUG, "dir: info found\n");
    cntx->p_dir->p_list->push_back(p_file);
    return 1;
  }
  delete p_file;
  cntx->cli_result = MORVIK_REMOTE_PARSER_ERR;
  return 0;
}

bool entry_is_complete(const file_info* p_file) {
  return p_file->name[0] != '\0' && (p_file->startup == 'Y' || p_file->startup == 'N') &&
         p_file->type != QB_FILE_UNKNOWN && p_file->size != 0;
}

}  // namespace

QbFileType join_file_kind(char* line) {
  // blank_at: where the blank inside the keyword is.
  static const struct {
    const char* text;
    size_t blank_at;
    QbFileType type;
  } kinds[] = {
      {"Boot-Rom image", 8, QB_FILE_BOOT_ROM},
      {"Config File", 6, QB_FILE_CFG},
      {"Operation Code", 9, QB_FILE_OPCODE},
  };
  if (line == nullptr)
    return QB_FILE_UNKNOWN;
  for (const auto& kind : kinds) {
    char* found = strstr(line, kind.text);
    if (found != nullptr) {
      found[kind.blank_at] = '-';
      return kind.type;
    }
  }
  return QB_FILE_UNKNOWN;
}

int parse_dir_line(char* line, exec_context* cntx) {
  if (line == nullptr || cntx == nullptr || cli_rejected(QB_DIR, line, cntx))
    return 0;
  qb_full_dir_info* p_dir = cntx->p_dir;
  if (str_contains(line, "date") && str_contains(line, "file name") && str_contains(line, "file type") &&
      str_contains(line, "startup") && str_contains(line, "size")) {
    nxa_trace(TRACE_DEBUG, "dir: header found\n");
    p_dir->header = 1;
    return 1;
  }
  const bool dashes = str_contains(line, DASHES);
  if (dashes && !p_dir->upper_separator && p_dir->header) {
    nxa_trace(TRACE_DEBUG, "dir: upper separator line found\n");
    p_dir->upper_separator = 1;
    return 1;
  }
  if (dashes && p_dir->upper_separator && p_dir->header && !p_dir->bottom_separator) {
    nxa_trace(TRACE_DEBUG, "dir: bottom separator line found\n");
    p_dir->bottom_separator = 1;
    return 1;
  }
  if (str_contains(line, "Total:") && str_contains(line, "file") && p_dir->header &&
      p_dir->upper_separator && p_dir->bottom_separator) {
    nxa_trace(TRACE_DEBUG, "dir: total files number found\n");
    return 1;
  }
  if (p_dir->header && p_dir->upper_separator && !p_dir->bottom_separator)
    return parse_file_row(line, cntx);
  cntx->cli_result = MORVIK_REMOTE_PARSER_ERR;
  return 0;
}

int dir_parser(const char* recv, char* sent, int max_sent, exec_context* cntx) {
  return command_parser(QB_DIR, recv, sent, max_sent, cntx);
}

namespace {

// The single-file listing names its file from p_file, so it needs that too.
QBCodes dir_request(exec_context* cntx, const qb_request& request) {
  qb_full_dir_info* p_dir = cntx->p_dir;
  const bool one_file = cntx->type == QB_CLI_DIR_FILE;
  if (p_dir == nullptr || p_dir->p_list == nullptr ||
      (one_file && (p_dir->p_file == nullptr || request.file == nullptr)))
    return MORVIK_INTERNAL_ERR;
  if (one_file)
    *p_dir->p_file = *request.file;
  return MORVIK_SUCCESS;
}

int dir_file_words(const exec_context* cntx, const char* words[QB_MAX_WORDS]) {
  if (cntx->p_dir == nullptr || cntx->p_dir->p_file == nullptr)
    return 0;
  words[0] = cntx->p_dir->p_file->name;
  return 1;
}

// Every entry has to say all the flashing procedure looks at.
QBCodes dir_verdict(exec_context* cntx, QBCodes retval) {
  if (retval != MORVIK_SUCCESS)
    return retval;
  for (const file_info* p_file : *cntx->p_dir->p_list) {
    if (p_file == nullptr)
      return MORVIK_INTERNAL_ERR;
    if (!entry_is_complete(p_file))
      return MORVIK_CLI_NO_INFO_ERR;
  }
  return retval;
}

}  // namespace

const qb_command dir_command = {
    QB_DIR, "dir", "qb_dir",
    {{QB_CLI_DIR, "%s\r\n", nullptr},
     {QB_CLI_DIR_OPCODE, "%s opcode\r\n", nullptr},
     {QB_CLI_DIR_FILE, "%s opcode %s\r\n", dir_file_words}},
    dir_request, dir_parser, parse_dir_line, nullptr, dir_verdict,
    {"Incorrect input", "Invalid input", nullptr},
    QB_TIMEOUT_SESSION, QB_TIMEOUT_SESSION};

int get_opcode_image(int startup, files_list* plist, file_info* info) {
  if (plist == nullptr || info == nullptr)
    return 0;
  memset(info, 0, sizeof(*info));
  const char wanted = startup ? 'Y' : 'N';
  for (const file_info* p_file : *plist) {
    if (p_file == nullptr)
      return 0;
    if (p_file->type == QB_FILE_OPCODE && p_file->startup == wanted) {
      *info = *p_file;
      return 1;
    }
  }
  return 0;
}

// The interface is shared with the callers of every command module, which
// pass their file records as they hold them.
// cppcheck-suppress constParameter
QBCodes exec_dir(const session_settings& s, QbCliType type, file_info* info,
                 exec_context** pp_cntx) {
  if (pp_cntx == nullptr || (type == QB_CLI_DIR_FILE && info == nullptr))
    return MORVIK_INTERNAL_ERR;
  qb_request request = qb_request();
  request.file = info;
  return exec_command(s, QB_DIR, type, request, pp_cntx, QB_TIMEOUT_OF_ROW);
}
