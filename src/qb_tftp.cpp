// The TFTP check: one read request for the file the module would download, the
// server's first answer, and an ERROR packet that ends the transfer it began.
// The read for a digest: the same request with a block size, every block
// acknowledged and hashed as it arrives. Our own few packets rather than a
// TFTP library: none that the tool may link asks once and abandons, or hands
// over the bytes as they come instead of writing a file.
#include "qb_tftp.h"

#include <nettle/sha2.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "defines.h"
#include "nxa-tools-trace.h"
#include "qb_io.h"

namespace {

const int TFTP_TRIES = 3;
const size_t TFTP_SEGMENT = 512;  // RFC 1350: every packet we send fits one
const char TFTP_DEFAULT_PORT[] = "69";
const char SCHEME[] = "tftp://";

enum TftpOpcode { OP_RRQ = 1, OP_DATA = 3, OP_ACK = 4, OP_ERROR = 5, OP_OACK = 6 };

// The read's bounds.
// One second without the next packet: the exchange is lock-step, and on a
// management network a server answers an acknowledgement within
// milliseconds, so a second of silence means a lost packet, not a slow
// server; sending our last packet again then recovers it.
const int READ_WAIT_MS = 1000;
// Five losses in a row mean the server or the path is gone: the read gives
// up after six seconds of silence, the scale of the check's five.
const int READ_RETRANSMITS = 5;
// Opcode images are tens of MiB; the module's listing counts sizes in an
// int; and a server that sends on and on (a device file under the image's
// name) must not hold the run for long.
const unsigned long long READ_MAX_BYTES = 1ULL << 30;
// 1428 bytes of data, 4 of TFTP, 8 of UDP and 40 of IPv6 (20 of IPv4) stay
// below an Ethernet MTU of 1500 with room for a tunnel's or VLAN's headers:
// no block is fragmented, whose lost fragment would lose all of it, and a
// third of the round trips of the default 512.
const int READ_BLKSIZE = 1428;
const size_t MAX_BLKSIZE = 65464;  // RFC 2348's largest

// What the module would fetch: its server, the port, and the file's path there.
struct tftp_target {
  char host[256];
  char port[8];
  char file[TFTP_SEGMENT];
};

// Splits an authority ("host", "host:port", "[v6]", "[v6]:port", or a bare
// IPv6 address, which has more than one colon) into host and port. Returns
// false for an empty host, a bad port or a host that does not fit.
bool split_authority(const char* text, size_t len, tftp_target* t) {
  const char* host = text;
  size_t host_len = len;
  const char* port = nullptr;
  size_t port_len = 0;
  if (len > 0 && text[0] == '[') {
    const char* close = static_cast<const char*>(memchr(text, ']', len));
    if (close == nullptr)
      return false;
    host = text + 1;
    host_len = static_cast<size_t>(close - host);
    size_t after = static_cast<size_t>(close + 1 - text);
    if (after < len) {
      if (text[after] != ':')
        return false;
      port = text + after + 1;
      port_len = len - after - 1;
    }
  } else {
    const char* colon = static_cast<const char*>(memchr(text, ':', len));
    if (colon != nullptr &&
        memchr(colon + 1, ':', len - static_cast<size_t>(colon + 1 - text)) == nullptr) {
      host_len = static_cast<size_t>(colon - text);
      port = colon + 1;
      port_len = len - host_len - 1;
    }
  }
  if (host_len == 0 || host_len >= sizeof(t->host))
    return false;
  memcpy(t->host, host, host_len);
  t->host[host_len] = '\0';
  if (port == nullptr) {
    snprintf(t->port, sizeof(t->port), "%s", TFTP_DEFAULT_PORT);
    return true;
  }
  long value = 0;
  for (size_t i = 0; i < port_len; ++i) {
    if (port[i] < '0' || port[i] > '9' || value > 65535)
      return false;
    value = value * 10 + (port[i] - '0');
  }
  if (port_len == 0 || value < 1 || value > 65535)
    return false;
  snprintf(t->port, sizeof(t->port), "%ld", value);
  return true;
}

// The part of url after its scheme, as the copy command stores the URL (cut to
// url_size - 1 characters, "tftp://" put in front unless it holds one) into
// stored; null if that leaves no scheme.
const char* after_scheme(const char* url, char* stored, size_t url_size) {
  snprintf(stored, url_size, strstr(url, SCHEME) != nullptr ? "%s" : "tftp://%s", url);
  const char* at = strstr(stored, SCHEME);
  return at != nullptr ? at + strlen(SCHEME) : nullptr;
}

// The copy command hands the module URL/IMAGE; the file asked for is what
// follows the authority's slash there. Returns false if url names no server.
bool parse_target(const char* url, const char* image, tftp_target* t) {
  char stored[sizeof(qb_copy_info::tftp_url)];  // cut as the copy record cuts them
  char name[sizeof(qb_copy_info::srcfile)];
  const char* rest = after_scheme(url, stored, sizeof(stored));
  if (rest == nullptr)
    return false;
  snprintf(name, sizeof(name), "%s", image);
  const char* slash = strchr(rest, '/');
  size_t authority = slash != nullptr ? static_cast<size_t>(slash - rest) : strlen(rest);
  if (!split_authority(rest, authority, t))
    return false;
  int len = slash != nullptr ? snprintf(t->file, sizeof(t->file), "%s/%s", slash + 1, name)
                             : snprintf(t->file, sizeof(t->file), "%s", name);
  return len >= 0 && static_cast<size_t>(len) < sizeof(t->file);
}

// Builds a read request for file with the given options (name, value, ...)
// into buf; returns its length, 0 if it does not fit into one segment.
size_t build_rrq(const char* file, const char* const* options, size_t option_count,
                 unsigned char buf[TFTP_SEGMENT]) {
  size_t at = 2;
  buf[0] = 0;
  buf[1] = OP_RRQ;
  for (size_t i = 0; i < option_count + 2; ++i) {
    const char* field = i == 0 ? file : i == 1 ? "octet" : options[i - 2];
    size_t n = strlen(field) + 1;
    if (at + n > TFTP_SEGMENT)
      return 0;
    memcpy(buf + at, field, n);
    at += n;
  }
  return at;
}

// The server's text of an ERROR packet into reason: printable ASCII only, up
// to its terminator or the packet's end; its code when it gives no text.
void error_text(const unsigned char* pkt, size_t len, char* reason, size_t reason_len) {
  size_t out = 0;
  for (size_t i = 4; i < len && pkt[i] != '\0' && out + 1 < reason_len; ++i)
    reason[out++] = pkt[i] >= 0x20 && pkt[i] < 0x7f ? static_cast<char>(pkt[i]) : '?';
  reason[out] = '\0';
  if (out == 0)
    snprintf(reason, reason_len, "error %d", (pkt[2] << 8) | pkt[3]);
}

// A decimal option value of at most max; false for anything else.
bool option_number(const char* text, unsigned long long max, unsigned long long* value) {
  if (text[0] < '0' || text[0] > '9')
    return false;
  unsigned long long v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || v > (max - static_cast<unsigned long long>(*p - '0')) / 10)
      return false;
    v = v * 10 + static_cast<unsigned long long>(*p - '0');
  }
  *value = v;
  return true;
}

// What an option acknowledgement (RFC 2347) grants: the block size, if
// given, into *blksize and the announced size, if given, into facts.
// Options we did not ask for are ignored. Returns false for one that is not
// a list of terminated names and values, or a value out of range (a block
// size above asked_blksize).
bool parse_oack(const unsigned char* pkt, size_t len, size_t asked_blksize, size_t* blksize,
                tftp_image_facts* facts) {
  const char* at = reinterpret_cast<const char*>(pkt) + 2;
  const char* end = reinterpret_cast<const char*>(pkt) + len;
  while (at < end) {
    const char* name_end =
        static_cast<const char*>(memchr(at, '\0', static_cast<size_t>(end - at)));
    if (name_end == nullptr || name_end + 1 >= end)
      return false;
    const char* value = name_end + 1;
    const char* value_end =
        static_cast<const char*>(memchr(value, '\0', static_cast<size_t>(end - value)));
    if (value_end == nullptr)
      return false;
    unsigned long long number = 0;
    if (strcasecmp(at, "blksize") == 0) {
      if (!option_number(value, asked_blksize, &number) || number < 8)
        return false;
      *blksize = static_cast<size_t>(number);
    } else if (strcasecmp(at, "tsize") == 0) {
      if (!option_number(value, ~0ULL, &number))
        return false;
      facts->size_known = 1;
      facts->size = number;
    }
    at = value_end + 1;
  }
  return true;
}

// Whether from is the host that we asked; its port is the transfer's own.
bool same_host(const struct sockaddr_storage& from, const struct addrinfo* server) {
  if (from.ss_family != server->ai_family)
    return false;
  if (from.ss_family == AF_INET)
    return memcmp(&reinterpret_cast<const sockaddr_in*>(&from)->sin_addr,
                  &reinterpret_cast<const sockaddr_in*>(server->ai_addr)->sin_addr,
                  sizeof(in_addr)) == 0;
  if (from.ss_family == AF_INET6)
    return memcmp(&reinterpret_cast<const sockaddr_in6*>(&from)->sin6_addr,
                  &reinterpret_cast<const sockaddr_in6*>(server->ai_addr)->sin6_addr,
                  sizeof(in6_addr)) == 0;
  return false;
}

// Whether from is the transfer port the server answered from, on its host.
bool same_port(const struct sockaddr_storage& from, const struct sockaddr_storage& peer) {
  if (from.ss_family == AF_INET)
    return reinterpret_cast<const sockaddr_in*>(&from)->sin_port ==
           reinterpret_cast<const sockaddr_in*>(&peer)->sin_port;
  return reinterpret_cast<const sockaddr_in6*>(&from)->sin6_port ==
         reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port;
}

// One exchange with a server: the socket, the address asked, the transfer
// port once the server answered from one, and the interrupt hook.
struct tftp_exchange {
  int sock;
  const struct addrinfo* server;
  struct sockaddr_storage peer;
  socklen_t peer_len;  // 0 until the server answered
  int (*interrupted)();
};

// Sends len bytes of pkt to the server's transfer port, or to the address
// asked while it has not answered. Returns false with reason set if it
// could not go out.
bool send_packet(tftp_exchange* x, const unsigned char* pkt, size_t len, char* reason,
                 size_t reason_len) {
  const sockaddr* to = x->peer_len != 0 ? reinterpret_cast<const sockaddr*>(&x->peer)
                                        : x->server->ai_addr;
  socklen_t to_len = x->peer_len != 0 ? x->peer_len : x->server->ai_addrlen;
  ssize_t sent = sendto(x->sock, pkt, len, 0, to, to_len);
  if (sent == static_cast<ssize_t>(len))
    return true;
  snprintf(reason, reason_len, "cannot send to the server: %s",
           sent == -1 ? strerror(errno) : "short write");
  return false;
}

// Ends the transfer that the server began, at its transfer port. A lost packet
// costs only the server's own time-out.
void abandon(tftp_exchange* x) {
  static const unsigned char packet[] = {0,   OP_ERROR, 0,   0,   'T', 'r', 'a', 'n',
                                         's', 'f',      'e', 'r', ' ', 'a', 'b', 'a',
                                         'n', 'd',      'o', 'n', 'e', 'd', 0};
  char ignored[8];
  if (x->peer_len != 0 && !send_packet(x, packet, sizeof(packet), ignored, sizeof(ignored)))
    nxa_trace(TRACE_DEBUG, "TFTP: cannot end the transfer: %s\n", strerror(errno));
}

enum WaitResult { WAIT_PACKET, WAIT_TIMEOUT, WAIT_INTERRUPTED, WAIT_FAILED };

// Waits until deadline (monotonic_ms) for a packet of the server's: from the
// host asked and, once it answered, from its transfer port. Anything else
// (a stray datagram, a refusal by ICMP) is passed over. Returns WAIT_PACKET
// with the packet in pkt (*len bytes of at most cap) and its sender in
// *from; WAIT_INTERRUPTED when the interrupt hook says so, at the start or
// after a signal; WAIT_FAILED with reason set.
WaitResult next_packet(tftp_exchange* x, long long deadline, unsigned char* pkt, size_t cap,
                       size_t* len, struct sockaddr_storage* from, socklen_t* from_len,
                       char* reason, size_t reason_len) {
  if (x->interrupted != nullptr && x->interrupted() != 0)
    return WAIT_INTERRUPTED;
  for (;;) {
    long long left = deadline - monotonic_ms();
    if (left <= 0)
      return WAIT_TIMEOUT;
    struct pollfd pfd;
    pfd.fd = x->sock;
    pfd.events = POLLIN;
    pfd.revents = 0;
    int rc = poll(&pfd, 1, static_cast<int>(left));
    if (rc == -1 && errno == EINTR) {
      if (x->interrupted != nullptr && x->interrupted() != 0)
        return WAIT_INTERRUPTED;
      continue;
    }
    if (rc == -1) {
      snprintf(reason, reason_len, "cannot wait for the answer: %s", strerror(errno));
      return WAIT_FAILED;
    }
    if (rc == 0)
      return WAIT_TIMEOUT;
    *from_len = sizeof(*from);
    ssize_t n = recvfrom(x->sock, pkt, cap, MSG_TRUNC, reinterpret_cast<sockaddr*>(from), from_len);
    if (n == -1 || !same_host(*from, x->server) || (x->peer_len != 0 && !same_port(*from, x->peer)))
      continue;
    *len = static_cast<size_t>(n);
    return WAIT_PACKET;
  }
}

// Judges the server's first answer to a check: QB_TFTP_READABLE (with the
// announced size in facts), QB_TFTP_REFUSED with the server's text in
// reason, or QB_TFTP_NO_ANSWER for one that answers nothing (too short, or
// another opcode), so that the wait goes on.
QbTftpVerdict judge_answer(const unsigned char* pkt, size_t len, char* reason, size_t reason_len,
                           tftp_image_facts* facts) {
  if (len < 4 || pkt[0] != 0)
    return QB_TFTP_NO_ANSWER;
  if (pkt[1] == OP_OACK) {
    size_t blksize = TFTP_SEGMENT;
    if (!parse_oack(pkt, len, TFTP_SEGMENT, &blksize, facts))
      facts->size_known = 0;
    return QB_TFTP_READABLE;
  }
  if (pkt[1] == OP_DATA) {
    // A server without options sends the first block: all there is if short.
    if (len - 4 < TFTP_SEGMENT) {
      facts->size_known = 1;
      facts->size = len - 4;
    }
    return QB_TFTP_READABLE;
  }
  if (pkt[1] != OP_ERROR)
    return QB_TFTP_NO_ANSWER;
  error_text(pkt, len, reason, reason_len);
  return QB_TFTP_REFUSED;
}

// Sends request up to TFTP_TRIES times within total_ms and waits for the
// server's first answer. Returns the verdict; reason and facts as for
// tftp_check_image.
QbTftpVerdict ask(tftp_exchange* x, const unsigned char* request, size_t request_len, int total_ms,
                  char* reason, size_t reason_len, tftp_image_facts* facts) {
  const long long begin = monotonic_ms();
  for (int attempt = 1; attempt <= TFTP_TRIES; ++attempt) {
    if (!send_packet(x, request, request_len, reason, reason_len))
      return QB_TFTP_LOCAL_ERR;
    nxa_trace(TRACE_DEBUG, "TFTP: read request %d of %d sent\n", attempt, TFTP_TRIES);
    const long long deadline = begin + static_cast<long long>(total_ms) * attempt / TFTP_TRIES;
    for (;;) {
      unsigned char pkt[TFTP_SEGMENT + 4];
      size_t len = 0;
      struct sockaddr_storage from;
      socklen_t from_len = 0;
      WaitResult got =
          next_packet(x, deadline, pkt, sizeof(pkt), &len, &from, &from_len, reason, reason_len);
      if (got == WAIT_INTERRUPTED) {
        snprintf(reason, reason_len, "interrupted");
        return QB_TFTP_INTERRUPTED;
      }
      if (got == WAIT_FAILED)
        return QB_TFTP_LOCAL_ERR;
      if (got == WAIT_TIMEOUT)
        break;
      QbTftpVerdict verdict =
          judge_answer(pkt, len < sizeof(pkt) ? len : sizeof(pkt), reason, reason_len, facts);
      if (verdict == QB_TFTP_READABLE) {
        x->peer = from;
        x->peer_len = from_len;
        abandon(x);
        reason[0] = '\0';
      }
      if (verdict != QB_TFTP_NO_ANSWER)
        return verdict;
    }
  }
  snprintf(reason, reason_len, "no answer");
  return QB_TFTP_NO_ANSWER;
}

// Where a read stands: what was agreed, what came, and the packet that the
// next time-out sends again.
struct read_state {
  size_t blksize;
  unsigned expected;  // the next block's number, as it wraps at 65536
  unsigned long long received;
  int acked;          // a block (or the options, block 0) was acknowledged
  struct sha256_ctx sha;
  unsigned char last[TFTP_SEGMENT];
  size_t last_len;
};

// Acknowledges block (0: the options) and keeps the ACK to send again.
bool acknowledge(tftp_exchange* x, read_state* r, unsigned block, char* reason,
                 size_t reason_len) {
  const unsigned char ack[4] = {0, OP_ACK, static_cast<unsigned char>(block >> 8),
                                static_cast<unsigned char>(block & 0xff)};
  memcpy(r->last, ack, sizeof(ack));
  r->last_len = sizeof(ack);
  r->acked = 1;
  return send_packet(x, ack, sizeof(ack), reason, reason_len);
}

enum ReadStep { READ_GO_ON, READ_PROGRESS, READ_DONE, READ_FAILED };

// Takes one packet of the server's into the read. Returns READ_PROGRESS for
// a new block or the options (acknowledged), READ_DONE after the last block,
// READ_GO_ON for one that changes nothing (a duplicate, acknowledged again
// if it is the block last acknowledged), READ_FAILED with *verdict and
// reason set.
ReadStep take_packet(tftp_exchange* x, read_state* r, const tftp_read_limits& lim,
                     const unsigned char* pkt, size_t len, tftp_image_facts* facts,
                     QbTftpVerdict* verdict, char* reason, size_t reason_len) {
  *verdict = QB_TFTP_LOCAL_ERR;  // for a packet that cannot go out
  if (len < 4 || pkt[0] != 0)
    return READ_GO_ON;
  const unsigned block = (static_cast<unsigned>(pkt[2]) << 8) | pkt[3];
  if (pkt[1] == OP_ERROR) {
    error_text(pkt, len, reason, reason_len);
    *verdict = QB_TFTP_REFUSED;
    return READ_FAILED;
  }
  if (pkt[1] == OP_OACK && r->received == 0 && r->expected == 1) {
    if (r->acked)  // our acknowledgement of the options was lost
      return acknowledge(x, r, 0, reason, reason_len) ? READ_GO_ON : READ_FAILED;
    *verdict = QB_TFTP_BROKEN;
    if (!parse_oack(pkt, len, static_cast<size_t>(lim.blksize), &r->blksize, facts)) {
      snprintf(reason, reason_len, "the server's option acknowledgement is malformed or grants "
               "more than asked");
      return READ_FAILED;
    }
    if (facts->size_known && facts->size > lim.max_bytes) {
      snprintf(reason, reason_len, "the server announces %llu bytes, more than %llu", facts->size,
               lim.max_bytes);
      return READ_FAILED;
    }
    *verdict = QB_TFTP_LOCAL_ERR;
    return acknowledge(x, r, 0, reason, reason_len) ? READ_PROGRESS : READ_FAILED;
  }
  if (pkt[1] != OP_DATA)
    return READ_GO_ON;
  if (block != r->expected) {
    if (r->acked && block == ((r->expected - 1) & 0xffff) &&
        !send_packet(x, r->last, r->last_len, reason, reason_len))
      return READ_FAILED;
    return READ_GO_ON;
  }
  const size_t data = len - 4;
  *verdict = QB_TFTP_BROKEN;
  if (data > r->blksize) {
    snprintf(reason, reason_len, "block %u holds %zu bytes, more than the %zu agreed", block, data,
             r->blksize);
    return READ_FAILED;
  }
  if (r->received + data > lim.max_bytes) {
    snprintf(reason, reason_len, "the image is larger than %llu bytes", lim.max_bytes);
    return READ_FAILED;
  }
  sha256_update(&r->sha, data, pkt + 4);
  r->received += data;
  *verdict = QB_TFTP_LOCAL_ERR;
  if (!acknowledge(x, r, block, reason, reason_len))
    return READ_FAILED;
  r->expected = (r->expected + 1) & 0xffff;
  return data < r->blksize ? READ_DONE : READ_PROGRESS;
}

// The read itself over x: request first, then every block until a short one.
// Returns the verdict; facts and reason as for tftp_read_image.
QbTftpVerdict read_transfer(tftp_exchange* x, const unsigned char* request, size_t request_len,
                            const tftp_read_limits& lim, tftp_image_facts* facts, char* reason,
                            size_t reason_len) {
  read_state r;
  r.blksize = TFTP_SEGMENT;
  r.expected = 1;
  r.received = 0;
  r.acked = 0;
  sha256_init(&r.sha);
  memcpy(r.last, request, request_len);
  r.last_len = request_len;
  if (!send_packet(x, request, request_len, reason, reason_len))
    return QB_TFTP_LOCAL_ERR;
  const size_t cap = static_cast<size_t>(lim.blksize) + 4;
  unsigned char* pkt = static_cast<unsigned char*>(malloc(cap + 1));
  if (pkt == nullptr) {
    snprintf(reason, reason_len, "no memory for a block");
    return QB_TFTP_LOCAL_ERR;
  }
  QbTftpVerdict verdict = QB_TFTP_NO_ANSWER;
  int silent = 0;
  long long deadline = monotonic_ms() + lim.wait_ms;
  for (;;) {
    size_t len = 0;
    struct sockaddr_storage from;
    socklen_t from_len = 0;
    WaitResult got = next_packet(x, deadline, pkt, cap + 1, &len, &from, &from_len, reason,
                                 reason_len);
    if (got == WAIT_TIMEOUT) {
      if (++silent > lim.retransmits) {
        snprintf(reason, reason_len, "no answer");
        verdict = QB_TFTP_NO_ANSWER;
        break;
      }
      nxa_trace(TRACE_DEBUG, "TFTP: nothing for %d ms; sending the last packet again\n",
                lim.wait_ms);
      if (!send_packet(x, r.last, r.last_len, reason, reason_len)) {
        verdict = QB_TFTP_LOCAL_ERR;
        break;
      }
      deadline = monotonic_ms() + lim.wait_ms;
      continue;
    }
    if (got != WAIT_PACKET) {
      verdict = got == WAIT_INTERRUPTED ? QB_TFTP_INTERRUPTED : QB_TFTP_LOCAL_ERR;
      if (got == WAIT_INTERRUPTED)
        snprintf(reason, reason_len, "interrupted");
      break;
    }
    // The port of the server's first answer is the transfer's (RFC 1350's
    // TID); what else comes from its host before that is no answer.
    if (x->peer_len == 0) {
      if (len < 4 || pkt[0] != 0 || (pkt[1] != OP_DATA && pkt[1] != OP_OACK && pkt[1] != OP_ERROR))
        continue;
      x->peer = from;
      x->peer_len = from_len;
    }
    ReadStep step = take_packet(x, &r, lim, pkt, len > cap ? cap + 1 : len, facts, &verdict,
                                reason, reason_len);
    if (step == READ_FAILED)
      break;
    if (step == READ_DONE) {
      if (facts->size_known && facts->size != r.received) {
        snprintf(reason, reason_len, "the server announced %llu bytes and sent %llu", facts->size,
                 r.received);
        verdict = QB_TFTP_BROKEN;
        break;
      }
      facts->size_known = 1;
      facts->size = r.received;
      sha256_digest(&r.sha, TFTP_SHA256_SIZE, facts->sha256);
      verdict = QB_TFTP_READABLE;
      reason[0] = '\0';
      break;
    }
    if (step == READ_PROGRESS) {
      silent = 0;
      deadline = monotonic_ms() + lim.wait_ms;
    }
  }
  free(pkt);
  // Whatever ended the read early, the server need not wait for us.
  if (verdict != QB_TFTP_READABLE && verdict != QB_TFTP_REFUSED)
    abandon(x);
  return verdict;
}

// Resolves url's server and runs exchange (which returns a verdict) with a
// socket to each of its addresses in turn until one takes the request; only
// a request that could not go out on one address moves on to the next.
template <typename Exchange>
QbTftpVerdict with_server(const tftp_target& t, int (*interrupted)(), char* reason,
                          size_t reason_len, Exchange exchange) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo* servers = nullptr;
  int rc = getaddrinfo(t.host, t.port, &hints, &servers);
  if (rc != 0) {
    snprintf(reason, reason_len, "cannot resolve '%s': %s", t.host, gai_strerror(rc));
    return QB_TFTP_LOCAL_ERR;
  }
  nxa_trace(TRACE_DEBUG, "TFTP: asking %s port %s for '%s'\n", t.host, t.port, t.file);
  QbTftpVerdict verdict = QB_TFTP_LOCAL_ERR;
  snprintf(reason, reason_len, "no socket for '%s'", t.host);
  for (struct addrinfo* server = servers; server != nullptr; server = server->ai_next) {
    tftp_exchange x;
    memset(&x, 0, sizeof(x));
    x.sock = socket(server->ai_family, server->ai_socktype | SOCK_CLOEXEC, server->ai_protocol);
    if (x.sock == -1) {
      snprintf(reason, reason_len, "cannot make a socket: %s", strerror(errno));
      continue;
    }
    x.server = server;
    x.interrupted = interrupted;
    verdict = exchange(&x);
    close(x.sock);
    x.sock = -1;
    if (verdict != QB_TFTP_LOCAL_ERR)
      break;
  }
  freeaddrinfo(servers);
  return verdict;
}

}  // namespace

tftp_read_limits::tftp_read_limits()
    : wait_ms(READ_WAIT_MS), retransmits(READ_RETRANSMITS), max_bytes(READ_MAX_BYTES),
      blksize(READ_BLKSIZE) {}

bool tftp_url_host(const char* url, char* host, size_t size) {
  tftp_target t;
  if (url == nullptr || host == nullptr || size == 0 || !parse_target(url, "", &t))
    return false;
  int len = snprintf(host, size, "%s", t.host);
  return len >= 0 && static_cast<size_t>(len) < size;
}

namespace {

// The server of url and the read request for image in its directory with the
// options (name, value pairs) into *t and request (TFTP_SEGMENT bytes).
// Returns the request's length, or 0 after writing why into reason.
size_t request_of(const char* url, const char* image, const char* const* options,
                  size_t option_words, tftp_target* t, unsigned char* request, char* reason,
                  size_t reason_len) {
  size_t len = 0;
  if (url != nullptr && image != nullptr && parse_target(url, image, t))
    len = build_rrq(t->file, options, option_words, request);
  if (len == 0)
    snprintf(reason, reason_len, "not a TFTP URL and file name");
  return len;
}

}  // namespace

QbTftpVerdict tftp_check_image(const char* url, const char* image, int total_ms, char* reason,
                               size_t reason_len, int (*interrupted)(), tftp_image_facts* facts) {
  if (reason == nullptr || reason_len == 0)
    return QB_TFTP_LOCAL_ERR;
  reason[0] = '\0';
  tftp_image_facts ignored;
  if (facts == nullptr)
    facts = &ignored;
  memset(facts, 0, sizeof(*facts));
  tftp_target t;
  unsigned char request[TFTP_SEGMENT];
  const char* const options[] = {"tsize", "0"};
  const size_t request_len = request_of(url, image, options, 2, &t, request, reason, reason_len);
  if (request_len == 0)
    return QB_TFTP_LOCAL_ERR;
  return with_server(t, interrupted, reason, reason_len, [&](tftp_exchange* x) {
    return ask(x, request, request_len, total_ms, reason, reason_len, facts);
  });
}

QbTftpVerdict tftp_read_image(const char* url, const char* image, const tftp_read_limits& limits,
                              tftp_image_facts* facts, char* reason, size_t reason_len,
                              int (*interrupted)()) {
  if (reason == nullptr || reason_len == 0 || facts == nullptr)
    return QB_TFTP_LOCAL_ERR;
  reason[0] = '\0';
  memset(facts, 0, sizeof(*facts));
  if (limits.blksize < 8 || static_cast<size_t>(limits.blksize) > MAX_BLKSIZE ||
      limits.wait_ms < 1 || limits.retransmits < 0) {
    snprintf(reason, reason_len, "invalid read limits");
    return QB_TFTP_LOCAL_ERR;
  }
  tftp_target t;
  unsigned char request[TFTP_SEGMENT];
  char blksize[16];
  snprintf(blksize, sizeof(blksize), "%d", limits.blksize);
  const char* const options[] = {"blksize", blksize, "tsize", "0"};
  const size_t request_len = request_of(url, image, options, 4, &t, request, reason, reason_len);
  if (request_len == 0)
    return QB_TFTP_LOCAL_ERR;
  return with_server(t, interrupted, reason, reason_len, [&](tftp_exchange* x) {
    memset(facts, 0, sizeof(*facts));
    return read_transfer(x, request, request_len, limits, facts, reason, reason_len);
  });
}
