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
#include "qb_signal.h"
#include "qb_socket.h"
#include "qb_tftp.h"
#include "report.h"
#include "ssh_exec.h"

qb_opt options;

qb_opt::qb_opt()
    : tracemode(0), mode(QB_UNDEF_MODE), both(0), pace(QB_PACE_SETTLE), dry_run(0), stage(0),
      check_tftp(0), host_key_count(0), accept_weak_crypto(0) {
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
  memset(sha256sums, 0, sizeof(sha256sums));
  memset(&sums_sw, 0, sizeof(sums_sw));
  memset(&sums_tzr, 0, sizeof(sums_tzr));
}

namespace {

const int PROBE_COUNT = 2;
const int SIM_START_PAUSE_SEC = 2;
// The TFTP check's three tries end within this many milliseconds in all.
const int TFTP_CHECK_MS = 5000;

// What a tool mode works with: the command line's values, how its sessions
// and probes are paced, and where it notes its steps for the report.
struct qb_run {
  const qb_opt* p_opt;
  session_settings session;
  probe_settings probe;
  run_record* p_record;
  int dry_run;
  int watch_restart;       // see the module go down and come back, once a second
  int reload_timeout_sec;  // idle time-out of the restart's session
};

// What main looks up once for the tool modes: the client that get_ssh_cmd
// found, and in the dialect of the command line the logout word and the idle
// time-out of the restart's session.
struct run_lookups {
  const char* ssh_path;
  const char* ssh_args;
  const char* logout_word;
  int reload_timeout_sec;
};

// Builds the run of opt against a peer of the given dialect (simulator) with
// what main looked up. A dry run declines the save question at logout, so
// that it changes nothing at all.
void prepare_run(qb_run* run, const qb_opt& opt, int simulator, const run_lookups& found,
                 run_record* record) {
  run->p_opt = &opt;
  run->p_record = record;
  run->dry_run = opt.dry_run;
  session_settings& s = run->session;
  snprintf(s.ssh_path, sizeof(s.ssh_path), "%s", found.ssh_path);
  snprintf(s.ssh_args, sizeof(s.ssh_args), "%s", found.ssh_args);
  snprintf(s.password, sizeof(s.password), "%s", opt.password);
  snprintf(s.logout_word, sizeof(s.logout_word), "%s", found.logout_word);
  s.save_answer = opt.dry_run ? 'n' : 'y';
  s.pace = opt.pace;
  s.simulator = simulator;
  snprintf(s.host, sizeof(s.host), "%s", opt.host);
  s.host_keys_pinned = opt.host_key_count > 0;
  s.accept_weak_crypto = opt.accept_weak_crypto;
  host_key_lock_path(s.host_key_lock, sizeof(s.host_key_lock));
  run->watch_restart = 0;
  run->reload_timeout_sec = found.reload_timeout_sec;
  if (opt.pace == QB_PACE_PROMPT) {
    run->probe.close_pause_sec = 0;
    // Reacting as soon as the module announces its restart, the tool would
    // probe while the module is still going down and take the old instance
    // for the new one: it waits to see port 22 close first. The settled
    // pacing is slow enough not to need it.
    run->watch_restart = 1;
  }
}

char* host_of(const qb_run& run) {
  // The probe's interface predates const; it only reads the name.
  return const_cast<char*>(run.p_opt->host);
}

// Whether a signal has interrupted the run. The first time one is seen it is
// said, with the step that was running, and noted in the report.
bool interrupted(run_record* record, const char* step) {
  const int sig = interrupt_signal();
  if (sig == 0)
    return false;
  if (record == nullptr || record->signal == 0) {
    const char* name = interrupt_name(sig);
    nxa_trace(TRACE_ERROR, "Interrupted by %s during step '%s'\n", name != nullptr ? name : "?",
              step);
    record_interrupt(record, sig, step);
  }
  return true;
}

// A step's code, or a failure once the run was interrupted during step, so
// that the procedure stops; the exit status then is the signal's.
QBCodes unless_interrupted(const qb_run& run, const char* step, QBCodes retval) {
  if (interrupted(run.p_record, step) && retval == MORVIK_SUCCESS)
    return MORVIK_INTERNAL_ERR;
  return retval;
}

// The probe before each remote step, noted as a step of its own.
bool reachable(const qb_run& run) {
  int step = record_begin(run.p_record, "probe", QB_MODE_UNKNOWN);
  bool up = is_server_available(host_of(run), PROBE_COUNT, run.probe, 0) != 0;
  QBCodes retval = record_end(run.p_record, step, up ? MORVIK_SUCCESS : MORVIK_CANNOT_CONNECT_ERR);
  return unless_interrupted(run, "probe", retval) == MORVIK_SUCCESS;
}

// The check of a step whose command's success is all there is to it.
QBCodes accepted(const exec_context&) {
  return MORVIK_SUCCESS;
}

// One remote step: the probe, then command (which starts the session into its
// exec_context**) noted as step `name` of the report, then check, which reads
// the context of a successful command and may find a failure of its own. The
// context is freed on every way out. Returns the step's code.
template <typename Command, typename Check>
QBCodes remote_step(const qb_run& run, const char* name, QbBootMode mode, Command command,
                    Check check) {
  if (!reachable(run))
    return MORVIK_CANNOT_CONNECT_ERR;
  exec_context* p_cntx = nullptr;
  int step = record_begin(run.p_record, name, mode);
  QBCodes retval = command(&p_cntx);
  if (retval == MORVIK_SUCCESS)
    retval = check(*p_cntx);
  release_cntx(&p_cntx);
  record_end(run.p_record, step, retval);
  return unless_interrupted(run, name, retval);
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
  release_cntx(&p_cntx);
  if (interrupted(run.p_record, "account_check"))
    return retval;
  if (retval == MORVIK_SUCCESS)
    nxa_trace(TRACE_NOTICE, "Account verified\n");
  else
    nxa_trace(TRACE_ERROR, "Account verification failed\n");
  return retval;
}

// How often each boot mode has been flashed in this run; a mode flashed twice
// means the module did not come back in the mode it was switched to.
int flashed_flag[QB_MODE_ALL] = {0, 0, 0, 0};

const int RELOAD_WAIT_PROBES = 600;
// A module whose port 22 was never seen closed this long after the restart
// was accepted is taken as back already; the verify tells what it runs.
const int RESTART_SEEN_WITHIN_SEC = 60;
const int IMAGE_NAME_LEN = 100;

// Restarts the module and waits until its SSH port answers again.
QBCodes reload_system(const qb_run& run, QbBootMode mode) {
  if (run.dry_run) {
    nxa_trace(TRACE_ALWAYS, "Dry run: would reload the system\n");
    return MORVIK_SUCCESS;
  }
  nxa_trace(TRACE_NOTICE, "\nReload system...\n");
  QBCodes retval = remote_step(
      run, "reload", mode,
      [&run](exec_context** pp) { return exec_reload(run.session, pp, run.reload_timeout_sec); },
      accepted);
  if (retval != MORVIK_SUCCESS)
    return retval;
  nxa_trace(TRACE_NOTICE, "\nTrying to connect to the system after reloading (timeout %d sec)...\n",
            RELOAD_WAIT_PROBES);
  int step = record_begin(run.p_record, "wait_for_module", mode);
  time_t begin = time(nullptr);
  // The wait ends by the time it announces, whatever the network does.
  const int back = run.watch_restart
                       ? wait_for_restart(host_of(run), run.probe, RELOAD_WAIT_PROBES,
                                          RESTART_SEEN_WITHIN_SEC)
                       : is_server_available(host_of(run), RELOAD_WAIT_PROBES, run.probe,
                                             RELOAD_WAIT_PROBES);
  if (back && interrupt_signal() == 0)
    nxa_trace(TRACE_NOTICE, "Successfully connected after %.0f sec\n", difftime(time(nullptr), begin));
  else
    retval = MORVIK_CANNOT_CONNECT_ERR;
  record_end(run.p_record, step, retval);
  return unless_interrupted(run, "wait_for_module", retval);
}

// Makes mode the boot mode of the next start and restarts the module.
QBCodes reload_to_mode(const qb_run& run, QbBootMode mode) {
  if (run.dry_run) {
    nxa_trace(TRACE_ALWAYS, "Dry run: would change the boot mode to '%s'\n", s_boot_mode[mode]);
    return reload_system(run, mode);
  }
  nxa_trace(TRACE_NOTICE, "\nChanging current boot mode to '%s'...\n", s_boot_mode[mode]);
  QBCodes retval = remote_step(
      run, "set_boot_mode", mode,
      [&](exec_context** pp) {
        return exec_bootsystem(run.session, QB_CLI_BOOT_SYSTEM_MODE, nullptr, mode, pp);
      },
      accepted);
  if (retval != MORVIK_SUCCESS)
    return retval;
  if (run.p_record != nullptr)
    run.p_record->next_mode = mode;
  retval = reload_system(run, mode);
  // What the module runs now is what it was set to; nothing reads it again
  // after the last change.
  if (retval == MORVIK_SUCCESS && run.p_record != nullptr)
    record_running(run.p_record, mode, run.p_record->after.startup_images[mode]);
  return retval;
}

void note_changed(const qb_run& run) {
  if (run.p_record != nullptr)
    run.p_record->changed = 1;
}

// Makes room for the new image: deletes the second image and confirms with a
// listing of that file that it is gone.
QBCodes delete_second_image(const qb_run& run, QbBootMode mode, file_info* second) {
  if (run.dry_run) {
    nxa_trace(TRACE_ALWAYS, "Dry run: would delete the second opcode image '%s'\n", second->name);
    return MORVIK_SUCCESS;
  }
  nxa_trace(TRACE_NOTICE, "\nDeleting second opcode image...\n");
  QBCodes retval = remote_step(
      run, "delete_image", mode,
      [&](exec_context** pp) { return exec_delete(run.session, second, pp); }, accepted);
  if (retval != MORVIK_SUCCESS)
    return retval;
  note_changed(run);
  nxa_trace(TRACE_NOTICE, "Confirmation of deleting...\n");
  return remote_step(
      run, "confirm_delete", mode,
      [&](exec_context** pp) { return exec_dir(run.session, QB_CLI_DIR_FILE, second, pp); },
      [](const exec_context& c) {
        if (!c.p_dir->p_list->empty()) {
          nxa_trace(TRACE_ERROR, "Cannot delete the second opcode image\n");
          return MORVIK_FLASHING_LOGIC_ERR;
        }
        nxa_trace(TRACE_NOTICE, "The second opcode image was deleted successfully\n");
        return MORVIK_SUCCESS;
      });
}

// The TFTP server's name in url, for messages; the URL itself if it has none.
void server_of(const char* url, char* server, size_t size) {
  if (!tftp_url_host(url, server, size))
    snprintf(server, size, "%s", url);
}

// The stored image against what the TFTP server serves, where a check of
// this run learned its size: a copy that the module reports complete may
// have stored less. Returns MORVIK_SUCCESS, or MORVIK_FLASHING_LOGIC_ERR
// after naming both sizes.
QBCodes check_stored_size(const qb_run& run, const file_info& stored) {
  const report_image* served = record_find_image(run.p_record, stored.name);
  if (served == nullptr || !served->size_known)
    return MORVIK_SUCCESS;
  if (stored.size < 0 || static_cast<unsigned long long>(stored.size) != served->size) {
    char server[256];
    server_of(run.p_opt->tftp_path, server, sizeof(server));
    nxa_trace(TRACE_ERROR, "Opcode image '%s' was stored with %d bytes; TFTP server '%s' serves "
              "%llu\n", stored.name, stored.size, server, served->size);
    return MORVIK_FLASHING_LOGIC_ERR;
  }
  nxa_trace(TRACE_NOTICE, "Its size, %d bytes, is the TFTP server's\n", stored.size);
  return MORVIK_SUCCESS;
}

// Has the module download the new image and confirms it with a fresh listing.
QBCodes download_image(const qb_run& run, QbBootMode mode, char* new_opcode_img) {
  if (run.dry_run) {
    nxa_trace(TRACE_ALWAYS, "Dry run: would download '%s' from '%s'\n", new_opcode_img,
              run.p_opt->tftp_path);
    return MORVIK_SUCCESS;
  }
  nxa_trace(TRACE_NOTICE, "\nDownloading new image from TFTP server...\n");
  nxa_trace(TRACE_NOTICE, "TFTP url: '%s'\n", run.p_opt->tftp_path);
  nxa_trace(TRACE_NOTICE, "Image name: '%s'\n", new_opcode_img);
  QBCodes retval = remote_step(
      run, "download", mode,
      [&](exec_context** pp) {
        return exec_copy(run.session, const_cast<char*>(run.p_opt->tftp_path), new_opcode_img, pp,
                         QB_TIMEOUT_OF_ROW);
      },
      accepted);
  if (retval != MORVIK_SUCCESS)
    return retval;
  note_changed(run);
  nxa_trace(TRACE_NOTICE, "\nConfirmation of downloading...\n");
  return remote_step(
      run, "confirm_download", mode,
      [&run](exec_context** pp) { return exec_dir(run.session, QB_CLI_DIR_OPCODE, nullptr, pp); },
      [&run, new_opcode_img](const exec_context& c) {
        file_info tmp_info;
        memset(&tmp_info, 0, sizeof(tmp_info));
        if (get_opcode_image(0, c.p_dir->p_list, &tmp_info) &&
            strcmp(tmp_info.name, new_opcode_img) == 0) {
          nxa_trace(TRACE_NOTICE,
                    "New opcode image was successfully downloaded to the second entry \n");
        } else if (get_opcode_image(1, c.p_dir->p_list, &tmp_info) &&
                   strcmp(tmp_info.name, new_opcode_img) == 0) {
          nxa_trace(TRACE_NOTICE, "New opcode image was successfully downloaded to the first entry\n");
        } else {
          nxa_trace(TRACE_ERROR, "Downloading of new opcode image failed\n");
          return MORVIK_FLASHING_LOGIC_ERR;
        }
        return check_stored_size(run, tmp_info);
      });
}

// Makes the new image the startup image of the running mode.
QBCodes change_startup_image(const qb_run& run, QbBootMode mode, char* new_opcode_img) {
  if (run.dry_run) {
    nxa_trace(TRACE_ALWAYS, "Dry run: would make '%s' the startup opcode image of mode '%s'\n",
              new_opcode_img, s_boot_mode[mode]);
    return MORVIK_SUCCESS;
  }
  nxa_trace(TRACE_NOTICE, "\nChanging startup opcode image...\n");
  return remote_step(
      run, "set_startup_image", mode,
      [&](exec_context** pp) {
        return exec_bootsystem(run.session, QB_CLI_BOOT_SYSTEM_OPCODE, new_opcode_img,
                               QB_MODE_UNKNOWN, pp);
      },
      [&](const exec_context&) {
        note_changed(run);
        record_startup(run.p_record, mode, new_opcode_img);
        return MORVIK_SUCCESS;
      });
}

// After the restart: did the module boot the new image?
QBCodes verify_flash(const qb_run& run, QbBootMode mode, const char* new_opcode_img) {
  if (run.dry_run)
    return MORVIK_SUCCESS;
  nxa_trace(TRACE_NOTICE, "\nChecking if flashing was successful...\n");
  nxa_trace(TRACE_NOTICE, "\nGetting current boot mode and image...\n");
  return remote_step(
      run, "verify", mode, [&run](exec_context** pp) { return exec_whichboot(run.session, pp); },
      [&](const exec_context& c) {
        const qb_whichboot_info* p_boot = c.p_whichboot;
        record_running(run.p_record, p_boot->curr_mode, p_boot->p_opcode->name);
        nxa_trace(TRACE_NOTICE, "Boot mode: '%s'\n", p_boot->boot_system);
        nxa_trace(TRACE_NOTICE, "Startup opcode image: '%s'\n\n", p_boot->p_opcode->name);
        if (strcmp(p_boot->p_opcode->name, new_opcode_img) == 0) {
          nxa_trace(TRACE_NOTICE, "\nSystem was successfully flashed for mode '%s'\n",
                    s_boot_mode[mode]);
          return MORVIK_SUCCESS;
        }
        nxa_trace(TRACE_ERROR, "\nSystem flashing failed for mode '%s'\n", s_boot_mode[mode]);
        return MORVIK_FLASHING_LOGIC_ERR;
      });
}

// The image name of mode, from the command line, into new_opcode_img (size
// IMAGE_NAME_LEN). Returns false if the command line left it empty.
bool image_for_mode(const qb_opt& opt, QbBootMode mode, char* new_opcode_img) {
  snprintf(new_opcode_img, IMAGE_NAME_LEN, "%s", mode == QB_MODE_TZR ? opt.img_tzr : opt.img_sw);
  return new_opcode_img[0] != '\0';
}

// The mode that "both" flashes after mode.
QbBootMode second_mode_of(QbBootMode mode) {
  return mode == QB_MODE_SWITCH || mode == QB_MODE_EHM ? QB_MODE_TZR : QB_MODE_SWITCH;
}

// Asks the TFTP server for image (for mode) or, with -sha256sums, reads it
// whole and compares its SHA-256 with the checksum file's; notes what it
// learned for the report and the check of the stored size. Returns
// MORVIK_SUCCESS, MORVIK_FLASHING_LOGIC_ERR after saying why, or
// MORVIK_INTERNAL_ERR when a signal ended it.
QBCodes check_one_image(const qb_run& run, QbBootMode mode, const char* image) {
  const qb_opt& opt = *run.p_opt;
  char server[256];
  server_of(opt.tftp_path, server, sizeof(server));
  const bool read_whole = opt.sha256sums[0] != '\0';
  const image_digest& listed = mode == QB_MODE_TZR ? opt.sums_tzr : opt.sums_sw;
  if (read_whole && !listed.listed) {
    nxa_trace(TRACE_ERROR, "Image '%s' on TFTP server '%s' is not listed in checksum file '%s'\n",
              image, server, opt.sha256sums);
    return MORVIK_FLASHING_LOGIC_ERR;
  }
  char reason[256];
  tftp_image_facts facts;
  QbTftpVerdict verdict;
  if (read_whole) {
    nxa_trace(TRACE_NOTICE, "Reading image '%s' from TFTP server '%s' for its SHA-256...\n", image,
              server);
    verdict = tftp_read_image(opt.tftp_path, image, tftp_read_limits(), &facts, reason,
                              sizeof(reason), interrupt_signal);
  } else {
    verdict = tftp_check_image(opt.tftp_path, image, TFTP_CHECK_MS, reason, sizeof(reason),
                               interrupt_signal, &facts);
  }
  if (verdict == QB_TFTP_INTERRUPTED)
    return MORVIK_INTERNAL_ERR;  // the interruption is said and decides the status
  if (verdict != QB_TFTP_READABLE) {
    nxa_trace(TRACE_ERROR, "Image '%s' cannot be read from TFTP server '%s': %s\n", image, server,
              reason);
    return MORVIK_FLASHING_LOGIC_ERR;
  }
  record_image(run.p_record, mode, image, facts.size_known, facts.size,
               read_whole ? facts.sha256 : nullptr);
  if (!read_whole) {
    nxa_trace(TRACE_NOTICE, "TFTP server has image '%s'\n", image);
    return MORVIK_SUCCESS;
  }
  char got[SHA256_HEX_SIZE], want[SHA256_HEX_SIZE];
  sha256_hex(facts.sha256, got);
  sha256_hex(listed.sha256, want);
  if (strcmp(got, want) != 0) {
    nxa_trace(TRACE_ERROR, "Image '%s' on TFTP server '%s' has SHA-256 %s; checksum file '%s' "
              "lists %s\n", image, server, got, opt.sha256sums, want);
    return MORVIK_FLASHING_LOGIC_ERR;
  }
  nxa_trace(TRACE_NOTICE, "Image '%s' on TFTP server '%s' has the SHA-256 that '%s' lists "
            "(%llu bytes)\n", image, server, opt.sha256sums, facts.size);
  return MORVIK_SUCCESS;
}

// -check_tftp: asks the TFTP server for every image that this run will have
// the module download (mode's own if mode_needs_image, and with "both" the
// other mode's), before anything on the module changes; -sha256sums reads
// each and compares its digest.
QBCodes check_tftp_images(const qb_run& run, QbBootMode mode, bool mode_needs_image) {
  const qb_opt& opt = *run.p_opt;
  if (!opt.check_tftp)
    return MORVIK_SUCCESS;
  const QbBootMode modes[2] = {mode, second_mode_of(mode)};
  for (int i = mode_needs_image ? 0 : 1; i < (opt.both ? 2 : 1); ++i) {
    char image[IMAGE_NAME_LEN];
    if (!image_for_mode(opt, modes[i], image))
      continue;  // the mode's own turn reports the missing name
    int step = record_begin(run.p_record, "check_tftp", modes[i]);
    QBCodes retval = record_end(run.p_record, step, check_one_image(run, modes[i], image));
    retval = unless_interrupted(run, "check_tftp", retval);
    if (retval != MORVIK_SUCCESS)
      return retval;
  }
  return MORVIK_SUCCESS;
}

// The listing that the flashing of a mode starts from: its startup image into
// *startup, its second image into *second (an empty name for none). The
// startup image must be the one whichboot reported as old_opcode_img, unless
// it is the new image already (a switch that no restart followed).
QBCodes list_images(const qb_run& run, QbBootMode mode, const char* old_opcode_img,
                    const char* new_opcode_img, file_info* startup, file_info* second) {
  nxa_trace(TRACE_NOTICE, "\nGetting opcode images...\n");
  return remote_step(
      run, "list_images", mode,
      [&run](exec_context** pp) { return exec_dir(run.session, QB_CLI_DIR_OPCODE, nullptr, pp); },
      [&](const exec_context& c) {
        if (!get_opcode_image(1, c.p_dir->p_list, startup)) {
          nxa_trace(TRACE_ERROR, "Cannot get startup opcode image name\n");
          return MORVIK_CLI_NO_INFO_ERR;
        }
        record_startup(run.p_record, mode, startup->name);
        nxa_trace(TRACE_NOTICE, "Startup opcode image: '%s'\n", startup->name);
        if (strcmp(startup->name, new_opcode_img) != 0 &&
            strcmp(old_opcode_img, startup->name) != 0) {
          nxa_trace(TRACE_ERROR, "Opcode image names from 'dir' and 'whichboot' are different\n");
          return MORVIK_FLASHING_LOGIC_ERR;
        }
        if (!get_opcode_image(0, c.p_dir->p_list, second))
          second->name[0] = '\0';
        return MORVIK_SUCCESS;
      });
}

// Whether mode may be flashed in this run, with new_opcode_img (size
// IMAGE_NAME_LEN) filled from the command line.
QBCodes may_flash(const qb_run& run, QbBootMode mode, const char* old_opcode_img,
                  char* new_opcode_img) {
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
  return MORVIK_SUCCESS;
}

// What the mode's turn will do, from what whichboot (old_opcode_img) and the
// listing (startup, second) said, and says so.
QbModeOutcome plan_mode(const qb_run& run, QbBootMode mode, const char* old_opcode_img,
                        const char* new_opcode_img, const file_info& startup,
                        const file_info& second) {
  const bool stage = run.p_opt->stage != 0;
  if (strcmp(startup.name, new_opcode_img) == 0) {
    if (strcmp(old_opcode_img, new_opcode_img) == 0) {
      nxa_trace(TRACE_NOTICE, "Mode '%s' already runs opcode image '%s'; nothing to flash\n",
                s_boot_mode[mode], new_opcode_img);
      return QB_OUTCOME_CURRENT;
    }
    if (stage)
      return QB_OUTCOME_STAGED;  // staged before; the restart is a later run's
    nxa_trace(TRACE_NOTICE,
              "Opcode image '%s' is already the startup image of mode '%s'; restarting to run it\n",
              new_opcode_img, s_boot_mode[mode]);
    return QB_OUTCOME_RESTARTED;
  }
  if (second.name[0] != '\0')
    nxa_trace(TRACE_NOTICE, "Second opcode image: '%s'\n", second.name);
  else
    nxa_trace(TRACE_NOTICE, "Second opcode image: not found\n");
  return stage ? QB_OUTCOME_STAGED : QB_OUTCOME_FLASHED;
}

// Deletes the second image (if any), downloads the new one and makes it the
// startup image.
QBCodes replace_startup_image(const qb_run& run, QbBootMode mode, file_info* second,
                              char* new_opcode_img) {
  QBCodes retval = MORVIK_SUCCESS;
  if (second->name[0] != '\0')
    retval = delete_second_image(run, mode, second);
  if (retval == MORVIK_SUCCESS)
    retval = download_image(run, mode, new_opcode_img);
  if (retval == MORVIK_SUCCESS)
    retval = change_startup_image(run, mode, new_opcode_img);
  return retval;
}

// Flashes one boot mode whose startup image whichboot reported as
// old_opcode_img: list, delete the second image, download, switch the startup
// image, restart, verify. A mode that runs the new image already is left as
// it is; one whose startup image it is already is only restarted; -stage
// stops before the restart. With check_images the TFTP server is asked first
// for this run's images. Nothing done on the module is undone on failure. A
// dry run reads the listing and says what it would do instead of changing.
QBCodes do_flash_for_mode(const qb_run& run, QbBootMode mode, char* old_opcode_img,
                          bool check_images) {
  char new_opcode_img[IMAGE_NAME_LEN];
  memset(new_opcode_img, 0, sizeof(new_opcode_img));
  if (mode < QB_MODE_UNKNOWN || mode >= QB_MODE_ALL)
    return MORVIK_INTERNAL_ERR;
  nxa_trace(TRACE_NOTICE, "\nExecuting flashing for mode '%s'\n", s_boot_mode[mode]);
  file_info startup = {}, second = {};
  QBCodes retval = may_flash(run, mode, old_opcode_img, new_opcode_img);
  if (retval == MORVIK_SUCCESS)
    retval = list_images(run, mode, old_opcode_img, new_opcode_img, &startup, &second);
  if (retval != MORVIK_SUCCESS)
    return retval;
  const QbModeOutcome plan = plan_mode(run, mode, old_opcode_img, new_opcode_img, startup, second);
  const bool is_startup = strcmp(startup.name, new_opcode_img) == 0;
  // A dry run with -sha256sums vets every image it names, also one this
  // module runs already: a rollout reads its images once, in such a run.
  const bool vet_all = run.dry_run && run.p_opt->sha256sums[0] != '\0';
  if (check_images)
    retval = check_tftp_images(run, mode, !is_startup || vet_all);
  if (retval == MORVIK_SUCCESS && !is_startup)
    retval = replace_startup_image(run, mode, &second, new_opcode_img);
  if (retval == MORVIK_SUCCESS && (plan == QB_OUTCOME_FLASHED || plan == QB_OUTCOME_RESTARTED)) {
    retval = reload_system(run, mode);
    if (retval == MORVIK_SUCCESS)
      retval = verify_flash(run, mode, new_opcode_img);
  }
  if (retval != MORVIK_SUCCESS)
    return retval;
  if (plan == QB_OUTCOME_STAGED && !run.dry_run)
    nxa_trace(TRACE_NOTICE, "Staged opcode image '%s' for mode '%s'; it runs from the next restart\n",
              new_opcode_img, s_boot_mode[mode]);
  record_mode(run.p_record, mode, plan);
  return MORVIK_SUCCESS;
}

// Asks the module for its boot mode and startup image, stores the mode in
// mode and flashes that mode; with check_images the TFTP check comes first.
QBCodes flash_curent_mode(const qb_run& run, QbBootMode& mode, bool check_images) {
  char old_opcode_img[IMAGE_NAME_LEN];
  memset(old_opcode_img, 0, sizeof(old_opcode_img));
  nxa_trace(TRACE_NOTICE, "\nGetting current boot mode and image...\n");
  QbBootMode found = QB_MODE_UNKNOWN;
  QBCodes retval = remote_step(
      run, "whichboot", QB_MODE_UNKNOWN,
      [&run](exec_context** pp) { return exec_whichboot(run.session, pp); },
      [&](const exec_context& c) {
        const qb_whichboot_info* p_boot = c.p_whichboot;
        nxa_trace(TRACE_NOTICE, "Boot mode: '%s'\n", p_boot->boot_system);
        nxa_trace(TRACE_NOTICE, "Startup opcode image: '%s'\n\n", p_boot->p_opcode->name);
        if (run.dry_run)
          nxa_trace(TRACE_ALWAYS, "Dry run: the module runs mode '%s' from '%s'\n",
                    s_boot_mode[p_boot->curr_mode], p_boot->p_opcode->name);
        found = p_boot->curr_mode;
        record_running(run.p_record, found, p_boot->p_opcode->name);
        snprintf(old_opcode_img, sizeof(old_opcode_img), "%s", p_boot->p_opcode->name);
        return MORVIK_SUCCESS;
      });
  if (retval != MORVIK_SUCCESS)
    return retval;
  mode = found;
  return do_flash_for_mode(run, mode, old_opcode_img, check_images);
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
  QBCodes retval = flash_curent_mode(run, boot_mode, true);
  if (retval == MORVIK_SUCCESS) {
    init_mode = boot_mode;
    if (opt.both) {
      QbBootMode second = second_mode_of(boot_mode);
      retval = reload_to_mode(run, second);
      if (retval == MORVIK_SUCCESS)
        retval = run.dry_run ? dry_flash_second_mode(run, second)
                             : flash_curent_mode(run, boot_mode, false);
    }
  }
  const bool stopped = interrupt_signal() != 0;
  if (retval != MORVIK_SUCCESS) {
    if (!stopped)
      nxa_trace(TRACE_ERROR, "\nFlashing was canceled with error %d\n", retval);
  } else if (opt.both) {
    nxa_trace(TRACE_NOTICE, "\nReload system to the initial mode\n");
    if (reload_to_mode(run, init_mode) != MORVIK_SUCCESS && interrupt_signal() == 0)
      nxa_trace(TRACE_WARNING, "\nCannot reload the system to initial mode '%s'\n",
                s_boot_mode[init_mode]);
  }
  if (run.dry_run && interrupt_signal() == 0)
    nxa_trace(TRACE_ALWAYS, retval == MORVIK_SUCCESS ? "Dry run: the update could proceed\n"
                                                     : "Dry run: the update would stop there\n");
  return retval;
}

// Takes the module's lock for the run; returns its code, the locks in *lock.
QBCodes lock_module(const qb_opt& opt, run_record* record, module_lock* lock) {
  const char* dir = getenv("MORVIK_LOCK_DIR");
  if (dir == nullptr || dir[0] == '\0')
    dir = MODULE_LOCK_DIR;
  lock_failure why;
  QBCodes retval = take_module_lock(dir, opt.host, lock, &why);
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

// Makes the report's temporary file beside path when a report is asked for
// (path not empty), so that a path that cannot be written ends the run before
// it starts. Returns MORVIK_SUCCESS, or MORVIK_INVALID_PARAM_ERR after saying
// why; report->fd is -1 without a report.
QBCodes open_report(report_file* report, const char* path) {
  report->fd = -1;
  if (path[0] == '\0')
    return MORVIK_SUCCESS;
  const int err = report_open(report, path);
  if (err == 0)
    return MORVIK_SUCCESS;
  nxa_trace(TRACE_ERROR, "Cannot write report '%s': %s\n", path, strerror(err));
  return MORVIK_INVALID_PARAM_ERR;
}

// Sets the trace mode and prints the banner; the simulator's notice comes
// with a pause.
void start_trace(int tracemode, int simulator) {
  nxa_set_trace(static_cast<unsigned int>(tracemode));
  nxa_trace(TRACE_ALWAYS, "\nUtility to execute flashing of Quorbel\n");
  nxa_trace(TRACE_ALWAYS, "Version %d.%d.%d.%d\n\n", MORVIK_VERSION_MAJOR, MORVIK_VERSION_MINOR,
            MORVIK_VERSION_PATCH, MORVIK_VERSION_BUILD);
  if (simulator) {
    nxa_trace(TRACE_ALWAYS, "\nSimulator mode!!!\n");
    sleep(SIM_START_PAUSE_SEC);
  }
}

// The last step the run began, for a signal seen between steps.
const char* last_step(const run_record& record) {
  return record.step_count > 0 ? record.steps[record.step_count - 1].step : "lock";
}

// The run once the socket layer is up and main has looked for the client
// (client_found: get_ssh_cmd's code): the module's lock, then the tool mode.
// Returns the run's code; the module's lock, if it was taken, is left in
// *lock for the caller to release at the very end.
QBCodes run_tool_mode(const qb_run& run, QBCodes client_found, module_lock* lock) {
  if (client_found != MORVIK_SUCCESS) {
    nxa_trace(TRACE_ERROR, "SSH client not found\n");
    record_failure(run.p_record, "ssh_client");
    return client_found;
  }
  const qb_opt& opt = *run.p_opt;
  QBCodes retval = lock_module(opt, run.p_record, lock);
  if (retval != MORVIK_SUCCESS)
    return retval;  // another run works on the module, or its lock cannot be had
  if (interrupted(run.p_record, "lock"))
    return MORVIK_INTERNAL_ERR;
  if (opt.mode == QB_CHECK_AUTH_MODE) {
    nxa_trace(TRACE_NOTICE, "Mode: checking user account\n\n");
    retval = account_check(run);
  } else if (opt.mode == QB_FLASH_MODE) {
    nxa_trace(TRACE_NOTICE, "Mode: flashing %s\n\n", opt.both ? "both modes" : "");
    retval = do_flash(run);
  } else {
    nxa_trace(TRACE_ERROR, "Invalid tool mode\n");
    retval = MORVIK_INVALID_PARAM_ERR;
  }
  return retval;
}

}  // namespace

report_request report_request_of(const qb_opt& opt, int simulator) {
  report_request request;
  request.host = opt.host;
  if (opt.mode == QB_CHECK_AUTH_MODE)
    request.mode = "account_check";
  else
    request.mode = opt.both ? "update both" : "update";
  request.simulator = simulator;
  request.dry_run = opt.dry_run;
  request.pace = opt.pace;
  request.tftp = opt.tftp_path;
  request.img_sw = opt.img_sw;
  request.img_tzr = opt.img_tzr;
  return request;
}

int morvik_main(int argc, char** argv) {
  // A client that is already gone must fail our write, not end the tool.
  signal(SIGPIPE, SIG_IGN);
  QBCodes retval = parse_args(argc, argv);
  if (retval != MORVIK_SUCCESS)
    return retval;
  // From here on a signal lets the run end its client, report and unlock.
  int err = install_interrupt_handlers();
  if (err != 0) {
    nxa_trace(TRACE_ERROR, "Cannot catch signals: %s\n", strerror(err));
    return MORVIK_INTERNAL_ERR;
  }
  report_file report;
  retval = open_report(&report, options.report_path);
  if (retval != MORVIK_SUCCESS)
    return retval;
  run_record record;
  record_init(&record);
  start_trace(options.tracemode, simulator_mode);
  module_lock lock;
  lock.count = 0;
  if (winsock_init() != 0) {
    record_failure(&record, "socket_layer");
    retval = MORVIK_INTERNAL_ERR;
  } else {
    // Everything below gets what depends on the command line as values.
    const QBCodes client_found = get_ssh_cmd();
    const run_lookups found = {options.ssh_path, options.ssh_args, get_qb_cmd(QB_QUIT),
                               get_reload_timeout()};
    qb_run run;
    prepare_run(&run, options, simulator_mode, found, &record);
    retval = run_tool_mode(run, client_found, &lock);
  }
  winsock_cleanup();
  // A signal that came after the last step still ends the run as the signal.
  interrupted(&record, last_step(record));
  const int status = record.signal != 0 ? 128 + record.signal : retval;
  nxa_trace(TRACE_NOTICE, "\nProgram exited with code %d\n", status);
  record_finish(&record, status);
  if (report.fd != -1) {
    // A report that cannot be written is said, but the exit status stays the
    // module's.
    static char text[65536];
    report_write(&report, record, report_request_of(options, simulator_mode), text, sizeof(text));
  }
  release_module_lock(&lock);
  return status;
}
