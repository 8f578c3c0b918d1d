// The TFTP check against a responder of the test's own on 127.0.0.1, which
// answers the way a case asks, from a transfer port of its own as servers do.
#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
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
    int size_known = 0;  // the tsize announced, 1048576
  } rows[] = {
      {"options acknowledged", OACK, "", QB_TFTP_READABLE, "", 1, 1},
      {"first block sent", DATA, "", QB_TFTP_READABLE, "", 1},
      {"lost first request", SECOND_TRY, "", QB_TFTP_READABLE, "", 2, 1},
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
    tftp_image_facts facts;
    EXPECT_EQ(tftp_check_image(server.url("/d").c_str(), "f.bin", 900, reason, sizeof(reason),
                               nullptr, &facts),
              row.verdict)
        << row.name;
    EXPECT_EQ(facts.size_known, row.size_known) << row.name;
    EXPECT_EQ(facts.size, row.size_known ? 1048576U : 0U) << row.name;
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
// with no one to ask, the wait goes on to its end. The same for the read.
TEST(TftpCheck, SignalEndsTheWaitWhenItInterruptsTheRun) {
  struct sigaction sa {}, old{};
  sa.sa_handler = [](int) { usr1_seen = 1; };
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  tftp_read_limits three_waits;
  three_waits.wait_ms = 300;
  three_waits.retransmits = 2;
  for (bool read : {false, true}) {
    for (auto interrupted : {usr1_interrupts, static_cast<int (*)()>(nullptr)}) {
      usr1_seen = 0;
      Responder server(SILENT);
      pthread_t self = pthread_self();
      std::thread signaller([self] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(self, SIGUSR1);
      });
      char reason[64];
      tftp_image_facts facts;
      auto start = std::chrono::steady_clock::now();
      const std::string url = server.url("/d");
      QbTftpVerdict verdict =
          read ? tftp_read_image(url.c_str(), "f.bin", three_waits, &facts, reason,
                                 sizeof(reason), interrupted)
               : tftp_check_image(url.c_str(), "f.bin", 900, reason, sizeof(reason), interrupted);
      double ms = ms_since(start);
      signaller.join();
      EXPECT_EQ(verdict, interrupted != nullptr ? QB_TFTP_INTERRUPTED : QB_TFTP_NO_ANSWER) << read;
      EXPECT_GT(ms, interrupted != nullptr ? 90 : 850) << read;
      EXPECT_LT(ms, interrupted != nullptr ? 500 : 1500) << read;
    }
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

// Serves one file lock-step from a transfer port of its own, misbehaving as
// the row says; a block not acknowledged within 50 ms goes out again.
enum Fault {
  NONE,
  NO_OPTIONS,  // no OACK: 512-byte blocks from the start
  TWICE,       // every block goes out twice
  AHEAD,       // the block after the next one goes out first
  LOSSY,       // the first sending of every second block is lost
  FORGED,      // a forged copy of each block comes first from another port
  ERROR_AT,    // an ERROR instead of block arg
  SILENT_AT,   // nothing more from block arg on
  ANNOUNCE,    // the OACK announces arg bytes
  OVERSIZE,    // block 2 a byte longer than agreed
};
struct Misbehaviour {
  Fault fault;
  unsigned long arg;
};

class FileServer {
 public:
  FileServer(std::string content, Misbehaviour m) : content_(content), m_(m) {
    thread_ = std::thread([this] { serve(); });
  }
  ~FileServer() { finish(); }
  void finish() {
    if (thread_.joinable())
      thread_.join();
    if (sock_ != -1)
      close(sock_);
    sock_ = -1;
  }
  std::string url() const {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(sock_, reinterpret_cast<sockaddr*>(&a), &len);
    return "127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/d";
  }
  std::string asked;  // the request's fields after its opcode
  bool abandoned = false;

 private:
  void send(int sock, const std::string& pkt) {
    sendto(sock, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr*>(&client_),
           sizeof(client_));
  }
  static std::string block(unsigned n, const std::string& data) {
    return std::string("\0\3", 2) + char(n >> 8) + char(n & 0xff) + data;
  }
  // Sends pkt (unless lost the first time) until the ACK of n; false when
  // the client ended the transfer or gave up.
  bool until_acked(int sock, const std::string& pkt, unsigned n, bool lost_once) {
    for (int tries = 0; tries < 40; ++tries) {
      if (!lost_once || tries > 0)
        send(sock, pkt);
      unsigned char back[600];
      while (readable(sock, 50)) {
        ssize_t got = recv(sock, back, sizeof(back), 0);
        abandoned = abandoned || (got >= 4 && back[1] == 5);
        if (abandoned || (got >= 4 && back[1] == 4 && (back[2] << 8 | back[3]) == int(n & 0xffff)))
          return !abandoned;
      }
    }
    return false;
  }
  void serve() {
    char pkt[600] = {};
    socklen_t len = sizeof(client_);
    if (!readable(sock_, 5000))
      return;
    ssize_t n =
        recvfrom(sock_, pkt, sizeof(pkt) - 1, 0, reinterpret_cast<sockaddr*>(&client_), &len);
    for (ssize_t i = 2; i < n; i += static_cast<ssize_t>(strlen(pkt + i)) + 1)
      asked += std::string(pkt + i) + " ";
    int xfer = udp_socket("127.0.0.1"), other = udp_socket("127.0.0.1");
    const size_t blk = m_.fault != NO_OPTIONS ? 1428 : 512;
    const std::string oack = std::string("\0\6blksize\0" "1428\0tsize\0", 21) +
                             std::to_string(m_.fault == ANNOUNCE ? m_.arg : content_.size());
    bool go_on = m_.fault == NO_OPTIONS || until_acked(xfer, oack + '\0', 0, false);
    for (unsigned b = 1; go_on; ++b) {
      std::string data = content_.substr(std::min(content_.size(), (b - 1) * blk), blk);
      data += std::string(m_.fault == OVERSIZE && b == 2 ? 1 : 0, 'z');
      const bool error = m_.fault == ERROR_AT && b == m_.arg;
      if (error || (m_.fault == SILENT_AT && b == m_.arg)) {
        if (error)
          send(xfer, std::string("\0\5\0\3Disk full\0", 14));
        unsigned char back[600];
        while (!error && readable(xfer, 1000))
          abandoned = abandoned || (recv(xfer, back, sizeof(back), 0) >= 4 && back[1] == 5);
        break;
      }
      if (m_.fault == FORGED)
        send(other, block(b, std::string(data.size(), 'f')));
      if (m_.fault == AHEAD && b * blk < content_.size())
        send(xfer, block(b + 1, content_.substr(b * blk, blk)));
      if (m_.fault == TWICE)
        send(xfer, block(b, data));
      go_on = until_acked(xfer, block(b, data), b, m_.fault == LOSSY && b % 2 == 0) && data.size() == blk;
    }
    close(xfer);
    close(other);
  }
  std::string content_;
  Misbehaviour m_;
  int sock_ = udp_socket("127.0.0.1");
  sockaddr_in client_{};
  std::thread thread_;
};

std::string hex(const unsigned char* digest) {
  char text[65];
  for (int i = 0; i < 32; ++i)
    snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

TEST(TftpRead, HashesEveryByteOnceWhateverTheNetworkDoes) {
  const std::string k5000 = "dbc2502753a3bebea0bfc98ca108f79bd284c86dd8ddc95d6aba7b2abca25d2a";
  const struct {
    const char* name;
    Misbehaviour m;
    size_t size;
    unsigned long long max_bytes;
    QbTftpVerdict verdict;
    std::string sha256;      // or the start of the reason
    bool abandoned = false;  // the server saw an ERROR end the transfer
  } rows[] = {
      {"options granted", {NONE, 0}, 5000, 1 << 30, QB_TFTP_READABLE, k5000},
      {"no options: 512-byte blocks", {NO_OPTIONS, 0}, 5000, 1 << 30, QB_TFTP_READABLE, k5000},
      {"past block 65535, numbered on from 0", {NO_OPTIONS, 0}, 65536 * 512 + 100, 1 << 30,
       QB_TFTP_READABLE, "8c4b5b509048dc62c3e8b9a571dcdd737b0d308b73f2dddc2dbfdc8e1ca2e784"},
      {"whole blocks, then an empty one", {NONE, 0}, 2856, 1 << 30, QB_TFTP_READABLE,
       "fdc0f3b8f02fad8271de888c47e5f33a68a70aa9b27d48df0449f04b260efea2"},
      {"every block twice", {TWICE, 0}, 5000, 1 << 30, QB_TFTP_READABLE, k5000},
      {"a block ahead of its turn", {AHEAD, 0}, 5000, 1 << 30, QB_TFTP_READABLE, k5000},
      {"every second block lost once", {LOSSY, 0}, 5000, 1 << 30, QB_TFTP_READABLE, k5000},
      {"forged blocks from another port", {FORGED, 0}, 5000, 1 << 30, QB_TFTP_READABLE, k5000},
      {"server error", {ERROR_AT, 2}, 5000, 1 << 30, QB_TFTP_REFUSED, "Disk full"},
      {"server gone silent", {SILENT_AT, 3}, 5000, 1 << 30, QB_TFTP_NO_ANSWER, "no answer", true},
      {"fewer bytes than announced", {ANNOUNCE, 6000}, 5000, 1 << 30, QB_TFTP_BROKEN,
       "the server announced 6000 bytes and sent 5000"},
      {"announced over the bound", {NONE, 0}, 5000, 4000, QB_TFTP_BROKEN,
       "the server announces 5000", true},
      {"sent over the bound", {NO_OPTIONS, 0}, 5000, 4000, QB_TFTP_BROKEN,
       "the image is larger than 4000 bytes", true},
      {"a block over the size agreed", {OVERSIZE, 0}, 5000, 1 << 30, QB_TFTP_BROKEN,
       "block 2 holds 1429 bytes", true},
  };
  for (const auto& row : rows) {
    std::string content(row.size, '\0');
    for (size_t i = 0; i < row.size; ++i)
      content[i] = static_cast<char>('a' + i % 23);
    FileServer server(content, row.m);
    tftp_read_limits limits;
    limits.wait_ms = 100;
    limits.retransmits = 3;
    limits.max_bytes = row.max_bytes;
    tftp_image_facts facts;
    char reason[128];
    EXPECT_EQ(
        tftp_read_image(server.url().c_str(), "f.bin", limits, &facts, reason, sizeof(reason)),
        row.verdict)
        << row.name << ": " << reason;
    if (row.verdict == QB_TFTP_READABLE)
      EXPECT_EQ(hex(facts.sha256) + " " + std::to_string(facts.size),
                row.sha256 + " " + std::to_string(row.size))
          << row.name;
    else
      EXPECT_EQ(std::string(reason).rfind(row.sha256, 0), 0U) << row.name << ": " << reason;
    server.finish();
    EXPECT_EQ(server.asked, "d/f.bin octet blksize 1428 tsize 0 ") << row.name;
    EXPECT_EQ(server.abandoned, row.abandoned) << row.name;
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
