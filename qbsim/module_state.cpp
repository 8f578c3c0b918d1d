// Text form of the module state: one record per line, words split by blanks,
// so that a test or a person can read and edit it.
#include "module_state.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

qbsim_state qbsim_state_default(bool sim) {
  qbsim_state st;
  st.flavour = sim ? "sim" : "cli";
  st.running = "img_a.bin";
  st.users.push_back({"admin", "secret"});
  st.files.push_back({"bootrom", "boot.bin", "2009-01-10", 1048576});
  st.files.push_back({"config", "startup-config", "2009-03-05", 8192});
  st.images.push_back({"Switch", "img_a.bin", 'Y', "2009-03-02", 5242880});
  st.images.push_back({"Switch", "img_b.bin", 'N', "2009-01-15", 5100032});
  st.images.push_back({"EHM", "ehm_a.bin", 'Y', "2009-02-11", 4194304});
  st.images.push_back({"TZR", "tzr_a.bin", 'Y', "2009-02-20", 3145728});
  return st;
}

std::string qbsim_state_format(const qbsim_state& st) {
  std::ostringstream o;
  o << "# qbsim module state; see qbsim/README.md\n";
  o << "flavour " << st.flavour << "\n";
  o << "hostname " << st.hostname << "\n";
  o << "mode " << st.mode << "\n";
  o << "next-mode " << st.next_mode << "\n";
  o << "running " << (st.running.empty() ? "-" : st.running) << "\n";
  o << "downtime " << st.downtime << "\n";
  o << "unsaved " << (st.unsaved ? "yes" : "no") << "\n";
  o << "restart " << st.restart << "\n";
  o << "boot-fault " << (st.boot_fault.empty() ? "-" : st.boot_fault) << "\n";
  o << "supervisor " << st.supervisor << "\n";
  o << "sessions " << st.sessions << "\n";
  for (const qbsim_user& u : st.users)
    o << "user " << u.name << " " << u.password << "\n";
  for (const qbsim_file& f : st.files)
    o << "file " << f.kind << " " << f.name << " " << f.date << " " << f.size << "\n";
  for (const qbsim_image& i : st.images)
    o << "image " << i.mode << " " << i.name << " " << i.startup << " " << i.date << " " << i.size
      << "\n";
  for (const qbsim_fault& f : st.faults) {
    o << "fault " << f.kind << " " << f.command << " ";
    if (f.occurrence == 0)
      o << "every";
    else
      o << f.occurrence;
    if (!f.arg.empty())
      o << " " << f.arg;
    o << "\n";
  }
  for (const auto& c : st.counts)
    o << "count " << c.first << " " << c.second << "\n";
  return o.str();
}

namespace {

bool to_long(const std::string& s, long* out) {
  if (s.empty())
    return false;
  char* end = nullptr;
  long v = strtol(s.c_str(), &end, 10);
  if (*end != '\0' || v < 0)
    return false;
  *out = v;
  return true;
}

bool to_int(const std::string& s, int* out) {
  long v = 0;
  if (!to_long(s, &v) || v > 1000000000L)
    return false;
  *out = static_cast<int>(v);
  return true;
}

// Splits at blanks and tabs; `rest` receives the text after the first `n` words.
std::vector<std::string> split_words(const std::string& line, size_t n, std::string* rest) {
  std::vector<std::string> w;
  size_t p = 0;
  while (p < line.size()) {
    while (p < line.size() && (line[p] == ' ' || line[p] == '\t'))
      p++;
    if (p >= line.size())
      break;
    if (rest != nullptr && w.size() == n) {
      *rest = line.substr(p);
      while (!rest->empty() && (rest->back() == ' ' || rest->back() == '\t'))
        rest->pop_back();
      return w;
    }
    size_t e = p;
    while (e < line.size() && line[e] != ' ' && line[e] != '\t')
      e++;
    w.push_back(line.substr(p, e - p));
    p = e;
  }
  return w;
}

// The line without its comment: from a '#' that begins a word to the end.
// A '#' inside a word is part of it, as in an image named old#1.bin.
std::string without_comment(const std::string& line) {
  for (size_t i = 0; i < line.size(); i++)
    if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
      return line.substr(0, i);
  return line;
}

bool parse_line(const std::string& full_line, qbsim_state* st, std::string* why) {
  const std::string line = without_comment(full_line);
  std::string rest;
  std::vector<std::string> w = split_words(line, 4, &rest);
  if (w.empty())
    return true;
  const std::string key = w[0];
  if (key == "fault") {
    qbsim_fault f;
    if (w.size() < 4) {
      *why = "fault needs KIND COMMAND OCCURRENCE";
      return false;
    }
    f.kind = w[1];
    f.command = w[2];
    if (w[3] == "every")
      f.occurrence = 0;
    else if (!to_int(w[3], &f.occurrence) || f.occurrence < 1) {
      *why = "fault occurrence must be a number from 1 or 'every'";
      return false;
    }
    f.arg = rest;
    st->faults.push_back(f);
    return true;
  }
  w = split_words(line, 0, nullptr);
  size_t n = w.size();
  bool ok = true;
  if (key == "flavour" && n == 2 && (w[1] == "cli" || w[1] == "sim"))
    st->flavour = w[1];
  else if (key == "hostname" && n == 2 && w[1].find_first_of("#$") == std::string::npos)
    st->hostname = w[1];
  else if (key == "mode" && n == 2 && !qbsim_canonical_mode(w[1]).empty())
    st->mode = qbsim_canonical_mode(w[1]);
  else if (key == "next-mode" && n == 2 && !qbsim_canonical_mode(w[1]).empty())
    st->next_mode = qbsim_canonical_mode(w[1]);
  else if (key == "running" && n == 2)
    st->running = (w[1] == "-") ? "" : w[1];
  else if (key == "downtime" && n == 2)
    ok = to_int(w[1], &st->downtime);
  else if (key == "unsaved" && n == 2 && (w[1] == "yes" || w[1] == "no"))
    st->unsaved = (w[1] == "yes");
  else if (key == "restart" && n == 2 &&
           (w[1] == "none" || w[1] == "requested" || w[1] == "down"))
    st->restart = w[1];
  else if (key == "boot-fault" && n == 2)
    st->boot_fault = (w[1] == "-") ? "" : w[1];
  else if (key == "supervisor" && n == 2)
    ok = to_int(w[1], &st->supervisor);
  else if (key == "sessions" && n == 2)
    ok = to_int(w[1], &st->sessions);
  else if (key == "user" && n == 3)
    st->users.push_back({w[1], w[2]});
  else if (key == "file" && n == 5 && (w[1] == "bootrom" || w[1] == "config")) {
    qbsim_file f{w[1], w[2], w[3], 0};
    ok = to_long(w[4], &f.size);
    st->files.push_back(f);
  } else if (key == "image" && n == 6 && !qbsim_canonical_mode(w[1]).empty() &&
             w[3].size() == 1) {
    qbsim_image i{qbsim_canonical_mode(w[1]), w[2], w[3][0], w[4], 0};
    ok = to_long(w[5], &i.size);
    st->images.push_back(i);
  } else if (key == "count" && n == 3) {
    int c = 0;
    ok = to_int(w[2], &c);
    st->counts[w[1]] = c;
  } else
    ok = false;
  if (!ok)
    *why = "cannot understand '" + key + "' record";
  return ok;
}

}  // namespace

bool qbsim_state_parse(const std::string& text, qbsim_state* st, std::string* err) {
  *st = qbsim_state();
  std::istringstream in(text);
  std::string line;
  int no = 0;
  while (std::getline(in, line)) {
    no++;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    std::string why;
    if (!parse_line(line, st, &why)) {
      if (err != nullptr)
        *err = "line " + std::to_string(no) + ": " + why;
      return false;
    }
  }
  return true;
}

std::string qbsim_canonical_mode(const std::string& name) {
  static const char* const modes[] = {"Switch", "TZR", "EHM"};
  for (const char* m : modes)
    if (strcasecmp(m, name.c_str()) == 0)
      return m;
  return "";
}

// The image found is handed out to be changed, so st cannot be const.
// cppcheck-suppress constParameter
qbsim_image* qbsim_find_flagged(qbsim_state& st, const std::string& mode, char flag) {
  for (qbsim_image& i : st.images)
    if (i.mode == mode && i.startup == flag)
      return &i;
  return nullptr;
}

// cppcheck-suppress constParameter
qbsim_image* qbsim_find_image(qbsim_state& st, const std::string& mode, const std::string& name) {
  for (qbsim_image& i : st.images)
    if (i.mode == mode && i.name == name)
      return &i;
  return nullptr;
}

void qbsim_apply_boot(qbsim_state& st) {
  if (st.boot_fault != "same-mode")
    st.mode = st.next_mode;
  qbsim_image* start = qbsim_find_flagged(st, st.mode, 'Y');
  qbsim_image* other = qbsim_find_flagged(st, st.mode, 'N');
  if (st.boot_fault == "wrong-image" && other != nullptr)
    st.running = other->name;
  else
    st.running = start != nullptr ? start->name : "";
  st.unsaved = false;
  st.restart = "none";
  st.boot_fault.clear();
}
