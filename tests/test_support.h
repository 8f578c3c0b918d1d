// Helpers shared by the unit tests: capturing what the tool prints, temporary
// directories with small executable scripts, the trace mask kept intact,
// command lines, and a command's dialogue replayed without a client.
#ifndef MORVIK_TEST_SUPPORT_H
#define MORVIK_TEST_SUPPORT_H

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "main.h"
#include "misc.h"
#include "nxa-tools-trace.h"
#include "ssh_exec.h"

namespace test_support {

// Reads f from its start to its end and closes it.
inline std::string slurp(FILE* f) {
  std::string text;
  if (f == nullptr)
    return text;
  rewind(f);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
    text.append(buf, n);
  fclose(f);
  return text;
}

inline std::string read_file(const std::string& path) {
  return slurp(fopen(path.c_str(), "rb"));
}

// Points descriptors 1 and 2 at temporary files for its lifetime. stderr is
// redirected too, so that errors take the same stream whether or not the
// tests run on a terminal. out() and err() stop the capture on first use.
class StdCapture {
 public:
  StdCapture() {
    fflush(stdout);
    fflush(stderr);
    saved_out_ = dup(STDOUT_FILENO);
    saved_err_ = dup(STDERR_FILENO);
    out_file_ = tmpfile();
    err_file_ = tmpfile();
    if (out_file_ != nullptr && err_file_ != nullptr) {
      dup2(fileno(out_file_), STDOUT_FILENO);
      dup2(fileno(err_file_), STDERR_FILENO);
    }
  }
  ~StdCapture() { stop(); }
  StdCapture(const StdCapture&) = delete;
  StdCapture& operator=(const StdCapture&) = delete;

  const std::string& out() {
    stop();
    return out_;
  }
  const std::string& err() {
    stop();
    return err_;
  }

 private:
  void stop() {
    if (stopped_)
      return;
    stopped_ = true;
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out_, STDOUT_FILENO);
    dup2(saved_err_, STDERR_FILENO);
    close(saved_out_);
    close(saved_err_);
    out_ = slurp(out_file_);
    err_ = slurp(err_file_);
  }

  int saved_out_ = -1;
  int saved_err_ = -1;
  FILE* out_file_ = nullptr;
  FILE* err_file_ = nullptr;
  bool stopped_ = false;
  std::string out_;
  std::string err_;
};

// Removes the "HH:MM:SS: " stamp at the start of every line of traced output.
inline std::string without_stamps(const std::string& text) {
  std::string result;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    end = (end == std::string::npos) ? text.size() : end + 1;
    std::string line = text.substr(pos, end - pos);
    if (line.size() >= 10 && line[2] == ':' && line[5] == ':' && line[8] == ':' && line[9] == ' ')
      line.erase(0, 10);
    result += line;
    pos = end;
  }
  return result;
}

// A directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/morvik-unit-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    if (!path_.empty())
      nftw(path_.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

  // Writes a file of the given text and mode; returns its path.
  std::string write(const std::string& name, const std::string& text, mode_t mode = 0755) const {
    std::string file = path_ + "/" + name;
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd != -1) {
      ssize_t written = ::write(fd, text.data(), text.size());
      (void)written;
      fchmod(fd, mode);
      close(fd);
    }
    return file;
  }

 private:
  static int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
  }
  std::string path_;
};

// The trace mode whose mask nxa_set_trace reported.
inline unsigned int mode_of_mask(unsigned int mask) {
  switch (mask) {
    case 0x05:
      return TRACE_MODE_INFO;
    case 0x0F:
      return TRACE_MODE_VERBOSE;
    case 0x1F:
      return TRACE_MODE_DEBUG;
    default:
      return TRACE_MODE_QUIET;
  }
}

// Sets a trace mode for one scope and puts the previous mask back.
class TraceMode {
 public:
  explicit TraceMode(unsigned int mode) : prev_(nxa_set_trace(mode)) {}
  ~TraceMode() { nxa_set_trace(mode_of_mask(prev_)); }
  TraceMode(const TraceMode&) = delete;
  TraceMode& operator=(const TraceMode&) = delete;

 private:
  unsigned int prev_;
};

// A session against the client at path, as the tests' module "admin" with
// password "secret" expects it.
inline session_settings client_settings(const std::string& path, QbPace pace = QB_PACE_SETTLE) {
  session_settings s;
  snprintf(s.ssh_path, sizeof(s.ssh_path), "%s", path.c_str());
  snprintf(s.ssh_args, sizeof(s.ssh_args), "-ssh admin@127.0.0.1");
  snprintf(s.password, sizeof(s.password), "secret");
  s.pace = pace;
  return s;
}

// A command line as the tests write it, without the program's name.
typedef std::vector<std::string> Args;

inline Args operator+(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The argc and argv that main gets for args, "/usr/bin/morvik" first and a
// null pointer last. argv points into the object's own copies, which the
// tool may overwrite; so it stays where it was made.
class Argv {
 public:
  explicit Argv(const Args& args) : store_(Args{"/usr/bin/morvik"} + args) {
    for (std::string& s : store_)
      argv_.push_back(&s[0]);
    argv_.push_back(nullptr);
  }
  Argv(const Argv&) = delete;
  Argv& operator=(const Argv&) = delete;

  int argc() const { return static_cast<int>(store_.size()); }
  char** argv() { return argv_.data(); }

 private:
  std::vector<std::string> store_;
  std::vector<char*> argv_;
};

// The command line's globals as the tool starts with them, and no password
// in the environment, so that no test inherits another's options.
inline void reset_command_line() {
  options = qb_opt();
  simulator_mode = 0;
  unsetenv("MORVIK_PASSWORD");
}

// parse_args on args: its code, and what it printed without time stamps.
inline std::pair<QBCodes, std::string> parse_command_line(const Args& args) {
  Argv line(args);
  StdCapture capture;
  QBCodes code = parse_args(line.argc(), line.argv());
  return {code, without_stamps(capture.out())};
}

// One command's side of a session, without a client: each chunk goes through
// def_parser, the command's parser (its row in the command table) and
// def_parser again, as the session engine hands it on. The context starts at
// the first prompt after the login, typed for the row's first variant unless
// told otherwise, with the request that the row takes from the file
// img_b.bin, the URL tftp://server/dir, the image f.bin and the mode TZR.
class CommandDialogue {
 public:
  explicit CommandDialogue(int cmd, QbCliType type = QB_CLI_UNKNOWN, int simulator = 0)
      : command_(*qb_command_of(cmd)) {
    cntx_.type = type != QB_CLI_UNKNOWN ? type : command_.variants[0].type;
    cntx_.state = EXEC_LOGIN;
    cntx_.simulator = simulator;
    file_info file = {};
    snprintf(file.name, sizeof(file.name), "img_b.bin");
    qb_request request = {&file, "tftp://server/dir", "f.bin", QB_MODE_TZR};
    command_.take_request(&cntx_, request);
  }
  CommandDialogue(const CommandDialogue&) = delete;
  CommandDialogue& operator=(const CommandDialogue&) = delete;

  exec_context& cntx() { return cntx_; }

  // Hands one chunk on as the engine holds it (a NUL ends it). Returns what
  // would be written back to the module; handled() is the chain's result.
  std::string feed(const std::string& chunk) {
    char sent[4096] = "";
    const char* recv = chunk.c_str();
    handled_ = def_parser(settings_, recv, sent, sizeof(sent), &cntx_);
    if (!handled_)
      handled_ = command_.parser(recv, sent, sizeof(sent), &cntx_);
    if (!handled_)
      handled_ = def_parser(settings_, recv, sent, sizeof(sent), &cntx_);
    return sent;
  }
  int handled() const { return handled_; }

  // The first prompt: returns the command line sent, if any.
  std::string start() { return feed("quorbel# "); }

  // The module's whole answer to the command line sent: its echo, the lines
  // each ended by CR LF, and the prompt.
  std::string answer(std::initializer_list<std::string> lines) const {
    std::string text = cntx_.cmd;
    for (const std::string& line : lines)
      text += line + "\r\n";
    return text + "quorbel# ";
  }

 private:
  const qb_command& command_;
  session_settings settings_;
  exec_context cntx_;
  int handled_ = 0;
};

// Hands lines to a line parser one by one, as response_parser would, each
// cut to 99 characters; returns the parser's last result.
inline int parse_lines(line_parser_handler parser, exec_context& cntx,
                       std::initializer_list<std::string> lines) {
  int go_on = 1;
  for (const std::string& text : lines) {
    char line[100];
    snprintf(line, sizeof(line), "%s", text.c_str());
    go_on = parser(line, &cntx);
  }
  return go_on;
}

}  // namespace test_support

#endif
