// The CLI flavour over plain pipes: echo, answers, prompts, questions, line
// ends, the state changes of each command, and the faults a test can set.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "cli_driver.h"
#include "commands.h"
#include "gtest/gtest.h"
#include "harness.h"
#include "login.h"

namespace {

const std::string kPrompt = "qb-switch# ";

// A process that plays the stand-in client for the kill-client fault: it
// only waits, and the module names it through QBSIM_CLIENT_PID.
struct dummy_client {
  pid_t pid = fork();
  dummy_client() {
    if (pid == 0) {
      for (;;)
        pause();
    }
    setenv("QBSIM_CLIENT_PID", std::to_string(pid).c_str(), 1);
  }
  ~dummy_client() {
    unsetenv("QBSIM_CLIENT_PID");
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  // The signal that ended it within `seconds`, or 0 if it still runs.
  int ended_by(double seconds) {
    for (double t = cli_now() + seconds; cli_now() < t; usleep(20000)) {
      int st = 0;
      if (waitpid(pid, &st, WNOHANG) == pid) {
        pid = -1;
        return WIFSIGNALED(st) ? WTERMSIG(st) : -1;
      }
    }
    return 0;
  }
};

struct cli_session {
  e2e_area area;
  cli_driver d;
  size_t pos = 0;  // how far the output has been looked at

  bool start() {
    if (!area.ok || !d.start(qbsim_bin(), area.state_dir))
      return false;
    return next(kPrompt);
  }
  // Waits for text after what was seen so far.
  bool next(const std::string& text, double timeout = 5) {
    size_t p = d.wait_for(text, pos, timeout);
    if (p == std::string::npos)
      return false;
    pos = p;
    return true;
  }
  // Sends a line and returns the output up to and including the next prompt.
  std::string command(const std::string& line) {
    size_t from = pos;
    d.send(line);
    if (!next(kPrompt))
      return "(no prompt after " + line + ") " + d.out.substr(from);
    return d.out.substr(from, pos - from);
  }
};

TEST(CliSession, EchoAnswerAndPromptGoOutInOneWrite) {
  cli_session s;
  ASSERT_TRUE(s.start()) << s.d.out;
  size_t reads = s.d.reads.size();
  std::string a = s.command("dir opcode\r\n");
  EXPECT_EQ(a.compare(0, 12, "dir opcode\r\n"), 0) << a;
  EXPECT_NE(a.find("img_b.bin"), std::string::npos) << a;
  // The whole answer, prompt included, arrived with a single read.
  ASSERT_EQ(s.d.reads.size(), reads + 1);
  EXPECT_EQ(s.d.reads.back().bytes, a);
}

TEST(CliSession, CrLfLoneCrAndLoneLfEachEndOneLine) {
  cli_session s;
  ASSERT_TRUE(s.start()) << s.d.out;
  for (const char* end : {"\r\n", "\r", "\n"}) {
    std::string a = s.command(std::string("whichboot") + end);
    EXPECT_NE(a.find("Operation Code"), std::string::npos) << a;
  }
  s.d.drain(0.3);
  EXPECT_EQ(s.d.out.size(), s.pos) << "an extra prompt for a line end: " << s.d.out.substr(s.pos);
  EXPECT_EQ(s.area.received(), "whichboot\r\nwhichboot\rwhichboot\n");
}

TEST(CliSession, EmptyLineGivesABarePrompt) {
  cli_session s;
  ASSERT_TRUE(s.start());
  EXPECT_EQ(s.command("\r\n"), "\r\n" + kPrompt);
}

TEST(CliSession, RejectedLinesGetTheErrorMarkers) {
  cli_session s;
  ASSERT_TRUE(s.start());
  EXPECT_NE(s.command("frobnicate\r\n").find("Invalid input detected"), std::string::npos);
  EXPECT_NE(s.command("show\r\n").find("Incomplete command"), std::string::npos);
  EXPECT_NE(s.command("dir bootrom\r\n").find("Invalid input detected"), std::string::npos);
  EXPECT_NE(s.command("copy nowhere image x.bin\r\n").find("Invalid input detected"),
            std::string::npos);
  // The state file could not hold it.
  EXPECT_NE(s.command("copy tftp://127.0.0.1/x.bin image #x.bin\r\n").find("Invalid input"),
            std::string::npos);
}

TEST(CliSession, DeleteAsksAndRemovesTheSecondImage) {
  cli_session s;
  ASSERT_TRUE(s.start());
  size_t from = s.pos;
  s.d.send("delete img_b.bin\r\n");
  ASSERT_TRUE(s.next("(y/n) ")) << s.d.out;
  EXPECT_EQ(s.d.out.find(kPrompt, from), std::string::npos);
  EXPECT_NE(s.d.out.find("you want to delete?", from), std::string::npos);
  s.d.send("y");
  size_t reads = s.d.reads.size();
  ASSERT_TRUE(s.next(kPrompt));
  // The echo of the answer goes out together with the result.
  EXPECT_EQ(s.d.reads.size(), reads + 1);
  EXPECT_EQ(s.d.reads.back().bytes, "y\r\nFile img_b.bin Deleted!\r\n" + kPrompt);
  qbsim_state st = s.area.state();
  EXPECT_EQ(qbsim_find_image(st, "Switch", "img_b.bin"), nullptr);
  EXPECT_NE(s.command("dir opcode img_b.bin\r\n").find("Total: 0 files"), std::string::npos);
}

TEST(CliSession, AnythingButYesLeavesTheModuleAsItWas) {
  const struct {
    const char* line;
    const char* answer;
    std::string refusal;  // with the echo of the answer
  } rows[] = {
      {"delete img_b.bin\r\n", "n", "n\r\nFile img_b.bin Not Deleted!\r\n"},
      {"copy tftp://127.0.0.1/img_c.bin image img_c.bin\r\n", "N",
       "N\r\nTransfer Canceled by user\r\n"},
      {"reload\r\n", "q", "q\r\nReset canceled\r\n"},
  };
  for (const auto& row : rows) {
    cli_session s;
    ASSERT_TRUE(s.start());
    const qbsim_state before = s.area.state();
    s.d.send(row.line);
    ASSERT_TRUE(s.next("(y/n) ")) << row.line;
    const size_t asked = s.pos;
    s.d.send(row.answer);
    ASSERT_TRUE(s.next(kPrompt)) << row.line;
    EXPECT_EQ(s.d.out.substr(asked), row.refusal + kPrompt) << row.line;
    const qbsim_state after = s.area.state();
    EXPECT_EQ(after.images.size(), before.images.size()) << row.line;
    EXPECT_EQ(after.running, before.running) << row.line;
    EXPECT_EQ(after.restart, "none") << row.line;
  }
}

TEST(CliSession, DeleteRefusesTheStartupImageWithoutAsking) {
  cli_session s;
  ASSERT_TRUE(s.start());
  std::string a = s.command("delete img_a.bin\r\n");
  EXPECT_NE(a.find("Delete Failed"), std::string::npos) << a;
  EXPECT_EQ(a.find("y/n"), std::string::npos);
}

TEST(CliSession, BootSystemOpcodeSwapsTheStartupImageAndQuitOffersToSave) {
  cli_session s;
  ASSERT_TRUE(s.start());
  EXPECT_NE(s.command("boot-system opcode img_b.bin\r\n").find("Start Up Success"),
            std::string::npos);
  qbsim_state st = s.area.state();
  EXPECT_EQ(qbsim_find_image(st, "Switch", "img_b.bin")->startup, 'Y');
  EXPECT_EQ(qbsim_find_image(st, "Switch", "img_a.bin")->startup, 'N');
  EXPECT_TRUE(st.unsaved);
  EXPECT_EQ(st.running, "img_a.bin");  // until the restart
  s.d.send("quit\n");
  ASSERT_TRUE(s.next("(y/n) "));
  EXPECT_NE(s.d.out.find("system has unsaved changes"), std::string::npos);
  EXPECT_NE(s.d.out.find("you like to save"), std::string::npos);
  s.d.send("y\n");
  EXPECT_EQ(s.d.finish(5), 0);
  EXPECT_NE(s.d.out.find("y\r\nConfiguration Saved\r\n", s.pos), std::string::npos);
  EXPECT_FALSE(s.area.state().unsaved);
}

TEST(CliSession, BootSystemOpcodeOfAnUnknownImageFails) {
  cli_session s;
  ASSERT_TRUE(s.start());
  EXPECT_NE(s.command("boot-system opcode tzr_a.bin\r\n").find("Start Up Failed!"),
            std::string::npos);
}

TEST(CliSession, BootSystemModeAnswersNothingAndSetsTheNextMode) {
  cli_session s;
  ASSERT_TRUE(s.start());
  EXPECT_EQ(s.command("boot-system mode TZR\r\n"), "boot-system mode TZR\r\n" + kPrompt);
  EXPECT_EQ(s.area.state().next_mode, "TZR");
}

TEST(CliSession, ReloadAsksTwiceApartAndRestartsIntoTheNextMode) {
  cli_session s;
  ASSERT_TRUE(s.start());
  s.command("boot-system mode EHM\r\n");
  s.d.send("reload\r\n");
  ASSERT_TRUE(s.next("you like to save them now? (y/n) "));
  s.d.send("y");
  ASSERT_TRUE(s.next("Configuration Saved\r\n"));
  double saved_at = s.d.reads.back().at;
  ASSERT_TRUE(s.next("you sure you would like to reset the system? (y/n) ", 8));
  // Never in one settled chunk with the save result: 3 s apart, of which a
  // reader held up on a busy machine may see 1 s less.
  EXPECT_GT(s.d.reads.back().at - saved_at, 2.0);
  s.d.send("y");
  ASSERT_TRUE(s.next("y\r\nSystem will now restart\r\n"));
  double restart_at = s.d.reads.back().at;
  EXPECT_EQ(s.d.finish(10, false), 0);
  // Stays connected a while (3 s) so the announcement is read before the end.
  EXPECT_GT(cli_now() - s.d.t0 - restart_at, 2.0);
  qbsim_state st = s.area.state();  // no supervisor here: started at once
  EXPECT_EQ(st.mode, "EHM");
  EXPECT_EQ(st.running, "ehm_a.bin");
  EXPECT_EQ(st.restart, "none");
}

// Names a prompt or logout scan could trip over are still plain names here.
TEST(CliSession, NamesWithHashDollarOrExitAreListedMadeStartupAndDeleted) {
  for (const std::string name : {"old#1.bin", "cfg$2.bak", "exit.bin"}) {
    SCOPED_TRACE(name);
    cli_session s;
    ASSERT_TRUE(s.area.update([&](qbsim_state& st) { st.images[1].name = name; }));
    ASSERT_TRUE(s.start());
    EXPECT_NE(s.command("dir opcode " + name + "\r\n").find(name + "  "), std::string::npos);
    EXPECT_NE(s.command("boot-system opcode " + name + "\r\n").find("Start Up Success"),
              std::string::npos);
    ASSERT_TRUE(s.area.update([](qbsim_state& st) { qbsim_apply_boot(st); }));
    EXPECT_NE(s.command("whichboot\r\n").find(name + "  "), std::string::npos);
    s.command("boot-system opcode img_a.bin\r\n");
    s.d.send("delete " + name + "\r\n");
    ASSERT_TRUE(s.next("(y/n) "));
    EXPECT_NE(s.command("y").find("File " + name + " Deleted!"), std::string::npos);
    qbsim_state st = s.area.state();
    EXPECT_EQ(qbsim_find_image(st, "Switch", name), nullptr);
  }
}

TEST(CliSession, CopyRefusesWhileASecondImageExists) {
  cli_session s;
  ASSERT_TRUE(s.start());
  s.d.send("copy tftp://127.0.0.1/img_c.bin image img_c.bin\r\n");
  ASSERT_TRUE(s.next("you want to start? (y/n) "));
  for (const char* w : {"Mode", "TFTP Server", "TFTP Path", "TFTP Filename", "Data type",
                        "Destination filename", "access will be blocked"})
    EXPECT_NE(s.d.out.find(w), std::string::npos) << w;
  s.d.send("y");
  ASSERT_TRUE(s.next(kPrompt));
  EXPECT_NE(s.d.out.find("transfer failed"), std::string::npos) << s.d.out;
  EXPECT_EQ(s.area.state().images.size(), 4u);
}

TEST(CliFaults, ErrorMarkerHitsTheChosenOccurrenceOnly) {
  cli_session s;
  ASSERT_TRUE(s.area.add_fault("error", "dir", 2, "% Incorrect input"));
  ASSERT_TRUE(s.start());
  EXPECT_EQ(s.command("dir\r\n").find("Incorrect input"), std::string::npos);
  EXPECT_NE(s.command("dir\r\n").find("% Incorrect input\r\n"), std::string::npos);
  EXPECT_EQ(s.command("dir\r\n").find("Incorrect input"), std::string::npos);
}

TEST(CliFaults, DropEndsTheSessionWithTheDropStatus) {
  cli_session s;
  ASSERT_TRUE(s.area.add_fault("drop", "whichboot", 1));
  ASSERT_TRUE(s.start());
  s.d.send("whichboot\r\n");
  EXPECT_EQ(s.d.finish(5), 111);
  EXPECT_EQ(s.d.out.find("Operation Code"), std::string::npos);
}

TEST(CliFaults, KillClientKillsTheClientRightAfterTheEcho) {
  cli_session s;
  ASSERT_TRUE(s.area.add_fault("kill-client", "dir", 1));
  dummy_client client;
  ASSERT_GT(client.pid, 0);
  ASSERT_TRUE(s.start());
  double sent_at = cli_now();
  s.d.send("dir opcode\r\n");
  EXPECT_EQ(client.ended_by(3), SIGKILL);
  EXPECT_LT(cli_now() - sent_at, 1.0);
  EXPECT_TRUE(s.next("dir opcode\r\n"));
  s.d.drain(0.5);
  EXPECT_EQ(s.d.out.find("Total:"), std::string::npos) << s.d.out;
  EXPECT_EQ(s.d.finish(5), 0);
}

TEST(CliFaults, ReloadFaultsCanWaitForTheAnnouncement) {
  for (const char* kind : {"kill-client", "drop", "silence"}) {
    SCOPED_TRACE(kind);
    cli_session s;
    ASSERT_TRUE(s.area.add_fault(kind, "reload", 1, "announced"));
    dummy_client client;
    ASSERT_TRUE(s.start());
    s.d.send("reload\r\n");
    ASSERT_TRUE(s.next("reset the system? (y/n) "));
    s.d.send("y");
    ASSERT_TRUE(s.next("System will now restart\r\n"));
    double announced_at = cli_now();
    if (std::string(kind) == "kill-client") {
      EXPECT_EQ(client.ended_by(2), SIGKILL);
      EXPECT_LT(cli_now() - announced_at, 1.0);
    } else if (std::string(kind) == "drop") {
      EXPECT_EQ(s.d.finish(10, false), 111);
      EXPECT_GT(cli_now() - announced_at, 2.0);  // 3 s, less a late read
    } else {
      s.d.drain(4);
      EXPECT_EQ(s.d.out.size(), s.pos) << s.d.out.substr(s.pos);
      EXPECT_EQ(s.d.finish(5), 0);  // until the client hangs up
    }
    // The restart happens all the same (no supervisor here: at once).
    EXPECT_EQ(s.area.state().restart, "none");
    EXPECT_EQ(s.area.state().sessions, 1);
  }
}

TEST(CliFaults, DropAnnouncedNowEndsTheSessionWithTheAnnouncement) {
  cli_session s;
  ASSERT_TRUE(s.area.add_fault("drop", "reload", 1, "announced-now"));
  ASSERT_TRUE(s.start());
  s.d.send("reload\r\n");
  ASSERT_TRUE(s.next("reset the system? (y/n) "));
  s.d.send("y");
  double answered_at = cli_now();
  EXPECT_EQ(s.d.finish(5, false), kDropStatus);
  EXPECT_LT(cli_now() - answered_at, 1.0);
  EXPECT_NE(s.d.out.find("y\r\nSystem will now restart\r\n", s.pos), std::string::npos);
  EXPECT_EQ(s.area.state().restart, "none");  // restarted all the same
}

TEST(CliFaults, TightReloadWritesTheSaveResultWithTheResetQuestion) {
  cli_session s;
  ASSERT_TRUE(s.area.add_fault("tight", "reload", 1));
  ASSERT_TRUE(s.start());
  ASSERT_FALSE(s.area.state().unsaved);
  s.d.send("reload\r\n");
  ASSERT_TRUE(s.next("Would you like to save them now? (y/n) "));
  s.d.send("y");
  ASSERT_TRUE(s.next("reset the system? (y/n) "));
  EXPECT_EQ(s.d.reads.back().bytes,
            "y\r\nConfiguration Saved\r\nAre you sure you would like to reset the system? (y/n) ");
  s.d.send("n");
  EXPECT_TRUE(s.next(kPrompt));
}

// The first part ends before the middle line: in dir opcode the startup row
// comes with the second.
TEST(CliFaults, PauseSplitsTheAnswerAtItsMiddle) {
  cli_session s;
  ASSERT_TRUE(s.area.add_fault("pause", "dir", 1, "1"));
  ASSERT_TRUE(s.start());
  size_t reads = s.d.reads.size();
  std::string a = s.command("dir opcode\r\n");
  ASSERT_EQ(s.d.reads.size(), reads + 2) << a;
  const cli_read& first = s.d.reads[reads];
  const cli_read& second = s.d.reads[reads + 1];
  EXPECT_EQ(first.bytes.compare(0, 12, "dir opcode\r\n"), 0) << first.bytes;
  EXPECT_NE(first.bytes.find("-----\r\n"), std::string::npos) << first.bytes;
  EXPECT_EQ(first.bytes.find("img_a.bin"), std::string::npos) << first.bytes;
  EXPECT_NE(second.bytes.find("img_a.bin"), std::string::npos) << second.bytes;
  EXPECT_GT(second.at - first.at, 0.9);
}

TEST(CliFaults, AbortSendsTheFirstHalfOfTheAnswerAndEndsTheSession) {
  struct row {
    const char* line;
    const char* first_half;  // a line that goes out
    const char* withheld;    // a later one that does not
  };
  const row rows[] = {
      {"whichboot\r\n", "Boot-System", "Operation Code"},
      {"copy tftp://127.0.0.1/img_c.bin image img_c.bin\r\n", "Mode...", "(y/n)"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.line);
    cli_session s;
    ASSERT_TRUE(s.area.add_fault("abort", "any", 1));
    ASSERT_TRUE(s.start());
    s.d.send(r.line);
    EXPECT_EQ(s.d.finish(5), kAbortStatus);
    std::string a = s.d.out.substr(s.pos);
    EXPECT_EQ(a.compare(0, strlen(r.line), r.line), 0) << a;
    EXPECT_NE(a.find(r.first_half), std::string::npos) << a;
    EXPECT_EQ(a.find(r.withheld), std::string::npos) << a;
    EXPECT_EQ(a.find(kPrompt), std::string::npos) << a;
  }
}

TEST(CliFaults, PasswordTextJoinsTheTransferSummary) {
  cli_session s;
  ASSERT_TRUE(s.area.add_fault("password-text", "copy", 1));
  ASSERT_TRUE(s.start());
  const std::string copy = "copy tftp://127.0.0.1/img_c.bin image img_c.bin\r\n";
  s.d.send(copy);
  ASSERT_TRUE(s.next("\r\nTFTP password: (none)\r\n"));
  ASSERT_TRUE(s.next("Are you sure you want to start? (y/n) "));
  // A password typed there reaches the module, and its log, as it came.
  s.d.send("secret\n");
  EXPECT_TRUE(s.next("Transfer Canceled by user"));
  EXPECT_EQ(s.d.finish(5), 0);
  EXPECT_EQ(s.area.received(), copy + "secret\n");
}

TEST(CliFaults, LongAnswerPassesTheClientsReadSize) {
  cli_session s;
  ASSERT_TRUE(s.area.add_fault("long", "any", 0));
  ASSERT_TRUE(s.start());
  std::string a = s.command("whichboot\r\n");
  EXPECT_GT(a.size(), 4095u);
  EXPECT_NE(a.find("Operation Code"), std::string::npos);
}

TEST(CliFaults, SilenceWithholdsTheAnswer) {
  cli_session s;
  ASSERT_TRUE(s.area.add_fault("silence", "dir", 1, "2"));
  ASSERT_TRUE(s.start());
  double t = cli_now();
  std::string a = s.command("dir\r\n");
  EXPECT_GT(cli_now() - t, 1.8);
  EXPECT_NE(a.find("Total:"), std::string::npos);
}

TEST(CliFaults, WhichbootAndDirCanLieAboutTheStartupImage) {
  cli_session s;
  ASSERT_TRUE(s.area.add_fault("mismatch", "whichboot", 1, "img_z.bin"));
  ASSERT_TRUE(s.area.add_fault("no-startup", "dir", 1));
  ASSERT_TRUE(s.start());
  EXPECT_NE(s.command("whichboot\r\n").find("img_z.bin"), std::string::npos);
  std::string d = s.command("dir opcode\r\n");
  EXPECT_EQ(d.find("img_a.bin"), std::string::npos);
  EXPECT_NE(d.find("img_b.bin"), std::string::npos);
}

TEST(CliFaults, DeleteCanFailOrLeaveTheFileListed) {
  cli_session s;
  ASSERT_TRUE(s.area.add_fault("delete-keep", "delete", 1));
  ASSERT_TRUE(s.area.add_fault("delete-fail", "delete", 2));
  ASSERT_TRUE(s.start());
  s.d.send("delete img_b.bin\r\n");
  ASSERT_TRUE(s.next("(y/n) "));
  EXPECT_NE(s.command("y").find("Deleted!"), std::string::npos);
  EXPECT_NE(s.command("dir opcode img_b.bin\r\n").find("img_b.bin  "), std::string::npos);
  s.d.send("delete img_b.bin\r\n");
  ASSERT_TRUE(s.next("(y/n) "));
  EXPECT_NE(s.command("y").find("Delete Failed"), std::string::npos);
}

TEST(CliFaults, GrowingOutputKeepsComingUntilTheAnswer) {
  cli_session s;
  ASSERT_TRUE(s.area.add_fault("grow", "whichboot", 1, "1.5"));
  ASSERT_TRUE(s.start());
  size_t reads = s.d.reads.size();
  std::string a = s.command("whichboot\r\n");
  EXPECT_NE(a.find("Operation Code"), std::string::npos);
  ASSERT_GE(s.d.reads.size(), reads + 3);
  EXPECT_GT(s.d.reads.back().at - s.d.reads[reads].at, 1.0);  // 1.5 s, less a late read
}

// A typo in a test's fault must stop the test, not fire on another use; a
// word of the argument that the state file would take for a comment, too.
TEST(CliFaults, FaultIsRefusedRatherThanMisread) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  const auto add = [&](const std::string& when) {
    std::string cmd = qbsim_bin() + " fault --state " + area.state_dir + " silence dir " + when +
                      " >/dev/null 2>&1";
    int st = system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  };
  EXPECT_EQ(add("2x"), 2);
  EXPECT_EQ(add("0"), 2);
  EXPECT_EQ(add(""), 2);
  EXPECT_EQ(add("99999999999"), 2);
  EXPECT_EQ(add("1 '#2'"), 2);
  EXPECT_TRUE(area.state().faults.empty());
  EXPECT_EQ(add("3"), 0);
  EXPECT_EQ(add("every"), 0);
  ASSERT_EQ(area.state().faults.size(), 2u);
  EXPECT_EQ(area.state().faults[0].occurrence, 3);
  EXPECT_EQ(area.state().faults[1].occurrence, 0);
}

TEST(CliFaults, StartUpFailsEvenForAnImageOfTheModeOrAKnownMode) {
  cli_session s;
  ASSERT_TRUE(s.area.add_fault("startup-fail", "boot-system", 0));
  ASSERT_TRUE(s.start());
  EXPECT_NE(s.command("boot-system opcode img_b.bin\r\n").find("Start Up Failed!"),
            std::string::npos);
  EXPECT_EQ(s.area.state().images[1].startup, 'N');
  EXPECT_NE(s.command("boot-system mode TZR\r\n").find("Start Up Failed!"), std::string::npos);
  EXPECT_EQ(s.area.state().next_mode, "Switch");
}

// The CLI run in this process on pipes: the session it was handed outlives the
// CLI's terminal, so it must not be left pointing at it.
TEST(CliLogin, HandsTheSessionBackWithoutItsTerminal) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  const std::string lines = "show version\r\nquit\r\n";
  ASSERT_EQ(write(in[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  close(in[1]);
  fflush(stdout);
  const int saved_in = dup(0), saved_out = dup(1);
  ASSERT_TRUE(saved_in != -1 && saved_out != -1);
  ASSERT_TRUE(dup2(in[0], 0) == 0 && dup2(out[1], 1) == 1);
  qbsim_session s;
  s.dir = area.state_dir;
  const int rc = run_cli(s, area.state());
  ASSERT_TRUE(dup2(saved_in, 0) == 0 && dup2(saved_out, 1) == 1);
  for (int fd : {saved_in, saved_out, in[0], out[1]})
    close(fd);
  std::string answer;
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof(buf))) > 0;)
    answer.append(buf, static_cast<size_t>(n));
  close(out[0]);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(answer.find("Operation Code Version"), std::string::npos) << answer;
  EXPECT_EQ(s.t, nullptr);
}

}  // namespace
