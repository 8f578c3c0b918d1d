// Asks a TFTP server whether it would hand out a file, before the module is
// told to download it: one read request, the first answer, then abandoned.
#ifndef MORVIK_QB_TFTP_H
#define MORVIK_QB_TFTP_H

#include <cstddef>

// The outcome of one check.
enum QbTftpVerdict {
  QB_TFTP_READABLE = 0,    // the server began the transfer (OACK or DATA)
  QB_TFTP_REFUSED = 1,     // the server answered with an ERROR packet
  QB_TFTP_NO_ANSWER = 2,   // nothing came back within the tries
  QB_TFTP_LOCAL_ERR = 3,   // the request could not be made (bad URL, no socket)
  QB_TFTP_INTERRUPTED = 4  // a signal ended the wait, as interrupted said
};

// The host part of a TFTP URL as the tool takes it ("tftp://host/dir",
// "host/dir", "host:port/dir"), without a port, into host (size bytes).
// Returns false if it has none or it does not fit.
bool tftp_url_host(const char* url, char* host, size_t size);

// Sends an octet-mode read request with the tsize option for DIR/image of
// url to its server (port 69 unless the URL names one) and waits for the first
// answer, at most three tries within total_ms in all; abandons the transfer
// with an ERROR packet once the server has answered. Returns the verdict; for
// QB_TFTP_REFUSED reason holds the server's error text (printable, cut to
// fit), for QB_TFTP_READABLE nothing, for the others a text of our own ("no
// answer" for QB_TFTP_NO_ANSWER). reason is always terminated. When a signal
// interrupts a wait, interrupted (if given) is asked: non-zero ends the check
// at once with QB_TFTP_INTERRUPTED, else the wait goes on.
QbTftpVerdict tftp_check_image(const char* url, const char* image, int total_ms, char* reason,
                               size_t reason_len, int (*interrupted)() = nullptr);

#endif
