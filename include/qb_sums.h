// The checksum file an image vendor publishes beside its images, in the
// format sha256sum writes: which SHA-256 each image must have.
#ifndef MORVIK_QB_SUMS_H
#define MORVIK_QB_SUMS_H

#include <cstddef>
#include <vector>

const int SHA256_SIZE = 32;
const int SHA256_HEX_SIZE = 2 * SHA256_SIZE + 1;  // with the terminator
const int SUMS_NAME_SIZE = 256;

// One line of a checksum file: the digest and the file's name.
struct sha256_entry {
  unsigned char digest[SHA256_SIZE];
  char name[SUMS_NAME_SIZE];
};

// Parses len bytes of text, one line per file: 64 hex digits, a blank, a
// blank or '*', the name (at most 255 bytes, the rest of the line without a
// CR before its LF). Empty lines, lines of blanks and lines that begin with
// '#' are skipped. Returns 0 with every entry appended to *entries in file
// order, or the number (from 1) of the first line that is none of these,
// with *why saying what is wrong with it (static text) and *entries as far
// as it got. A name listed again with another digest is such a line.
int parse_sha256sums(const char* text, size_t len, std::vector<sha256_entry>* entries,
                     const char** why);

// The entry for name, or null if entries lists none.
const sha256_entry* find_sha256(const std::vector<sha256_entry>& entries, const char* name);

// The digest as 64 lower-case hex digits into hex.
void sha256_hex(const unsigned char digest[SHA256_SIZE], char hex[SHA256_HEX_SIZE]);

#endif
