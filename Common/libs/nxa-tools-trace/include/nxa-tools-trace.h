// Levelled, time-stamped message output shared by the tools: one global mask
// chosen once from the trace mode decides which levels are printed.
#ifndef NXA_TOOLS_TRACE_H
#define NXA_TOOLS_TRACE_H

enum {
  TRACE_START = 99,
  TRACE_ERROR = 100,
  TRACE_WARNING = 101,
  TRACE_INFO = 102,
  TRACE_NOTICE = 103,
  TRACE_DEBUG = 104,
  TRACE_ALWAYS = 105,
  TRACE_END = 106
};

enum {
  TRACE_MODE_QUIET = 0,
  TRACE_MODE_INFO = 1,
  TRACE_MODE_VERBOSE = 2,
  TRACE_MODE_DEBUG = 3,
  TRACE_MODE_END = 4
};

// Sets the mask for trace_mode; returns the mask in force before.
unsigned int nxa_set_trace(unsigned int trace_mode);

// Prints one message at level logbit. Returns 0 if printed, 1 if not (null
// format, level out of range or switched off, no memory).
int nxa_trace(int logbit, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

#if !defined(__i386__)
// The same, with the calling function's name between stamp and message.
int NxaTrace(int logbit, const char* szFunc, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
#endif

#endif
