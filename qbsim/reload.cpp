// reload and quit: the questions before a restart or logout, and the restart
// hand-over to the port-22 supervisor.
#include <signal.h>
#include <unistd.h>

#include <ctime>

#include "commands.h"

namespace {

// The save question a module asks before it drops unsaved configuration
// (with `always` also when there is none). Returns false if the peer went away.
bool offer_save(qbsim_session& s, const char* question, bool always = false) {
  qbsim_state st;
  std::string err;
  if (!qbsim_state_load(s.dir, &st, &err) || !(st.unsaved || always))
    return true;
  int c = ask(s, question);
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

// The save offer, then the reset question (cmd's two questions). Returns
// whether the reset goes ahead; if not, *out says how the session goes on.
// tight: asked as if unsaved, and the save result and the next question
// share one write.
bool confirm_reset(qbsim_session& s, const qbsim_command& cmd, bool tight, qbsim_outcome* out) {
  qbsim_state st;
  std::string err;
  const bool asked = qbsim_state_load(s.dir, &st, &err) && st.unsaved;
  *out = OUT_END;
  if (!offer_save(s, cmd.questions[0], tight))
    return false;
  // The next question must not share a read with the save result.
  if (asked && !tight && !term_pause(s.t, 3))
    return false;
  return confirmed(s, cmd.questions[1], "Reset canceled", out);
}

// The fault the module meets at its next start, or "".
std::string boot_fault_of(const std::vector<qbsim_fault>& faults) {
  std::string boot_fault;
  for (const char* k : {"no-return", "wrong-image", "same-mode"})
    if (has_fault(faults, k))
      boot_fault = k;
  return boot_fault;
}

// Hands the restart to the port-22 supervisor or, where none runs, starts
// the module anew at once. Returns whether a supervisor has it.
bool request_restart(const qbsim_session& s, const std::string& boot_fault) {
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
  return supervisor_alive(supervisor, s.dir);
}

// The client ends soon after we do and the tool probes port 22 right away:
// the port must refuse before this session goes.
void wait_until_dark(const qbsim_session& s) {
  std::string err;
  for (int i = 0; i < 300; i++) {
    qbsim_state cur;
    if (qbsim_state_load(s.dir, &cur, &err) && cur.restart != "requested") {
      qbsim_event(s.dir, "port 22 closed; leaving");
      return;
    }
    struct timespec ts = {0, 50L * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  // Rather a module that restarts without going dark than one that never
  // restarts.
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

// How the session ends once the restart is announced.
qbsim_outcome after_announcement(qbsim_session& s, const std::vector<qbsim_fault>& faults) {
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

}  // namespace

qbsim_outcome cmd_quit(qbsim_session& s, const qbsim_command& cmd, const std::vector<std::string>&,
                       const std::vector<qbsim_fault>&) {
  if (!offer_save(s, cmd.questions[0]))
    return OUT_END;
  term_flush(s.t);
  return OUT_END;
}

qbsim_outcome cmd_reload(qbsim_session& s, const qbsim_command& cmd,
                         const std::vector<std::string>&, const std::vector<qbsim_fault>& faults) {
  qbsim_outcome out = OUT_END;
  if (!confirm_reset(s, cmd, has_fault(faults, "tight"), &out))
    return out;
  const std::string boot_fault = boot_fault_of(faults);
  term_put(s.t, "System will now restart\r\n");
  term_flush(s.t);
  if (fault_at_announcement(faults, "kill-client"))
    kill_client(s);
  if (request_restart(s, boot_fault))
    wait_until_dark(s);
  return after_announcement(s, faults);
}
