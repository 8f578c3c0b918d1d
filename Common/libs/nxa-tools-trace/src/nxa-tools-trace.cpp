// Levelled message output: one mask decides which levels print; every printed
// message carries the local time of day (not in the i386 build's variant).
#include "nxa-tools-trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {

const unsigned int TRACE_FLAG_ERROR = 0x01;
const unsigned int TRACE_FLAG_WARNING = 0x02;
const unsigned int TRACE_FLAG_INFO = 0x04;
const unsigned int TRACE_FLAG_NOTICE = 0x08;
const unsigned int TRACE_FLAG_DEBUG = 0x10;

// Messages issued before main chooses a mode (option parsing) print errors only.
unsigned int trace_flags = TRACE_FLAG_ERROR;

const int MSG_LEN = 1024;

int trace_get_bit(const int i) {
  return (trace_flags & (1u << (i - TRACE_ERROR))) != 0 || i == TRACE_ALWAYS;
}

// Formats fmt into a new zero-filled buffer; returns it, or null without
// memory. The caller frees it.
char* format_message(const char* fmt, va_list args) {
  int len = MSG_LEN;
  char* msg = static_cast<char*>(calloc(len + 1, 1));
  if (msg == nullptr)
    return nullptr;
  va_list again;
  va_copy(again, args);
  if (vsnprintf(msg, len, fmt, args) == -1) {
    free(msg);
    len *= 4;
    msg = static_cast<char*>(calloc(len + 1, 1));
    if (msg != nullptr)
      vsnprintf(msg, len, fmt, again);
  }
  va_end(again);
  return msg;
}

#if !defined(__i386__)
// Writes hours:minutes:seconds of the local time into stamp (at least 20 bytes).
void time_stamp(char* stamp, size_t size) {
  time_t now = time(nullptr);
  const char* full_time = ctime(&now);
  stamp[0] = '\0';
  if (full_time != nullptr)
    snprintf(stamp, size, "%s", full_time + 11);
  stamp[8] = '\0';
}
#endif

// Errors take standard error only when it is a terminal, so that a caller that
// collects the output of a run in one file sees every line in order.
FILE* stream_for(int logbit) {
  if (logbit == TRACE_ERROR && (trace_flags & TRACE_FLAG_ERROR) && isatty(STDERR_FILENO))
    return stderr;
  return stdout;
}

int emit(int logbit, const char* func, const char* fmt, va_list args) {
  if (fmt == nullptr)
    return 1;
  if (logbit <= TRACE_START || logbit >= TRACE_END)
    return 1;
  if (!trace_get_bit(logbit))
    return 1;
  char* msg = format_message(fmt, args);
  if (msg == nullptr)
    return 1;
  FILE* out = stream_for(logbit);
  const char* prefix = "";
  if (out == stdout && logbit == TRACE_DEBUG)
    prefix = "trace> ";
  else if (out == stdout && logbit == TRACE_WARNING)
    prefix = "Warning> ";
#if defined(__i386__)
  (void)func;
  fprintf(out, "%s%s", prefix, msg);
#else
  char stamp[20];
  time_stamp(stamp, sizeof(stamp));
  if (func != nullptr)
    fprintf(out, "%s: %s%s: %s", stamp, prefix, func, msg);
  else
    fprintf(out, "%s: %s%s", stamp, prefix, msg);
#endif
  free(msg);
  return 0;
}

}  // namespace

unsigned int nxa_set_trace(unsigned int trace_mode) {
  unsigned int prev = trace_flags;
  unsigned int mask = TRACE_FLAG_ERROR;
  switch (trace_mode) {
    case TRACE_MODE_QUIET:
      mask = TRACE_FLAG_ERROR;
      break;
    case TRACE_MODE_INFO:
      mask = TRACE_FLAG_ERROR | TRACE_FLAG_INFO;
      break;
    case TRACE_MODE_VERBOSE:
      mask = TRACE_FLAG_ERROR | TRACE_FLAG_INFO | TRACE_FLAG_WARNING | TRACE_FLAG_NOTICE;
      break;
    case TRACE_MODE_DEBUG:
      mask = TRACE_FLAG_ERROR | TRACE_FLAG_INFO | TRACE_FLAG_WARNING | TRACE_FLAG_NOTICE |
             TRACE_FLAG_DEBUG;
      break;
    default:
      mask = TRACE_FLAG_ERROR;
      break;
  }
  trace_flags = mask;
  return prev;
}

int nxa_trace(int logbit, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int rc = emit(logbit, nullptr, fmt, args);
  va_end(args);
  return rc;
}

#if !defined(__i386__)
int NxaTrace(int logbit, const char* szFunc, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int rc = emit(logbit, szFunc, fmt, args);
  va_end(args);
  return rc;
}
#endif
