// reload and quit: the questions before a restart or logout, and the restart
// hand-over to the port-22 supervisor.
#include <signal.h>
#include <unistd.h>

#include <ctime>

#include "commands.h"

namespace {

// The save question a module asks before it drops unsaved configuration
// (with `always` also when there is none). Returns false if the peer went away.
bool offer_save(qbsim_session& s, bool always = false) {
  qbsim_state st;
  std::string err;
  if (!qbsim_state_load(s.dir, &st, &err) || !(st.unsaved || always))
    return true;
  int c = ask(s, "The system has unsaved changes.\r\nWould you like to save them now? (y/n) ");
  if (c < 0)
    return false;
  if (c == 'y') {
    qbsim_state_update(
        s.dir,
        [](qbsim_state& cur) {
          cur.unsaved = false;
          return true;
        },
        nullptr);
    term_put(s.t, "Configuration Saved\r\n");
  } else
    term_put(s.t, "Configuration Not Saved\r\n");
  return true;
}

// Whether the pid recorded in the state is still this module's supervisor,
// not a stale number from an earlier testbed now used by something else.
bool supervisor_alive(int pid, const std::string& dir) {
  if (pid <= 0 || kill(pid, 0) != 0)
    return false;
  std::string cmd;
  if (!qbsim_read_file("/proc/" + std::to_string(pid) + "/cmdline", &cmd))
    return false;
  return cmd.find("supervisor") != std::string::npos && cmd.find(dir) != std::string::npos;
}

}  // namespace

qbsim_outcome cmd_quit(qbsim_session& s) {
  if (!offer_save(s))
    return OUT_END;
  term_flush(s.t);
  return OUT_END;
}

qbsim_outcome cmd_reload(qbsim_session& s, const std::vector<qbsim_fault>& faults) {
  qbsim_state st;
  std::string err;
  // tight: asked as if unsaved, and the save result and the next question
  // share one write.
  const bool tight = has_fault(faults, "tight");
  bool asked = qbsim_state_load(s.dir, &st, &err) && st.unsaved;
  if (!offer_save(s, tight))
    return OUT_END;
  // The next question must not share a read with the save result.
  if (asked && !tight && !term_pause(s.t, 3))
    return OUT_END;
  int c = ask(s, "Are you sure you would like to reset the system? (y/n) ");
  if (c < 0)
    return OUT_END;
  if (c != 'y') {
    term_put(s.t, "Reset canceled\r\n");
    return OUT_GO_ON;
  }
  std::string boot_fault;
  for (const char* k : {"no-return", "wrong-image", "same-mode"})
    if (has_fault(faults, k))
      boot_fault = k;
  term_put(s.t, "System will now restart\r\n");
  term_flush(s.t);
  if (fault_at_announcement(faults, "kill-client"))
    kill_client(s);
  int supervisor = 0;
  qbsim_state_update(
      s.dir,
      [&](qbsim_state& cur) {
        supervisor = cur.supervisor;
        cur.boot_fault = boot_fault;
        if (supervisor_alive(supervisor, s.dir))
          cur.restart = "requested";
        else
          qbsim_apply_boot(cur);  // nobody guards port 22: start anew at once
        return true;
      },
      nullptr);
  qbsim_event(s.dir, "restart requested%s%s", boot_fault.empty() ? "" : ", boot fault ",
              boot_fault.c_str());
  if (supervisor_alive(supervisor, s.dir)) {
    // The client ends soon after we do and the tool probes port 22 right
    // away: the port must refuse before this session goes.
    bool down = false;
    for (int i = 0; i < 300 && !down; i++) {
      qbsim_state cur;
      if (qbsim_state_load(s.dir, &cur, &err) && cur.restart != "requested")
        down = true;
      else {
        struct timespec ts = {0, 50L * 1000 * 1000};
        nanosleep(&ts, nullptr);
      }
    }
    if (down)
      qbsim_event(s.dir, "port 22 closed; leaving");
    else {
      // Rather a module that restarts without going dark than one that
      // never restarts.
      qbsim_state_update(
          s.dir,
          [](qbsim_state& cur) {
            if (cur.restart == "requested")
              qbsim_apply_boot(cur);
            return true;
          },
          nullptr);
      qbsim_event(s.dir, "supervisor did not answer; started anew at once");
    }
  }
  if (fault_at_announcement(faults, "drop", "announced-now"))
    return OUT_DROP;
  // A connection that the restart left hanging: the client hears nothing
  // more until it gives up.
  if (fault_at_announcement(faults, "silence")) {
    term_pause(s.t, 3600);
    return OUT_END;
  }
  // Output still waiting when the client ends is never read: stay a while.
  term_pause(s.t, 3);
  return fault_at_announcement(faults, "drop") ? OUT_DROP : OUT_END;
}
