// Socket layer of the reachability probe: resolve, connect, close.
#include "qb_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "nxa-tools-trace.h"
#include "qb_io.h"

namespace {

// Connects sock to addr, waiting at most timeout_ms for the peer. Returns true
// once connected. A blocking connect to an address that drops packets would
// wait out the kernel's SYN retries, about two minutes.
bool connect_bounded(SOCKET sock, const struct sockaddr* addr, socklen_t len, int timeout_ms) {
  int flags = fcntl(sock, F_GETFL);
  if (flags == -1 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) == -1)
    return false;
  if (connect(sock, addr, len) == 0)
    return true;
  if (errno != EINPROGRESS)
    return false;
  const long long deadline = monotonic_ms() + timeout_ms;
  struct pollfd pfd;
  pfd.fd = sock;
  pfd.events = POLLOUT;
  pfd.revents = 0;
  int rc;
  do {
    long long left = deadline - monotonic_ms();
    rc = poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
  } while (rc == -1 && errno == EINTR);
  if (rc <= 0)
    return false;
  int err = 0;
  socklen_t err_len = sizeof(err);
  return getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &err_len) == 0 && err == 0;
}

}  // namespace

bool make_blocking(SOCKET sock) {
  const int flags = fcntl(sock, F_GETFL);
  // Flags that cannot be read say nothing of the mode the socket is in.
  if (flags == -1)
    return false;
  return fcntl(sock, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

void probe_resolver_hints(addrinfo* hints) {
  memset(hints, 0, sizeof(*hints));
  hints->ai_flags = AI_CANONNAME;
  hints->ai_family = AF_UNSPEC;
  hints->ai_socktype = SOCK_STREAM;
  hints->ai_protocol = IPPROTO_TCP;
}

QBCodes tcp_connect(const char* host, const char* port, SOCKET* pSock,
                    const probe_settings& pacing) {
  if (host == nullptr || port == nullptr || pSock == nullptr) {
    nxa_trace(TRACE_ERROR, "Unable to connect to host %s port %s: Internal error: Invalid object\n",
              host != nullptr ? host : "(null)", port != nullptr ? port : "(null)");
    return MORVIK_INTERNAL_ERR;
  }
  struct addrinfo hints;
  probe_resolver_hints(&hints);
  struct addrinfo* result = nullptr;
  int rc = getaddrinfo(host, port, &hints, &result);
  if (rc != 0) {
    nxa_trace(TRACE_DEBUG, "Unable to connect to host %s port %s (%d): %s\n", host, port, rc,
              gai_strerror(rc));
    if (result != nullptr)
      freeaddrinfo(result);
    return MORVIK_CANNOT_CONNECT_ERR;
  }

  SOCKET sock = -1;
  for (struct addrinfo* addr = result; addr != nullptr; addr = addr->ai_next) {
    sock = socket(addr->ai_family, addr->ai_socktype, addr->ai_protocol);
    if (sock == -1)
      continue;
    nxa_trace(TRACE_DEBUG, "Trying to connect to socket ...\n");
    if (!connect_bounded(sock, addr->ai_addr, addr->ai_addrlen, pacing.connect_timeout_ms)) {
      nxa_trace(TRACE_DEBUG, "Connection to socket ... Failed\n");
      sock_close(&sock, pacing.close_pause_sec);
      continue;
    }
    nxa_trace(TRACE_DEBUG, "Connection to socket ... Done\n");
    if (!make_blocking(sock)) {
      sock_close(&sock, pacing.close_pause_sec);
      continue;
    }
    break;
  }

  QBCodes retval = MORVIK_SUCCESS;
  if (sock == -1) {
    nxa_trace(TRACE_DEBUG, "Unable to connect to host %s port %s: Cannot connect to socket\n", host,
              port);
    retval = MORVIK_CANNOT_CONNECT_ERR;
  } else {
    *pSock = sock;
  }
  freeaddrinfo(result);
  return retval;
}

void sock_close(SOCKET* pSock, int pause_sec) {
  if (pSock == nullptr || *pSock == -1)
    return;
  if (pause_sec > 0)
    sleep(static_cast<unsigned int>(pause_sec));
  int rc = close(*pSock);
  nxa_trace(TRACE_DEBUG, "Close socket ... %s\n", rc == 0 ? "Done" : "Failed");
  *pSock = -1;
}

// POSIX sockets need no start or stop; the hooks keep the messages and the
// status of a layer whose start can fail.
int winsock_init() {
  int status = 0;
  // cppcheck-suppress knownConditionTrueFalse
  nxa_trace(TRACE_DEBUG, "Socket initialization ... %s\n", status == 0 ? "Done" : "Failed");
  return status;
}

int winsock_cleanup() {
  int status = 0;
  // cppcheck-suppress knownConditionTrueFalse
  nxa_trace(TRACE_DEBUG, "Socket cleanup ... %s\n", status == 0 ? "Done" : "Failed");
  return status;
}
