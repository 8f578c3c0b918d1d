// The checksum file as vendors publish it and sha256sum writes it.
#include <gtest/gtest.h>

#include <string>

#include "qb_sums.h"

namespace {

const std::string A(64, 'a');
const std::string B = std::string(63, '0') + "F";

TEST(Sha256Sums, TakesWhatSha256sumWritesAndNamesTheFirstBadLine) {
  const struct {
    const char* name;
    std::string text;
    int bad_line;         // 0: accepted
    std::string entries;  // accepted: "NAME=FIRST HEX DIGITS;..."; else the start of why
  } rows[] = {
      {"text and binary mode", A + "  sw.bin\n" + B + " *tzr.bin\n", 0, "sw.bin=aa;tzr.bin=00;"},
      {"comments, blank lines, CR LF, no last line end",
       "# vendor\n\n  \t\n" + A + "  sw.bin\r\n\r\n" + B + "  a name with blanks", 0,
       "sw.bin=aa;a name with blanks=00;"},
      {"the same line twice", A + "  sw.bin\n" + A + "  sw.bin\n", 0, "sw.bin=aa;"},
      {"empty file", "", 0, ""},
      {"one blank only", "\n" + A + " sw.bin\n", 2, "its digest is not followed"},
      {"a tab for the blanks", A + "\t\tsw.bin\n", 1, "its digest is not followed"},
      {"63 digits", A.substr(1) + "  sw.bin\n", 1, "its digest is not 64 hex digits"},
      {"not hex", std::string(63, 'a') + "g  sw.bin\n", 1, "its digest is not 64 hex digits"},
      {"no name", A + "  \n", 1, "not 64 hex digits, two blanks"},
      {"the tagged format", "SHA256 (sw.bin) = " + A + "\n", 1, "its digest is not 64 hex"},
      {"a name too long", A + "  " + std::string(256, 'n') + "\n", 1, "its name is longer"},
      {"a NUL in the name", A + "  sw" + std::string(1, '\0') + ".bin\n", 1, "its name holds"},
      {"a name again, another digest", A + "  sw.bin\n" + B + "  tzr.bin\n" + B + "  sw.bin\n", 3,
       "it lists its name again"},
  };
  for (const auto& row : rows) {
    std::vector<sha256_entry> entries;
    const char* why = "unset";
    EXPECT_EQ(parse_sha256sums(row.text.data(), row.text.size(), &entries, &why), row.bad_line)
        << row.name;
    if (row.bad_line != 0) {
      EXPECT_EQ(std::string(why).rfind(row.entries, 0), 0U) << row.name << ": " << why;
      continue;
    }
    EXPECT_EQ(why, nullptr) << row.name;
    std::string got;
    for (const sha256_entry& e : entries) {
      char hex[SHA256_HEX_SIZE];
      sha256_hex(e.digest, hex);
      got += std::string(e.name) + "=" + std::string(hex, 2) + ";";
      EXPECT_EQ(find_sha256(entries, e.name), &e) << row.name;
    }
    EXPECT_EQ(got, row.entries) << row.name;
  }
}

}  // namespace
