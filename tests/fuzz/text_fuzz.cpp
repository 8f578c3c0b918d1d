// The two routines that clean the client's output: removing lone CRs within a
// buffer of a given size, and removing trailing line ends; and the parser of
// the checksum file. Each result is compared with a plain model of what the
// routine promises.
//
// Input: the routine (one byte), for the first the buffer size (one byte),
// then the text.
#include <cstdint>
#include <string>
#include <vector>

#include "misc.h"
#include "qb_sums.h"
#include "fuzz_support.h"

using namespace std::string_literals;

namespace {

const std::vector<std::string> seeds = {
    "00X\rY\r\nZ"s,
    "00show loginsession\r\r\nID  User Name\r\r\n---\r\r\nquorbel# "s,
    "05\r\r\r\n\r"s,
    "07abc\rdef"s,
    "1A\r\nB\r\n\r\n"s,
    "1\n\r\n\r"s,
    "1no line end"s,
    "2# sums\n"s + std::string(64, 'a') + "  sw.bin\r\n"s + std::string(64, 'B') + " *t z.bin"s,
};

// Sizes of the buffer that holds the text: the engine's, tiny ones, and the
// text's own size with and without room for its terminator.
size_t buffer_size(unsigned pick, size_t text_len) {
  switch (pick) {
    case 0: return fuzz::CHUNK_BUF;
    case 1: return 1;
    case 2: return 2;
    case 3: return 3;
    case 4: return 64;
    case 5: return text_len + 1;
    case 6: return text_len > 0 ? text_len : 1;
    default: return text_len + 2;
  }
}

void single_cr(fuzz::Input& in) {
  unsigned size_pick = in.pick(8);
  std::string text = in.text(SIZE_MAX);
  size_t len = buffer_size(size_pick, text.size());
  if (text.size() > len - 1)
    text.resize(len - 1);
  std::string expected;
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] != '\r' || (i + 1 < text.size() && text[i + 1] == '\n'))
      expected += text[i];

  std::unique_ptr<char[]> buf(new char[len]);
  memcpy(buf.get(), text.c_str(), text.size() + 1);
  str_remove_single_cr(buf.get(), static_cast<int>(len));
  FUZZ_CHECK(strnlen(buf.get(), len) < len);
  FUZZ_CHECK(expected == buf.get());
}

void remove_ending(fuzz::Input& in) {
  std::string text = in.text(SIZE_MAX);
  std::string expected = text;
  while (!expected.empty() && (expected.back() == '\r' || expected.back() == '\n'))
    expected.pop_back();
  std::unique_ptr<char[]> buf = fuzz::exact_copy(text);
  str_remove_ending(buf.get());
  FUZZ_CHECK(expected == buf.get());
}

// A file that parses names lines of its own; written back as sha256sum
// would (with CR LF, as a name may end in a CR of its own), its entries
// parse again to the same.
void checksums(fuzz::Input& in) {
  std::string text = in.text(SIZE_MAX);
  std::vector<sha256_entry> entries, again;
  const char* why = nullptr;
  const int bad = parse_sha256sums(text.data(), text.size(), &entries, &why);
  FUZZ_CHECK((bad == 0) == (why == nullptr));
  if (bad != 0)
    return;
  std::string written;
  for (const sha256_entry& e : entries) {
    char hex[SHA256_HEX_SIZE];
    sha256_hex(e.digest, hex);
    FUZZ_CHECK(strchr(e.name, '\n') == nullptr && e.name[0] != '\0');
    written += std::string(hex) + "  " + e.name + "\r\n";
  }
  FUZZ_CHECK(parse_sha256sums(written.data(), written.size(), &again, &why) == 0);
  FUZZ_CHECK(again.size() == entries.size());
  for (size_t i = 0; i < again.size() && i < entries.size(); ++i)
    FUZZ_CHECK(memcmp(again[i].digest, entries[i].digest, SHA256_SIZE) == 0 &&
               strcmp(again[i].name, entries[i].name) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::write_seeds_if_asked(seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const unsigned routine = in.pick(3);
  if (routine == 0)
    single_cr(in);
  else if (routine == 1)
    remove_ending(in);
  else
    checksums(in);
  return 0;
}
