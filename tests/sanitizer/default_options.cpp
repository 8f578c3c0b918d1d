// Report options compiled into every program of a sanitized build. Programs
// under test run with a clean environment, so the options cannot come from it:
// any report must end the program with a status no tool path returns, and
// show where it happened. The environment (ASAN_OPTIONS, UBSAN_OPTIONS) may
// still add to them, e.g. a log_path that a test harness collects.

extern "C" {

// The runtime looks these up by name; they must not be mangled or static.
const char* __asan_default_options();
const char* __ubsan_default_options();

const char* __asan_default_options() {
  // exitcode also covers reports of the undefined-behaviour and leak checks,
  // which end the program through the same runtime.
  return "exitcode=99:abort_on_error=0:detect_leaks=1:print_summary=1"
         ":check_initialization_order=1:strict_init_order=1"
         ":detect_stack_use_after_return=1:strict_string_checks=1";
}

const char* __ubsan_default_options() {
  return "exitcode=99:print_stacktrace=1:halt_on_error=1";
}

}  // extern "C"
