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
#include <vector>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "qb_process.h"
#include "qb_signal.h"
#include "test_support.h"

using test_support::TempDir;

namespace {

// One client, started as the session engine starts it; killed and reaped at
// the end of the test.
struct ClientPipes {
  client_process c;
  const char* unflushed = nullptr;  // left in stdout's buffer at the start

  pid_t start(const std::string& path, const std::string& args) {
    if (!create_pipes(&c))
      return 0;
    if (unflushed != nullptr)
      fputs(unflushed, stdout);
    return run_ssh_process(&c, path.c_str(), args.c_str());
  }

  // Everything the client writes until it closes its end (or time runs out).
  std::string read_to_end(int timeout_ms = 5000) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[512];
    while (std::chrono::steady_clock::now() < deadline) {
      struct pollfd pfd = {c.out_r, POLLIN, 0};
      if (poll(&pfd, 1, 100) <= 0)
        continue;
      ssize_t n = read(c.out_r, buf, sizeof(buf));
      if (n <= 0)
        break;
      text.append(buf, static_cast<size_t>(n));
    }
    return text;
  }

  ~ClientPipes() {
    if (c.pid > 0)
      kill(c.pid, SIGKILL);
    end_process(&c, 20);
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
  ASSERT_TRUE(wait_for_exec(client.c.pid, kSleep));
  EXPECT_EQ(proc_file(client.c.pid, "cmdline"), std::string("/bin/sleep\0" "30\0", 14));
}

TEST(RunSshProcess, ClientRunsInItsOwnSessionWithoutTerminal) {
  ClientPipes client;
  ASSERT_NE(client.start(kSleep, "30"), 0);
  ASSERT_TRUE(wait_for_exec(client.c.pid, kSleep));
  EXPECT_EQ(getsid(client.c.pid), client.c.pid);
  EXPECT_NE(getsid(client.c.pid), getsid(0));
  // Fields after the command name: state ppid pgrp session tty_nr ...
  std::string stat = proc_file(client.c.pid, "stat");
  int ppid = 0, pgrp = 0, session = 0, tty_nr = -1;
  char state = 0;
  ASSERT_EQ(sscanf(stat.c_str() + stat.rfind(')') + 1, " %c %d %d %d %d", &state, &ppid, &pgrp,
                   &session, &tty_nr),
            5);
  EXPECT_EQ(session, client.c.pid);
  EXPECT_EQ(tty_nr, 0);
}

TEST(RunSshProcess, ClientHasOnlyTheStandardDescriptors) {
  int extra = open("/dev/null", O_RDONLY);  // inheritable, unlike most
  ASSERT_NE(extra, -1);
  ClientPipes client;
  ASSERT_NE(client.start(kSleep, "30"), 0);
  close(extra);
  ASSERT_TRUE(wait_for_exec(client.c.pid, kSleep));
  // The kernel shows the new program's command line a moment before it has
  // closed the close-on-exec descriptors: a loaded machine catches that
  // moment, so the listing is taken again until it stops changing.
  const std::set<std::string> standard = {"0", "1", "2"};
  std::set<std::string> fds;
  std::string dir = "/proc/" + std::to_string(client.c.pid) + "/fd";
  for (int look = 0; look < 50 && fds != standard; ++look) {
    if (look > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fds.clear();
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.')
        fds.insert(e->d_name);
    closedir(d);
  }
  EXPECT_EQ(fds, standard);
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

// "pipe:[inode]", as /proc shows the pipe that fd refers to.
std::string pipe_name(int fd) {
  struct stat sb;
  return fstat(fd, &sb) == 0 ? "pipe:[" + std::to_string(sb.st_ino) + "]" : "";
}

std::string fd_target(pid_t pid, int fd) {
  char target[256] = "";
  std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

std::vector<std::string> our_streams() {
  std::vector<std::string> ids;
  for (int fd = 0; fd <= 2; ++fd)
    ids.push_back(fd_target(getpid(), fd));
  return ids;
}

// The client's 0 is the input pipe, its 1 and 2 the output pipe; the tool's
// own 0 to 2 are what they were before, during the session and after it.
TEST(RunSshProcess, ChildGetsThePipesAndOurStreamsNeverMove) {
  const std::vector<std::string> before = our_streams();
  {
    ClientPipes client;
    ASSERT_NE(client.start(kSleep, "30"), 0);
    ASSERT_TRUE(wait_for_exec(client.c.pid, kSleep));
    EXPECT_EQ(our_streams(), before);
    EXPECT_EQ(fd_target(client.c.pid, 0), pipe_name(client.c.in_w));
    EXPECT_EQ(fd_target(client.c.pid, 1), pipe_name(client.c.out_r));
    EXPECT_EQ(fd_target(client.c.pid, 2), pipe_name(client.c.out_r));
    // The client's ends are closed in the tool: only ours are left.
    EXPECT_EQ(client.c.child_in, -1);
    EXPECT_EQ(client.c.child_out, -1);
  }
  EXPECT_EQ(our_streams(), before);
}

// What the tool prints while a client runs goes where the tool's output
// goes, never into the client; what the client prints comes back on the pipe.
TEST(RunSshProcess, MessageDuringTheSessionReachesOurOutputNotTheClient) {
  TempDir dir;
  const std::string script =
      dir.write("echo", "#!/bin/sh\necho client says\nwhile read -r l; do echo \"got $l\"; done\n");
  std::string echoed, printed;
  {
    test_support::StdCapture capture;
    ClientPipes client;
    ASSERT_NE(client.start(script, ""), 0);
    printf("tool says\n");
    fflush(stdout);
    char line[] = "answer\n";
    write_fdhandle(client.c.in_w, line);
    close_fdhandle(client.c.in_w);
    echoed = client.read_to_end();
    printed = capture.out();
  }
  EXPECT_EQ(echoed, "client says\ngot answer\n");
  EXPECT_EQ(printed, "tool says\n");
}

// A client's own standard streams, in any order: wiring one must not
// overwrite another, even when the pipes got the numbers 0 to 2.
TEST(RunSshProcess, ClientStreamsAreRightWhateverTheirNumbers) {
  TempDir dir;
  const std::string script =
      dir.write("echo", "#!/bin/sh\nread -r l; echo \"out $l\"; echo err >&2\n");
  // With 0 to 2 closed, the pipes take those numbers.
  int saved[3];
  for (int fd = 0; fd <= 2; ++fd)
    saved[fd] = dup(fd);
  fflush(stdout);
  for (int fd = 0; fd <= 2; ++fd)
    close(fd);
  pid_t pid = 0;
  std::string echoed;
  int pipe_numbers[2] = {-1, -1};
  {
    ClientPipes client;
    pid = client.start(script, "");
    pipe_numbers[0] = client.c.out_r;
    pipe_numbers[1] = client.c.in_w;
    char line[] = "x\n";
    write_fdhandle(client.c.in_w, line);
    echoed = client.read_to_end();
  }
  for (int fd = 0; fd <= 2; ++fd) {
    dup2(saved[fd], fd);
    close(saved[fd]);
  }
  ASSERT_NE(pid, 0);
  EXPECT_LE(pipe_numbers[0], 2);
  EXPECT_EQ(echoed, "out x\nerr\n");
}

TEST(RunSshProcess, ClientReadsOurInputAndWritesBothStreamsIntoOnePipe) {
  TempDir dir;
  // The loop ends only when no process but us holds the input's write end.
  const std::string script =
      dir.write("echo", "#!/bin/sh\nwhile read -r l; do echo \"$l\"; done\necho done >&2\n");
  ClientPipes client;
  ASSERT_NE(client.start(script, ""), 0);
  char line[] = "y\n";
  EXPECT_EQ(write_fdhandle(client.c.in_w, line), 2);
  close_fdhandle(client.c.in_w);
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
    EXPECT_EQ(client.c.exec_errno, c.err) << c.path;
    EXPECT_LT(seconds_since(start), 0.9);  // no 1-s pause
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child is left";
  }
}

TEST(WaitProcess, ProcessThatIsNotOurChildReturnsAtOnce) {
  auto start = std::chrono::steady_clock::now();
  for (pid_t pid : {getppid(), static_cast<pid_t>(1)}) {
    client_process other;
    other.pid = pid;
    EXPECT_EQ(wait_process(&other), 1) << pid;
    EXPECT_EQ(other.pid, 0) << pid;
    EXPECT_EQ(other.status, -1) << pid;
  }
  EXPECT_LT(seconds_since(start), 0.9);  // no 1-s poll
}

TEST(WaitProcess, RunningChildIsPolledOnceASecond) {
  ClientPipes client;
  ASSERT_NE(client.start(kSleep, "30"), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_process(&client.c), 0);
  EXPECT_GE(seconds_since(start), 0.9);
}

// ---------------------------------------------------------------------------
// The run's interruption, as the engine's waits see it.

// Puts back the three signals' actions and forgets a noted signal.
class Interrupt : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 3; ++i)
      sigaction(kSignals[i], nullptr, &saved_[i]);
    clear_interrupt();
  }
  void TearDown() override {
    for (int i = 0; i < 3; ++i)
      sigaction(kSignals[i], &saved_[i], nullptr);
    clear_interrupt();
  }
  static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction saved_[3];
};

TEST_F(Interrupt, FirstSignalIsNotedAndOneInheritedAsIgnoredStaysIgnored) {
  signal(SIGINT, SIG_IGN);
  ASSERT_EQ(install_interrupt_handlers(), 0);
  struct sigaction act;
  sigaction(SIGINT, nullptr, &act);
  EXPECT_EQ(act.sa_handler, SIG_IGN);
  for (int sig : {SIGTERM, SIGHUP}) {
    sigaction(sig, nullptr, &act);
    EXPECT_NE(act.sa_handler, SIG_DFL) << sig;
    // Without SA_RESTART a wait in a system call ends at the signal.
    EXPECT_EQ(act.sa_flags & SA_RESTART, 0) << sig;
  }
  raise(SIGINT);
  EXPECT_EQ(interrupt_signal(), 0);
  raise(SIGHUP);
  EXPECT_EQ(interrupt_signal(), SIGHUP);
  EXPECT_STREQ(interrupt_name(SIGHUP), "SIGHUP");
  EXPECT_STREQ(interrupt_name(SIGTERM), "SIGTERM");
  EXPECT_STREQ(interrupt_name(SIGINT), "SIGINT");
  EXPECT_EQ(interrupt_name(SIGUSR1), nullptr);
}

// The second signal ends the tool at once, as the signal would, and takes
// the client with it.
TEST_F(Interrupt, SecondSignalEndsTheToolAndItsClient) {
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  pid_t tool = fork();
  ASSERT_NE(tool, -1);
  if (tool == 0) {
    client_process c;
    if (!create_pipes(&c) || run_ssh_process(&c, kSleep, "30") == 0)
      _exit(1);
    const pid_t client = c.pid;
    ssize_t n = write(report[1], &client, sizeof(client));
    (void)n;
    install_interrupt_handlers();
    raise(SIGTERM);
    raise(SIGTERM);
    _exit(0);  // not reached
  }
  close(report[1]);
  pid_t client = 0;
  ASSERT_EQ(read(report[0], &client, sizeof(client)), static_cast<ssize_t>(sizeof(client)));
  close(report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(tool, &status, 0), tool);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  // The client, now nobody's child, is gone or a zombie within a moment.
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    std::string stat = proc_file(client, "stat");
    gone = stat.empty() || stat.find(") Z") != std::string::npos;
    if (!gone)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(gone);
}

// ---------------------------------------------------------------------------
// The client's end: reaped however it ends, its wait status kept, its pipes
// closed; an interrupted run sends SIGTERM at once and SIGKILL 2 s later.

class EndProcess : public Interrupt {};

TEST_F(EndProcess, ReapsTheClientAndKeepsHowItEnded) {
  TempDir dir;
  struct Row {
    const char* name;
    std::string script;
    bool interrupted;
    int exit_code;  // -1: ended by a signal
    int signal;
    double at_least, within;
  };
  const Row rows[] = {
      {"ends by itself", "exit 3\n", false, 3, 0, 0, 0.9},
      {"ends at SIGTERM", "exec sleep 30\n", true, -1, SIGTERM, 0, 0.9},
      {"outlives SIGTERM", "trap '' TERM\nexec sleep 30\n", true, -1, SIGKILL, 1.9, 2.9},
  };
  ASSERT_EQ(install_interrupt_handlers(), 0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    clear_interrupt();
    client_process c;
    ASSERT_TRUE(create_pipes(&c));
    ASSERT_NE(run_ssh_process(&c, dir.write("client", "#!/bin/sh\n" + row.script).c_str(), ""),
              0);
    if (row.exit_code == -1) {
      ASSERT_TRUE(wait_for_exec(c.pid, "sleep"));
    }
    if (row.interrupted)
      raise(SIGHUP);
    const auto start = std::chrono::steady_clock::now();
    {
      test_support::StdCapture quiet;
      end_process(&c, 20);
    }
    const double took = seconds_since(start);
    EXPECT_GE(took, row.at_least);
    EXPECT_LT(took, row.within);
    EXPECT_EQ(c.pid, 0);
    EXPECT_EQ(WIFEXITED(c.status) ? WEXITSTATUS(c.status) : -1, row.exit_code);
    EXPECT_EQ(WIFSIGNALED(c.status) ? WTERMSIG(c.status) : 0, row.signal);
    EXPECT_EQ(c.out_r, -1);
    EXPECT_EQ(c.in_w, -1);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child is left";
  }
}

}  // namespace
