// Answer texts of show, whichboot and dir, laid out as the module prints them.
#include "answers.h"

#include <cstdarg>
#include <cstdio>

namespace {

const char* const kCrLf = "\r\n";

// One formatted line; long file names may widen it, never past the buffer.
std::string line_of(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string line_of(const char* fmt, ...) {
  char buf[160];
  va_list ap;
  va_start(ap, fmt);
  // The analyser takes ap for uninitialised on some inlined paths; it is
  // started right above.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  return std::string(buf) + kCrLf;
}

std::string dashes(int n) { return std::string(static_cast<size_t>(n), '-') + kCrLf; }

const char* kind_word(const std::string& kind) {
  return kind == "bootrom" ? "Boot-Rom image" : "Config File";
}

std::string hms(long s) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%02ld:%02ld:%02ld", (s / 3600) % 100, (s / 60) % 60, s % 60);
  return buf;
}

}  // namespace

std::string cli_prompt(const qbsim_state& st) { return st.hostname + "# "; }

std::string answer_loginsession(const qbsim_login& login, bool with_rows) {
  std::string a;
  a += line_of("%-3s %-15s %-21s %-11s %-12s %-12s", "ID", "User Name", "Connection From",
               "Idle Time", "Session Time", "Session Type");
  a += dashes(79);
  if (!with_rows)
    return a;
  a += line_of("%-3d %-15s %-21s %-11s %-12s %s", login.id, login.user.c_str(),
               login.from.c_str(), "00:00:00", hms(login.seconds).c_str(), "SSH");
  return a;
}

std::string answer_version(const qbsim_state& st) {
  std::string a;
  a += line_of("%-23s: %s", "System Description", "Quorbel switch module, 24 ports");
  a += line_of("%-23s: %s", "Machine Type", "8012");
  a += line_of("%-23s: %s", "Machine Model", "QB-2400");
  a += line_of("%-23s: %s", "Serial Number", "QB0012345");
  a += line_of("%-23s: %s", "Part Number", "00Q4321");
  a += line_of("%-23s: %s", "Hardware Version", "2");
  a += line_of("%-23s: %s", "Label Revision Number", "3");
  a += line_of("%-23s: %s", "Number of ports", "24");
  a += line_of("%-23s: %s", "Loader Version", "1.0.2");
  a += line_of("%-23s: %s (%s)", "Operation Code Version", "3.1.4",
               st.running.empty() ? "none" : st.running.c_str());
  a += line_of("%-23s: %s", "Boot Rom Version", "1.0.2");
  return a;
}

std::string answer_hardware() {
  std::string a;
  a += line_of("%-20s: %s", "Module Type", "24-port switch module");
  a += line_of("%-20s: %s", "Ports", "24 x 1G, 4 x 10G uplink");
  a += line_of("%-20s: %s", "Memory", "512 MB");
  a += line_of("%-20s: %s", "Flash", "64 MB");
  a += line_of("%-20s: %s", "Temperature", "41 C");
  return a;
}

std::string answer_whichboot(const qbsim_state& st, const std::string& opcode_name, char flag) {
  std::string a;
  a += line_of("Boot-System: %s", st.mode.c_str());
  a += line_of("Next Booting Mode: %s", st.next_mode.c_str());
  a += kCrLf;
  a += line_of("%-20s %-16s %-8s %s", "file name", "file type", "startup", "size");
  a += dashes(56);
  for (const qbsim_file& f : st.files)
    a += line_of("%-20s %-16s %-8c %ld", f.name.c_str(), kind_word(f.kind), 'Y', f.size);
  if (!opcode_name.empty()) {
    long size = 0;
    for (const qbsim_image& i : st.images)
      if (i.mode == st.mode && i.name == opcode_name)
        size = i.size;
    if (size == 0)
      size = 1;  // an image the listing does not know still has some size
    a += line_of("%-20s %-16s %-8c %ld", opcode_name.c_str(), "Operation Code", flag, size);
  }
  return a;
}

std::string answer_dir(const qbsim_state& st, qbsim_dir_kind kind, const std::string& name,
                       bool hide_startup) {
  std::string a;
  a += line_of("%-11s %-20s %-16s %-8s %s", "date", "file name", "file type", "startup", "size");
  a += dashes(66);
  int n = 0;
  if (kind == DIR_ALL) {
    for (const qbsim_file& f : st.files) {
      a += line_of("%-11s %-20s %-16s %-8c %ld", f.date.c_str(), f.name.c_str(),
                   kind_word(f.kind), 'Y', f.size);
      n++;
    }
  }
  for (const qbsim_image& i : st.images) {
    if (i.mode != st.mode || (hide_startup && i.startup == 'Y'))
      continue;
    if (kind == DIR_FILE && i.name != name)
      continue;
    a += line_of("%-11s %-20s %-16s %-8c %ld", i.date.c_str(), i.name.c_str(), "Operation Code",
                 i.startup, i.size);
    n++;
  }
  a += dashes(66);
  a += line_of("Total: %d file%s", n, n == 1 ? "" : "s");
  return a;
}
