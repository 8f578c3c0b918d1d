// Starting, watching and ending the SSH client, tested with real one-line
// children started between pipes on descriptors 0 to 2, as a session does.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "qb_io.h"
#include "test_support.h"

using test_support::TempDir;

namespace {

// The eight handles of one session. start() points descriptors 0 to 2 at two
// new pipes, as the session engine does, and runs the client with them.
struct ClientPipes {
  fd_handle stdin_def = -1, stdout_def = -1, stderr_def = -1;
  fd_handle stdout_r = -1, stdout_w = -1, stdout_e = -1, stdin_r = -1, stdin_w = -1;
  pid_t pid = 0;
  int exec_errno = 0;
  const char* unflushed = nullptr;  // left in stdout's buffer at the start

  // Nothing may be printed (no assertion may fail) while 0 to 2 are redirected.
  pid_t start(const std::string& path, const std::string& args) {
    fflush(stdout);
    fflush(stderr);
    int out[2], in[2];
    if (pipe(out) != 0)
      return 0;
    if (pipe(in) != 0) {
      close(out[0]);
      close(out[1]);
      return 0;
    }
    stdout_def = dup(STDOUT_FILENO);
    stdin_def = dup(STDIN_FILENO);
    stderr_def = dup(STDERR_FILENO);
    stdout_w = dup2_std_fdhandle(out[1], STD_OUTPUT_HANDLE);
    stdout_r = dup(out[0]);
    stdin_r = dup2_std_fdhandle(in[0], STD_INPUT_HANDLE);
    stdin_w = dup(in[1]);
    stdout_e = dup2_std_fdhandle(stdout_w, STD_ERROR_HANDLE);
    close(in[1]);
    close(in[0]);
    close(out[1]);
    close(out[0]);
    if (unflushed != nullptr)
      fputs(unflushed, stdout);
    std::string path_copy = path, args_copy = args;
    pid = run_ssh_process(stdin_r, stdout_w, stdout_e, stdin_def, stdout_def, stderr_def,
                          &path_copy[0], &args_copy[0], 1, &exec_errno);
    if (pid == 0)
      restore();
    return pid;
  }

  // What the session engine does at its end.
  void restore() {
    close_fdhandle(stdout_r);
    close_fdhandle(stdout_w);
    close_fdhandle(stdout_e);
    close_fdhandle(stdin_r);
    close_fdhandle(stdin_w);
    if (stdout_def != -1)
      dup2(stdout_def, STDOUT_FILENO);
    if (stdin_def != -1)
      dup2(stdin_def, STDIN_FILENO);
    if (stderr_def != -1)
      dup2(stderr_def, STDERR_FILENO);
    close_fdhandle(stdout_def);
    close_fdhandle(stdin_def);
    close_fdhandle(stderr_def);
  }

  // Everything the client writes until it closes its end (or time runs out).
  std::string read_to_end(int timeout_ms = 5000) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[512];
    while (std::chrono::steady_clock::now() < deadline) {
      struct pollfd pfd = {stdout_r, POLLIN, 0};
      if (poll(&pfd, 1, 100) <= 0)
        continue;
      ssize_t n = read(stdout_r, buf, sizeof(buf));
      if (n <= 0)
        break;
      text.append(buf, static_cast<size_t>(n));
    }
    return text;
  }

  ~ClientPipes() {
    restore();
    if (pid > 0)
      kill_process(pid);
  }
};

// The contents of a /proc/<pid> file, or "" if it cannot be read.
std::string proc_file(pid_t pid, const char* name) {
  return test_support::read_file("/proc/" + std::to_string(pid) + "/" + name);
}

// The value of one "Key:\tvalue" line of /proc/<pid>/status.
std::string status_field(pid_t pid, const std::string& key) {
  std::string status = proc_file(pid, "status");
  size_t pos = status.find("\n" + key + ":");
  if (pos == std::string::npos)
    return "";
  pos = status.find_first_not_of(" \t", pos + key.size() + 2);
  return status.substr(pos, status.find('\n', pos) - pos);
}

// Waits until the child runs program (its argv[0]).
bool wait_for_exec(pid_t pid, const std::string& program) {
  for (int i = 0; i < 100; ++i) {
    std::string cmdline = proc_file(pid, "cmdline");
    if (cmdline.compare(0, program.size() + 1, program + '\0') == 0)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

const char kSleep[] = "/bin/sleep";

// A script that prints each of its arguments in brackets, one per line.
const char kPrintArgs[] = "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\n";

TEST(RunSshProcess, SplitsArgumentsAtEveryBlank) {
  TempDir dir;
  const std::string script = dir.write("args", kPrintArgs);
  struct Row {
    const char* args;
    const char* printed;
  };
  const Row rows[] = {
      {"-ssh admin@10.1.2.3", "[-ssh]\n[admin@10.1.2.3]\n"},
      {"a  b", "[a]\n[]\n[b]\n"},
      {"a b ", "[a]\n[b]\n"},
      {" a", "[]\n[a]\n"},
  };
  for (const Row& row : rows) {
    ClientPipes client;
    ASSERT_NE(client.start(script, row.args), 0);
    EXPECT_EQ(client.read_to_end(), row.printed) << "[" << row.args << "]";
  }
}

TEST(RunSshProcess, TakesAtMost48Pieces) {
  TempDir dir;
  const std::string script = dir.write("args", kPrintArgs);
  std::string args, expected;
  for (int i = 1; i <= 60; ++i) {
    args += (i > 1 ? " w" : "w") + std::to_string(i);
    if (i <= 48)
      expected += "[w" + std::to_string(i) + "]\n";
  }
  ClientPipes client;
  ASSERT_NE(client.start(script, args), 0);
  EXPECT_EQ(client.read_to_end(), expected);
}

TEST(RunSshProcess, VectorStartsWithTheClientPath) {
  ClientPipes client;
  ASSERT_NE(client.start(kSleep, "30"), 0);
  ASSERT_TRUE(wait_for_exec(client.pid, kSleep));
  EXPECT_EQ(proc_file(client.pid, "cmdline"), std::string("/bin/sleep\0" "30\0", 14));
}

TEST(RunSshProcess, ClientRunsInItsOwnSessionWithoutTerminal) {
  ClientPipes client;
  ASSERT_NE(client.start(kSleep, "30"), 0);
  ASSERT_TRUE(wait_for_exec(client.pid, kSleep));
  EXPECT_EQ(getsid(client.pid), client.pid);
  EXPECT_NE(getsid(client.pid), getsid(0));
  // Fields after the command name: state ppid pgrp session tty_nr ...
  std::string stat = proc_file(client.pid, "stat");
  int ppid = 0, pgrp = 0, session = 0, tty_nr = -1;
  char state = 0;
  ASSERT_EQ(sscanf(stat.c_str() + stat.rfind(')') + 1, " %c %d %d %d %d", &state, &ppid, &pgrp,
                   &session, &tty_nr),
            5);
  EXPECT_EQ(session, client.pid);
  EXPECT_EQ(tty_nr, 0);
}

TEST(RunSshProcess, ClientHasOnlyTheStandardDescriptors) {
  int extra = open("/dev/null", O_RDONLY);  // inheritable, unlike most
  ASSERT_NE(extra, -1);
  ClientPipes client;
  ASSERT_NE(client.start(kSleep, "30"), 0);
  close(extra);
  ASSERT_TRUE(wait_for_exec(client.pid, kSleep));
  std::set<std::string> fds;
  std::string dir = "/proc/" + std::to_string(client.pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(d, nullptr);
  while (struct dirent* e = readdir(d))
    if (e->d_name[0] != '.')
      fds.insert(e->d_name);
  closedir(d);
  EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2"}));
}

TEST(RunSshProcess, ClientStartsWithDefaultSignals) {
  // The tool ignores SIGPIPE; the client must not inherit that, nor a mask.
  auto old_pipe = signal(SIGPIPE, SIG_IGN);
  auto old_hup = signal(SIGHUP, SIG_IGN);
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  sigprocmask(SIG_BLOCK, &block, &old_mask);

  ClientPipes client;
  pid_t pid = client.start(kSleep, "30");

  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  signal(SIGHUP, old_hup);
  signal(SIGPIPE, old_pipe);
  ASSERT_NE(pid, 0);
  ASSERT_TRUE(wait_for_exec(pid, kSleep));
  // Signals 32 and 33 (bits 31 and 32) are left out: the C library keeps them
  // for itself, so no program can reset them, and a parent started through
  // posix_spawn, as make and ninja start theirs, hands them on ignored.
  const unsigned long long libc_own = (1ULL << 31) | (1ULL << 32);
  EXPECT_EQ(strtoull(status_field(pid, "SigIgn").c_str(), nullptr, 16) & ~libc_own, 0u);
  EXPECT_EQ(status_field(pid, "SigBlk"), "0000000000000000");
}

TEST(RunSshProcess, LeavesTheFileCreationMaskAlone) {
  mode_t old = umask(027);
  ClientPipes client;
  pid_t pid = client.start(kSleep, "30");
  mode_t after = umask(old);
  ASSERT_NE(pid, 0);
  EXPECT_EQ(after, 027u);
  ASSERT_TRUE(wait_for_exec(pid, kSleep));
  EXPECT_EQ(status_field(pid, "Umask"), "0027");
}

TEST(RunSshProcess, RestoresTheToolsStandardStreams) {
  struct stat before[3], after[3];
  for (int fd = 0; fd < 3; ++fd)
    ASSERT_EQ(fstat(fd, &before[fd]), 0);
  ClientPipes client;
  ASSERT_NE(client.start(kSleep, "30"), 0);
  for (int fd = 0; fd < 3; ++fd) {
    ASSERT_EQ(fstat(fd, &after[fd]), 0);
    EXPECT_EQ(after[fd].st_dev, before[fd].st_dev) << fd;
    EXPECT_EQ(after[fd].st_ino, before[fd].st_ino) << fd;
  }
  // Only the tool's own pipe ends are left to the session.
  EXPECT_EQ(client.stdin_r, -1);
  EXPECT_EQ(client.stdout_w, -1);
  EXPECT_EQ(client.stdout_e, -1);
  EXPECT_EQ(client.stdin_def, -1);
  EXPECT_EQ(client.stdout_def, -1);
  EXPECT_EQ(client.stderr_def, -1);
  EXPECT_NE(client.stdout_r, -1);
  EXPECT_NE(client.stdin_w, -1);
}

TEST(RunSshProcess, ClientReadsOurInputAndWritesBothStreamsIntoOnePipe) {
  TempDir dir;
  // The loop ends only when no process but us holds the input's write end.
  const std::string script =
      dir.write("echo", "#!/bin/sh\nwhile read -r l; do echo \"$l\"; done\necho done >&2\n");
  ClientPipes client;
  ASSERT_NE(client.start(script, ""), 0);
  char line[] = "y\n";
  EXPECT_EQ(write_fdhandle(client.stdin_w, line), 2);
  close_fdhandle(client.stdin_w);
  EXPECT_EQ(client.read_to_end(), "y\ndone\n");
}

// No child is started then: the reason comes back, and the child that tried
// is reaped at once, without a pause and without writing anything.
TEST(RunSshProcess, ClientThatCannotRunIsNoChildAndSaysWhy) {
  TempDir dir;
  const std::string not_executable = dir.write("plink", "#!/bin/sh\necho started\n", 0644);
  const struct {
    std::string path;
    int err;
  } cases[] = {{dir.path() + "/missing", ENOENT}, {not_executable, EACCES}};
  for (const auto& c : cases) {
    ClientPipes client;
    client.unflushed = "left in the tool's buffer";  // the child must not flush it
    auto start = std::chrono::steady_clock::now();
    pid_t pid = client.start(c.path, "-ssh admin@10.1.2.3");
    __fpurge(stdout);
    EXPECT_EQ(pid, 0) << c.path;
    EXPECT_EQ(client.exec_errno, c.err) << c.path;
    EXPECT_LT(seconds_since(start), 0.9);  // no 1-s pause
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child is left";
  }
}

TEST(WaitProcess, ProcessThatIsNotOurChildReturnsAtOnce) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_process(getppid()), 1);
  EXPECT_EQ(wait_process(1), 1);
  EXPECT_LT(seconds_since(start), 0.9);  // no 1-s poll
}

TEST(WaitProcess, RunningChildIsPolledOnceASecond) {
  ClientPipes client;
  ASSERT_NE(client.start(kSleep, "30"), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_process(client.pid), 0);
  EXPECT_GE(seconds_since(start), 0.9);
}

TEST(KillProcess, ReapsAChildThatIgnoresSigterm) {
  TempDir dir;
  const std::string script = dir.write("stubborn", "#!/bin/sh\ntrap '' TERM\nexec sleep 30\n");
  ClientPipes client;
  ASSERT_NE(client.start(script, ""), 0);
  ASSERT_TRUE(wait_for_exec(client.pid, "sleep"));
  kill(client.pid, SIGTERM);
  EXPECT_EQ(wait_process(client.pid), 0);  // still there after a second
  kill_process(client.pid);
  errno = 0;
  EXPECT_EQ(waitpid(client.pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  client.pid = 0;
}

}  // namespace
