// The account check run as a user runs it: the built tool in a testbed of its
// own, against the stand-in module, with exact output and exit status.
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

std::vector<std::string> account_check(const std::string& password, const char* trace = nullptr) {
  std::vector<std::string> args = {"-host", "127.0.0.1", "-usr", "admin", "-pwd", password,
                                   "-mode", "account_check"};
  if (trace != nullptr) {
    args.push_back("-D");
    args.push_back(trace);
  }
  return args;
}

TEST(AccountCheck, SuccessPrintsOnlyTheBannerWithoutTraceMode) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  e2e_result r = run_tool(area, account_check("secret"));
  EXPECT_EQ(r.status, 0) << transcript(area, r);
  EXPECT_EQ(r.output, BANNER) << transcript(area, r);
  EXPECT_EQ(r.received, "show loginsession\r\nquit\n") << transcript(area, r);
}

TEST(AccountCheck, VerboseShowsTheModeTheCheckAndTheCode) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  e2e_result r = run_tool(area, account_check("secret", "verbose"));
  EXPECT_EQ(r.status, 0) << transcript(area, r);
  EXPECT_EQ(r.output, BANNER + "Mode: checking user account\n\n"
                               "\nChecking user account...\n"
                               "Account verified\n"
                               "\nProgram exited with code 0\n")
      << transcript(area, r);
}

TEST(AccountCheck, DebugShowsEveryStepButNeverThePassword) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  e2e_result r = run_tool(area, account_check("secret", "debug"));
  EXPECT_EQ(r.status, 0) << transcript(area, r);
  EXPECT_EQ(r.output.find("secret"), std::string::npos) << transcript(area, r);
  EXPECT_TRUE(in_order(r.output, {
                                     "trace> Socket initialization ... Done\n",
                                     "\nChecking user account...\n",
                                     "trace> Trying to connect to socket ...\n",
                                     "trace> Connection to socket ... Done\n",
                                     "trace> Close socket ... Done\n",
                                     "trace> preparing to execute ssh client...\n",
                                     "trace> ssh client is executed.\n",
                                     "============== received data begin ==============\n",
                                     "== sent data begin ==    2 bytes to write ==\ny\n",
                                     "== sent data begin ==    7 bytes to write ==\n******\n",
                                     "show loginsession\r\n\n======= sent data ended ==   19 bytes",
                                     "trace> show: header found\n",
                                     "trace> show: separator line found\n",
                                     "trace> show loginsession: info found\n",
                                     "== sent data begin ==    5 bytes to write ==\nquit\n",
                                     "Account verified\n",
                                     "trace> Socket cleanup ... Done\n",
                                     "\nProgram exited with code 0\n",
                                 }))
      << transcript(area, r);
}

TEST(AccountCheck, WrongPasswordIsAnAuthenticationFailure) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  e2e_result r = run_tool(area, account_check("wrong", "verbose"));
  EXPECT_EQ(r.status, 6) << transcript(area, r);
  EXPECT_EQ(r.output, BANNER + "Mode: checking user account\n\n"
                               "\nChecking user account...\n"
                               "The module '127.0.0.1' refused the login; the password is tried "
                               "once per session, to spare the account a lockout\n"
                               "Warning> client terminated forcibly\n"
                               "Account verification failed\n"
                               "\nProgram exited with code 6\n")
      << transcript(area, r);
  EXPECT_EQ(r.received, "") << transcript(area, r);
}

TEST(AccountCheck, NothingListeningOnPort22CannotConnect) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  // The module listens on 127.0.0.1 only; its neighbour address refuses.
  std::vector<std::string> args = account_check("secret", "verbose");
  args[1] = "127.0.0.2";
  e2e_result r = run_tool(area, args);
  EXPECT_EQ(r.status, 3) << transcript(area, r);
  EXPECT_EQ(r.output, BANNER + "Mode: checking user account\n\n"
                               "\nChecking user account...\n"
                               "\nProgram exited with code 3\n")
      << transcript(area, r);
}

TEST(AccountCheck, NoClientInTheWorkingDirectory) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  std::vector<std::string> argv = {"/usr/bin/env", "--chdir=" + area.root, morvik_bin()};
  for (const std::string& arg : account_check("secret", "verbose"))
    argv.push_back(arg);
  e2e_result r = run_in_testbed(area, argv);
  EXPECT_EQ(r.status, 4) << transcript(area, r);
  EXPECT_EQ(r.output, BANNER + "SSH client not found\n\nProgram exited with code 4\n")
      << transcript(area, r);
  EXPECT_EQ(r.received, "") << transcript(area, r);
}

TEST(AccountCheck, SessionTableWithoutRowsLacksInformation) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(area.add_fault("no-sessions", "show", 1));
  e2e_result r = run_tool(area, account_check("secret", "verbose"));
  EXPECT_EQ(r.status, 10) << transcript(area, r);
  EXPECT_TRUE(in_order(r.output, {"Account verification failed\n",
                                  "\nProgram exited with code 10\n"}))
      << transcript(area, r);
}

TEST(AccountCheck, LoginIntoAShellIsAnInvalidCommand) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(area.add_fault("shell", "login", 1));
  e2e_result r = run_tool(area, account_check("secret"));
  EXPECT_EQ(r.status, 9) << transcript(area, r);
}

TEST(AccountCheck, InvalidCommandLineStartsNothing) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  e2e_result r = run_tool(area, {"-host", "127.0.0.1 -pw", "-usr", "admin", "-pwd", "secret",
                                 "-mode", "account_check"});
  EXPECT_EQ(r.status, 1) << transcript(area, r);
  EXPECT_EQ(r.output, "Invalid or missed host\n") << transcript(area, r);
  EXPECT_EQ(r.received, "") << transcript(area, r);
}

// Over real plink and a real sshd whose forced command is the module's login.
TEST(RealChain, AccountCheckSucceeds) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  e2e_result r = run_tool(area, account_check("secret", "verbose"), real_chain());
  EXPECT_EQ(r.status, 0) << transcript(area, r);
  EXPECT_TRUE(in_order(r.output, {"Account verified\n", "\nProgram exited with code 0\n"}))
      << transcript(area, r);
  EXPECT_EQ(r.received, "show loginsession\r\nquit\n") << transcript(area, r);
}

TEST(RealChain, WrongPasswordIsAnAuthenticationFailure) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  e2e_result r = run_tool(area, account_check("wrong", "verbose"), real_chain());
  EXPECT_EQ(r.status, 6) << transcript(area, r);
  EXPECT_TRUE(in_order(r.output, {"Account verification failed\n",
                                  "\nProgram exited with code 6\n"}))
      << transcript(area, r);
}

// With a controlling terminal the client would ask for the password there;
// the tool keeps it away from the terminal so that the login still works.
TEST(RealChain, AccountCheckFromATerminalSucceeds) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  std::string command = morvik_bin();
  for (const std::string& arg : with_test_pace(account_check("secret", "verbose")))
    command += " " + arg;
  e2e_result r = run_in_testbed(area, {"/usr/bin/script", "-qec", command, "/dev/null"},
                                real_chain());
  EXPECT_EQ(r.status, 0) << transcript(area, r);
  EXPECT_NE(r.output.find("Account verified"), std::string::npos) << transcript(area, r);
}

}  // namespace
