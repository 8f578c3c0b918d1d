// The TFTP check: one read request for the file the module would download, the
// server's first answer, and an ERROR packet that ends the transfer it began.
// Our own few packets rather than a library: none that the tool may link asks
// once and abandons, and a whole download could take minutes.
#include "qb_tftp.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "defines.h"
#include "nxa-tools-trace.h"
#include "qb_io.h"

namespace {

const int TFTP_TRIES = 3;
const size_t TFTP_SEGMENT = 512;  // RFC 1350: every packet we send fits one
const char TFTP_DEFAULT_PORT[] = "69";
const char SCHEME[] = "tftp://";

enum TftpOpcode { OP_RRQ = 1, OP_DATA = 3, OP_ERROR = 5, OP_OACK = 6 };

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

// Builds the read request into buf; returns its length, 0 if it does not fit
// into one segment.
size_t build_rrq(const char* file, unsigned char buf[TFTP_SEGMENT]) {
  const char* const fields[] = {file, "octet", "tsize", "0"};
  size_t at = 2;
  buf[0] = 0;
  buf[1] = OP_RRQ;
  for (const char* field : fields) {
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

// Judges one packet from the server: QB_TFTP_READABLE, QB_TFTP_REFUSED with
// the server's text in reason, or QB_TFTP_NO_ANSWER for one that answers
// nothing (too short, or another opcode), so that the wait goes on.
QbTftpVerdict judge_answer(const unsigned char* pkt, size_t len, char* reason, size_t reason_len) {
  if (len < 4 || pkt[0] != 0)
    return QB_TFTP_NO_ANSWER;
  if (pkt[1] == OP_OACK || pkt[1] == OP_DATA)
    return QB_TFTP_READABLE;
  if (pkt[1] != OP_ERROR)
    return QB_TFTP_NO_ANSWER;
  error_text(pkt, len, reason, reason_len);
  return QB_TFTP_REFUSED;
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

// Ends the transfer that the server began, at its transfer port. A lost packet
// costs only the server's own time-out.
void abandon(int sock, const struct sockaddr_storage& peer, socklen_t peer_len) {
  static const unsigned char packet[] = {0,   OP_ERROR, 0,   0,   'T', 'r', 'a', 'n',
                                         's', 'f',      'e', 'r', ' ', 'a', 'b', 'a',
                                         'n', 'd',      'o', 'n', 'e', 'd', 0};
  ssize_t n =
      sendto(sock, packet, sizeof(packet), 0, reinterpret_cast<const sockaddr*>(&peer), peer_len);
  if (n != static_cast<ssize_t>(sizeof(packet)))
    nxa_trace(TRACE_DEBUG, "TFTP: cannot end the transfer: %s\n", strerror(errno));
}

// Sends request to server up to TFTP_TRIES times within total_ms and waits
// for the first answer from it. Returns the verdict; reason as for
// tftp_check_image.
QbTftpVerdict ask(int sock, const struct addrinfo* server, const unsigned char* request,
                  size_t request_len, int total_ms, char* reason, size_t reason_len,
                  int (*interrupted)()) {
  const long long begin = monotonic_ms();
  for (int attempt = 1; attempt <= TFTP_TRIES; ++attempt) {
    ssize_t sent = sendto(sock, request, request_len, 0, server->ai_addr, server->ai_addrlen);
    if (sent != static_cast<ssize_t>(request_len)) {
      snprintf(reason, reason_len, "cannot send the request: %s",
               sent == -1 ? strerror(errno) : "short write");
      return QB_TFTP_LOCAL_ERR;
    }
    nxa_trace(TRACE_DEBUG, "TFTP: read request %d of %d sent\n", attempt, TFTP_TRIES);
    const long long deadline = begin + static_cast<long long>(total_ms) * attempt / TFTP_TRIES;
    for (;;) {
      long long left = deadline - monotonic_ms();
      if (left <= 0)
        break;
      struct pollfd pfd;
      pfd.fd = sock;
      pfd.events = POLLIN;
      pfd.revents = 0;
      int rc = poll(&pfd, 1, static_cast<int>(left));
      if (rc == -1 && errno == EINTR) {
        if (interrupted == nullptr || interrupted() == 0)
          continue;
        snprintf(reason, reason_len, "interrupted");
        return QB_TFTP_INTERRUPTED;
      }
      if (rc == -1) {
        snprintf(reason, reason_len, "cannot wait for the answer: %s", strerror(errno));
        return QB_TFTP_LOCAL_ERR;
      }
      if (rc == 0)
        break;
      unsigned char pkt[TFTP_SEGMENT + 4];
      struct sockaddr_storage from;
      socklen_t from_len = sizeof(from);
      ssize_t n =
          recvfrom(sock, pkt, sizeof(pkt), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
      // A refusal by ICMP (nothing on the port) or a stray datagram is no
      // answer of the server's; the next try may yet get one.
      if (n == -1 || !same_host(from, server))
        continue;
      QbTftpVerdict verdict = judge_answer(pkt, static_cast<size_t>(n), reason, reason_len);
      if (verdict == QB_TFTP_READABLE) {
        abandon(sock, from, from_len);
        reason[0] = '\0';
      }
      if (verdict != QB_TFTP_NO_ANSWER)
        return verdict;
    }
  }
  snprintf(reason, reason_len, "no answer");
  return QB_TFTP_NO_ANSWER;
}

}  // namespace

bool tftp_url_host(const char* url, char* host, size_t size) {
  tftp_target t;
  if (url == nullptr || host == nullptr || size == 0 || !parse_target(url, "", &t))
    return false;
  int len = snprintf(host, size, "%s", t.host);
  return len >= 0 && static_cast<size_t>(len) < size;
}

QbTftpVerdict tftp_check_image(const char* url, const char* image, int total_ms, char* reason,
                               size_t reason_len, int (*interrupted)()) {
  if (reason == nullptr || reason_len == 0)
    return QB_TFTP_LOCAL_ERR;
  reason[0] = '\0';
  tftp_target t;
  unsigned char request[TFTP_SEGMENT];
  const bool parsed = url != nullptr && image != nullptr && parse_target(url, image, &t);
  const size_t request_len = parsed ? build_rrq(t.file, request) : 0;
  if (request_len == 0) {
    snprintf(reason, reason_len, "not a TFTP URL and file name");
    return QB_TFTP_LOCAL_ERR;
  }
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
    int sock = socket(server->ai_family, server->ai_socktype | SOCK_CLOEXEC, server->ai_protocol);
    if (sock == -1) {
      snprintf(reason, reason_len, "cannot make a socket: %s", strerror(errno));
      continue;
    }
    verdict = ask(sock, server, request, request_len, total_ms, reason, reason_len, interrupted);
    close(sock);
    // The first address that took the request has the answer; another is
    // only tried when the request could not go out on this one.
    if (verdict != QB_TFTP_LOCAL_ERR)
      break;
  }
  freeaddrinfo(servers);
  return verdict;
}
