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
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

namespace {

std::string input_seen;
FILE* input_log = nullptr;

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

}  // namespace

int main() {
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
    } else if (verb == "exit") {
      return atoi(arg.c_str());
    }
  }
  return 0;
}
