// Asks a TFTP server whether it would hand out a file, before the module is
// told to download it: one read request, the first answer, then abandoned;
// or reads the whole file for its SHA-256, keeping nothing of it.
#ifndef MORVIK_QB_TFTP_H
#define MORVIK_QB_TFTP_H

#include <cstddef>

// The outcome of one check.
enum QbTftpVerdict {
  QB_TFTP_READABLE = 0,    // the server began the transfer (OACK or DATA)
  QB_TFTP_REFUSED = 1,     // the server answered with an ERROR packet
  QB_TFTP_NO_ANSWER = 2,   // nothing came back within the tries
  QB_TFTP_LOCAL_ERR = 3,   // the request could not be made (bad URL, no socket)
  QB_TFTP_INTERRUPTED = 4, // a signal ended the wait, as interrupted said
  QB_TFTP_BROKEN = 5       // a read broke off: too large, or the server broke the protocol
};

const int TFTP_SHA256_SIZE = 32;

// What the server told of a file: its size where known (a check learns it
// from the tsize the server announces, a read counts the bytes), and for a
// read the SHA-256 of every byte received.
struct tftp_image_facts {
  int size_known;
  unsigned long long size;
  unsigned char sha256[TFTP_SHA256_SIZE];
};

// The bounds of a read; the constructor sets the tool's own, whose reasons
// are given beside their values in qb_tftp.cpp.
struct tftp_read_limits {
  int wait_ms;                   // longest wait for the server's next packet
  int retransmits;               // our last packet sent again this often in a row, then no answer
  unsigned long long max_bytes;  // a larger file is refused
  int blksize;                   // the block size asked for (RFC 2348)
  tftp_read_limits();
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
// With facts given, the size the server announced goes there (size_known 0
// when it announced none).
QbTftpVerdict tftp_check_image(const char* url, const char* image, int total_ms, char* reason,
                               size_t reason_len, int (*interrupted)() = nullptr,
                               tftp_image_facts* facts = nullptr);

// Reads DIR/image of url from its server as the check asks for it: an
// octet-mode read request with the options blksize and tsize, every block
// acknowledged, the SHA-256 computed as the bytes arrive and nothing stored.
// Duplicates, blocks out of turn and packets from another address or port
// are ignored (a duplicate of the block last acknowledged is acknowledged
// again). Returns QB_TFTP_READABLE with the byte count and digest in facts,
// or the verdict of what ended the read, with reason as for tftp_check_image
// (QB_TFTP_BROKEN: what the server did wrong, or that the file is larger
// than limits.max_bytes). A read that ends early tells the server with an
// ERROR packet. interrupted is asked whenever a signal interrupts a wait and
// between packets; non-zero ends the read at once.
QbTftpVerdict tftp_read_image(const char* url, const char* image, const tftp_read_limits& limits,
                              tftp_image_facts* facts, char* reason, size_t reason_len,
                              int (*interrupted)() = nullptr);

#endif
