// The tool driver: the run from command line to exit status, and the two tool
// modes, the account check and the flashing procedure.
#include "main.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "misc.h"
#include "nxa-tools-trace.h"
#include "qb_lock.h"
#include "qb_socket.h"
#include "report.h"
#include "ssh_exec.h"

qb_opt options;

qb_opt::qb_opt()
    : tracemode(0), mode(QB_UNDEF_MODE), both(0), pace(QB_PACE_SETTLE), dry_run(0), stage(0),
      check_tftp(0), host_key_count(0) {
  memset(username, 0, sizeof(username));
  memset(password, 0, sizeof(password));
  memset(host, 0, sizeof(host));
  memset(tftp_path, 0, sizeof(tftp_path));
  memset(img_tzr, 0, sizeof(img_tzr));
  memset(img_sw, 0, sizeof(img_sw));
  memset(ssh_path, 0, sizeof(ssh_path));
  memset(ssh_args, 0, sizeof(ssh_args));
  memset(pwd_file, 0, sizeof(pwd_file));
  memset(report_path, 0, sizeof(report_path));
  memset(host_keys, 0, sizeof(host_keys));
}

namespace {

const int PROBE_COUNT = 2;
const int SIM_START_PAUSE_SEC = 2;

// What a tool mode works with: the command line's values, how its sessions
// and probes are paced, and where it notes its steps for the report.
struct qb_run {
  const qb_opt* p_opt;
  session_settings session;
  probe_settings probe;
  run_record* p_record;
  int dry_run;
  int reload_grace_sec;  // pause before the first probe after a restart
};

// Builds the run of opt: the client found by get_ssh_cmd, the password, the
// logout word of the dialect in use, the pacing chosen. A dry run declines
// the save question at logout, so that it changes nothing at all.
void prepare_run(qb_run* run, const qb_opt& opt, int simulator, run_record* record) {
  run->p_opt = &opt;
  run->p_record = record;
  run->dry_run = opt.dry_run;
  session_settings& s = run->session;
  snprintf(s.ssh_path, sizeof(s.ssh_path), "%s", opt.ssh_path);
  snprintf(s.ssh_args, sizeof(s.ssh_args), "%s", opt.ssh_args);
  snprintf(s.password, sizeof(s.password), "%s", opt.password);
  snprintf(s.logout_word, sizeof(s.logout_word), "%s", get_qb_cmd(QB_QUIT));
  s.save_answer = opt.dry_run ? 'n' : 'y';
  s.pace = opt.pace;
  s.simulator = simulator;
  snprintf(s.host, sizeof(s.host), "%s", opt.host);
  s.host_keys_pinned = opt.host_key_count > 0;
  host_key_lock_path(s.host_key_lock, sizeof(s.host_key_lock));
  run->reload_grace_sec = 0;
  if (opt.pace == QB_PACE_PROMPT) {
    run->probe.close_pause_sec = 0;
    // Reacting as soon as the module announces its restart, the tool would
    // probe while the module is still going down and take the old instance
    // for the new one. One pause between attempts comes first; the settled
    // pacing is slow enough not to need it.
    run->reload_grace_sec = run->probe.attempt_pause_sec;
  }
}

char* host_of(const qb_run& run) {
  // The probe's interface predates const; it only reads the name.
  return const_cast<char*>(run.p_opt->host);
}

// The probe before each remote step, noted as a step of its own.
bool reachable(const qb_run& run) {
  int step = record_begin(run.p_record, "probe", QB_MODE_UNKNOWN);
  bool up = is_server_available(host_of(run), PROBE_COUNT, run.probe, 0) != 0;
  record_end(run.p_record, step, up ? MORVIK_SUCCESS : MORVIK_CANNOT_CONNECT_ERR);
  return up;
}

QBCodes account_check(const qb_run& run) {
  if (run.p_opt->mode != QB_CHECK_AUTH_MODE)
    return MORVIK_INVALID_PARAM_ERR;
  nxa_trace(TRACE_NOTICE, "\nChecking user account...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  exec_context* p_cntx = nullptr;
  int step = record_begin(run.p_record, "account_check", QB_MODE_UNKNOWN);
  QBCodes retval = record_end(run.p_record, step,
                              exec_show(run.session, QB_CLI_SHOW_LOGINSESSION, &p_cntx));
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

// Stops a step: frees the step's context, notes the step's code and passes it on.
QBCodes stop(const qb_run& run, int step, exec_context** pp_cntx, QBCodes retval) {
  release_cntx(pp_cntx);
  return record_end(run.p_record, step, retval);
}

// Restarts the module and waits until its SSH port answers again.
QBCodes reload_system(const qb_run& run, QbBootMode mode) {
  if (run.dry_run) {
    nxa_trace(TRACE_ALWAYS, "Dry run: would reload the system\n");
    return MORVIK_SUCCESS;
  }
  nxa_trace(TRACE_NOTICE, "\nReload system...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  exec_context* p_cntx = nullptr;
  int step = record_begin(run.p_record, "reload", mode);
  QBCodes retval = record_end(run.p_record, step,
                              exec_reload(run.session, &p_cntx, get_reload_timeout()));
  if (retval != MORVIK_SUCCESS)
    return retval;
  nxa_trace(TRACE_NOTICE, "\nTrying to connect to the system after reloading (timeout %d sec)...\n",
            RELOAD_WAIT_PROBES);
  step = record_begin(run.p_record, "wait_for_module", mode);
  time_t begin = time(nullptr);
  if (run.reload_grace_sec > 0)
    sleep(static_cast<unsigned int>(run.reload_grace_sec));
  // The wait ends by the time it announces, whatever the network does.
  if (is_server_available(host_of(run), RELOAD_WAIT_PROBES, run.probe,
                          RELOAD_WAIT_PROBES - run.reload_grace_sec))
    nxa_trace(TRACE_NOTICE, "Successfully connected after %.0f sec\n", difftime(time(nullptr), begin));
  else
    retval = MORVIK_CANNOT_CONNECT_ERR;
  return stop(run, step, &p_cntx, retval);
}

// Makes mode the boot mode of the next start and restarts the module.
QBCodes reload_to_mode(const qb_run& run, QbBootMode mode) {
  if (run.dry_run) {
    nxa_trace(TRACE_ALWAYS, "Dry run: would change the boot mode to '%s'\n", s_boot_mode[mode]);
    return reload_system(run, mode);
  }
  nxa_trace(TRACE_NOTICE, "\nChanging current boot mode to '%s'...\n", s_boot_mode[mode]);
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  exec_context* p_cntx = nullptr;
  int step = record_begin(run.p_record, "set_boot_mode", mode);
  QBCodes retval = record_end(run.p_record, step,
                              exec_bootsystem(run.session, QB_CLI_BOOT_SYSTEM_MODE, nullptr, mode,
                                              &p_cntx));
  if (retval != MORVIK_SUCCESS)
    return retval;
  if (run.p_record != nullptr)
    run.p_record->changed = 1;
  release_cntx(&p_cntx);
  retval = reload_system(run, mode);
  // What the module runs now is what it was set to; nothing reads it again
  // after the last change.
  if (retval == MORVIK_SUCCESS && run.p_record != nullptr)
    record_running(run.p_record, mode, run.p_record->after.startup_images[mode]);
  return retval;
}

// Makes room for the new image: deletes the second image and confirms with a
// listing of that file that it is gone.
QBCodes delete_second_image(const qb_run& run, QbBootMode mode, file_info* second) {
  exec_context* p_cntx = nullptr;
  if (run.dry_run) {
    nxa_trace(TRACE_ALWAYS, "Dry run: would delete the second opcode image '%s'\n", second->name);
    return MORVIK_SUCCESS;
  }
  nxa_trace(TRACE_NOTICE, "\nDeleting second opcode image...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  int step = record_begin(run.p_record, "delete_image", mode);
  QBCodes retval = record_end(run.p_record, step, exec_delete(run.session, second, &p_cntx));
  if (retval != MORVIK_SUCCESS)
    return retval;
  release_cntx(&p_cntx);
  nxa_trace(TRACE_NOTICE, "Confirmation of deleting...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  step = record_begin(run.p_record, "confirm_delete", mode);
  retval = exec_dir(run.session, QB_CLI_DIR_FILE, second, &p_cntx);
  if (retval != MORVIK_SUCCESS)
    return record_end(run.p_record, step, retval);
  if (!p_cntx->p_dir->p_list->empty()) {
    nxa_trace(TRACE_ERROR, "Cannot delete the second opcode image\n");
    return stop(run, step, &p_cntx, MORVIK_FLASHING_LOGIC_ERR);
  }
  nxa_trace(TRACE_NOTICE, "The second opcode image was deleted successfully\n");
  return stop(run, step, &p_cntx, MORVIK_SUCCESS);
}

// Has the module download the new image and confirms it with a fresh listing.
QBCodes download_image(const qb_run& run, QbBootMode mode, char* new_opcode_img) {
  exec_context* p_cntx = nullptr;
  if (run.dry_run) {
    nxa_trace(TRACE_ALWAYS, "Dry run: would download '%s' from '%s'\n", new_opcode_img,
              run.p_opt->tftp_path);
    return MORVIK_SUCCESS;
  }
  nxa_trace(TRACE_NOTICE, "\nDownloading new image from TFTP server...\n");
  nxa_trace(TRACE_NOTICE, "TFTP url: '%s'\n", run.p_opt->tftp_path);
  nxa_trace(TRACE_NOTICE, "Image name: '%s'\n", new_opcode_img);
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  int step = record_begin(run.p_record, "download", mode);
  QBCodes retval =
      record_end(run.p_record, step,
                 exec_copy(run.session, const_cast<char*>(run.p_opt->tftp_path), new_opcode_img,
                           &p_cntx, COPY_TIMEOUT_SEC));
  if (retval != MORVIK_SUCCESS)
    return retval;
  release_cntx(&p_cntx);
  nxa_trace(TRACE_NOTICE, "\nConfirmation of downloading...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  step = record_begin(run.p_record, "confirm_download", mode);
  retval = exec_dir(run.session, QB_CLI_DIR_OPCODE, nullptr, &p_cntx);
  if (retval != MORVIK_SUCCESS)
    return record_end(run.p_record, step, retval);
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
    return stop(run, step, &p_cntx, MORVIK_FLASHING_LOGIC_ERR);
  }
  return stop(run, step, &p_cntx, MORVIK_SUCCESS);
}

// Makes the new image the startup image of the running mode.
QBCodes change_startup_image(const qb_run& run, QbBootMode mode, char* new_opcode_img) {
  if (run.dry_run) {
    nxa_trace(TRACE_ALWAYS, "Dry run: would make '%s' the startup opcode image of mode '%s'\n",
              new_opcode_img, s_boot_mode[mode]);
    return MORVIK_SUCCESS;
  }
  nxa_trace(TRACE_NOTICE, "\nChanging startup opcode image...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  exec_context* p_cntx = nullptr;
  int step = record_begin(run.p_record, "set_startup_image", mode);
  QBCodes retval = exec_bootsystem(run.session, QB_CLI_BOOT_SYSTEM_OPCODE, new_opcode_img,
                                   QB_MODE_UNKNOWN, &p_cntx);
  if (retval == MORVIK_SUCCESS && run.p_record != nullptr) {
    run.p_record->changed = 1;
    record_startup(run.p_record, mode, new_opcode_img);
  }
  return stop(run, step, &p_cntx, retval);
}

// After the restart: did the module boot the new image?
QBCodes verify_flash(const qb_run& run, QbBootMode mode, const char* new_opcode_img) {
  exec_context* p_cntx = nullptr;
  if (run.dry_run)
    return MORVIK_SUCCESS;
  nxa_trace(TRACE_NOTICE, "\nChecking if flashing was successful...\n");
  nxa_trace(TRACE_NOTICE, "\nGetting current boot mode and image...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  int step = record_begin(run.p_record, "verify", mode);
  QBCodes retval = exec_whichboot(run.session, &p_cntx);
  if (retval != MORVIK_SUCCESS)
    return record_end(run.p_record, step, retval);
  const qb_whichboot_info* p_boot = p_cntx->p_whichboot;
  record_running(run.p_record, p_boot->curr_mode, p_boot->p_opcode->name);
  nxa_trace(TRACE_NOTICE, "Boot mode: '%s'\n", p_boot->boot_system);
  nxa_trace(TRACE_NOTICE, "Startup opcode image: '%s'\n\n", p_boot->p_opcode->name);
  if (strcmp(p_boot->p_opcode->name, new_opcode_img) == 0) {
    nxa_trace(TRACE_NOTICE, "\nSystem was successfully flashed for mode '%s'\n", s_boot_mode[mode]);
    return stop(run, step, &p_cntx, MORVIK_SUCCESS);
  }
  nxa_trace(TRACE_ERROR, "\nSystem flashing failed for mode '%s'\n", s_boot_mode[mode]);
  return stop(run, step, &p_cntx, MORVIK_FLASHING_LOGIC_ERR);
}

// The image name of mode, from the command line, into new_opcode_img (size
// IMAGE_NAME_LEN). Returns false if the command line left it empty.
bool image_for_mode(const qb_opt& opt, QbBootMode mode, char* new_opcode_img) {
  snprintf(new_opcode_img, IMAGE_NAME_LEN, "%s", mode == QB_MODE_TZR ? opt.img_tzr : opt.img_sw);
  return new_opcode_img[0] != '\0';
}

// Flashes one boot mode whose startup image whichboot reported as
// old_opcode_img: list, delete the second image, download, switch the startup
// image, restart, verify. Nothing done on the module is undone on failure.
// A dry run reads the listing and says what it would do instead of changing.
QBCodes do_flash_for_mode(const qb_run& run, QbBootMode mode, char* old_opcode_img) {
  char new_opcode_img[IMAGE_NAME_LEN];
  memset(new_opcode_img, 0, sizeof(new_opcode_img));
  if (mode < QB_MODE_UNKNOWN || mode >= QB_MODE_ALL)
    return MORVIK_INTERNAL_ERR;
  nxa_trace(TRACE_NOTICE, "\nExecuting flashing for mode '%s'\n", s_boot_mode[mode]);
  ++flashed_flag[mode];
  if (mode == QB_MODE_UNKNOWN || old_opcode_img == nullptr) {
    record_failure(run.p_record, "flash_mode");
    return MORVIK_INTERNAL_ERR;
  }
  if (flashed_flag[mode] > 1) {
    nxa_trace(TRACE_ERROR, "\nTrying to flash the mode '%s' twice\n", s_boot_mode[mode]);
    record_failure(run.p_record, "flash_mode");
    return MORVIK_FLASHING_LOGIC_ERR;
  }
  if (!image_for_mode(*run.p_opt, mode, new_opcode_img)) {
    record_failure(run.p_record, "image_name");
    return MORVIK_INTERNAL_ERR;
  }

  exec_context* p_cntx = nullptr;
  nxa_trace(TRACE_NOTICE, "\nGetting opcode images...\n");
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  int step = record_begin(run.p_record, "list_images", mode);
  QBCodes retval = exec_dir(run.session, QB_CLI_DIR_OPCODE, nullptr, &p_cntx);
  if (retval != MORVIK_SUCCESS)
    return record_end(run.p_record, step, retval);
  file_info tmp_info;
  if (!get_opcode_image(1, p_cntx->p_dir->p_list, &tmp_info)) {
    nxa_trace(TRACE_ERROR, "Cannot get startup opcode image name\n");
    return stop(run, step, &p_cntx, MORVIK_CLI_NO_INFO_ERR);
  }
  record_startup(run.p_record, mode, tmp_info.name);
  nxa_trace(TRACE_NOTICE, "Startup opcode image: '%s'\n", tmp_info.name);
  if (strcmp(old_opcode_img, tmp_info.name) != 0) {
    nxa_trace(TRACE_ERROR, "Opcode image names from 'dir' and 'whichboot' are different\n");
    return stop(run, step, &p_cntx, MORVIK_FLASHING_LOGIC_ERR);
  }
  record_end(run.p_record, step, MORVIK_SUCCESS);
  // The update does not look at this; its dry run tells the operator.
  if (run.dry_run && strcmp(tmp_info.name, new_opcode_img) == 0)
    nxa_trace(TRACE_ALWAYS,
              "Dry run: '%s' is already the startup opcode image of mode '%s'; the update would "
              "still delete the second image and download it again\n",
              new_opcode_img, s_boot_mode[mode]);
  if (get_opcode_image(0, p_cntx->p_dir->p_list, &tmp_info)) {
    nxa_trace(TRACE_NOTICE, "Second opcode image: '%s'\n", tmp_info.name);
    release_cntx(&p_cntx);
    retval = delete_second_image(run, mode, &tmp_info);
    if (retval != MORVIK_SUCCESS)
      return retval;
  } else {
    nxa_trace(TRACE_NOTICE, "Second opcode image: not found\n");
  }
  release_cntx(&p_cntx);

  retval = download_image(run, mode, new_opcode_img);
  if (retval == MORVIK_SUCCESS)
    retval = change_startup_image(run, mode, new_opcode_img);
  if (retval == MORVIK_SUCCESS)
    retval = reload_system(run, mode);
  if (retval == MORVIK_SUCCESS)
    retval = verify_flash(run, mode, new_opcode_img);
  return retval;
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
  int step = record_begin(run.p_record, "whichboot", QB_MODE_UNKNOWN);
  QBCodes retval = record_end(run.p_record, step, exec_whichboot(run.session, &p_cntx));
  if (retval != MORVIK_SUCCESS)
    return retval;
  const qb_whichboot_info* p_boot = p_cntx->p_whichboot;
  nxa_trace(TRACE_NOTICE, "Boot mode: '%s'\n", p_boot->boot_system);
  nxa_trace(TRACE_NOTICE, "Startup opcode image: '%s'\n\n", p_boot->p_opcode->name);
  if (run.dry_run)
    nxa_trace(TRACE_ALWAYS, "Dry run: the module runs mode '%s' from '%s'\n",
              s_boot_mode[p_boot->curr_mode], p_boot->p_opcode->name);
  mode = p_boot->curr_mode;
  record_running(run.p_record, mode, p_boot->p_opcode->name);
  snprintf(old_opcode_img, sizeof(old_opcode_img), "%s", p_boot->p_opcode->name);
  release_cntx(&p_cntx);
  return do_flash_for_mode(run, mode, old_opcode_img);
}

// A dry run cannot see the second mode before the module runs in it: it says
// what it would do there as far as the command line tells.
QBCodes dry_flash_second_mode(const qb_run& run, QbBootMode mode) {
  char new_opcode_img[IMAGE_NAME_LEN];
  nxa_trace(TRACE_NOTICE, "\nExecuting flashing for mode '%s'\n", s_boot_mode[mode]);
  if (!image_for_mode(*run.p_opt, mode, new_opcode_img)) {
    record_failure(run.p_record, "image_name");
    return MORVIK_INTERNAL_ERR;
  }
  nxa_trace(TRACE_ALWAYS,
            "Dry run: would flash mode '%s' with '%s' from '%s'; its images are listed only once "
            "it runs\n",
            s_boot_mode[mode], new_opcode_img, run.p_opt->tftp_path);
  return MORVIK_SUCCESS;
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
        retval = run.dry_run ? dry_flash_second_mode(run, second) : flash_curent_mode(run, boot_mode);
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
  if (run.dry_run)
    nxa_trace(TRACE_ALWAYS, retval == MORVIK_SUCCESS ? "Dry run: the update could proceed\n"
                                                     : "Dry run: the update would stop there\n");
  return retval;
}

// Takes the module's lock for the run; returns its code, the descriptor in *fd.
QBCodes lock_module(const qb_opt& opt, run_record* record, int* fd) {
  const char* dir = getenv("MORVIK_LOCK_DIR");
  if (dir == nullptr || dir[0] == '\0')
    dir = MODULE_LOCK_DIR;
  lock_failure why;
  QBCodes retval = take_module_lock(dir, opt.host, fd, &why);
  if (retval == MORVIK_MODULE_BUSY_ERR)
    nxa_trace(TRACE_ERROR, "Module '%s' is busy with another run\n", opt.host);
  else if (why.dir_fault == LOCK_DIR_NOT_OURS)
    nxa_trace(TRACE_ERROR, "Lock directory '%s' refused: owned by uid %ld\n", dir, why.owner);
  else if (why.dir_fault == LOCK_DIR_OPEN)
    nxa_trace(TRACE_ERROR, "Lock directory '%s' refused: writable by group or others\n", dir);
  else if (why.dir_fault == LOCK_DIR_LINK)
    nxa_trace(TRACE_ERROR, "Lock directory '%s' refused: a symbolic link\n", dir);
  else if (why.dir_fault == LOCK_DIR_NOT_A_DIR)
    nxa_trace(TRACE_ERROR, "Lock directory '%s' refused: not a directory\n", dir);
  else if (retval != MORVIK_SUCCESS)
    nxa_trace(TRACE_ERROR, "Cannot lock module '%s' in '%s': %s\n", opt.host, dir,
              strerror(why.err));
  if (retval != MORVIK_SUCCESS)
    record_failure(record, "lock");
  return retval;
}

// Writes the run's report; a report that cannot be written is said, but the
// exit status stays the module's.
void write_report(report_file* file, const run_record& record, const qb_opt& opt) {
  static char text[65536];
  int err = report_json(record, opt, simulator_mode, text, sizeof(text)) ? 0 : EOVERFLOW;
  if (err == 0)
    err = report_commit(file, text);
  else
    report_commit(file, "");
  if (err != 0)
    nxa_trace(TRACE_ERROR, "Cannot write report '%s': %s\n", opt.report_path, strerror(err));
}

}  // namespace

int morvik_main(int argc, char** argv) {
  // A client that is already gone must fail our write, not end the tool.
  signal(SIGPIPE, SIG_IGN);
  QBCodes retval = parse_args(argc, argv);
  if (retval != MORVIK_SUCCESS)
    return retval;
  report_file report;
  report.fd = -1;
  if (options.report_path[0] != '\0') {
    int err = report_open(&report, options.report_path);
    if (err != 0) {
      nxa_trace(TRACE_ERROR, "Cannot write report '%s': %s\n", options.report_path, strerror(err));
      return MORVIK_INVALID_PARAM_ERR;
    }
  }
  run_record record;
  record_init(&record);

  nxa_set_trace(static_cast<unsigned int>(options.tracemode));
  nxa_trace(TRACE_ALWAYS, "\nUtility to execute flashing of Quorbel\n");
  nxa_trace(TRACE_ALWAYS, "Version %d.%d.%d.%d\n\n", MORVIK_VERSION_MAJOR, MORVIK_VERSION_MINOR,
            MORVIK_VERSION_PATCH, MORVIK_VERSION_BUILD);
  if (simulator_mode) {
    nxa_trace(TRACE_ALWAYS, "\nSimulator mode!!!\n");
    sleep(SIM_START_PAUSE_SEC);
  }
  qb_run run;
  int lock_fd = -1;
  if (winsock_init() != 0) {
    retval = MORVIK_INTERNAL_ERR;
    record_failure(&record, "socket_layer");
  } else {
    retval = get_ssh_cmd();
    prepare_run(&run, options, simulator_mode, &record);
    if (retval != MORVIK_SUCCESS) {
      nxa_trace(TRACE_ERROR, "SSH client not found\n");
      record_failure(&record, "ssh_client");
    } else if ((retval = lock_module(options, &record, &lock_fd)) != MORVIK_SUCCESS) {
      // Another run works on the module, or its lock cannot be had.
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
  record_finish(&record, retval);
  if (report.fd != -1)
    write_report(&report, record, options);
  if (lock_fd != -1)
    close(lock_fd);
  return retval;
}
