// The TFTP check against a responder of the test's own on 127.0.0.1, which
// answers the way a case asks, from a transfer port of its own as servers do.
#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qb_tftp.h"

namespace {

enum Reply { OACK, DATA, ERROR, SILENT, SECOND_TRY, OTHER_HOST, WRONG_OPCODE };

int udp_socket(const char* address) {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, address, &a.sin_addr);
  EXPECT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0) << address;
  return sock;
}

bool readable(int sock, int ms) {
  pollfd p{sock, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

// Answers each read request as reply says; finish() stops it and tells what
// it was asked and whether an ERROR ended a transfer at its transfer port.
class Responder {
 public:
  explicit Responder(Reply reply, std::string error = "") : reply_(reply), error_(error) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(sock_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~Responder() { finish(); }
  std::string url(const std::string& path) const {
    return "127.0.0.1:" + std::to_string(port_) + path;
  }
  void finish() {
    if (thread_.joinable()) {
      stop_ = true;
      thread_.join();
    }
    for (int sock : transfers_) {
      unsigned char back[600];
      if (readable(sock, 100) && recv(sock, back, sizeof(back), 0) >= 4 && back[1] == 5)
        abandoned = true;
      close(sock);
    }
    transfers_.clear();
    close(sock_);
    sock_ = -1;
  }
  int requests = 0;
  std::vector<std::string> fields;  // of the last request: file, mode, options
  bool abandoned = false;

 private:
  void serve() {
    while (!stop_) {
      unsigned char pkt[600];
      sockaddr_in from{};
      socklen_t from_len = sizeof(from);
      if (!readable(sock_, 20))
        continue;
      ssize_t n =
          recvfrom(sock_, pkt, sizeof(pkt), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
      if (n < 2 || pkt[1] != 1)
        continue;
      ++requests;
      fields.clear();
      for (ssize_t i = 2; i < n; i += static_cast<ssize_t>(fields.back().size()) + 1)
        fields.emplace_back(reinterpret_cast<char*>(pkt) + i);
      if (reply_ == SILENT || (reply_ == SECOND_TRY && requests == 1))
        continue;
      std::string answer = std::string("\0\6tsize\0" "1048576\0", 16);
      if (reply_ == DATA)
        answer = std::string("\0\3\0\1", 4) + std::string(512, 'x');
      else if (reply_ == ERROR)
        answer = std::string("\0\5\0\1", 4) + error_;
      else if (reply_ == WRONG_OPCODE)
        answer = std::string("\0\4\0\0", 4);
      transfers_.push_back(udp_socket(reply_ == OTHER_HOST ? "127.0.0.2" : "127.0.0.1"));
      sendto(transfers_.back(), answer.data(), answer.size(), 0,
             reinterpret_cast<sockaddr*>(&from), from_len);
    }
  }
  Reply reply_;
  std::string error_;
  int sock_ = udp_socket("127.0.0.1");
  int port_ = 0;
  std::vector<int> transfers_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

double ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

TEST(TftpCheck, TheServersFirstAnswerDecides) {
  const struct {
    const char* name;
    Reply reply;
    std::string error;
    QbTftpVerdict verdict;
    const char* reason;
    int requests;
  } rows[] = {
      {"options acknowledged", OACK, "", QB_TFTP_READABLE, "", 1},
      {"first block sent", DATA, "", QB_TFTP_READABLE, "", 1},
      {"lost first request", SECOND_TRY, "", QB_TFTP_READABLE, "", 2},
      {"file not found", ERROR, std::string("File not found\0", 15), QB_TFTP_REFUSED,
       "File not found", 1},
      {"unterminated, unprintable text", ERROR, "bad\x01\xfftext", QB_TFTP_REFUSED, "bad??text", 1},
      {"no text", ERROR, std::string("\0", 1), QB_TFTP_REFUSED, "error 1", 1},
      {"silence", SILENT, "", QB_TFTP_NO_ANSWER, "no answer", 3},
      {"not a reply to a read", WRONG_OPCODE, "", QB_TFTP_NO_ANSWER, "no answer", 3},
      {"answer from another host", OTHER_HOST, "", QB_TFTP_NO_ANSWER, "no answer", 3},
  };
  for (const auto& row : rows) {
    Responder server(row.reply, row.error);
    char reason[64];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tftp_check_image(server.url("/d").c_str(), "f.bin", 900, reason, sizeof(reason)),
              row.verdict)
        << row.name;
    EXPECT_LT(ms_since(start), 1500) << row.name;
    server.finish();
    EXPECT_STREQ(reason, row.reason) << row.name;
    EXPECT_EQ(server.requests, row.requests) << row.name;
    EXPECT_EQ(server.abandoned, row.verdict == QB_TFTP_READABLE) << row.name;
  }
}

volatile sig_atomic_t usr1_seen = 0;
int usr1_interrupts() { return usr1_seen; }

// A signal ends the wait at once when the caller says it interrupted the run;
// with no one to ask, the wait goes on to its end.
TEST(TftpCheck, SignalEndsTheWaitWhenItInterruptsTheRun) {
  struct sigaction sa {}, old{};
  sa.sa_handler = [](int) { usr1_seen = 1; };
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  for (auto interrupted : {usr1_interrupts, static_cast<int (*)()>(nullptr)}) {
    usr1_seen = 0;
    Responder server(SILENT);
    pthread_t self = pthread_self();
    std::thread signaller([self] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      pthread_kill(self, SIGUSR1);
    });
    char reason[64];
    auto start = std::chrono::steady_clock::now();
    QbTftpVerdict verdict = tftp_check_image(server.url("/d").c_str(), "f.bin", 900, reason,
                                             sizeof(reason), interrupted);
    double ms = ms_since(start);
    signaller.join();
    EXPECT_EQ(verdict, interrupted != nullptr ? QB_TFTP_INTERRUPTED : QB_TFTP_NO_ANSWER);
    EXPECT_GT(ms, interrupted != nullptr ? 90 : 850);
    EXPECT_LT(ms, interrupted != nullptr ? 500 : 1500);
  }
  sigaction(SIGUSR1, &old, nullptr);
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
    std::string url = row.scheme + server.url(row.path);
    char reason[64];
    EXPECT_EQ(tftp_check_image(url.c_str(), "f.bin", 900, reason, sizeof(reason)), QB_TFTP_READABLE)
        << url;
    server.finish();
    EXPECT_EQ(server.fields, (std::vector<std::string>{row.file, "octet", "tsize", "0"})) << url;
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
    const char* host;  // null: none
  } rows[] = {
      {"tftp://server/dir", "server"}, {"server/dir", "server"},
      {"server:6969/dir", "server"},   {"10.0.0.1", "10.0.0.1"},
      {"tftp://[fe80::1]:69/x", "fe80::1"}, {"fe80::1/x", "fe80::1"},
      {"", nullptr},                   {"tftp:///dir", nullptr},
      {"server:port/dir", nullptr},    {"a-server-name-too-long-for-it/dir", nullptr},
  };
  for (const auto& row : rows) {
    char host[16] = "";
    EXPECT_EQ(tftp_url_host(row.url, host, sizeof(host)), row.host != nullptr) << row.url;
    EXPECT_STREQ(host, row.host != nullptr ? row.host : host) << row.url;
  }
}

}  // namespace
