// The checksum file's lines, taken apart as sha256sum -c takes them.
#include "qb_sums.h"

#include <cstdio>
#include <cstring>

namespace {

const size_t HEX_DIGITS = 2 * static_cast<size_t>(SHA256_SIZE);

int hex_value(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

bool is_blank_line(const char* line, size_t len) {
  for (size_t i = 0; i < len; ++i)
    if (line[i] != ' ' && line[i] != '\t')
      return false;
  return true;
}

// One line (without its LF) into *entry; returns null or what is wrong.
const char* parse_line(const char* line, size_t len, sha256_entry* entry) {
  if (len > 0 && line[len - 1] == '\r')
    --len;  // written on another system
  if (len < HEX_DIGITS + 3)
    return "not 64 hex digits, two blanks (or a blank and '*') and a name";
  for (size_t i = 0; i < static_cast<size_t>(SHA256_SIZE); ++i) {
    int high = hex_value(line[2 * i]);
    int low = hex_value(line[2 * i + 1]);
    if (high < 0 || low < 0)
      return "its digest is not 64 hex digits";
    entry->digest[i] = static_cast<unsigned char>(high << 4 | low);
  }
  const char* rest = line + HEX_DIGITS;
  if (rest[0] != ' ' || (rest[1] != ' ' && rest[1] != '*'))
    return "its digest is not followed by two blanks or a blank and '*'";
  const size_t name_len = len - HEX_DIGITS - 2;
  if (memchr(rest + 2, '\0', name_len) != nullptr)
    return "its name holds a NUL byte";
  if (name_len >= sizeof(entry->name))
    return "its name is longer than 255 bytes";
  memcpy(entry->name, rest + 2, name_len);
  entry->name[name_len] = '\0';
  return nullptr;
}

}  // namespace

int parse_sha256sums(const char* text, size_t len, std::vector<sha256_entry>* entries,
                     const char** why) {
  int number = 0;
  for (size_t at = 0; at < len;) {
    const char* line = text + at;
    const char* end = static_cast<const char*>(memchr(line, '\n', len - at));
    const size_t line_len = end != nullptr ? static_cast<size_t>(end - line) : len - at;
    at += line_len + 1;
    ++number;
    if (is_blank_line(line, line_len) || (line_len == 1 && line[0] == '\r') || line[0] == '#')
      continue;
    sha256_entry entry;
    *why = parse_line(line, line_len, &entry);
    const sha256_entry* same = *why == nullptr ? find_sha256(*entries, entry.name) : nullptr;
    if (same != nullptr && memcmp(same->digest, entry.digest, SHA256_SIZE) != 0)
      *why = "it lists its name again with another digest";
    if (*why != nullptr)
      return number;
    if (same == nullptr)
      entries->push_back(entry);
  }
  *why = nullptr;
  return 0;
}

const sha256_entry* find_sha256(const std::vector<sha256_entry>& entries, const char* name) {
  for (const sha256_entry& entry : entries)
    if (strcmp(entry.name, name) == 0)
      return &entry;
  return nullptr;
}

void sha256_hex(const unsigned char digest[SHA256_SIZE], char hex[SHA256_HEX_SIZE]) {
  for (size_t i = 0; i < static_cast<size_t>(SHA256_SIZE); ++i)
    snprintf(hex + 2 * i, 3, "%02x", digest[i]);
}
