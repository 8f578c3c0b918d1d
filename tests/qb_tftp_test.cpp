// The TFTP check against a responder of the test's own on 127.0.0.1, which
// answers the way a case asks, from a transfer port of its own as servers do.
#include "qb_tftp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

enum Reply { OACK, DATA, ERROR, SILENT, SECOND_TRY, OTHER_HOST, WRONG_OPCODE };

int udp_socket(const char* address, int port) {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &a.sin_addr);
  if (sock != -1 && bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(sock);
    return -1;
  }
  return sock;
}

bool readable(int sock, int ms) {
  pollfd p{sock, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

// Answers each read request once, as reply says, and notes what it was asked
// and whether the transfer was ended with an ERROR at the transfer port.
class Responder {
 public:
  Responder(Reply reply, std::string error = "") : reply_(reply), error_(std::move(error)) {
    sock_ = udp_socket("127.0.0.1", 0);
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(sock_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~Responder() {
    stop_ = true;
    thread_.join();
    close(sock_);
  }
  int port() const { return port_; }
  int requests() const { return requests_; }
  // The request's fields after the opcode: file, mode, options.
  std::vector<std::string> fields() const { return fields_; }
  bool abandoned() const { return abandoned_; }

 private:
  void serve() {
    while (!stop_) {
      if (!readable(sock_, 50))
        continue;
      unsigned char pkt[600];
      sockaddr_in from{};
      socklen_t from_len = sizeof(from);
      ssize_t n =
          recvfrom(sock_, pkt, sizeof(pkt), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
      if (n < 2 || pkt[1] != 1)
        continue;
      ++requests_;
      fields_.clear();
      for (ssize_t i = 2; i < n;) {
        std::string f(reinterpret_cast<char*>(pkt) + i);
        fields_.push_back(f);
        i += static_cast<ssize_t>(f.size()) + 1;
      }
      if (reply_ == SILENT || (reply_ == SECOND_TRY && requests_ == 1))
        continue;
      std::string answer;
      if (reply_ == OACK || reply_ == SECOND_TRY || reply_ == OTHER_HOST)
        answer = std::string(
            "\0\6tsize\0"
            "1048576\0",
            16);
      else if (reply_ == DATA)
        answer = std::string("\0\3\0\1", 4) + std::string(512, 'x');
      else if (reply_ == ERROR)
        answer = std::string("\0\5\0\1", 4) + error_;
      else
        answer = std::string("\0\4\0\0", 4);
      int transfer = udp_socket(reply_ == OTHER_HOST ? "127.0.0.2" : "127.0.0.1", 0);
      sendto(transfer, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
             from_len);
      unsigned char back[600];
      const bool begun = answer[1] == 3 || answer[1] == 6;
      if (begun && readable(transfer, 500) && recv(transfer, back, sizeof(back), 0) >= 4 &&
          back[1] == 5)
        abandoned_ = true;
      close(transfer);
    }
  }
  Reply reply_;
  std::string error_;
  int sock_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::vector<std::string> fields_;
  std::atomic<bool> abandoned_{false};
  std::thread thread_;
};

std::string url_with(int port, const std::string& path) {
  return "tftp://127.0.0.1:" + std::to_string(port) + path;
}

TEST(TftpCheck, TheServersFirstAnswerDecides) {
  const struct {
    const char* name;
    Reply reply;
    std::string error;
    QbTftpVerdict verdict;
    const char* reason;
    int requests;
    bool abandoned;
  } rows[] = {
      {"options acknowledged", OACK, "", QB_TFTP_READABLE, "", 1, true},
      {"first block sent", DATA, "", QB_TFTP_READABLE, "", 1, true},
      {"file not found", ERROR, std::string("File not found\0", 15), QB_TFTP_REFUSED,
       "File not found", 1, false},
      {"unterminated, unprintable text", ERROR, "bad\x01\xfftext", QB_TFTP_REFUSED, "bad??text", 1,
       false},
      {"no text", ERROR, std::string("\0", 1), QB_TFTP_REFUSED, "error 1", 1, false},
      {"lost first request", SECOND_TRY, "", QB_TFTP_READABLE, "", 2, true},
      {"silence", SILENT, "", QB_TFTP_NO_ANSWER, "no answer", 3, false},
      {"not a reply to a read", WRONG_OPCODE, "", QB_TFTP_NO_ANSWER, "no answer", 3, false},
  };
  for (const auto& row : rows) {
    Responder server(row.reply, row.error);
    char reason[64];
    auto start = std::chrono::steady_clock::now();
    QbTftpVerdict verdict = tftp_check_image(url_with(server.port(), "/dir").c_str(), "f.bin", 900,
                                             reason, sizeof(reason));
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(verdict, row.verdict) << row.name;
    EXPECT_STREQ(reason, row.reason) << row.name;
    EXPECT_LT(ms, 1500) << row.name;
    std::this_thread::sleep_for(std::chrono::milliseconds(row.abandoned ? 100 : 0));
    EXPECT_EQ(server.requests(), row.requests) << row.name;
    EXPECT_EQ(server.abandoned(), row.abandoned) << row.name;
  }
}

TEST(TftpCheck, AnswerFromAnotherHostIsNoAnswer) {
  int probe = udp_socket("127.0.0.2", 0);
  if (probe == -1)
    GTEST_SKIP() << "no 127.0.0.2 here";
  close(probe);
  Responder server(OTHER_HOST);
  char reason[64];
  EXPECT_EQ(
      tftp_check_image(url_with(server.port(), "/d").c_str(), "f.bin", 600, reason, sizeof(reason)),
      QB_TFTP_NO_ANSWER);
  EXPECT_FALSE(server.abandoned());
}

// The file asked for is the one the copy command names: URL/IMAGE, less the
// server part, with no slash added or removed.
TEST(TftpCheck, AsksForTheFileTheModuleWouldDownload) {
  const struct {
    const char* scheme;
    const char* path;
    const char* file;
  } rows[] = {
      {"tftp://", "/dir", "dir/f.bin"},
      {"", "/dir", "dir/f.bin"},
      {"tftp://", "", "f.bin"},
      {"", "/a/b/", "a/b//f.bin"},
  };
  for (const auto& row : rows) {
    Responder server(OACK);
    std::string url =
        std::string(row.scheme) + "127.0.0.1:" + std::to_string(server.port()) + row.path;
    char reason[64];
    ASSERT_EQ(tftp_check_image(url.c_str(), "f.bin", 900, reason, sizeof(reason)), QB_TFTP_READABLE)
        << url;
    EXPECT_EQ(server.fields(), (std::vector<std::string>{row.file, "octet", "tsize", "0"})) << url;
  }
}

TEST(TftpCheck, UrlsWithoutAServerAreRefusedHere) {
  for (const char* url : {"", "tftp:///dir", "127.0.0.1:/dir", "127.0.0.1:70000/dir", "[::1/dir",
                          "no-such-host.invalid/dir"}) {
    char reason[64];
    EXPECT_EQ(tftp_check_image(url, "f.bin", 300, reason, sizeof(reason)), QB_TFTP_LOCAL_ERR)
        << url;
    EXPECT_NE(reason[0], '\0') << url;
  }
}

TEST(TftpUrlHost, IsTheServerWithoutSchemePortOrPath) {
  const struct {
    const char* url;
    const char* host;
  } rows[] = {
      {"tftp://server/dir", "server"},
      {"server/dir", "server"},
      {"server:6969/dir", "server"},
      {"10.0.0.1", "10.0.0.1"},
      {"tftp://[fe80::1]:69/x", "fe80::1"},
      {"fe80::1/x", "fe80::1"},
      {"", nullptr},
      {"tftp:///dir", nullptr},
      {"server:port/dir", nullptr},
  };
  for (const auto& row : rows) {
    char host[32];
    bool ok = tftp_url_host(row.url, host, sizeof(host));
    EXPECT_EQ(ok, row.host != nullptr) << row.url;
    if (ok && row.host != nullptr) {
      EXPECT_STREQ(host, row.host) << row.url;
    }
  }
  char tiny[4];
  EXPECT_FALSE(tftp_url_host("server/dir", tiny, sizeof(tiny)));
}

}  // namespace
