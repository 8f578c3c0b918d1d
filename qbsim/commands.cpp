// Dispatch of one command line, the generic faults, and the small commands.
#include "commands.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <climits>
#include <cstdlib>
#include <ctime>

const char* const kInvalidInput = "% Invalid input detected at '^' marker.\r\n";
const char* const kIncomplete = "% Incomplete command.\r\n";

std::vector<std::string> split_line(const std::string& line) {
  std::vector<std::string> w;
  size_t p = 0;
  while (p < line.size()) {
    while (p < line.size() && (line[p] == ' ' || line[p] == '\t'))
      p++;
    size_t e = p;
    while (e < line.size() && line[e] != ' ' && line[e] != '\t')
      e++;
    if (e > p)
      w.push_back(line.substr(p, e - p));
    p = e;
  }
  return w;
}

bool has_fault(const std::vector<qbsim_fault>& f, const char* kind, std::string* arg) {
  for (const qbsim_fault& x : f)
    if (x.kind == kind) {
      if (arg != nullptr)
        *arg = x.arg;
      return true;
    }
  return false;
}

bool fault_at_announcement(const std::vector<qbsim_fault>& f, const char* kind, const char* when) {
  for (const qbsim_fault& x : f)
    if (x.kind == kind && x.arg == when)
      return true;
  return false;
}

bool kill_client(qbsim_session& s) {
  // Long enough for the client to relay the text, too short for a reader that
  // waits for output to settle to have taken it.
  term_pause(s.t, 0.2);
  const char* env = getenv("QBSIM_CLIENT_PID");
  char* end = nullptr;
  long number = env != nullptr ? strtol(env, &end, 10) : 0;
  if (number <= 1 || *end != '\0' || number > INT_MAX) {
    qbsim_event(s.dir, "kill-client: no stand-in client to kill");
    return false;
  }
  // Our terminal goes with the client: its hang-up must not end what the
  // command has begun (a restart still happens).
  signal(SIGHUP, SIG_IGN);
  const int pid = static_cast<int>(number);
  if (kill(pid, SIGKILL) != 0) {
    qbsim_event(s.dir, "kill-client: client %d is gone already", pid);
    return false;
  }
  qbsim_event(s.dir, "client %d killed", pid);
  return true;
}

int ask(qbsim_session& s, const std::string& question) {
  term_put(s.t, question);
  int c = term_read_char(s.t);
  if (c < 0)
    return -1;
  // The echo goes out with whatever the command prints next.
  term_put(s.t, std::string(1, static_cast<char>(c)) + "\r\n");
  return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

bool confirmed(qbsim_session& s, const std::string& question, const std::string& refusal,
               qbsim_outcome* out) {
  int c = ask(s, question);
  *out = c < 0 ? OUT_END : OUT_GO_ON;
  if (c >= 0 && c != 'y')
    term_put(s.t, refusal + "\r\n");
  return c == 'y';
}

double arg_seconds(const std::string& arg, double dflt) {
  if (arg.empty())
    return dflt;
  // A typo such as "2O" must not pass for 2 seconds.
  char* end = nullptr;
  double v = strtod(arg.c_str(), &end);
  return (*end == '\0' && v > 0) ? v : dflt;
}

namespace {

std::string filler_line(int i) {
  char buf[96];
  snprintf(buf, sizeof(buf), "Diagnostic record %04d: port counters nominal ..........................\r\n",
           i);
  return buf;
}

bool load(qbsim_session& s, qbsim_state* st) {
  std::string err;
  if (qbsim_state_load(s.dir, st, &err))
    return true;
  qbsim_event(s.dir, "cannot load state: %s", err.c_str());
  term_put(s.t, "% Internal error: configuration store unreadable.\r\n");
  return false;
}

qbsim_outcome cmd_show(qbsim_session& s, const qbsim_command&, const std::vector<std::string>& w,
                       const std::vector<qbsim_fault>& faults) {
  qbsim_state st;
  if (w.size() < 2) {
    term_put(s.t, kIncomplete);
    return OUT_GO_ON;
  }
  if (w.size() > 2 || !load(s, &st)) {
    if (w.size() > 2)
      term_put(s.t, kInvalidInput);
    return OUT_GO_ON;
  }
  if (w[1] == "loginsession") {
    qbsim_login l = s.login;
    l.seconds = static_cast<long>(time(nullptr)) - s.started;
    term_put(s.t, answer_loginsession(l, !has_fault(faults, "no-sessions")));
  } else if (w[1] == "version")
    term_put(s.t, answer_version(st));
  else if (w[1] == "hardware")
    term_put(s.t, answer_hardware());
  else
    term_put(s.t, kInvalidInput);
  return OUT_GO_ON;
}

qbsim_outcome cmd_whichboot(qbsim_session& s, const qbsim_command&,
                            const std::vector<std::string>& w,
                            const std::vector<qbsim_fault>& faults) {
  qbsim_state st;
  if (w.size() != 1) {
    term_put(s.t, kInvalidInput);
    return OUT_GO_ON;
  }
  if (!load(s, &st))
    return OUT_GO_ON;
  std::string name = st.running;
  std::string arg;
  if (has_fault(faults, "mismatch", &arg))
    name = arg.empty() ? "img_other.bin" : arg;
  char flag = has_fault(faults, "no-startup") ? 'N' : 'Y';
  term_put(s.t, answer_whichboot(st, name, flag));
  return OUT_GO_ON;
}

qbsim_outcome cmd_dir(qbsim_session& s, const qbsim_command&, const std::vector<std::string>& w,
                      const std::vector<qbsim_fault>& faults) {
  qbsim_state st;
  qbsim_dir_kind kind = DIR_ALL;
  std::string name;
  if ((w.size() >= 2 && w[1] != "opcode") || w.size() > 3) {
    term_put(s.t, kInvalidInput);
    return OUT_GO_ON;
  }
  if (w.size() >= 2)
    kind = DIR_OPCODE;
  if (w.size() == 3) {
    kind = DIR_FILE;
    name = w[2];
  }
  if (!load(s, &st))
    return OUT_GO_ON;
  term_put(s.t, answer_dir(st, kind, name, has_fault(faults, "no-startup")));
  return OUT_GO_ON;
}

// Removes the running mode's image name from the state and from flash.
void remove_image(qbsim_session& s, const std::string& name) {
  std::string mode;
  qbsim_state_update(
      s.dir,
      [&](qbsim_state& cur) {
        mode = cur.mode;
        for (size_t i = 0; i < cur.images.size(); i++)
          if (cur.images[i].mode == cur.mode && cur.images[i].name == name) {
            cur.images.erase(cur.images.begin() + static_cast<long>(i));
            return true;
          }
        return false;
      },
      nullptr);
  unlink((qbsim_flash_dir(s.dir, mode) + "/" + name).c_str());
  qbsim_event(s.dir, "deleted %s of mode %s", name.c_str(), mode.c_str());
}

qbsim_outcome cmd_delete(qbsim_session& s, const qbsim_command& cmd,
                         const std::vector<std::string>& w,
                         const std::vector<qbsim_fault>& faults) {
  if (w.size() < 2) {
    term_put(s.t, kIncomplete);
    return OUT_GO_ON;
  }
  if (w.size() > 2) {
    term_put(s.t, kInvalidInput);
    return OUT_GO_ON;
  }
  const std::string& name = w[1];
  qbsim_state st;
  if (!load(s, &st))
    return OUT_GO_ON;
  qbsim_image* img = qbsim_find_image(st, st.mode, name);
  if (img == nullptr) {
    term_put(s.t, "Delete Failed: file " + name + " not found\r\n");
    return OUT_GO_ON;
  }
  if (img->startup == 'Y') {
    term_put(s.t, "Delete Failed: " + name + " is the startup image\r\n");
    return OUT_GO_ON;
  }
  qbsim_outcome out = OUT_GO_ON;
  if (!confirmed(s, cmd.questions[0], "File " + name + " Not Deleted!", &out))
    return out;
  if (has_fault(faults, "delete-fail")) {
    term_put(s.t, "Delete Failed: flash erase error\r\n");
    return OUT_GO_ON;
  }
  if (!has_fault(faults, "delete-keep"))
    remove_image(s, name);
  term_put(s.t, "File " + name + " Deleted!\r\n");
  return OUT_GO_ON;
}

// boot-system mode NAME: the boot mode of the next start.
void set_next_mode(qbsim_session& s, const std::string& word,
                   const std::vector<qbsim_fault>& faults) {
  std::string mode = qbsim_canonical_mode(word);
  if (mode.empty()) {
    term_put(s.t, kInvalidInput);
    return;
  }
  if (has_fault(faults, "startup-fail")) {
    qbsim_event(s.dir, "next boot mode %s: failed", mode.c_str());
    term_put(s.t, "Start Up Failed!\r\n");
    return;
  }
  // Changing the boot settings changes the configuration, which a real
  // module then asks to save at logout and at reload.
  qbsim_state_update(
      s.dir,
      [&](qbsim_state& st) {
        st.next_mode = mode;
        st.unsaved = true;
        return true;
      },
      nullptr);
  qbsim_event(s.dir, "next boot mode %s", mode.c_str());
}

// boot-system opcode NAME: the startup image of the running mode.
void set_startup_image(qbsim_session& s, const std::string& name,
                       const std::vector<qbsim_fault>& faults) {
  bool ok = false;
  if (!has_fault(faults, "startup-fail")) {
    qbsim_state_update(
        s.dir,
        [&](qbsim_state& st) {
          qbsim_image* img = qbsim_find_image(st, st.mode, name);
          if (img == nullptr)
            return false;
          for (qbsim_image& i : st.images)
            if (i.mode == st.mode && i.startup == 'Y')
              i.startup = 'N';
          img->startup = 'Y';
          st.unsaved = true;
          ok = true;
          return true;
        },
        nullptr);
  }
  qbsim_event(s.dir, "startup image %s: %s", name.c_str(), ok ? "set" : "failed");
  term_put(s.t, ok ? "Start Up Success\r\n" : "Start Up Failed!\r\n");
}

qbsim_outcome cmd_boot_system(qbsim_session& s, const qbsim_command&,
                              const std::vector<std::string>& w,
                              const std::vector<qbsim_fault>& faults) {
  if (w.size() < 3)
    term_put(s.t, kIncomplete);
  else if (w.size() > 3 || (w[1] != "mode" && w[1] != "opcode"))
    term_put(s.t, kInvalidInput);
  else if (w[1] == "mode")
    set_next_mode(s, w[2], faults);
  else
    set_startup_image(s, w[2], faults);
  return OUT_GO_ON;
}

// Faults that bend any command the same way. Returns true when the command
// must not run normally, with *out telling how the session goes on.
bool generic_faults(qbsim_session& s, const qbsim_command& cmd,
                    const std::vector<qbsim_fault>& faults, qbsim_outcome* out) {
  std::string arg;
  *out = OUT_GO_ON;
  if (has_fault(faults, "error", &arg)) {
    term_put(s.t, (arg.empty() ? std::string("% Incorrect input") : arg) + "\r\n");
    return true;
  }
  if (has_fault(faults, "silence", &arg)) {
    if (!term_pause(s.t, arg_seconds(arg, 3600))) {
      *out = OUT_END;
      return true;
    }
  }
  if (has_fault(faults, "drop") && !cmd.breaks_late) {
    term_pause(s.t, 1);
    *out = OUT_DROP;
    return true;
  }
  if (has_fault(faults, "kill-client") && !cmd.breaks_late) {
    kill_client(s);
    *out = OUT_END;
    return true;
  }
  if (has_fault(faults, "grow", &arg)) {
    double secs = arg_seconds(arg, 30);
    for (int i = 0; i * 0.5 < secs; i++) {
      term_put(s.t, filler_line(i));
      if (!term_pause(s.t, 0.5)) {
        *out = OUT_END;
        return true;
      }
    }
  }
  if (has_fault(faults, "long")) {
    for (int i = 0; i < 64; i++)  // well over the 4095 bytes read at a time
      term_put(s.t, filler_line(i));
  }
  return false;
}

}  // namespace

const std::vector<qbsim_command>& qbsim_commands() {
  static const char* const save =
      "The system has unsaved changes.\r\nWould you like to save them now? (y/n) ";
  static const std::vector<qbsim_command> table = {
      {"show", "qb_show", cmd_show, {}, false, false},
      {"whichboot", "qb_whichboot", cmd_whichboot, {}, false, false},
      {"dir", "qb_dir", cmd_dir, {}, false, false},
      {"delete", "qb_delete", cmd_delete, {"Are you sure you want to delete? (y/n) "}, false,
       false},
      {"copy", "qb_copy", cmd_copy, {"Are you sure you want to start? (y/n) "}, true, false},
      {"boot-system", "qb_boot_system", cmd_boot_system, {}, false, false},
      {"reload", "qb_reload", cmd_reload,
       {save, "Are you sure you would like to reset the system? (y/n) "}, false, true},
      {"quit", "qb_quit", cmd_quit, {save}, false, false},
  };
  return table;
}

const qbsim_command* qbsim_find_command(const std::string& word) {
  for (const qbsim_command& c : qbsim_commands())
    if (word == c.word)
      return &c;
  return nullptr;
}

const qbsim_command* qbsim_find_program(const std::string& program) {
  for (const qbsim_command& c : qbsim_commands())
    if (program == c.program)
      return &c;
  return nullptr;
}

qbsim_outcome module_command(qbsim_session& s, const std::vector<std::string>& words) {
  if (words.empty())
    return OUT_GO_ON;
  const qbsim_command* cmd = qbsim_find_command(words[0]);
  if (cmd == nullptr) {
    term_put(s.t, kInvalidInput);
    return OUT_GO_ON;
  }
  std::vector<qbsim_fault> faults = qbsim_take_faults(s.dir, cmd->word);
  // Faults that wait for the restart announcement are the command's own.
  std::vector<qbsim_fault> at_start;
  for (const qbsim_fault& f : faults)
    if (!(cmd->announces && (f.arg == "announced" || f.arg == "announced-now")))
      at_start.push_back(f);
  // The answer is cut at its middle when it is written: the rest comes
  // later, or never.
  std::string arg;
  if (has_fault(at_start, "abort"))
    term_split(s.t, -1);
  else if (has_fault(at_start, "pause", &arg))
    term_split(s.t, arg_seconds(arg, 2));
  qbsim_outcome out = OUT_GO_ON;
  if (generic_faults(s, *cmd, at_start, &out))
    return out;
  return cmd->run(s, *cmd, words, faults);
}
