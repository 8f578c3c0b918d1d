// The session engine: runs one SSH client per remote command, hands its output
// to the parser chain when the chosen pacing says so and writes back the answers.
#include "ssh_exec.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "misc.h"
#include "nxa-tools-trace.h"
#include "qb_lock.h"
#include "qb_process.h"
#include "qb_signal.h"

namespace {

const int BUF_SIZE = 4096;
// What was read from the client and not yet taken by a parser: a command's
// answer that comes in several pieces is handed on as a whole up to this size.
const int PENDING_MAX = 65536;
const int SIM_EXIT_PAUSE_SEC = 2;
// Prompt pacing: how long one wait on the pipe lasts before the client's end
// and the time-outs are looked at again, and how long gathered text must
// stand still before it is handed on as the settle pacing would.
const int PROMPT_POLL_MS = 200;
const int PROMPT_SETTLE_MS = 1000;
const int PROMPT_HUP_NAP_MS = 10;
// How often the prompt pacing looks whether the client has ended after the
// dialogue.
const int PROMPT_END_LOOK_MS = 20;
const int DRAIN_MAX_READS = 64;
// How the client frames a server's own text, its pre-authentication banner
// or its keyboard-interactive prompts: a head line, each of the server's
// lines and prompts after a mark, a foot line.
const struct {
  QbServerBlock block;
  const char* head;
  const char* foot;
} SERVER_BLOCKS[] = {
    {QB_BLOCK_BANNER, "Pre-authentication banner message from server",
     "End of banner message from server"},
    {QB_BLOCK_KBD, "Keyboard-interactive authentication prompts from server",
     "End of keyboard-interactive prompts from server"},
};
const char KBD_PROMPT_MARK[] = "| ";

void trace_recv(const char* recv) {
  nxa_trace(TRACE_DEBUG,
            "\n============== received data begin ==============\n%s\n"
            "============== received data ended ==============\n\n",
            recv);
}

// The password line is shown masked: a debug log must never carry it.
void trace_sent(const session_settings& s, const char* sent, int b_written) {
  if (sent == nullptr)
    return;
  char shown[BUF_SIZE];
  snprintf(shown, sizeof(shown), "%s", sent);
  char password_line[BUF_SIZE];
  snprintf(password_line, sizeof(password_line), "%s%s", s.password, "\n");
  if (strcmp(sent, password_line) == 0)
    memset(shown, '*', strlen(s.password));
  nxa_trace(TRACE_DEBUG,
            "\n======= sent data begin == %4d bytes to write ==\n%s\n"
            "======= sent data ended == %4d bytes was sent ==\n\n",
            static_cast<int>(strlen(sent)), shown, b_written);
}

// Blanks and the control characters a terminal shows nothing for (a bell,
// a NUL's neighbours), but not the line ends.
bool invisible(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return c == ' ' || u == 0x7f || (u < 0x20 && c != '\r' && c != '\n');
}

// Where a terminal control sequence (ESC [ parameters, a final letter) that
// ends at stop begins; stop itself if none ends there.
const char* control_sequence_start(const char* text, const char* stop) {
  const size_t end = static_cast<size_t>(stop - text);
  if (end == 0 || !isalpha(static_cast<unsigned char>(text[end - 1])))
    return stop;
  size_t at = end - 1;
  while (at > 0 && (isdigit(static_cast<unsigned char>(text[at - 1])) || text[at - 1] == ';' ||
                    text[at - 1] == '?'))
    --at;
  if (at >= 2 && text[at - 1] == '[' && text[at - 2] == '\x1b')
    return text + at - 2;
  return stop;
}

// The last line of text, what a terminal shows nothing for at its end aside
// (blanks, control characters, colour and cursor sequences): [*begin, *end).
void last_line(const char* text, const char** begin, const char** end) {
  const char* stop = text + strlen(text);
  for (;;) {
    while (stop > text && invisible(stop[-1]))
      --stop;
    const char* sequence = control_sequence_start(text, stop);
    if (sequence == stop)
      break;
    stop = sequence;
  }
  const char* start = stop;
  while (start > text && start[-1] != '\n' && start[-1] != '\r')
    --start;
  *begin = start;
  *end = stop;
}

bool line_holds(const char* begin, const char* end, const char* what) {
  return memmem(begin, static_cast<size_t>(end - begin), what, strlen(what)) != nullptr;
}

// Until the password has been taken, the client is still logging in.
bool logging_in(ExecState state) {
  return state == EXEC_INIT || state == EXEC_STARTING || state == EXEC_CONNECTING ||
         state == EXEC_KEY_EXCHANGE || state == EXEC_LOGIN;
}

// Once the command's part is done, what the client still prints is the
// session's end and decides nothing.
bool command_done(ExecState state) {
  return state == EXEC_REMOTE_FINISH || state == EXEC_QUIT;
}

// What the client wrote and no parser has taken yet: raw bytes, NUL bytes
// dropped (a terminal shows nothing for them; left in, the first would end the
// text and hide the rest of it, prompt included), always terminated.
struct pending_output {
  char text[PENDING_MAX];
  int len;
  int handed_len;  // how much of it the parsers have seen (and left)
  int dumped_len;  // how much of it the debug dump has shown
  long long last_byte_ms;
};

void clear_pending(pending_output* p) {
  p->len = p->handed_len = p->dumped_len = 0;
  p->text[0] = '\0';
}

// Dumps what was read since the last dump, lone CRs removed, into the debug
// output; uses text (PENDING_MAX) as scratch.
void dump_new_output(pending_output* p, char* text) {
  if (p->dumped_len >= p->len)
    return;
  snprintf(text, PENDING_MAX, "%s", p->text + p->dumped_len);
  str_remove_single_cr(text, PENDING_MAX);
  trace_recv(text);
  p->dumped_len = p->len;
}

// Reads up to want bytes (at most max_read) of the client's output onto p; the
// oldest text is given up when the buffer is full. Returns what read()
// returned.
int read_pending(client_process* client, pending_output* p, int want, int max_read) {
  if (want > max_read)
    want = max_read;
  if (p->len + want > PENDING_MAX - 1) {
    nxa_trace(TRACE_ERROR, "cannot parse output.\n");
    clear_pending(p);
  }
  int b_read = read_process(client, p->text + p->len, PENDING_MAX - 1 - p->len, want);
  if (b_read > 0) {
    int kept = p->len;
    for (int i = p->len; i < p->len + b_read; ++i)
      if (p->text[i] != '\0')
        p->text[kept++] = p->text[i];
    p->len = kept;
    p->last_byte_ms = monotonic_ms();
  }
  p->text[p->len] = '\0';
  return b_read;
}

// The text of p as the parsers see it, into out (PENDING_MAX): lone CRs gone,
// trailing line ends gone when trim is set (the debug dump keeps them).
void clean_text(const pending_output* p, char* out, bool trim) {
  snprintf(out, PENDING_MAX, "%s", p->text);
  str_remove_single_cr(out, PENDING_MAX);
  if (trim)
    str_remove_ending(out);
}

// Whether gathered text is ready for the parsers under prompt pacing.
bool ready_for_parsers(const char* text) {
  return has_prompt(text) || ends_in_question(text);
}

enum hand_mode { HAND_LIVE, HAND_LAST_WORDS };

struct session_io;

enum look_result { LOOK_NOTHING, LOOK_READY, LOOK_FAILED };

// How a pacing looks at the client; the dialogue is the same under both.
struct pacing_look {
  int start_ms;  // the pause that gives a new client time before the first look
  // One look whether the client has ended, the pass's pause included.
  bool (*ended)(session_io& io);
  // Gathers the client's output into the pending text: LOOK_READY when it is
  // to go to the parsers now, LOOK_FAILED when the pipe could not be read.
  look_result (*gather)(session_io& io, pending_output* p, char* text);
  bool last_words_each;  // the client's last words handed on read by read, or at once
  int end_look_ms;       // how often the client's end is looked at after the dialogue
};

// One session's client, its settings, its parser and its pacing.
struct session_io {
  const session_settings* s;
  exec_context* cntx;
  parser_handler parser;
  client_process* client;
  const pacing_look* look;
  long long progress_ms;  // when a parser last took the client's output
  long long check_ms;     // when bytes were last seen waiting
  fd_handle key_lock;  // held from the first-contact answer to what follows
  int b_avail_prev;    // settle pacing: the bytes waiting at the look before
};

// The client printed something after the first-contact answer: it has stored
// the key by then, so the next run may have its turn.
void client_went_on(session_io& io) {
  unlock_host_key_cache(io.key_lock);
}

// The answer "y" to the first-contact question makes the client store the key
// in its cache, which runs that share the cache must not do at the same time:
// the answer waits for the lock. Returns false when the run was interrupted
// while it waited (nothing is answered then); a lock that stays taken turns
// the answer into "n", which connects without storing the key.
bool take_turn_at_key_cache(session_io& io, char* sent, int max_sent) {
  const session_settings& s = *io.s;
  if (s.host_keys_pinned || s.host_key_lock[0] == '\0' || io.key_lock != -1)
    return true;
  switch (lock_host_key_cache(s.host_key_lock, s.host_key_lock_wait_ms, &io.key_lock)) {
    case QB_KEY_LOCK_HELD:
      break;
    case QB_KEY_LOCK_INTERRUPTED:
      return false;
    case QB_KEY_LOCK_BUSY:
      nxa_trace(TRACE_WARNING,
                "Host-key cache lock '%s' still taken after %d ms; the key of '%s' is accepted "
                "for this session only\n",
                s.host_key_lock, s.host_key_lock_wait_ms, s.host);
      snprintf(sent, static_cast<size_t>(max_sent), "n%s", "\n");
      break;
    case QB_KEY_LOCK_UNAVAILABLE:
      nxa_trace(TRACE_WARNING, "Host-key cache lock '%s' cannot be taken: %s\n",
                s.host_key_lock, strerror(errno));
      break;
  }
  // The wait was ours, not the client's silence.
  io.progress_ms = io.check_ms = monotonic_ms();
  return true;
}

// The pipe could not be read: the session cannot go on. Returns false, for
// the loops to return.
bool read_failed(const session_io& io) {
  nxa_trace(TRACE_ERROR, "cannot read data\n");
  io.cntx->state = EXEC_TERMINATED;
  return false;
}

// Hands the pending text to the parser chain and writes back what the parsers
// answered. An answer of the command still coming (no prompt yet, nobody took
// it) stays pending and is handed on again with what follows. After the
// client has ended (HAND_LAST_WORDS) nothing is written and nothing that no
// parser takes is reported. Returns false when the dialogue is over: the
// session was lost or the client could not be written to.
bool hand_on(session_io& io, pending_output* p, char* text, hand_mode mode) {
  client_went_on(io);
  clean_text(p, text, true);
  if (text[0] == '\0') {
    clear_pending(p);
    return true;
  }
  exec_context* cntx = io.cntx;
  const ExecState before = cntx->state;
  char sent[BUF_SIZE];
  memset(sent, 0, sizeof(sent));
  int handled = def_parser(*io.s, text, sent, BUF_SIZE, cntx);
  if (handled == 0)
    handled = io.parser(text, sent, BUF_SIZE, cntx);
  if (handled == 0)
    handled = def_parser(*io.s, text, sent, BUF_SIZE, cntx);
  if (handled != 0) {
    clear_pending(p);
    io.progress_ms = monotonic_ms();
  } else if (cntx->state != EXEC_REMOTE || has_prompt(text)) {
    if (mode == HAND_LIVE)
      nxa_trace(TRACE_ERROR, "cannot parse output.\n");
    clear_pending(p);
  } else {
    p->handed_len = p->len;
  }
  if (handled == DEF_PARSER_SESSION_LOST || handled == DEF_PARSER_LOGIN_REFUSED)
    return false;
  if (sent[0] == '\0' || mode == HAND_LAST_WORDS)
    return true;
  if (handled == DEF_PARSER_HOST_KEY_ACCEPTED && !take_turn_at_key_cache(io, sent, BUF_SIZE)) {
    // Interrupted before the answer went out: the question stays unanswered.
    cntx->state = before;
    return false;
  }
  int b_write = write_process(io.client, sent);
  if (b_write > 0) {
    trace_sent(*io.s, sent, b_write);
  } else if (cntx->state != EXEC_QUIT) {
    nxa_trace(TRACE_ERROR, "cannot write data.\n");
    cntx->state = EXEC_TERMINATED;
    return false;
  }
  return true;
}

// What the client left in the pipe when it ended: read and parsed while the
// command's part was not done, as it may hold the restart announcement or
// the rest of an answer. Settle pacing dumps each piece as it reads it.
void read_last_words(session_io& io, pending_output* p, char* text) {
  for (int reads = 0; reads < DRAIN_MAX_READS && !command_done(io.cntx->state); ++reads) {
    int b_avail = process_bytes_avail(io.client);
    if (b_avail <= 0)
      break;
    if (read_pending(io.client, p, b_avail, BUF_SIZE - 1) <= 0)
      break;
    if (io.look->last_words_each) {
      dump_new_output(p, text);
      hand_on(io, p, text, HAND_LAST_WORDS);
    }
  }
  if (!io.look->last_words_each && p->len > p->handed_len && !command_done(io.cntx->state)) {
    dump_new_output(p, text);
    hand_on(io, p, text, HAND_LAST_WORDS);
  }
}

// Counts whole seconds, the ticks between two marks, as the time-outs always
// have: the settle pacing needs two looks a second apart to read a chunk, and
// a limit in milliseconds would end the pass that reads one just in time.
bool idle_too_long(const session_io& io, int poll_timeout) {
  const long long now_s = monotonic_ms() / 1000;
  return now_s - io.check_ms / 1000 > poll_timeout ||
         now_s - io.progress_ms / 1000 > poll_timeout;
}

// The bytes the client wrote that wait to be read. Any at all are a sign of
// life: the idle time-out starts again, and a held host-key lock goes.
int bytes_waiting(session_io& io) {
  const int b_avail = process_bytes_avail(io.client);
  if (b_avail > 0) {
    io.check_ms = monotonic_ms();
    client_went_on(io);
  }
  return b_avail;
}

// The settle pacing's look and pause: one look a second. While the host-key
// cache lock is held, the pause also watches the pipe, so that the lock goes
// as soon as the client goes on; the pass still lasts its second.
bool settle_ended(session_io& io) {
  if (io.key_lock == -1)
    return wait_process(io.client) != 0;
  if (reap_process(io.client, 0))
    return true;
  const long long end = monotonic_ms() + 1000;
  if (poll_process(io.client, 1000) == 1)
    client_went_on(io);
  const long long left = end - monotonic_ms();
  if (left > 0)
    pause_ms(static_cast<int>(left));
  return false;
}

// The documented pacing: output is read once the number of waiting bytes
// stood still for one look, so that a chunk is whole.
look_result settle_gather(session_io& io, pending_output* p, char*) {
  const int b_avail = bytes_waiting(io);
  if (b_avail != io.b_avail_prev) {
    io.b_avail_prev = b_avail;
    return LOOK_NOTHING;
  }
  if (b_avail <= 0)
    return LOOK_NOTHING;
  return read_pending(io.client, p, b_avail, BUF_SIZE - 1) <= 0 ? LOOK_FAILED : LOOK_READY;
}

// The prompt pacing's look: no pause of its own, its wait is on the pipe.
bool prompt_ended(session_io& io) {
  return reap_process(io.client, 0) != 0;
}

// Prompt pacing: waits on the pipe and hands the gathered text on as soon as
// it ends in a prompt or a question the dialogue answers. Text that does
// neither is handed on once it has stood still as long as a settled chunk,
// while the command is not done yet (a progress line, the restart
// announcement).
look_result prompt_gather(session_io& io, pending_output* p, char* text) {
  const int rc = poll_process(io.client, PROMPT_POLL_MS);
  if (rc < 0)
    return LOOK_FAILED;
  const int b_avail = bytes_waiting(io);
  if (b_avail > 0) {
    if (read_pending(io.client, p, b_avail, PENDING_MAX - 1) <= 0)
      return LOOK_FAILED;
  } else if (rc == 2) {
    // The client closed its output and is ending; look again shortly.
    nap_ms(PROMPT_HUP_NAP_MS);
    return LOOK_NOTHING;
  }
  if (p->len == p->handed_len)
    return LOOK_NOTHING;
  clean_text(p, text, true);
  const bool still = monotonic_ms() - p->last_byte_ms >= PROMPT_SETTLE_MS;
  const bool full = p->len >= PENDING_MAX - 1 - BUF_SIZE;
  return ready_for_parsers(text) || full || (still && !command_done(io.cntx->state))
             ? LOOK_READY
             : LOOK_NOTHING;
}

// The documented pacing gives a new client a second and looks once a second.
const pacing_look SETTLE_LOOK = {1000, settle_ended, settle_gather, true, 1000};
const pacing_look PROMPT_LOOK = {0, prompt_ended, prompt_gather, false, PROMPT_END_LOOK_MS};

const pacing_look& look_of(QbPace pace) {
  return pace == QB_PACE_SETTLE ? SETTLE_LOOK : PROMPT_LOOK;
}

// The dialogue, pass by pass: the pacing's look, then what it gathered to the
// parsers. Returns true if it ended because the client did; false when the
// run was interrupted, the client stood idle too long or the dialogue is
// over.
bool dialogue_loop(session_io& io, int timeout, pending_output* p, char* text) {
  int poll_timeout = timeout;
  for (;;) {
    if (io.look->ended(io))
      return true;
    if (interrupt_signal() != 0)
      return false;
    // The idle time-out also bounds output that never settles or that no
    // parser understands: a client that keeps writing must not hold us forever.
    if (idle_too_long(io, poll_timeout))
      return false;
    if (io.cntx->state == EXEC_QUIT)
      poll_timeout = io.s->quit_timeout;
    const look_result got = io.look->gather(io, p, text);
    if (got == LOOK_FAILED)
      return read_failed(io);
    if (got == LOOK_NOTHING)
      continue;
    // The dump shows what was read since the last one; the parsers get all
    // that is pending.
    dump_new_output(p, text);
    if (!hand_on(io, p, text, HAND_LIVE))
      return false;
  }
}

// The session between the client's start and its end: the dialogue, the
// client's last words, the idle verdict. An interrupted run leaves the state
// as the interruption found it.
void run_dialogue(const session_settings& s, exec_context* cntx, parser_handler parser,
                  int timeout, client_process* client) {
  pending_output* p = new (std::nothrow) pending_output;
  char* text = static_cast<char*>(malloc(PENDING_MAX));
  if (p == nullptr || text == nullptr) {
    // No room to read the client in: it is ended as after any dialogue.
    cntx->state = EXEC_TERMINATED;
  } else {
    clear_pending(p);
    p->last_byte_ms = monotonic_ms();
    const long long now = monotonic_ms();
    session_io io = {&s, cntx, parser, client, &look_of(s.pace), now, now, -1, 0};
    const bool ended = dialogue_loop(io, timeout, p, text);
    const bool interrupted = interrupt_signal() != 0;
    if (ended && !interrupted && cntx->state != EXEC_TERMINATED)
      read_last_words(io, p, text);
    const int poll_timeout = cntx->state == EXEC_QUIT ? s.quit_timeout : timeout;
    if (!interrupted && idle_too_long(io, poll_timeout) &&
        cntx->state != EXEC_TERMINATED && cntx->state != EXEC_QUIT) {
      nxa_trace(TRACE_DEBUG, "client canceled by timeout\n");
      cntx->state = EXEC_CANCELED_BY_TIMEOUT;
    }
    unlock_host_key_cache(io.key_lock);
  }
  delete p;
  free(text);
}

}  // namespace

session_settings::session_settings()
    : save_answer('y'),
      pace(QB_PACE_SETTLE),
      simulator(0),
      cmd_timeout(10),
      quit_timeout(10),
      host_keys_pinned(0),
      host_key_lock_wait_ms(30000),
      accept_weak_crypto(0) {
  memset(host, 0, sizeof(host));
  memset(host_key_lock, 0, sizeof(host_key_lock));
  memset(ssh_path, 0, sizeof(ssh_path));
  memset(ssh_args, 0, sizeof(ssh_args));
  memset(password, 0, sizeof(password));
  snprintf(logout_word, sizeof(logout_word), "%s", "quit");
}

namespace {

const char KEY_LOCK_NAME[] = "sshhostkeys.lock";

bool is_directory(const char* path) {
  struct stat sb;
  return stat(path, &sb) == 0 && S_ISDIR(sb.st_mode);
}

// The home that the client takes: HOME, else the password database's, into
// buf (size bytes). Returns it, or null when there is none or it does not fit.
const char* client_home(char* buf, size_t size) {
  const char* home = getenv("HOME");
  if (home == nullptr) {
    struct passwd pw;
    struct passwd* found = nullptr;
    char entry[4096];
    if (getpwuid_r(getuid(), &pw, entry, sizeof(entry), &found) != 0 || found == nullptr)
      return nullptr;
    home = found->pw_dir;
  }
  const int n = snprintf(buf, size, "%s", home);
  return n >= 0 && static_cast<size_t>(n) < size ? buf : nullptr;
}

}  // namespace

int host_key_lock_path(char* path, int size) {
  if (path == nullptr || size <= 0)
    return 0;
  path[0] = '\0';
  char dir[4096];
  const char* putty_dir = getenv("PUTTYDIR");
  int n;
  if (putty_dir != nullptr && putty_dir[0] != '\0') {
    n = snprintf(dir, sizeof(dir), "%s", putty_dir);
  } else {
    char home_buf[4096];
    const char* home = client_home(home_buf, sizeof(home_buf));
    if (home == nullptr)
      return 0;
    const char* xdg = getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] != '\0')
      n = snprintf(dir, sizeof(dir), "%s/putty", xdg);
    else
      n = snprintf(dir, sizeof(dir), "%s/.config/putty", home);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(dir) || !is_directory(dir))
      n = snprintf(dir, sizeof(dir), "%s/.putty", home);
  }
  if (n < 0 || static_cast<size_t>(n) >= sizeof(dir))
    return 0;
  n = snprintf(path, static_cast<size_t>(size), "%s/%s", dir, KEY_LOCK_NAME);
  if (n < 0 || n >= size) {
    path[0] = '\0';
    return 0;
  }
  return 1;
}

bool has_prompt(const char* text) {
  if (text == nullptr)
    return false;
  const char* begin;
  const char* end;
  last_line(text, &begin, &end);
  return end > begin && (end[-1] == '$' || end[-1] == '#');
}

bool ends_in_question(const char* text) {
  if (text == nullptr)
    return false;
  const char* begin;
  const char* end;
  last_line(text, &begin, &end);
  static const char kPassword[] = "password:";
  const size_t len = sizeof(kPassword) - 1;
  if (static_cast<size_t>(end - begin) >= len && memcmp(end - len, kPassword, len) == 0)
    return true;
  return line_holds(begin, end, "y/n") || line_holds(begin, end, "yes/no") ||
         strncmp(begin, KBD_PROMPT_MARK, strlen(KBD_PROMPT_MARK)) == 0;
}

bool weak_crypto_question(const char* text, char* kind, int kind_size, char* name,
                          int name_size, const char** reason) {
  if (text == nullptr || kind == nullptr || name == nullptr || kind_size <= 0 ||
      name_size <= 0 || reason == nullptr)
    return false;
  // The client wraps its sentences at its own width, a name's kind included.
  const size_t size = strlen(text) + 1;
  char* flat = static_cast<char*>(malloc(size));
  if (flat == nullptr)
    return false;
  size_t n = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    const bool blank = isspace(static_cast<unsigned char>(*c)) != 0;
    if (!blank)
      flat[n++] = *c;
    else if (n > 0 && flat[n - 1] != ' ')
      flat[n++] = ' ';
  }
  flat[n] = '\0';
  static const struct {
    const char* mark;
    const char* reason;
  } reasons[] = {
      {"which is below the configured warning threshold", "below its warning threshold"},
      {"vulnerable to the 'Terrapin' attack", "open to the Terrapin attack CVE-2023-48795"},
  };
  const char* found = nullptr;
  for (const auto& r : reasons)
    if (found == nullptr && strstr(flat, r.mark) != nullptr)
      found = r.reason;
  if (found == nullptr || strstr(flat, "Continue with connection? (y/n)") == nullptr) {
    free(flat);
    return false;
  }
  // "The first KIND supported by the server is NAME, which ...", "The first
  // host key type we have stored for this server is NAME, ...", "The KIND
  // selected for this session is NAME, which, ...".
  static const char* const markers[] = {" supported by the server is ",
                                        " we have stored for this server is ",
                                        " selected for this session is "};
  snprintf(kind, static_cast<size_t>(kind_size), "%s", "algorithm");
  snprintf(name, static_cast<size_t>(name_size), "%s", "?");
  for (const char* marker : markers) {
    const char* at = strstr(flat, marker);
    if (at == nullptr)
      continue;
    const char* start = at;
    while (start > flat && strncmp(start, "The ", 4) != 0)
      --start;
    if (strncmp(start, "The ", 4) == 0) {
      start += 4;
      if (strncmp(start, "first ", 6) == 0)
        start += 6;
      snprintf(kind, static_cast<size_t>(kind_size), "%.*s", static_cast<int>(at - start), start);
    }
    const char* word = at + strlen(marker);
    snprintf(name, static_cast<size_t>(name_size), "%.*s", static_cast<int>(strcspn(word, ", ")),
             word);
    break;
  }
  *reason = found;
  free(flat);
  return true;
}

namespace {

// The client's two ways of saying that the module's key is not the one
// expected: a key other than the one in its cache (it asks whether to update
// the cache; a bare line end, "Return cancels connection", refuses), or one
// that matches none given with -hostkey (it ends by itself). Returns whether
// recv was one of them; the run then ends with MORVIK_HOST_KEY_ERR.
bool key_refused(const session_settings& s, const char* recv, char* sent, int max_sent,
                 exec_context* cntx) {
  if (str_contains(recv, "WARNING - POTENTIAL SECURITY BREACH!") ||
      str_contains(recv, "Update cached key?")) {
    if (cntx->cli_result != MORVIK_HOST_KEY_ERR)
      nxa_trace(TRACE_ERROR,
                "The host key of '%s' does not match the key in the SSH client's cache; "
                "connection refused\n",
                s.host);
    snprintf(sent, static_cast<size_t>(max_sent), "%s", "\n");
    cntx->cli_result = MORVIK_HOST_KEY_ERR;
    return true;
  }
  if (str_contains(recv, "Host key not in manually configured list")) {
    if (cntx->cli_result != MORVIK_HOST_KEY_ERR)
      nxa_trace(TRACE_ERROR,
                "The host key of '%s' matches none of the keys given with -hostkey\n", s.host);
    cntx->cli_result = MORVIK_HOST_KEY_ERR;
    return true;
  }
  return false;
}

// Whether the login ended in a refusal of the tool's own: of the module's
// key, of an algorithm, of the login itself. Whatever asks for a password
// afterwards is not answered.
bool login_refused(const exec_context* cntx) {
  return cntx->cli_result == MORVIK_HOST_KEY_ERR || cntx->cli_result == MORVIK_WEAK_CRYPTO_ERR ||
         cntx->cli_result == MORVIK_SSH_AUTH_ERR;
}

// The client's question whether to go on with an algorithm it warns against:
// "y" with -accept_weak_crypto, else "n" and the verdict
// MORVIK_WEAK_CRYPTO_ERR. Returns whether recv was that question.
bool weak_crypto_answered(const session_settings& s, const char* recv, char* sent, int max_sent,
                          exec_context* cntx) {
  char kind[100];
  char name[100];
  const char* reason = nullptr;
  if (!weak_crypto_question(recv, kind, sizeof(kind), name, sizeof(name), &reason))
    return false;
  if (s.accept_weak_crypto) {
    nxa_trace(TRACE_WARNING,
              "The SSH client warns against the %s '%s' of '%s' (%s); accepted with "
              "-accept_weak_crypto\n",
              kind, name, s.host, reason);
    snprintf(sent, static_cast<size_t>(max_sent), "y%s", "\n");
    return true;
  }
  if (cntx->cli_result != MORVIK_WEAK_CRYPTO_ERR)
    nxa_trace(TRACE_ERROR,
              "The SSH client warns against the %s '%s' of '%s' (%s); connection refused, "
              "-accept_weak_crypto would accept it\n",
              kind, name, s.host, reason);
  snprintf(sent, static_cast<size_t>(max_sent), "n%s", "\n");
  cntx->cli_result = MORVIK_WEAK_CRYPTO_ERR;
  return true;
}

const char* last_occurrence(const char* text, const char* what) {
  const char* last = nullptr;
  for (const char* at = strstr(text, what); at != nullptr; at = strstr(at + 1, what))
    last = at;
  return last;
}

// Follows the client's frames around a server's text through recv: the last
// head or foot line in it decides.
void follow_server_blocks(const char* recv, exec_context* cntx) {
  const char* last = nullptr;
  for (const auto& b : SERVER_BLOCKS) {
    const char* head = last_occurrence(recv, b.head);
    const char* foot = last_occurrence(recv, b.foot);
    if (head != nullptr && (last == nullptr || head > last)) {
      last = head;
      cntx->server_block = b.block;
    }
    if (foot != nullptr && (last == nullptr || foot > last)) {
      last = foot;
      cntx->server_block = QB_BLOCK_NONE;
    }
  }
}

enum login_prompt_kind { PROMPT_NONE, PROMPT_PASSWORD, PROMPT_OTHER };

// The prompt that recv ends in, trailing blanks aside: the client's password
// prompt ("USER@HOST's password:"), or inside the keyboard-interactive block
// a server's prompt, a password prompt when it ends in "password:" in any
// case. The prompt's text goes into prompt (size bytes) for PROMPT_OTHER.
login_prompt_kind login_prompt(const char* recv, const exec_context* cntx, char* prompt,
                               size_t size) {
  const char* begin;
  const char* end;
  last_line(recv, &begin, &end);
  static const char kPassword[] = "password:";
  const size_t len = sizeof(kPassword) - 1;
  const size_t mark = strlen(KBD_PROMPT_MARK);
  const bool long_enough = static_cast<size_t>(end - begin) >= len;
  if (cntx->server_block == QB_BLOCK_KBD && static_cast<size_t>(end - begin) > mark &&
      strncmp(begin, KBD_PROMPT_MARK, mark) == 0) {
    if (long_enough && strncasecmp(end - len, kPassword, len) == 0)
      return PROMPT_PASSWORD;
    snprintf(prompt, size, "%.*s", static_cast<int>(end - begin - mark), begin + mark);
    return PROMPT_OTHER;
  }
  return long_enough && memcmp(end - len, kPassword, len) == 0 ? PROMPT_PASSWORD : PROMPT_NONE;
}

// The password, typed once per session: a second prompt means the module
// refused it, and typing it again would only count more failures against
// the account. A server's prompt that is no password's is not answered.
// Returns 0 when recv ends in no prompt of the login.
int answer_login_prompt(const session_settings& s, const char* recv, char* sent, int max_sent,
                        exec_context* cntx) {
  char prompt[BUF_SIZE];
  const login_prompt_kind kind = login_prompt(recv, cntx, prompt, sizeof(prompt));
  if (kind == PROMPT_NONE)
    return 0;
  if (kind == PROMPT_OTHER) {
    nxa_trace(TRACE_ERROR,
              "The module '%s' asks '%s' at login, which the tool has no answer for; login "
              "refused\n",
              s.host, prompt);
  } else if (cntx->state == EXEC_LOGIN) {
    nxa_trace(TRACE_ERROR,
              "The module '%s' refused the login; the password is tried once per session, to "
              "spare the account a lockout\n",
              s.host);
  } else {
    cntx->state = EXEC_LOGIN;
    snprintf(sent, static_cast<size_t>(max_sent), "%s%s", s.password, "\n");
    return 1;
  }
  cntx->cli_result = MORVIK_SSH_AUTH_ERR;
  return DEF_PARSER_LOGIN_REFUSED;
}

}  // namespace

int def_parser(const session_settings& s, const char* recv, char* sent, int max_sent,
               exec_context* cntx) {
  if (recv == nullptr || sent == nullptr || max_sent == 0 || cntx == nullptr)
    return 0;
  // The client's own questions are answered only while it logs in: the same
  // words inside a command's answer must not put "y" or the password into
  // the module's command line.
  const bool before_password = logging_in(cntx->state) && cntx->state != EXEC_LOGIN;
  // A banner's words are the server's: they ask nothing of the tool.
  if (logging_in(cntx->state)) {
    follow_server_blocks(recv, cntx);
    if (cntx->server_block == QB_BLOCK_BANNER)
      return 1;
  }
  if (before_password && key_refused(s, recv, sent, max_sent, cntx))
    return 1;
  if (before_password && !login_refused(cntx) &&
      weak_crypto_answered(s, recv, sent, max_sent, cntx))
    return 1;
  // The client's farewell after a refusal.
  if (before_password && login_refused(cntx) && str_contains(recv, "Connection abandoned."))
    return 1;
  if (str_contains(recv, "host key") && str_contains(recv, "fingerprint") &&
      (str_contains(recv, "y/n") || str_contains(recv, "yes/no")) && before_password) {
    cntx->state = EXEC_KEY_EXCHANGE;
    snprintf(sent, max_sent, "y%s", "\n");
    return DEF_PARSER_HOST_KEY_ACCEPTED;
  }
  if (logging_in(cntx->state) && !login_refused(cntx)) {
    const int answered = answer_login_prompt(s, recv, sent, max_sent, cntx);
    if (answered != 0)
      return answered;
  }
  if (has_prompt(recv)) {
    if (cntx->state == EXEC_LOGIN || cntx->state == EXEC_REMOTE)
      return 0;
    if (cntx->state == EXEC_QUIT)
      return 1;
    snprintf(sent, max_sent, "%s%s", s.logout_word, "\n");
    cntx->state = EXEC_QUIT;
    return 1;
  }
  const bool lost = str_contains(recv, "connection abort");
  if (lost || str_contains(recv, "logout") || str_contains(recv, "exit")) {
    if (command_done(cntx->state)) {
      cntx->state = EXEC_QUIT;
      return 1;
    }
    // A connection lost before the command was done is no logout; "exit" or
    // "logout" in a module's answer (an image named exit.bin) is its text.
    if (lost)
      return DEF_PARSER_SESSION_LOST;
  }
  const bool unsaved = str_contains(recv, "system has unsaved changes");
  const bool question = str_contains(recv, "y/n");
  if (unsaved && !question)
    return cntx->state == EXEC_QUIT;
  if (unsaved && question && str_contains(recv, "you like to save")) {
    if (cntx->state != EXEC_QUIT)
      return 0;
    snprintf(sent, max_sent, "%c%s", s.save_answer, "\n");
    return 1;
  }
  if (str_contains(recv, "Configuration Saved") || str_contains(recv, "Configuration Not Saved"))
    return cntx->state == EXEC_QUIT;
  if (strcasecmp(recv, "y") == 0 || strcasecmp(recv, "n") == 0)
    return cntx->state == EXEC_QUIT;
  return 0;
}

QBCodes ssh_exec(const session_settings& s, exec_context* cntx, parser_handler parser,
                 int timeout) {
  nxa_trace(TRACE_DEBUG, "preparing to execute ssh client...\n");
  if (parser == nullptr || cntx == nullptr)
    return MORVIK_INTERNAL_ERR;

  cntx->state = EXEC_INIT;
  client_process client;
  if (!create_pipes(&client))
    return MORVIK_INTERNAL_ERR;

  cntx->state = EXEC_STARTING;
  // An interrupted run starts no new client.
  if (interrupt_signal() == 0)
    run_ssh_process(&client, s.ssh_path, s.ssh_args);
  if (client.pid == 0) {
    if (client.exec_errno != 0)
      nxa_trace(TRACE_ERROR, "Cannot start the SSH client '%s': %s\n", s.ssh_path,
                strerror(client.exec_errno));
  } else {
    if (look_of(s.pace).start_ms > 0)
      pause_ms(look_of(s.pace).start_ms);
    nxa_trace(TRACE_DEBUG, "ssh client is executed.\n");
    cntx->state = EXEC_CONNECTING;
    run_dialogue(s, cntx, parser, timeout, &client);
    if (s.simulator) {
      char exit_line[16];
      snprintf(exit_line, sizeof(exit_line), "exit%s", "\n");
      // The client may be gone already; a failed write changes nothing.
      (void)write_process(&client, exit_line);
      pause_ms(SIM_EXIT_PAUSE_SEC * 1000);
    }
  }
  end_process(&client, look_of(s.pace).end_look_ms);
  return MORVIK_SUCCESS;
}

void release_cntx(exec_context** pp_cntx) {
  if (pp_cntx == nullptr || *pp_cntx == nullptr)
    return;
  delete *pp_cntx;
  *pp_cntx = nullptr;
}

QBCodes execstate_to_exit_code(QBCodes curr_code, ExecState state) {
  switch (state) {
    case EXEC_INIT:
    case EXEC_STARTING:
      return MORVIK_SSH_CLIENT_ERR;
    case EXEC_CONNECTING:
      return MORVIK_CANNOT_CONNECT_ERR;
    case EXEC_KEY_EXCHANGE:
    case EXEC_LOGIN:
      return MORVIK_SSH_AUTH_ERR;
    case EXEC_REMOTE:
    case EXEC_TERMINATED:
      return MORVIK_REMOTE_PARSER_ERR;
    case EXEC_CANCELED_BY_TIMEOUT:
      return MORVIK_REMOTE_TIMEOUT_ERR;
    default:
      return curr_code;
  }
}

void extract_response(char* recv, char* cmd, char* response, int size) {
  if (recv == nullptr || response == nullptr || cmd == nullptr || size <= 0)
    return;
  const char* start = recv;
  const char* echo = strstr(recv, cmd);
  if (echo != nullptr) {
    start = echo + strlen(cmd);
    while (*start == '\r' || *start == '\n')
      ++start;
  }
  snprintf(response, static_cast<size_t>(size), "%s", start);
  // The prompt line ends the answer, the module's name before the prompt
  // character with it; so does the same prompt shown more than once (a shell
  // prompts again for the line end after the command). A '$' or '#' on any
  // other line is the answer's own.
  if (has_prompt(response)) {
    const char* begin;
    const char* end;
    last_line(response, &begin, &end);
    char prompt[BUF_SIZE];
    snprintf(prompt, sizeof(prompt), "%.*s", static_cast<int>(end - begin), begin);
    response[begin - response] = '\0';
    str_remove_ending(response);
    for (;;) {
      last_line(response, &begin, &end);
      if (end == begin || static_cast<size_t>(end - begin) != strlen(prompt) ||
          memcmp(begin, prompt, strlen(prompt)) != 0)
        break;
      response[begin - response] = '\0';
      str_remove_ending(response);
    }
  }
  str_remove_ending(response);
}

void response_parser(char* response, exec_context* cntx, line_parser_handler parser) {
  if (response == nullptr || parser == nullptr)
    return;
  char* copy = strdup(response);
  if (copy == nullptr)
    return;
  char line[100];
  const char* pos = copy;
  for (;;) {
    while (*pos == '\r' || *pos == '\n')
      ++pos;
    const char* cr = strchr(pos, '\r');
    size_t len = cr != nullptr ? static_cast<size_t>(cr - pos) : strlen(pos);
    if (len > sizeof(line) - 1)
      len = sizeof(line) - 1;
    memcpy(line, pos, len);
    line[len] = '\0';
    str_remove_ending(line);
    if (!parser(line, cntx) || cr == nullptr)
      break;
    pos = cr;
  }
  free(copy);
}

void parse_remote_answer(const char* recv, exec_context* cntx, line_parser_handler parser) {
  // The answer may be longer than one read: it is taken whole.
  const size_t size = strlen(recv) + 1;
  char* response = static_cast<char*>(calloc(size, 1));
  if (response == nullptr) {
    cntx->cli_result = MORVIK_INTERNAL_ERR;
  } else {
    // extract_response only reads recv; its interface predates const.
    extract_response(const_cast<char*>(recv), cntx->cmd, response, static_cast<int>(size));
    response_parser(response, cntx, parser);
    free(response);
  }
  cntx->state = EXEC_REMOTE_FINISH;
}

int cli_rejected(int cmd, const char* line, exec_context* cntx) {
  const qb_command* command = qb_command_of(cmd);
  bool rejected = str_contains(line, "bash") && str_contains(line, "command");
  for (int i = 0; command != nullptr && !rejected && command->markers[i] != nullptr; ++i)
    rejected = str_contains(line, command->markers[i]);
  if (rejected)
    cntx->cli_result = MORVIK_CLI_INVALID_PARAM_ERR;
  return rejected ? 1 : 0;
}

namespace {

// The login's first prompt: the command line of the context's type goes out.
int send_command_line(const qb_command& command, char* sent, int max_sent, exec_context* cntx) {
  const qb_variant* variant = nullptr;
  const char* words[QB_MAX_WORDS] = {"", "", ""};
  if (qb_command_serving(cntx->type, &variant) != &command ||
      (variant->words != nullptr && !variant->words(cntx, words))) {
    cntx->cli_result = MORVIK_INTERNAL_ERR;
    return 0;
  }
  // The formats are the table's own, each taking the word and at most three
  // request words.
  snprintf(cntx->cmd, sizeof(cntx->cmd), variant->format,
           qb_cmd_word(command.cmd, cntx->simulator), words[0], words[1], words[2]);
  snprintf(sent, static_cast<size_t>(max_sent), "%s", cntx->cmd);
  cntx->state = EXEC_REMOTE;
  return 1;
}

}  // namespace

int command_parser(int cmd, const char* recv, char* sent, int max_sent, exec_context* cntx) {
  const qb_command* command = qb_command_of(cmd);
  if (command == nullptr || recv == nullptr || sent == nullptr || cntx == nullptr)
    return 0;
  if (!has_prompt(recv))
    return command->questions != nullptr ? command->questions(recv, sent, max_sent, cntx) : 0;
  if (cntx->state == EXEC_LOGIN)
    return send_command_line(*command, sent, max_sent, cntx);
  if (cntx->state == EXEC_REMOTE)
    parse_remote_answer(recv, cntx, command->line_parser);
  return 0;
}

QBCodes run_command(const session_settings& s, int cmd, exec_context* cntx, int timeout) {
  const qb_command* command = qb_command_of(cmd);
  if (command == nullptr || cntx == nullptr)
    return MORVIK_INTERNAL_ERR;
  cntx->simulator = s.simulator;
  if (timeout == QB_TIMEOUT_OF_ROW) {
    timeout = qb_command_timeout(*command, s.simulator);
    if (timeout == QB_TIMEOUT_SESSION)
      timeout = s.cmd_timeout;
  }
  // A session that could not even be set up (no pipes) has no state to map:
  // its internal error stands, whichever the command.
  QBCodes retval = ssh_exec(s, cntx, command->parser, timeout);
  if (retval == MORVIK_SUCCESS)
    retval = execstate_to_exit_code(retval, cntx->state);
  if (retval == MORVIK_SUCCESS && cntx->cli_result != MORVIK_SUCCESS)
    retval = cntx->cli_result;
  if (command->verdict != nullptr)
    retval = command->verdict(cntx, retval);
  // A refusal at login decides, however far the session came: a key that did
  // not match, an algorithm the client warns against, a refused password.
  if (cntx->cli_result == MORVIK_HOST_KEY_ERR || cntx->cli_result == MORVIK_WEAK_CRYPTO_ERR ||
      cntx->cli_result == MORVIK_SSH_AUTH_ERR)
    retval = cntx->cli_result;
  return retval;
}

QBCodes exec_command(const session_settings& s, int cmd, QbCliType type,
                     const qb_request& request, exec_context** pp_cntx, int timeout) {
  if (pp_cntx == nullptr)
    return MORVIK_INTERNAL_ERR;
  release_cntx(pp_cntx);
  const qb_command* command = qb_command_of(cmd);
  exec_context* cntx = command != nullptr ? new (std::nothrow) exec_context : nullptr;
  if (cntx == nullptr)
    return MORVIK_INTERNAL_ERR;
  cntx->type = type;
  QBCodes retval = command->take_request(cntx, request);
  if (retval == MORVIK_SUCCESS)
    retval = run_command(s, cmd, cntx, timeout);
  if (retval != MORVIK_SUCCESS) {
    release_cntx(&cntx);
    return retval;
  }
  *pp_cntx = cntx;
  return MORVIK_SUCCESS;
}
