// Socket layer under the reachability probe: a bounded TCP connect to the
// module's SSH port, and its close.
#ifndef MORVIK_QB_SOCKET_H
#define MORVIK_QB_SOCKET_H

#include "defines.h"

typedef int SOCKET;  // -1: no socket

// How the probe paces itself. The defaults are the tool's documented pacing:
// a 1-second pause before each close, 5 seconds between attempts; each
// connect is bounded to 5 seconds, so that an address that silently drops
// the attempt costs that much, not the kernel's minutes of retries.
struct probe_settings {
  int close_pause_sec;
  int attempt_pause_sec;
  int connect_timeout_ms;
  probe_settings() : close_pause_sec(1), attempt_pause_sec(5), connect_timeout_ms(5000) {}
};

struct addrinfo;

// Fills hints as the probe resolves a module: any family, TCP, the canonical
// name asked for. What the probe reaches first is what these find first.
void probe_resolver_hints(addrinfo* hints);

// Resolves host and port and connects a TCP socket into *pSock, which then
// belongs to the caller (close with sock_close). Returns MORVIK_SUCCESS,
// MORVIK_INTERNAL_ERR for a null argument, else MORVIK_CANNOT_CONNECT_ERR.
// Connects and closes a failed attempt as pacing says.
QBCodes tcp_connect(const char* host, const char* port, SOCKET* pSock,
                    const probe_settings& pacing = probe_settings());

// Puts sock into blocking mode. Returns true once it is in that mode, false
// when its flags cannot be read or set.
bool make_blocking(SOCKET sock);

// Closes *pSock after a pause of pause_sec seconds and sets it to -1.
void sock_close(SOCKET* pSock, int pause_sec = 1);

// Start and stop hooks of the socket layer; nothing to do here, always 0.
int winsock_init();
int winsock_cleanup();

#endif
