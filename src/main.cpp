// The tool driver: the run from command line to exit status, and the two tool
// modes, the account check and the flashing procedure.
#include "main.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "nxa-tools-trace.h"
#include "qb_socket.h"
#include "ssh_exec.h"

qb_opt options;

qb_opt::qb_opt() : tracemode(0), mode(QB_UNDEF_MODE), both(0) {
  memset(username, 0, sizeof(username));
  memset(password, 0, sizeof(password));
  memset(host, 0, sizeof(host));
  memset(tftp_path, 0, sizeof(tftp_path));
  memset(img_tzr, 0, sizeof(img_tzr));
  memset(img_sw, 0, sizeof(img_sw));
  memset(ssh_path, 0, sizeof(ssh_path));
  memset(ssh_args, 0, sizeof(ssh_args));
}

namespace {

const int PROBE_COUNT = 2;
const int SIM_START_PAUSE_SEC = 2;

QBCodes account_check() {
  if (options.mode != QB_CHECK_AUTH_MODE)
    return MORVIK_INVALID_PARAM_ERR;
  nxa_trace(TRACE_NOTICE, "\nChecking user account...\n");
  if (!is_server_available(options.host, PROBE_COUNT))
    return MORVIK_CANNOT_CONNECT_ERR;
  exec_context* p_cntx = nullptr;
  QBCodes retval = exec_show(QB_CLI_SHOW_LOGINSESSION, &p_cntx);
  if (retval == MORVIK_SUCCESS)
    nxa_trace(TRACE_NOTICE, "Account verified\n");
  else
    nxa_trace(TRACE_ERROR, "Account verification failed\n");
  release_cntx(&p_cntx);
  return retval;
}

QBCodes do_flash() {
  if (options.mode != QB_FLASH_MODE)
    return MORVIK_INVALID_PARAM_ERR;
  nxa_trace(TRACE_ERROR, "\nFlashing was canceled with error %d\n", MORVIK_INTERNAL_ERR);
  return MORVIK_INTERNAL_ERR;
}

}  // namespace

int morvik_main(int argc, char** argv) {
  // A client that is already gone must fail our write, not end the tool.
  signal(SIGPIPE, SIG_IGN);
  QBCodes retval = parse_args(argc, argv);
  if (retval != MORVIK_SUCCESS)
    return retval;
  nxa_set_trace(static_cast<unsigned int>(options.tracemode));
  nxa_trace(TRACE_ALWAYS, "\nUtility to execute flashing of Quorbel\n");
  nxa_trace(TRACE_ALWAYS, "Version %d.%d.%d.%d\n\n", 1, 1, 0, 33);
  if (simulator_mode) {
    nxa_trace(TRACE_ALWAYS, "\nSimulator mode!!!\n");
    sleep(SIM_START_PAUSE_SEC);
  }
  if (winsock_init() != 0) {
    retval = MORVIK_INTERNAL_ERR;
  } else {
    retval = get_ssh_cmd();
    if (retval != MORVIK_SUCCESS) {
      nxa_trace(TRACE_ERROR, "SSH client not found\n");
    } else if (options.mode == QB_CHECK_AUTH_MODE) {
      nxa_trace(TRACE_NOTICE, "Mode: checking user account\n\n");
      retval = account_check();
    } else if (options.mode == QB_FLASH_MODE) {
      nxa_trace(TRACE_NOTICE, "Mode: flashing %s\n\n", options.both ? "both modes" : "");
      retval = do_flash();
    } else {
      nxa_trace(TRACE_ERROR, "Invalid tool mode\n");
      retval = MORVIK_INVALID_PARAM_ERR;
    }
  }
  winsock_cleanup();
  nxa_trace(TRACE_NOTICE, "\nProgram exited with code %d\n", retval);
  return retval;
}
