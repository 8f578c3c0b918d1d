// The tool driver: the run from command line to exit status, and the two tool
// modes, the account check and the flashing procedure.
#include "main.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "nxa-tools-trace.h"
#include "qb_socket.h"
#include "misc.h"
#include "ssh_exec.h"

qb_opt options;

qb_opt::qb_opt() : tracemode(0), mode(QB_UNDEF_MODE), both(0), pace(QB_PACE_SETTLE) {
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

// What a tool mode works with: the command line's values, and how its
// sessions and probes are paced.
struct qb_run {
  const qb_opt* p_opt;
  session_settings session;
  probe_settings probe;
};

// Builds the run of opt: the client found by get_ssh_cmd, the password, the
// logout word of the dialect in use, the pacing chosen.
void prepare_run(qb_run* run, const qb_opt& opt, int simulator) {
  run->p_opt = &opt;
  session_settings& s = run->session;
  snprintf(s.ssh_path, sizeof(s.ssh_path), "%s", opt.ssh_path);
  snprintf(s.ssh_args, sizeof(s.ssh_args), "%s", opt.ssh_args);
  snprintf(s.password, sizeof(s.password), "%s", opt.password);
  snprintf(s.logout_word, sizeof(s.logout_word), "%s", get_qb_cmd(QB_QUIT));
  s.pace = opt.pace;
  s.simulator = simulator;
  if (opt.pace == QB_PACE_PROMPT)
    run->probe.close_pause_sec = 0;
}

// The probe before each remote step.
bool reachable(const qb_run& run) {
  return is_server_available(const_cast<char*>(run.p_opt->host), PROBE_COUNT, run.probe, 0) != 0;
}
const int SIM_START_PAUSE_SEC = 2;

QBCodes account_check(const qb_run& run) {
  if (run.p_opt->mode != QB_CHECK_AUTH_MODE)
    return MORVIK_INVALID_PARAM_ERR;
  nxa_trace(TRACE_NOTICE, "\nChecking user account...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  exec_context* p_cntx = nullptr;
  QBCodes retval = exec_show(run.session, QB_CLI_SHOW_LOGINSESSION, &p_cntx);
  if (retval == MORVIK_SUCCESS)
    nxa_trace(TRACE_NOTICE, "Account verified\n");
  else
    nxa_trace(TRACE_ERROR, "Account verification failed\n");
  release_cntx(&p_cntx);
  return retval;
}

// How often each boot mode has been flashed in this run; a mode flashed twice
// means the module did not come back in the mode it was switched to.
int flashed_flag[QB_MODE_ALL] = {0, 0, 0, 0};

const int RELOAD_WAIT_PROBES = 600;
const int COPY_TIMEOUT_SEC = 1200;
const int IMAGE_NAME_LEN = 100;

// Restarts the module and waits until its SSH port answers again.
QBCodes reload_system(const qb_run& run) {
  nxa_trace(TRACE_NOTICE, "\nReload system...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  exec_context* p_cntx = nullptr;
  QBCodes retval = exec_reload(run.session, &p_cntx, get_reload_timeout());
  if (retval != MORVIK_SUCCESS)
    return retval;
  nxa_trace(TRACE_NOTICE, "\nTrying to connect to the system after reloading (timeout %d sec)...\n",
            RELOAD_WAIT_PROBES);
  time_t begin = time(nullptr);
  // The wait ends by the time it announces, whatever the network does.
  if (is_server_available(const_cast<char*>(run.p_opt->host), RELOAD_WAIT_PROBES, run.probe,
                          RELOAD_WAIT_PROBES))
    nxa_trace(TRACE_NOTICE, "Successfully connected after %.0f sec\n", difftime(time(nullptr), begin));
  else
    retval = MORVIK_CANNOT_CONNECT_ERR;
  release_cntx(&p_cntx);
  return retval;
}

// Makes mode the boot mode of the next start and restarts the module.
QBCodes reload_to_mode(const qb_run& run, QbBootMode mode) {
  nxa_trace(TRACE_NOTICE, "\nChanging current boot mode to '%s'...\n", s_boot_mode[mode]);
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  exec_context* p_cntx = nullptr;
  QBCodes retval = exec_bootsystem(run.session, QB_CLI_BOOT_SYSTEM_MODE, nullptr, mode, &p_cntx);
  if (retval != MORVIK_SUCCESS)
    return retval;
  release_cntx(&p_cntx);
  return reload_system(run);
}

// Stops a step: frees the step's context and passes its code on.
QBCodes stop(exec_context** pp_cntx, QBCodes retval) {
  release_cntx(pp_cntx);
  return retval;
}

// Makes room for the new image: deletes the second image and confirms with a
// listing of that file that it is gone.
QBCodes delete_second_image(const qb_run& run, file_info* second) {
  exec_context* p_cntx = nullptr;
  nxa_trace(TRACE_NOTICE, "\nDeleting second opcode image...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  QBCodes retval = exec_delete(run.session, second, &p_cntx);
  if (retval != MORVIK_SUCCESS)
    return retval;
  release_cntx(&p_cntx);
  nxa_trace(TRACE_NOTICE, "Confirmation of deleting...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  retval = exec_dir(run.session, QB_CLI_DIR_FILE, second, &p_cntx);
  if (retval != MORVIK_SUCCESS)
    return retval;
  if (!p_cntx->p_dir->p_list->empty()) {
    nxa_trace(TRACE_ERROR, "Cannot delete the second opcode image\n");
    return stop(&p_cntx, MORVIK_FLASHING_LOGIC_ERR);
  }
  nxa_trace(TRACE_NOTICE, "The second opcode image was deleted successfully\n");
  return stop(&p_cntx, MORVIK_SUCCESS);
}

// Has the module download the new image and confirms it with a fresh listing.
QBCodes download_image(const qb_run& run, char* new_opcode_img) {
  exec_context* p_cntx = nullptr;
  nxa_trace(TRACE_NOTICE, "\nDownloading new image from TFTP server...\n");
  nxa_trace(TRACE_NOTICE, "TFTP url: '%s'\n", run.p_opt->tftp_path);
  nxa_trace(TRACE_NOTICE, "Image name: '%s'\n", new_opcode_img);
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  QBCodes retval = exec_copy(run.session, const_cast<char*>(run.p_opt->tftp_path), new_opcode_img, &p_cntx,
                             COPY_TIMEOUT_SEC);
  if (retval != MORVIK_SUCCESS)
    return retval;
  release_cntx(&p_cntx);
  nxa_trace(TRACE_NOTICE, "\nConfirmation of downloading...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  retval = exec_dir(run.session, QB_CLI_DIR_OPCODE, nullptr, &p_cntx);
  if (retval != MORVIK_SUCCESS)
    return retval;
  file_info tmp_info;
  memset(&tmp_info, 0, sizeof(tmp_info));
  if (get_opcode_image(0, p_cntx->p_dir->p_list, &tmp_info) &&
      strcmp(tmp_info.name, new_opcode_img) == 0) {
    nxa_trace(TRACE_NOTICE, "New opcode image was successfully downloaded to the second entry \n");
  } else if (get_opcode_image(1, p_cntx->p_dir->p_list, &tmp_info) &&
             strcmp(tmp_info.name, new_opcode_img) == 0) {
    nxa_trace(TRACE_NOTICE, "New opcode image was successfully downloaded to the first entry\n");
  } else {
    nxa_trace(TRACE_ERROR, "Downloading of new opcode image failed\n");
    return stop(&p_cntx, MORVIK_FLASHING_LOGIC_ERR);
  }
  return stop(&p_cntx, MORVIK_SUCCESS);
}

// After the restart: did the module boot the new image?
QBCodes verify_flash(const qb_run& run, QbBootMode mode, const char* new_opcode_img) {
  exec_context* p_cntx = nullptr;
  nxa_trace(TRACE_NOTICE, "\nChecking if flashing was successful...\n");
  nxa_trace(TRACE_NOTICE, "\nGetting current boot mode and image...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  QBCodes retval = exec_whichboot(run.session, &p_cntx);
  if (retval != MORVIK_SUCCESS)
    return retval;
  nxa_trace(TRACE_NOTICE, "Boot mode: '%s'\n", p_cntx->p_whichboot->boot_system);
  nxa_trace(TRACE_NOTICE, "Startup opcode image: '%s'\n\n", p_cntx->p_whichboot->p_opcode->name);
  if (strcmp(p_cntx->p_whichboot->p_opcode->name, new_opcode_img) == 0) {
    nxa_trace(TRACE_NOTICE, "\nSystem was successfully flashed for mode '%s'\n", s_boot_mode[mode]);
    return stop(&p_cntx, MORVIK_SUCCESS);
  }
  nxa_trace(TRACE_ERROR, "\nSystem flashing failed for mode '%s'\n", s_boot_mode[mode]);
  return stop(&p_cntx, MORVIK_FLASHING_LOGIC_ERR);
}

// Flashes one boot mode whose startup image whichboot reported as
// old_opcode_img: list, delete the second image, download, switch the startup
// image, restart, verify. Nothing done on the module is undone on failure.
QBCodes do_flash_for_mode(const qb_run& run, QbBootMode mode, char* old_opcode_img) {
  char new_opcode_img[IMAGE_NAME_LEN];
  memset(new_opcode_img, 0, sizeof(new_opcode_img));
  if (mode < QB_MODE_UNKNOWN || mode >= QB_MODE_ALL)
    return MORVIK_INTERNAL_ERR;
  nxa_trace(TRACE_NOTICE, "\nExecuting flashing for mode '%s'\n", s_boot_mode[mode]);
  ++flashed_flag[mode];
  if (mode == QB_MODE_UNKNOWN || old_opcode_img == nullptr)
    return MORVIK_INTERNAL_ERR;
  if (flashed_flag[mode] > 1) {
    nxa_trace(TRACE_ERROR, "\nTrying to flash the mode '%s' twice\n", s_boot_mode[mode]);
    return MORVIK_FLASHING_LOGIC_ERR;
  }
  snprintf(new_opcode_img, sizeof(new_opcode_img), "%s",
           mode == QB_MODE_TZR ? run.p_opt->img_tzr : run.p_opt->img_sw);
  if (new_opcode_img[0] == '\0')
    return MORVIK_INTERNAL_ERR;

  exec_context* p_cntx = nullptr;
  nxa_trace(TRACE_NOTICE, "\nGetting opcode images...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  QBCodes retval = exec_dir(run.session, QB_CLI_DIR_OPCODE, nullptr, &p_cntx);
  if (retval != MORVIK_SUCCESS)
    return retval;
  file_info tmp_info;
  if (!get_opcode_image(1, p_cntx->p_dir->p_list, &tmp_info)) {
    nxa_trace(TRACE_ERROR, "Cannot get startup opcode image name\n");
    return stop(&p_cntx, MORVIK_CLI_NO_INFO_ERR);
  }
  nxa_trace(TRACE_NOTICE, "Startup opcode image: '%s'\n", tmp_info.name);
  if (strcmp(old_opcode_img, tmp_info.name) != 0) {
    nxa_trace(TRACE_ERROR, "Opcode image names from 'dir' and 'whichboot' are different\n");
    return stop(&p_cntx, MORVIK_FLASHING_LOGIC_ERR);
  }
  if (get_opcode_image(0, p_cntx->p_dir->p_list, &tmp_info)) {
    nxa_trace(TRACE_NOTICE, "Second opcode image: '%s'\n", tmp_info.name);
    release_cntx(&p_cntx);
    retval = delete_second_image(run, &tmp_info);
    if (retval != MORVIK_SUCCESS)
      return retval;
  } else {
    nxa_trace(TRACE_NOTICE, "Second opcode image: not found\n");
  }
  release_cntx(&p_cntx);

  retval = download_image(run, new_opcode_img);
  if (retval != MORVIK_SUCCESS)
    return retval;

  nxa_trace(TRACE_NOTICE, "\nChanging startup opcode image...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  retval = exec_bootsystem(run.session, QB_CLI_BOOT_SYSTEM_OPCODE, new_opcode_img, QB_MODE_UNKNOWN,
                           &p_cntx);
  if (retval != MORVIK_SUCCESS)
    return retval;
  release_cntx(&p_cntx);

  retval = reload_system(run);
  if (retval != MORVIK_SUCCESS)
    return retval;
  return verify_flash(run, mode, new_opcode_img);
}

// Asks the module for its boot mode and startup image, stores the mode in
// mode and flashes that mode.
QBCodes flash_curent_mode(const qb_run& run, QbBootMode& mode) {
  char old_opcode_img[IMAGE_NAME_LEN];
  memset(old_opcode_img, 0, sizeof(old_opcode_img));
  nxa_trace(TRACE_NOTICE, "\nGetting current boot mode and image...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  exec_context* p_cntx = nullptr;
  QBCodes retval = exec_whichboot(run.session, &p_cntx);
  if (retval != MORVIK_SUCCESS)
    return retval;
  nxa_trace(TRACE_NOTICE, "Boot mode: '%s'\n", p_cntx->p_whichboot->boot_system);
  nxa_trace(TRACE_NOTICE, "Startup opcode image: '%s'\n\n", p_cntx->p_whichboot->p_opcode->name);
  mode = p_cntx->p_whichboot->curr_mode;
  snprintf(old_opcode_img, sizeof(old_opcode_img), "%s", p_cntx->p_whichboot->p_opcode->name);
  release_cntx(&p_cntx);
  return do_flash_for_mode(run, mode, old_opcode_img);
}

// The update tool mode: the current boot mode, or with "both" also the other
// one, and then back to the mode the module started in.
QBCodes do_flash(const qb_run& run) {
  const qb_opt& opt = *run.p_opt;
  if (opt.mode != QB_FLASH_MODE)
    return MORVIK_INVALID_PARAM_ERR;
  QbBootMode boot_mode = QB_MODE_UNKNOWN;
  QbBootMode init_mode = QB_MODE_UNKNOWN;
  QBCodes retval = flash_curent_mode(run, boot_mode);
  if (retval == MORVIK_SUCCESS) {
    init_mode = boot_mode;
    if (opt.both) {
      QbBootMode second = (boot_mode == QB_MODE_SWITCH || boot_mode == QB_MODE_EHM) ? QB_MODE_TZR
                                                                                    : QB_MODE_SWITCH;
      retval = reload_to_mode(run, second);
      if (retval == MORVIK_SUCCESS)
        retval = flash_curent_mode(run, boot_mode);
    }
  }
  if (retval != MORVIK_SUCCESS) {
    nxa_trace(TRACE_ERROR, "\nFlashing was canceled with error %d\n", retval);
  } else if (opt.both) {
    nxa_trace(TRACE_NOTICE, "\nReload system to the initial mode\n");
    if (reload_to_mode(run, init_mode) != MORVIK_SUCCESS)
      nxa_trace(TRACE_WARNING, "\nCannot reload the system to initial mode '%s'\n",
                s_boot_mode[init_mode]);
  }
  return retval;
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
  nxa_trace(TRACE_ALWAYS, "Version %d.%d.%d.%d\n\n", MORVIK_VERSION_MAJOR, MORVIK_VERSION_MINOR,
            MORVIK_VERSION_PATCH, MORVIK_VERSION_BUILD);
  if (simulator_mode) {
    nxa_trace(TRACE_ALWAYS, "\nSimulator mode!!!\n");
    sleep(SIM_START_PAUSE_SEC);
  }
  qb_run run;
  if (winsock_init() != 0) {
    retval = MORVIK_INTERNAL_ERR;
  } else {
    retval = get_ssh_cmd();
    prepare_run(&run, options, simulator_mode);
    if (retval != MORVIK_SUCCESS) {
      nxa_trace(TRACE_ERROR, "SSH client not found\n");
    } else if (options.mode == QB_CHECK_AUTH_MODE) {
      nxa_trace(TRACE_NOTICE, "Mode: checking user account\n\n");
      retval = account_check(run);
    } else if (options.mode == QB_FLASH_MODE) {
      nxa_trace(TRACE_NOTICE, "Mode: flashing %s\n\n", options.both ? "both modes" : "");
      retval = do_flash(run);
    } else {
      nxa_trace(TRACE_ERROR, "Invalid tool mode\n");
      retval = MORVIK_INVALID_PARAM_ERR;
    }
  }
  winsock_cleanup();
  nxa_trace(TRACE_NOTICE, "\nProgram exited with code %d\n", retval);
  return retval;
}
