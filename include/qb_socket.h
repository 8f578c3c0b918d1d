// Socket layer and the reachability probe: a TCP connect to the module's SSH
// port, closed again at once, retried with pauses.
#ifndef MORVIK_QB_SOCKET_H
#define MORVIK_QB_SOCKET_H

#include "defines.h"

typedef int SOCKET;  // -1: no socket

// Resolves host and port and connects a TCP socket into *pSock, which then
// belongs to the caller (close with sock_close). Returns MORVIK_SUCCESS,
// MORVIK_INTERNAL_ERR for a null argument, else MORVIK_CANNOT_CONNECT_ERR.
QBCodes tcp_connect(const char* host, const char* port, SOCKET* pSock);

// Closes *pSock after a 1-second pause and sets it to -1.
void sock_close(SOCKET* pSock);

// Start and stop hooks of the socket layer; nothing to do here, always 0.
int winsock_init();
int winsock_cleanup();

// Returns 1 if port 22 of host accepted a connection within count attempts
// (1 to 100) made 5 seconds apart, else 0.
int is_server_available(char* host, int count);

// Returns 1 if port 22 of host accepted a connection before max_sec seconds
// had passed since the first attempt, else 0.
int is_server_available(char* host, double max_sec);

#endif
