// Runs of the tool under toolwatch, its report, and the question every broken
// run must answer: can the module still boot in each of its modes?
#ifndef MORVIK_TESTS_E2E_WATCH_SUPPORT_H
#define MORVIK_TESTS_E2E_WATCH_SUPPORT_H

#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

#ifndef TOOLWATCH_BIN
#define TOOLWATCH_BIN ""
#endif

inline std::string toolwatch_bin() { return TOOLWATCH_BIN; }

// The report of toolwatch as KEY -> VALUE; empty if it was not written.
typedef std::map<std::string, std::string> watch_report;

inline std::string report_path(const e2e_area& area) { return area.work_dir + "/watch.report"; }

inline watch_report read_report(const e2e_area& area) {
  watch_report r;
  std::string text;
  if (!qbsim_read_file(report_path(area), &text))
    return r;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos)
      r[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return r;
}

inline double report_number(const watch_report& r, const std::string& key) {
  auto it = r.find(key);
  return it == r.end() ? -1 : atof(it->second.c_str());
}

// The command line that runs the tool with args under toolwatch.
inline std::vector<std::string> watched(const e2e_area& area, const std::vector<std::string>& args,
                                        const std::string& secret = "") {
  std::vector<std::string> argv = {toolwatch_bin(), "--report", report_path(area)};
  if (!secret.empty()) {
    argv.push_back("--secret");
    argv.push_back(secret);
  }
  argv.push_back("--");
  argv.push_back(morvik_bin());
  std::vector<std::string> paced = with_test_pace(args);
  argv.insert(argv.end(), paced.begin(), paced.end());
  return argv;
}

// Why the module could not boot one of its modes ("" if it can): each mode
// needs exactly one startup image, and that image must be one it had from
// the start or one whose download is stored whole in its flash.
inline std::string boot_problem(const e2e_area& area, const qbsim_state& st,
                                const std::set<std::string>& initial) {
  std::string why;
  for (const char* mode : {"Switch", "TZR", "EHM"}) {
    int startup = 0;
    for (const qbsim_image& img : st.images) {
      if (img.mode != mode || img.startup != 'Y')
        continue;
      startup++;
      struct stat sb;
      std::string file = qbsim_flash_dir(area.state_dir, mode) + "/" + img.name;
      bool stored = stat(file.c_str(), &sb) == 0 && sb.st_size == img.size;
      if (initial.count(img.name) == 0 && !stored)
        why += std::string(mode) + ": startup image " + img.name + " is not in flash; ";
    }
    if (startup != 1)
      why += std::string(mode) + ": " + std::to_string(startup) + " startup images; ";
  }
  return why;
}

// "Switch=img_c.bin TZR=tzr_a.bin EHM=ehm_a.bin, runs Switch from img_a.bin":
// what the module would boot per mode, and what it runs now.
inline std::string boot_summary(const qbsim_state& st) {
  std::string s;
  for (const char* mode : {"Switch", "TZR", "EHM"})
    for (const qbsim_image& img : st.images)
      if (img.mode == mode && img.startup == 'Y')
        s += std::string(s.empty() ? "" : " ") + mode + "=" + img.name;
  s += ", runs " + st.mode + " from " + st.running;
  if (st.restart != "none")
    s += " (restart " + st.restart + ")";
  return s;
}

#endif
