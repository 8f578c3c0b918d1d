// A scripted stand-in for the SSH client: plays a recorded dialogue so that the
// session engine can be tested without a network. The script is named by
// FAKEPLINK_SCRIPT; everything read from stdin is appended to FAKEPLINK_LOG.
//
// Script lines (TEXT takes the escapes \r \n \t \\ \xHH, NUL as \x00 too):
//   say TEXT        write TEXT at once
//   expect TEXT     read input until it holds TEXT (exit 3 after 30 s)
//   sleep SECONDS   pause (fractions allowed)
//   big N           write N bytes of filler lines in one go
//   repeat N TEXT   write TEXT N times in one go (a line longer than any buffer)
//   flood           write a line every 200 ms until killed
//   ignore-term     ignore SIGTERM from here on
//   close-input     close stdin, so that the tool's writes fail
//   hang            wait until killed
//   exit CODE       end with CODE
//
// The client's host-key dialogue, as plink 0.78 words it, with its cache
// $PUTTYDIR/sshhostkeys rewritten as plink does, through a temporary file of
// a fixed name (the key is named after the client's last argument):
//   first-contact   the question of a key not cached yet
//   changed-key     the warning of a key that differs from the cached one
//   pinned-mismatch the end of a key that matches none given with -hostkey
// An answer "y" stores the key (taking half a second, so that stores at the
// same time can lose one); "n" goes on without storing; a bare line end
// abandons the connection (exit 0).
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string input_seen;
FILE* input_log = nullptr;
std::string key_name = "unknown";

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    if (c == 'r')
      out += '\r';
    else if (c == 'n')
      out += '\n';
    else if (c == 't')
      out += '\t';
    else if (c == 'x' && i + 2 < text.size()) {
      out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else
      out += c;
  }
  return out;
}

void say(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n <= 0)
      exit(4);
    done += static_cast<size_t>(n);
  }
}

// Reads whatever is waiting, waiting at most timeout_ms; false on end of input.
bool read_some(int timeout_ms) {
  struct pollfd pfd = {STDIN_FILENO, POLLIN, 0};
  int rc = poll(&pfd, 1, timeout_ms);
  if (rc <= 0)
    return true;
  char buf[4096];
  ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
  if (n <= 0)
    return false;
  input_seen.append(buf, static_cast<size_t>(n));
  if (input_log != nullptr) {
    fwrite(buf, 1, static_cast<size_t>(n), input_log);
    fflush(input_log);
  }
  return true;
}

void expect(const std::string& text) {
  time_t deadline = time(nullptr) + 30;
  while (input_seen.find(text) == std::string::npos) {
    if (time(nullptr) > deadline || !read_some(200))
      exit(3);
  }
  input_seen.erase(0, input_seen.find(text) + text.size());
}

void pause_for(double seconds) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

// The next line of input, without its line end; exits 3 after 30 s.
std::string read_answer() {
  time_t deadline = time(nullptr) + 30;
  while (input_seen.find('\n') == std::string::npos) {
    if (time(nullptr) > deadline || !read_some(200))
      exit(3);
  }
  size_t end = input_seen.find('\n');
  std::string line = input_seen.substr(0, end);
  input_seen.erase(0, end + 1);
  return line;
}

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void store_key() {
  const char* dir = getenv("PUTTYDIR");
  if (dir == nullptr)
    exit(5);
  const std::string cache = std::string(dir) + "/sshhostkeys";
  const std::string tmp = std::string(dir) + "/sshhostkeys.tmp";
  std::string entries = read_whole(cache);
  pause_for(0.5);
  const std::string id = "ssh-ed25519@22:" + key_name + " ";
  size_t at = entries.find(id);
  if (at != std::string::npos)
    entries.erase(at, entries.find('\n', at) + 1 - at);
  std::ofstream(tmp, std::ios::binary) << entries << id << "0x5eed\n";
  if (rename(tmp.c_str(), cache.c_str()) != 0)
    exit(5);
}

// Asks the question; returns after "y" (stored) or "n", ends at a line end.
void host_key_question(const std::string& intro, const std::string& question) {
  say(intro + "  " + key_name + " (port 22)\nThe server's ssh-ed25519 key fingerprint is:\n"
      "  ssh-ed25519 255 SHA256:fakeKeyPrint\n" + question +
      " (y/n, Return cancels connection, i for more info) ");
  std::string answer = read_answer();
  if (answer.empty()) {
    say("Connection abandoned.\n");
    exit(0);
  }
  if (answer == "y")
    store_key();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    key_name = argv[argc - 1];
    size_t at = key_name.find('@');
    if (at != std::string::npos)
      key_name.erase(0, at + 1);
  }
  const char* script_path = getenv("FAKEPLINK_SCRIPT");
  const char* log_path = getenv("FAKEPLINK_LOG");
  if (script_path == nullptr)
    return 2;
  const char* pid_path = getenv("FAKEPLINK_PID");
  if (log_path != nullptr)
    input_log = fopen(log_path, "a");
  if (pid_path != nullptr) {
    FILE* pid_file = fopen(pid_path, "w");
    if (pid_file != nullptr) {
      fprintf(pid_file, "%d\n", static_cast<int>(getpid()));
      fclose(pid_file);
    }
  }
  std::ifstream script(script_path);
  std::string line;
  while (std::getline(script, line)) {
    size_t blank = line.find(' ');
    std::string verb = line.substr(0, blank);
    std::string arg = blank == std::string::npos ? "" : unescape(line.substr(blank + 1));
    if (verb == "say") {
      say(arg);
    } else if (verb == "expect") {
      expect(arg);
    } else if (verb == "sleep") {
      pause_for(atof(arg.c_str()));
    } else if (verb == "big") {
      std::string filler;
      size_t total = static_cast<size_t>(atol(arg.c_str()));
      while (filler.size() < total)
        filler += "filler line of a long answer\r\n";
      say(filler.substr(0, total));
    } else if (verb == "repeat") {
      size_t blank2 = arg.find(' ');
      std::string unit = blank2 == std::string::npos ? "" : arg.substr(blank2 + 1);
      std::string text;
      for (long n = atol(arg.c_str()); n > 0; --n)
        text += unit;
      say(text);
    } else if (verb == "flood") {
      for (;;) {
        say("still busy\r\n");
        pause_for(0.2);
      }
    } else if (verb == "ignore-term") {
      signal(SIGTERM, SIG_IGN);
    } else if (verb == "close-input") {
      close(STDIN_FILENO);
    } else if (verb == "hang") {
      for (;;)
        pause();
    } else if (verb == "first-contact") {
      host_key_question("The host key is not cached for this server:\n", "Store key in cache?");
    } else if (verb == "changed-key") {
      host_key_question("WARNING - POTENTIAL SECURITY BREACH!\nThe host key does not match the "
                        "one Plink has cached for this server:\n",
                        "Update cached key?");
    } else if (verb == "pinned-mismatch") {
      say("FATAL ERROR: Host key not in manually configured list\r\n");
      return 1;
    } else if (verb == "exit") {
      return atoi(arg.c_str());
    }
  }
  return 0;
}
