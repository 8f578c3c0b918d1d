// "copy": makes the module download a new opcode image from a TFTP server into
// its flash, confirming its question and reporting the progress it prints.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "nxa-tools-trace.h"
#include "misc.h"
#include "ssh_exec.h"

namespace {

const size_t ECHO_MAX_LEN = 2;

// The lines the module prints about the transfer before it asks to start.
const char* const summary_markers[] = {
    "Mode",          "TFTP Server",          "TFTP Path",          "TFTP Filename",
    "Data type",     "Destination filename", "access will be blocked",
};

struct progress_marker {
  const char* text;
  const char* notice;
};

const progress_marker progress_markers[] = {
    {"code transfer starting", "transfer starting...\n"},
    {"Verifying CRC", "verifying CRC...\n"},
    {"receive complete..", "receive complete...storing in flash file system\n"},
};

// Issues the notice of every progress marker in a chunk, in the markers' order
// rather than the chunk's; returns how many there were.
int report_progress(const char* text) {
  int found = 0;
  for (const progress_marker& marker : progress_markers) {
    if (str_contains(text, marker.text)) {
      nxa_trace(TRACE_NOTICE, "%s", marker.notice);
      ++found;
    }
  }
  return found;
}

bool is_summary(const char* recv) {
  for (const char* marker : summary_markers)
    if (str_contains(recv, marker))
      return true;
  return false;
}

// The URL gets its scheme if it lacks one; the image keeps its name.
QBCodes copy_request(exec_context* cntx, const qb_request& request) {
  qb_copy_info* p_copy = cntx->p_copy;
  if (p_copy == nullptr || request.url == nullptr || request.image == nullptr)
    return MORVIK_INTERNAL_ERR;
  if (str_contains(request.url, "tftp://"))
    snprintf(p_copy->tftp_url, sizeof(p_copy->tftp_url), "%s", request.url);
  else
    snprintf(p_copy->tftp_url, sizeof(p_copy->tftp_url), "tftp://%s", request.url);
  snprintf(p_copy->srcfile, sizeof(p_copy->srcfile), "%s", request.image);
  snprintf(p_copy->destfile, sizeof(p_copy->destfile), "%s", request.image);
  return MORVIK_SUCCESS;
}

int copy_words(const exec_context* cntx, const char* words[QB_MAX_WORDS]) {
  if (cntx->p_copy == nullptr)
    return 0;
  words[0] = cntx->p_copy->tftp_url;
  words[1] = cntx->p_copy->srcfile;
  words[2] = cntx->p_copy->destfile;
  return 1;
}

}  // namespace

int parse_copy_line(char* line, exec_context* cntx) {
  if (line == nullptr || cntx == nullptr || cli_rejected(QB_COPY, line, cntx))
    return 0;
  if (str_contains(line, "find partition table entry") || str_contains(line, "Transfer Canceled") ||
      str_contains(line, "transfer failed") || str_contains(line, "not intended for this product")) {
    cntx->cli_result = MORVIK_CLI_CMD_FAILED_ERR;
    return 0;
  }
  if (str_contains(line, "transfer operation completed"))
    return 1;
  for (const progress_marker& marker : progress_markers) {
    if (str_contains(line, marker.text)) {
      nxa_trace(TRACE_NOTICE, "%s", marker.notice);
      return 1;
    }
  }
  if (strcasecmp(line, "y") == 0 || strcasecmp(line, "n") == 0)
    return 1;
  cntx->cli_result = MORVIK_REMOTE_PARSER_ERR;
  return 0;
}

int copy_parser(const char* recv, char* sent, int max_sent, exec_context* cntx) {
  return command_parser(QB_COPY, recv, sent, max_sent, cntx);
}

namespace {

// The question to start, the echo of its answer, and the summary and the
// progress lines that the module prints around the transfer.
int copy_questions(const char* recv, char* sent, int max_sent, exec_context* cntx) {
  if (str_contains(recv, "you want to start") && str_contains(recv, "y/n")) {
    if (cntx->state != EXEC_REMOTE)
      return 0;
    // The module takes the single letter without a line end.
    snprintf(sent, static_cast<size_t>(max_sent), "y");
    return 1;
  }
  if (strchr(recv, 'y') != nullptr && !str_contains(recv, "y/n") && strlen(recv) <= ECHO_MAX_LEN)
    return 1;
  if (is_summary(recv))
    return 1;
  return report_progress(recv) > 0 ? 1 : 0;
}

}  // namespace

// The download may keep the module silent for up to 20 minutes.
const qb_command copy_command = {
    QB_COPY, "copy", "qb_copy",
    {{QB_CLI_COPY, "%s %s/%s image %s\r\n", copy_words}},
    copy_request, copy_parser, parse_copy_line, copy_questions, nullptr,
    {"Incorrect input", "Invalid input", nullptr},
    1200, 1200};

QBCodes exec_copy(const session_settings& s, char* tftp_url, char* filename,
                  exec_context** pp_cntx, int timeout) {
  if (tftp_url == nullptr || pp_cntx == nullptr || filename == nullptr)
    return MORVIK_INTERNAL_ERR;
  qb_request request = qb_request();
  request.url = tftp_url;
  request.image = filename;
  return exec_command(s, QB_COPY, QB_CLI_COPY, request, pp_cntx, timeout);
}
