// copy: the module fetches an image from a TFTP server into its flash. The
// transfer is real (a curl child), so a test sees the server's own bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

// What a copy command line asks for.
struct copy_request {
  std::string url;
  std::string server;  // the URL's parts
  std::string folder;
  std::string file;
  std::string dest;  // the image's name in flash
};

// Takes "copy tftp://SERVER/PATH image NAME" apart. Returns false after
// answering a line that is not one.
bool parse_copy(qbsim_session& s, const std::vector<std::string>& w, copy_request* req) {
  if (w.size() < 4) {
    term_put(s.t, kIncomplete);
    return false;
  }
  const std::string& url = w[1];
  const std::string scheme = "tftp://";
  // A word that begins with '#' starts a comment in the state file, which
  // could then not hold the image.
  if (w.size() > 4 || w[2] != "image" || url.compare(0, scheme.size(), scheme) != 0 ||
      w[3][0] == '#') {
    term_put(s.t, kInvalidInput);
    return false;
  }
  req->url = url;
  req->dest = w[3];
  size_t slash = url.find('/', scheme.size());
  req->server = url.substr(scheme.size(), slash == std::string::npos ? std::string::npos
                                                                      : slash - scheme.size());
  std::string path = slash == std::string::npos ? "" : url.substr(slash + 1);
  size_t last = path.rfind('/');
  req->file = last == std::string::npos ? path : path.substr(last + 1);
  req->folder = last == std::string::npos ? "" : path.substr(0, last + 1);
  return true;
}

// Loads the state into st and checks that dest has a place in the running
// mode. Returns false after answering why not.
bool ready_to_receive(qbsim_session& s, const std::string& dest, qbsim_state* st) {
  std::string err;
  if (!qbsim_state_load(s.dir, st, &err)) {
    term_put(s.t, "File transfer failed: flash file system unavailable\r\n");
    return false;
  }
  std::string problem = slot_problem(*st, dest);
  if (!problem.empty()) {
    term_put(s.t, "File transfer failed: " + problem + "\r\n");
    return false;
  }
  return true;
}

// Announces the transfer, after which drop and kill-client break in.
// Returns false, with *out set, when they do.
bool start_transfer(qbsim_session& s, const std::vector<qbsim_fault>& faults, qbsim_outcome* out) {
  term_put(s.t, "TFTP code transfer starting...\r\n");
  term_flush(s.t);
  if (has_fault(faults, "drop")) {
    term_pause(s.t, 1);
    *out = OUT_DROP;
    return false;
  }
  if (has_fault(faults, "kill-client")) {
    kill_client(s);
    *out = OUT_END;
    return false;
  }
  return true;
}

// The summary that comes before the question.
std::string copy_summary(const copy_request& req, const std::vector<qbsim_fault>& faults) {
  char buf[160];
  std::string q = "Mode...............................: TFTP\r\n";
  snprintf(buf, sizeof(buf), "TFTP Server IP Address.............: %.60s\r\n", req.server.c_str());
  q += buf;
  snprintf(buf, sizeof(buf), "TFTP Path..........................: %.60s\r\n", req.folder.c_str());
  q += buf;
  snprintf(buf, sizeof(buf), "TFTP Filename......................: %.60s\r\n", req.file.c_str());
  q += buf;
  if (has_fault(faults, "password-text"))
    q += "TFTP password: (none)\r\n";
  q += "Data type..........................: Code\r\n";
  snprintf(buf, sizeof(buf), "Destination filename...............: %.60s\r\n", req.dest.c_str());
  q += buf;
  q += "\r\nManagement access will be blocked for the duration of the transfer\r\n";
  return q;
}

// Downloads url into partial, of *size bytes. Returns "" or, with partial
// removed, why the transfer failed.
std::string fetch_image(qbsim_session& s, const std::string& url,
                        const std::vector<qbsim_fault>& faults, const std::string& partial,
                        long* size) {
  int rc = proc_run({"curl", "-s", "-S", "--max-time", "300", "-o", partial, url_for_curl(url)},
                    s.dir + "/curl.log", 330);
  qbsim_event(s.dir, "download of %s: curl status %d", url.c_str(), rc);
  struct stat sb;
  if (rc == 0 && stat(partial.c_str(), &sb) != 0)
    rc = -1;
  std::string why;
  std::string arg;
  if (rc == -1)
    why = "nothing received";
  else if (rc != 0)
    why = curl_reason(rc);
  else if (has_fault(faults, "copy-fail", &arg))
    why = arg.empty() ? "CRC error" : arg;
  else
    *size = static_cast<long>(sb.st_size);
  if (!why.empty())
    unlink(partial.c_str());
  return why;
}

// The module's progress report while it checks and stores what arrived.
void report_progress(qbsim_session& s) {
  for (const char* line :
       {"Verifying CRC...\r\n", "receive complete..storing in flash file system\r\n"}) {
    term_pause(s.t, 1.5);
    term_put(s.t, line);
  }
  term_pause(s.t, 1.5);
}

// Moves the download into the flash of mode as its second image, stored.
// Returns false, with the download removed, if the slot was taken meanwhile.
bool store_image(qbsim_session& s, const std::string& mode, const std::string& stored,
                 const std::string& partial, long size) {
  bool placed = false;
  qbsim_state_update(
      s.dir,
      [&](qbsim_state& cur) {
        if (!slot_problem(cur, stored).empty() || cur.mode != mode)
          return false;
        for (size_t i = 0; i < cur.images.size(); i++)
          if (cur.images[i].mode == cur.mode && cur.images[i].name == stored)
            cur.images.erase(cur.images.begin() + static_cast<long>(i));
        cur.images.push_back({cur.mode, stored, 'N', today(), size});
        placed = true;
        return true;
      },
      nullptr);
  const std::string image = qbsim_flash_dir(s.dir, mode) + "/" + stored;
  if (!placed || rename(partial.c_str(), image.c_str()) != 0) {
    unlink(partial.c_str());
    return false;
  }
  qbsim_event(s.dir, "stored %s (%ld bytes) as second image of %s", stored.c_str(), size,
              mode.c_str());
  return true;
}

// The fault copy-short: flash that keeps fewer bytes than arrived (ARG,
// default 1024) while the module reports success. Returns false, with the
// download removed, if ARG is no count of bytes or the download could not be
// cut.
bool short_store(const qbsim_session& s, const std::vector<qbsim_fault>& faults,
                 const std::string& partial, long* size) {
  std::string arg;
  if (!has_fault(faults, "copy-short", &arg))
    return true;
  char* end = nullptr;
  const long lost = arg.empty() ? 1024 : std::strtol(arg.c_str(), &end, 10);
  if (end != nullptr && (*end != '\0' || lost < 0)) {
    unlink(partial.c_str());
    return false;
  }
  const long kept = *size > lost ? *size - lost : 0;
  if (truncate(partial.c_str(), kept) != 0) {
    unlink(partial.c_str());
    return false;
  }
  qbsim_event(s.dir, "copy-short: keeps %ld of %ld bytes", kept, *size);
  *size = kept;
  return true;
}

}  // namespace

qbsim_outcome cmd_copy(qbsim_session& s, const qbsim_command& cmd,
                       const std::vector<std::string>& w, const std::vector<qbsim_fault>& faults) {
  copy_request req;
  if (!parse_copy(s, w, &req))
    return OUT_GO_ON;
  qbsim_outcome out = OUT_GO_ON;
  const std::string question = copy_summary(req, faults) + cmd.questions[0];
  if (!confirmed(s, question, "Transfer Canceled by user", &out))
    return out;
  qbsim_state st;
  if (!ready_to_receive(s, req.dest, &st) || !start_transfer(s, faults, &out))
    return out;
  const std::string partial =
      qbsim_flash_dir(s.dir, st.mode) + "/.partial-" + std::to_string(getpid());
  long size = 0;
  const std::string why = fetch_image(s, req.url, faults, partial, &size);
  if (!why.empty()) {
    term_pause(s.t, 1);
    term_put(s.t, "File transfer failed: " + why + "\r\n");
    return OUT_GO_ON;
  }
  report_progress(s);
  if (!short_store(s, faults, partial, &size)) {
    term_put(s.t, "File transfer failed: cannot store the image\r\n");
    return OUT_GO_ON;
  }
  std::string stored = req.dest;
  std::string arg;
  if (has_fault(faults, "copy-rename", &arg))
    stored = arg.empty() ? "x_" + req.dest : arg;
  if (!store_image(s, st.mode, stored, partial, size)) {
    term_put(s.t, "File transfer failed: cannot store the image\r\n");
    return OUT_GO_ON;
  }
  term_put(s.t, "transfer operation completed\r\n");
  return OUT_GO_ON;
}
