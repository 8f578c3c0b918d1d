// The session engine: runs one SSH client per remote command, feeds its settled
// output through the parser chain and writes back what the parsers answer.
#include "ssh_exec.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "main.h"
#include "nxa-tools-trace.h"
#include "qb_io.h"

namespace {

const int BUF_SIZE = 4096;
const int QUIT_TIMEOUT_SEC = 10;
const int SIM_EXIT_PAUSE_SEC = 2;
const int TERM_AFTER_POLLS = 3;
const int GIVE_UP_AFTER_POLLS = 4;

// Points descriptors 0, 1 and 2 at two new pipes for the child to inherit and
// keeps duplicates of the tool's own streams to restore them. Returns 1 on
// success; 0 with every descriptor closed and the streams as they were.
int create_pipes(fd_handle& stdin_def, fd_handle& stdout_def, fd_handle& stderr_def,
                 fd_handle& stdout_r, fd_handle& stdout_w, fd_handle& stdout_e, fd_handle& stdin_r,
                 fd_handle& stdin_w) {
  fd_handle fd_pipe_out[2] = {-1, -1};
  fd_handle fd_pipe_in[2] = {-1, -1};
  stdin_def = stdout_def = stderr_def = -1;
  stdout_r = stdout_w = stdout_e = stdin_r = stdin_w = -1;

  // Anything still buffered would otherwise be written into the client's pipe,
  // or twice: once by us and once by the forked child.
  fflush(stdout);
  fflush(stderr);

  bool ok = false;
  do {
    stdout_def = dup_fdhandle(STD_OUTPUT_HANDLE);
    stdin_def = dup_fdhandle(STD_INPUT_HANDLE);
    stderr_def = dup_fdhandle(STD_ERROR_HANDLE);
    if (stdout_def == -1 || stdin_def == -1 || stderr_def == -1)
      break;
    if (create_pipe(fd_pipe_out) != 0 || create_pipe(fd_pipe_in) != 0)
      break;
    stdout_w = dup2_std_fdhandle(fd_pipe_out[1], STD_OUTPUT_HANDLE);
    if (stdout_w == -1)
      break;
    stdout_r = dup_fdhandle(fd_pipe_out[0]);
    stdin_r = dup2_std_fdhandle(fd_pipe_in[0], STD_INPUT_HANDLE);
    if (stdin_r == -1)
      break;
    stdin_w = dup_fdhandle(fd_pipe_in[1]);
    stdout_e = dup2_std_fdhandle(stdout_w, STD_ERROR_HANDLE);
    if (stdout_e == -1 || stdout_r == -1 || stdin_w == -1)
      break;
    ok = true;
  } while (false);

  close_fdhandle(fd_pipe_in[1]);
  close_fdhandle(fd_pipe_in[0]);
  close_fdhandle(fd_pipe_out[1]);
  close_fdhandle(fd_pipe_out[0]);
  if (ok)
    return 1;

  // Descriptors 0 to 2 are restored below, not closed, so that a failure in
  // the middle never leaves the tool without its standard streams.
  close_fdhandle(stdout_r);
  close_fdhandle(stdin_w);
  stdout_w = stdout_e = stdin_r = -1;
  restore_std_fdhandles(stdin_def, stdout_def, stderr_def);
  return 0;
}

void trace_recv(char* recv) {
  nxa_trace(TRACE_DEBUG,
            "\n============== received data begin ==============\n%s\n"
            "============== received data ended ==============\n\n",
            recv);
}

// The password line is shown masked: a debug log must never carry it.
void trace_sent(char* sent, int b_written) {
  if (sent == nullptr)
    return;
  char shown[BUF_SIZE];
  snprintf(shown, sizeof(shown), "%s", sent);
  char password_line[BUF_SIZE];
  snprintf(password_line, sizeof(password_line), "%s%s", options.password, "\n");
  if (strcmp(sent, password_line) == 0)
    memset(shown, '*', strlen(options.password));
  nxa_trace(TRACE_DEBUG,
            "\n======= sent data begin == %4d bytes to write ==\n%s\n"
            "======= sent data ended == %4d bytes was sent ==\n\n",
            static_cast<int>(strlen(sent)), shown, b_written);
}

// Removes the NUL bytes among the first len bytes of text, in place, and
// terminates what is left. A terminal shows nothing for them; left in, the
// first would end the chunk and hide the rest of it, prompt included.
void drop_nul_bytes(char* text, int len) {
  int kept = 0;
  for (int i = 0; i < len; ++i)
    if (text[i] != '\0')
      text[kept++] = text[i];
  memset(text + kept, 0, static_cast<size_t>(len - kept));
}

bool has_prompt(const char* text) {
  return strpbrk(text, "$#") != nullptr;
}

// Waits for the client to end after the dialogue: about three polls, then
// SIGTERM, two more polls, then SIGKILL, so that no client outlives the session.
void end_client(pid_t pid) {
  int counter = 0;
  while (!wait_process(pid)) {
    ++counter;
    if (counter > GIVE_UP_AFTER_POLLS) {
      kill_process(pid);
      return;
    }
    if (counter == TERM_AFTER_POLLS) {
      nxa_trace(TRACE_WARNING, "client terminated forcibly\n");
      kill(pid, SIGTERM);
    }
  }
}

}  // namespace

int def_parser(const char* recv, char* sent, int max_sent, exec_context* cntx) {
  if (recv == nullptr || sent == nullptr || max_sent == 0 || cntx == nullptr)
    return 0;
  if (str_contains(recv, "host key") && str_contains(recv, "fingerprint") &&
      (str_contains(recv, "y/n") || str_contains(recv, "yes/no"))) {
    cntx->state = EXEC_KEY_EXCHANGE;
    snprintf(sent, max_sent, "y%s", "\n");
    return 1;
  }
  if (str_contains(recv, "password:")) {
    cntx->state = EXEC_LOGIN;
    snprintf(sent, max_sent, "%s%s", options.password, "\n");
    return 1;
  }
  if (has_prompt(recv)) {
    if (cntx->state == EXEC_LOGIN || cntx->state == EXEC_REMOTE)
      return 0;
    if (cntx->state == EXEC_QUIT)
      return 1;
    snprintf(sent, max_sent, "%s%s", get_qb_cmd(QB_QUIT), "\n");
    cntx->state = EXEC_QUIT;
    return 1;
  }
  if (str_contains(recv, "logout") || str_contains(recv, "exit") || str_contains(recv, "connection abort")) {
    cntx->state = EXEC_QUIT;
    return 1;
  }
  const bool unsaved = str_contains(recv, "system has unsaved changes");
  const bool question = str_contains(recv, "y/n");
  if (unsaved && !question)
    return cntx->state == EXEC_QUIT;
  if (unsaved && question && str_contains(recv, "you like to save")) {
    if (cntx->state != EXEC_QUIT)
      return 0;
    snprintf(sent, max_sent, "y%s", "\n");
    return 1;
  }
  if (str_contains(recv, "Configuration Saved") || str_contains(recv, "Configuration Not Saved"))
    return cntx->state == EXEC_QUIT;
  if (strcasecmp(recv, "y") == 0 || strcasecmp(recv, "n") == 0)
    return cntx->state == EXEC_QUIT;
  return 0;
}

QBCodes ssh_exec(exec_context* cntx, parser_handler parser, int timeout) {
  char recv[BUF_SIZE];
  char sent[BUF_SIZE];
  memset(recv, 0, sizeof(recv));
  memset(sent, 0, sizeof(sent));
  int poll_timeout = timeout;
  pid_t pid = 0;
  nxa_trace(TRACE_DEBUG, "preparing to execute ssh client...\n");
  if (parser == nullptr || cntx == nullptr)
    return MORVIK_INTERNAL_ERR;

  cntx->state = EXEC_INIT;
  fd_handle stdin_def = -1, stdout_def = -1, stderr_def = -1;
  fd_handle stdout_r = -1, stdout_w = -1, stdout_e = -1, stdin_r = -1, stdin_w = -1;
  if (!create_pipes(stdin_def, stdout_def, stderr_def, stdout_r, stdout_w, stdout_e, stdin_r,
                    stdin_w))
    return MORVIK_INTERNAL_ERR;

  cntx->state = EXEC_STARTING;
  pid = run_ssh_process(stdin_r, stdout_w, stdout_e, stdin_def, stdout_def, stderr_def,
                        options.ssh_path, options.ssh_args);
  if (pid != 0) {
    nxa_trace(TRACE_DEBUG, "ssh client is executed.\n");
    cntx->state = EXEC_CONNECTING;
    int b_avail_prev = 0;
    time_t check_time = time(nullptr);
    // The idle time-out also bounds output that never settles or that no
    // parser understands: a client that keeps writing must not hold us forever.
    time_t progress_time = check_time;

    while (!wait_process(pid) && difftime(time(nullptr), check_time) <= poll_timeout &&
           difftime(time(nullptr), progress_time) <= poll_timeout) {
      if (cntx->state == EXEC_QUIT)
        poll_timeout = QUIT_TIMEOUT_SEC;
      memset(sent, 0, sizeof(sent));
      memset(recv, 0, sizeof(recv));
      int b_avail = get_bytes_avail(stdout_r);
      if (b_avail > 0)
        check_time = time(nullptr);
      // Read only output that stood still for one poll: the client has
      // stopped writing, so the chunk is whole.
      if (b_avail != b_avail_prev) {
        b_avail_prev = b_avail;
        continue;
      }
      if (b_avail <= 0)
        continue;
      int b_read = read_fdhandle(stdout_r, recv, BUF_SIZE - 1, b_avail);
      if (b_read <= 0) {
        nxa_trace(TRACE_ERROR, "cannot read data\n");
        cntx->state = EXEC_TERMINATED;
        break;
      }
      drop_nul_bytes(recv, b_read);
      str_remove_single_cr(recv, BUF_SIZE);
      trace_recv(recv);
      str_remove_ending(recv);
      if (recv[0] == '\0')
        continue;

      int handled = def_parser(recv, sent, BUF_SIZE, cntx);
      if (!handled)
        handled = parser(recv, sent, BUF_SIZE, cntx);
      if (!handled)
        handled = def_parser(recv, sent, BUF_SIZE, cntx);
      if (handled)
        progress_time = time(nullptr);
      else
        nxa_trace(TRACE_ERROR, "cannot parse output.\n");

      if (sent[0] != '\0') {
        int b_write = write_fdhandle(stdin_w, sent);
        if (b_write > 0) {
          trace_sent(sent, b_write);
        } else if (cntx->state != EXEC_QUIT) {
          nxa_trace(TRACE_ERROR, "cannot write data.\n");
          cntx->state = EXEC_TERMINATED;
          break;
        }
      }
    }

    const bool timed_out = difftime(time(nullptr), check_time) > poll_timeout ||
                           difftime(time(nullptr), progress_time) > poll_timeout;
    if (timed_out && cntx->state != EXEC_TERMINATED && cntx->state != EXEC_QUIT) {
      nxa_trace(TRACE_DEBUG, "client canceled by timeout\n");
      cntx->state = EXEC_CANCELED_BY_TIMEOUT;
    }
    if (simulator_mode) {
      char exit_line[16];
      snprintf(exit_line, sizeof(exit_line), "exit%s", "\n");
      // The client may be gone already; a failed write changes nothing.
      (void)write_fdhandle(stdin_w, exit_line);
      sleep(SIM_EXIT_PAUSE_SEC);
    }
    end_client(pid);
  }

  close_fdhandle(stdout_r);
  close_fdhandle(stdout_w);
  close_fdhandle(stdout_e);
  close_fdhandle(stdin_r);
  close_fdhandle(stdin_w);
  restore_std_fdhandles(stdin_def, stdout_def, stderr_def);
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
  // The prompt line ends the answer; its text before the prompt character
  // (the module's name) goes with it.
  char* prompt = strpbrk(response, "$#");
  if (prompt != nullptr) {
    *prompt = '\0';
    size_t len = strlen(response);
    while (len > 0 && response[len - 1] != '\r' && response[len - 1] != '\n')
      response[--len] = '\0';
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
  char response[BUF_SIZE];
  memset(response, 0, sizeof(response));
  // extract_response only reads recv; its interface predates const.
  extract_response(const_cast<char*>(recv), cntx->cmd, response, BUF_SIZE);
  response_parser(response, cntx, parser);
  cntx->state = EXEC_REMOTE_FINISH;
}
