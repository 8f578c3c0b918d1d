// The TFTP check against dnsmasq's TFTP server on port 69 of a private network
// namespace, which this program enters for good (its only tests are here).
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "qb_tftp.h"
#include "test_support.h"

namespace {

TEST(TftpRealServer, ServesOneImageRefusesAnotherAndIsSilentOnceGone) {
  if (unshare(CLONE_NEWNET) != 0 || system("ip link set lo up") != 0)
    GTEST_SKIP() << "no private network namespace here";
  test_support::TempDir dir;
  ASSERT_EQ(mkdir((dir.path() + "/images").c_str(), 0755), 0);
  dir.write("images/img_c.bin", std::string(2048, 'c'), 0644);
  dir.write("images/big.bin", std::string(200000, 'c'), 0644);
  const std::string root = "--tftp-root=" + dir.path();
  const std::string log = "--log-facility=" + dir.path() + "/dnsmasq.log";
  pid_t dnsmasq = fork();
  ASSERT_NE(dnsmasq, -1);
  if (dnsmasq == 0) {
    execlp("dnsmasq", "dnsmasq", "--keep-in-foreground", "--port=0", "--enable-tftp", root.c_str(),
           "--listen-address=127.0.0.1", "--bind-interfaces", "--user=root", "--group=root",
           "--pid-file=", log.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  char reason[128];
  QbTftpVerdict first = QB_TFTP_NO_ANSWER;
  for (int i = 0; i < 20 && first == QB_TFTP_NO_ANSWER; ++i)
    first = tftp_check_image("tftp://127.0.0.1/images", "img_c.bin", 300, reason, sizeof(reason));
  EXPECT_EQ(first, QB_TFTP_READABLE) << reason;
  tftp_image_facts facts;
  EXPECT_EQ(tftp_check_image("127.0.0.1/images", "img_c.bin", 3000, reason, sizeof(reason),
                             nullptr, &facts),
            QB_TFTP_READABLE);
  EXPECT_EQ(facts.size, 2048U);
  // Read whole: one block of 1428 and a short one, or 140 blocks and a short one.
  const struct {
    const char* image;
    unsigned long long size;
    unsigned char sha256_start;
  } reads[] = {{"img_c.bin", 2048, 0x71}, {"big.bin", 200000, 0x86}};
  for (const auto& read : reads) {
    EXPECT_EQ(tftp_read_image("127.0.0.1/images", read.image, tftp_read_limits(), &facts, reason,
                              sizeof(reason)),
              QB_TFTP_READABLE)
        << reason;
    EXPECT_EQ(facts.size, read.size);
    EXPECT_EQ(facts.sha256[0], read.sha256_start) << read.image;
  }
  EXPECT_EQ(tftp_check_image("127.0.0.1/images", "missing.bin", 3000, reason, sizeof(reason)),
            QB_TFTP_REFUSED);
  EXPECT_NE(std::string(reason).find("not found"), std::string::npos) << reason;
  kill(dnsmasq, SIGTERM);
  int status = 0;
  waitpid(dnsmasq, &status, 0);
  EXPECT_EQ(tftp_check_image("127.0.0.1/images", "img_c.bin", 600, reason, sizeof(reason)),
            QB_TFTP_NO_ANSWER);
  EXPECT_STREQ(reason, "no answer");
}

}  // namespace
