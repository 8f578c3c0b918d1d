// copy: the module fetches an image from a TFTP server into its flash. The
// transfer is real (a curl child), so a test sees the server's own bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "commands.h"
#include "proc.h"

namespace {

std::string today() {
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  char buf[48];
  snprintf(buf, sizeof(buf), "%04d-%02d-%02d", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday);
  return buf;
}

std::string curl_reason(int rc) {
  switch (rc) {
    case 68:
      return "file not found on the server";
    case 28:
      return "no answer from the server";
    case 7:
      return "server unreachable";
    case 69:
      return "access violation on the server";
    default:
      return "error " + std::to_string(rc);
  }
}

// Why the download cannot land as the second image, or "" if it can.
std::string slot_problem(qbsim_state& st, const std::string& dest) {
  qbsim_image* same = qbsim_find_image(st, st.mode, dest);
  if (same != nullptr && same->startup == 'Y')
    return dest + " is the startup image";
  if (qbsim_find_flagged(st, st.mode, 'N') != nullptr)
    return "no room for another image, delete the second image first";
  return "";
}

// The URL as curl must be given it to ask the server for the file named in
// it: curl would take '#' and '?' for the end of the path and decode '%'.
std::string url_for_curl(const std::string& url) {
  std::string u;
  for (char c : url) {
    if (c == '#')
      u += "%23";
    else if (c == '?')
      u += "%3F";
    else if (c == '%')
      u += "%25";
    else
      u += c;
  }
  return u;
}

}  // namespace

qbsim_outcome cmd_copy(qbsim_session& s, const std::vector<std::string>& w,
                       const std::vector<qbsim_fault>& faults) {
  if (w.size() < 4) {
    term_put(s.t, kIncomplete);
    return OUT_GO_ON;
  }
  const std::string& url = w[1];
  const std::string scheme = "tftp://";
  if (w.size() > 4 || w[2] != "image" || url.compare(0, scheme.size(), scheme) != 0) {
    term_put(s.t, kInvalidInput);
    return OUT_GO_ON;
  }
  const std::string& dest = w[3];
  // A word that begins with '#' starts a comment in the state file, which
  // could then not hold the image.
  if (dest[0] == '#') {
    term_put(s.t, kInvalidInput);
    return OUT_GO_ON;
  }
  size_t slash = url.find('/', scheme.size());
  std::string server = url.substr(scheme.size(), slash == std::string::npos ? std::string::npos
                                                                             : slash - scheme.size());
  std::string path = slash == std::string::npos ? "" : url.substr(slash + 1);
  size_t last = path.rfind('/');
  std::string file = last == std::string::npos ? path : path.substr(last + 1);
  std::string folder = last == std::string::npos ? "" : path.substr(0, last + 1);

  char buf[160];
  std::string q;
  snprintf(buf, sizeof(buf), "Mode...............................: TFTP\r\n");
  q += buf;
  snprintf(buf, sizeof(buf), "TFTP Server IP Address.............: %.60s\r\n", server.c_str());
  q += buf;
  snprintf(buf, sizeof(buf), "TFTP Path..........................: %.60s\r\n", folder.c_str());
  q += buf;
  snprintf(buf, sizeof(buf), "TFTP Filename......................: %.60s\r\n", file.c_str());
  q += buf;
  if (has_fault(faults, "password-text"))
    q += "TFTP password: (none)\r\n";
  snprintf(buf, sizeof(buf), "Data type..........................: Code\r\n");
  q += buf;
  snprintf(buf, sizeof(buf), "Destination filename...............: %.60s\r\n", dest.c_str());
  q += buf;
  q += "\r\nManagement access will be blocked for the duration of the transfer\r\n";
  q += "Are you sure you want to start? (y/n) ";
  int c = ask(s, q);
  if (c < 0)
    return OUT_END;
  if (c != 'y') {
    term_put(s.t, "Transfer Canceled by user\r\n");
    return OUT_GO_ON;
  }
  qbsim_state st;
  std::string err;
  if (!qbsim_state_load(s.dir, &st, &err)) {
    term_put(s.t, "File transfer failed: flash file system unavailable\r\n");
    return OUT_GO_ON;
  }
  std::string problem = slot_problem(st, dest);
  if (!problem.empty()) {
    term_put(s.t, "File transfer failed: " + problem + "\r\n");
    return OUT_GO_ON;
  }
  term_put(s.t, "TFTP code transfer starting...\r\n");
  term_flush(s.t);
  if (has_fault(faults, "drop")) {
    term_pause(s.t, 1);
    return OUT_DROP;
  }
  if (has_fault(faults, "kill-client")) {
    kill_client(s);
    return OUT_END;
  }
  std::string flash = qbsim_flash_dir(s.dir, st.mode);
  std::string partial = flash + "/.partial-" + std::to_string(getpid());
  int rc = proc_run({"curl", "-s", "-S", "--max-time", "300", "-o", partial, url_for_curl(url)},
                    s.dir + "/curl.log", 330);
  qbsim_event(s.dir, "download of %s: curl status %d", url.c_str(), rc);
  struct stat sb;
  if (rc == 0 && stat(partial.c_str(), &sb) != 0)
    rc = -1;
  std::string fault_arg;
  if (rc == 0 && has_fault(faults, "copy-fail", &fault_arg))
    rc = -2;
  if (rc != 0) {
    unlink(partial.c_str());
    std::string why = rc == -2 ? (fault_arg.empty() ? "CRC error" : fault_arg)
                               : rc == -1 ? "nothing received" : curl_reason(rc);
    term_pause(s.t, 1);
    term_put(s.t, "File transfer failed: " + why + "\r\n");
    return OUT_GO_ON;
  }
  term_pause(s.t, 1.5);
  term_put(s.t, "Verifying CRC...\r\n");
  term_pause(s.t, 1.5);
  term_put(s.t, "receive complete..storing in flash file system\r\n");
  term_pause(s.t, 1.5);

  std::string stored = dest;
  if (has_fault(faults, "copy-rename", &fault_arg))
    stored = fault_arg.empty() ? "x_" + dest : fault_arg;
  bool placed = false;
  qbsim_state_update(
      s.dir,
      [&](qbsim_state& cur) {
        if (!slot_problem(cur, stored).empty() || cur.mode != st.mode)
          return false;
        for (size_t i = 0; i < cur.images.size(); i++)
          if (cur.images[i].mode == cur.mode && cur.images[i].name == stored)
            cur.images.erase(cur.images.begin() + static_cast<long>(i));
        cur.images.push_back({cur.mode, stored, 'N', today(), static_cast<long>(sb.st_size)});
        placed = true;
        return true;
      },
      nullptr);
  if (!placed || rename(partial.c_str(), (flash + "/" + stored).c_str()) != 0) {
    unlink(partial.c_str());
    term_put(s.t, "File transfer failed: cannot store the image\r\n");
    return OUT_GO_ON;
  }
  qbsim_event(s.dir, "stored %s (%ld bytes) as second image of %s", stored.c_str(),
              static_cast<long>(sb.st_size), st.mode.c_str());
  term_put(s.t, "transfer operation completed\r\n");
  return OUT_GO_ON;
}
