// What the package carries beside the program: the manual's list of exit
// statuses and the changelog's version, both kept equal to the source's.
#include "defines.h"

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> lines_of(const char* path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// Every code in order, each a .TP entry with `.BI "N " NAME` as its tag and
// the meaning as the first line of its text.
TEST(Manual, ExitStatusListsEveryResultCodeWithItsNameAndMeaning) {
  const std::vector<std::string> lines = lines_of(MORVIK_MANUAL);
  size_t i = 0;
  while (i < lines.size() && lines[i] != ".SH EXIT STATUS")
    ++i;
  ASSERT_LT(i, lines.size()) << "no EXIT STATUS section in " << MORVIK_MANUAL;
  int code = 0;
  for (++i; i < lines.size() && lines[i].compare(0, 4, ".SH ") != 0; ++i) {
    if (lines[i] != ".TP")
      continue;
    ASSERT_LT(code, MORVIK_CODE_COUNT) << "an entry beyond the last code: " << lines[i + 1];
    ASSERT_LT(i + 2, lines.size());
    EXPECT_EQ(lines[i + 1], ".BI \"" + std::to_string(code) + " \" " + qb_code_name(code));
    EXPECT_EQ(lines[i + 2], qb_code_meaning(code));
    ++code;
  }
  EXPECT_EQ(code, MORVIK_CODE_COUNT);
}

// A package build adds an entry of its release's (1.1.0.33+deb12) on top.
TEST(Changelog, LatestEntryCarriesTheProjectVersion) {
  const std::vector<std::string> lines = lines_of(MORVIK_CHANGELOG);
  ASSERT_FALSE(lines.empty()) << MORVIK_CHANGELOG;
  const std::string entry = "morvik (" MORVIK_VERSION;
  EXPECT_EQ(lines[0].substr(0, entry.size()), entry);
  const char next = lines[0].size() > entry.size() ? lines[0][entry.size()] : '\0';
  EXPECT_TRUE(next == ')' || next == '+') << lines[0];
}

}  // namespace
