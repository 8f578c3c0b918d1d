// The SSH servers of real modules, over real plink: weak algorithms,
// keyboard-interactive logins, a refused password, dropbear, old algorithms
// and a banner, each as the testbed sets its server up.
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

// Lines of the server's log that record an authentication, and those that
// record a failed one (sshd's password and PAM logins, dropbear's).
const std::regex kAuthLine("Accepted |Failed password|PAM: Authentication failure|"
                           "Password auth succeeded|Bad password attempt");
const std::regex kFailedLine("Failed password|PAM: Authentication failure|Bad password attempt");

int lines_matching(const std::string& path, const std::regex& re) {
  std::ifstream in(path);
  int count = 0;
  for (std::string line; std::getline(in, line);)
    count += std::regex_search(line, re) ? 1 : 0;
  return count;
}

const std::string kRefused =
    "The module '127.0.0.1' refused the login; the password is tried once per session, to "
    "spare the account a lockout\nAccount verification failed\n";

struct ServerCase {
  const char* name;
  std::vector<std::string> server;  // the testbed's options; BANNER: a banner file
  std::vector<std::string> args;    // the tool's, after -host and -usr
  int status;
  int auth_lines;    // authentications in the server's log (-1: not counted)
  int failed_lines;  // of them failed
  std::string output;  // exact output without time stamps ("": not compared)
};

const std::vector<std::string> kKbd = {"--sshd-option", "UsePAM yes", "--sshd-option",
                                       "KbdInteractiveAuthentication yes", "--sshd-option",
                                       "PasswordAuthentication no"};
const std::vector<std::string> kWeakKex = {"--sshd-option",
                                           "KexAlgorithms diffie-hellman-group1-sha1"};
// The old algorithms, with the oldest host key that the machine's sshd still
// serves: DSA where it has it (OpenSSH 9), else RSA signed with SHA-1
// (OpenSSH 10 dropped DSA).
const std::vector<std::string> kOld = {
    "--sshd-option", "KexAlgorithms diffie-hellman-group14-sha1", "--sshd-option",
    "Ciphers 3des-cbc", "--sshd-option", "MACs hmac-sha1", "--sshd-option", "OLD_HOST_KEY",
    "--host-key-type", "OLD_KEY_TYPE", "--sshd-option", "Banner BANNER"};

bool sshd_serves_dsa() {
  static const bool dsa = system("ssh -Q key 2>/dev/null | grep -qx ssh-dss") == 0;
  return dsa;
}
const std::vector<std::string> kDropbear = {"--dropbear", "--dropbear-option", "-b",
                                            "--dropbear-option", "BANNER"};
const std::vector<std::string> kCheck = {"-pwd", "secret", "-mode", "account_check"};
const std::vector<std::string> kWrong = {"-pwd", "wrong", "-mode", "account_check"};
const std::vector<std::string> kUpdate = {"-pwd", "secret", "-mode", "update",
                                          "-tftp", "127.0.0.1/images", "-img_sw", "img_c.bin",
                                          "-img_tzr", "tzr_c.bin"};

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const ServerCase kCases[] = {
    {"WeakKexRefused", kWeakKex, kCheck, 15, 0, 0,
     BANNER + "The SSH client warns against the key-exchange algorithm "
              "'diffie-hellman-group1-sha1' of '127.0.0.1' (below its warning threshold); "
              "connection refused, -accept_weak_crypto would accept it\n"
              "Account verification failed\n"},
    {"WeakKexAccepted", kWeakKex, plus(kCheck, {"-accept_weak_crypto", "-D", "verbose"}), 0, 1,
     0,
     BANNER + "Mode: checking user account\n\n\nChecking user account...\n"
              "Warning> The SSH client warns against the key-exchange algorithm "
              "'diffie-hellman-group1-sha1' of '127.0.0.1' (below its warning threshold); "
              "accepted with -accept_weak_crypto\nAccount verified\n"
              "\nProgram exited with code 0\n"},
    {"KeyboardInteractiveCheck", kKbd, kCheck, 0, 1, 0, BANNER},
    {"KeyboardInteractiveUpdate", kKbd, kUpdate, 0, -1, 0, ""},
    {"WrongPasswordOnce", {}, kWrong, 6, 1, 1, BANNER + kRefused},
    {"WrongPasswordOnceKeyboardInteractive", kKbd, kWrong, 6, 1, 1, BANNER + kRefused},
    {"WrongPasswordOnceDropbear", kDropbear, kWrong, 6, 1, 1, BANNER + kRefused},
    {"DropbearWithBannerCheck", kDropbear, kCheck, 0, 1, 0, BANNER},
    {"DropbearWithBannerUpdate", kDropbear, kUpdate, 0, -1, 0, ""},
    {"OldAlgorithmsAndBanner", kOld, kCheck, 0, 1, 0, BANNER},
};

class RealChainServers : public ::testing::TestWithParam<ServerCase> {};

TEST_P(RealChainServers, EndsAsTheServerMakesIt) {
  const ServerCase& c = GetParam();
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(add_update_images(area));
  const std::string banner = area.root + "/banner";
  std::ofstream(banner) << "Authorised use only.\n"
                           "Forgot your password: ask the operator (y/n) who set it.\n";
  e2e_options o = real_chain(900);
  for (const std::string& option : c.server) {
    if (option == "BANNER")
      o.server.push_back(banner);
    else if (option == "OLD_HOST_KEY")
      o.server.push_back(sshd_serves_dsa() ? "HostKeyAlgorithms ssh-dss"
                                           : "HostKeyAlgorithms ssh-rsa");
    else if (option == "OLD_KEY_TYPE")
      o.server.push_back(sshd_serves_dsa() ? "dsa" : "rsa");
    else
      o.server.push_back(option);
  }
  e2e_result r = run_tool(area, plus({"-host", "127.0.0.1", "-usr", "admin"}, c.args), o);
  const std::string t = transcript(area, r);
  EXPECT_EQ(r.status, c.status) << t;
  if (!c.output.empty()) {
    EXPECT_EQ(r.output, c.output) << t;
  }
  const std::string log = area.work_dir + "/sshd.log";
  if (c.auth_lines >= 0) {
    EXPECT_EQ(lines_matching(log, kAuthLine), c.auth_lines) << t;
  }
  EXPECT_EQ(lines_matching(log, kFailedLine), c.failed_lines) << t;
  if (c.status != 0) {
    EXPECT_EQ(r.received, "") << t;
    EXPECT_LT(r.seconds, 30) << t;
  } else if (c.args == kUpdate) {
    EXPECT_EQ(area.state().running, "img_c.bin") << t;
  }
  RecordProperty("seconds", std::to_string(r.seconds));
}

INSTANTIATE_TEST_SUITE_P(RealChain, RealChainServers, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ServerCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
