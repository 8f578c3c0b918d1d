// The answers must have the shapes the tool's line parsers take apart: the
// column titles, the runs of dashes, the words at the places the scans read
// them, CR LF line ends, and nothing that looks like a prompt or a logout.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "answers.h"
#include "gtest/gtest.h"

namespace {

// Splits at CR LF; every line must end so, the last one included.
std::vector<std::string> crlf_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t p = 0;
  while (p < text.size()) {
    size_t e = text.find("\r\n", p);
    EXPECT_NE(e, std::string::npos) << "line without CR LF at the end of: " << text;
    if (e == std::string::npos)
      break;
    lines.push_back(text.substr(p, e - p));
    p = e + 2;
  }
  return lines;
}

// What no answer line may hold, since the session engine acts on it.
void expect_plain_lines(const std::string& text) {
  for (const std::string& l : crlf_lines(text)) {
    EXPECT_LT(l.size(), 99u) << l;
    EXPECT_EQ(l.find_first_of("#$\r\n"), std::string::npos) << l;
    for (const char* w : {"exit", "logout", "connection abort", "password:", "y/n"})
      EXPECT_EQ(l.find(w), std::string::npos) << l;
  }
}

bool has(const std::string& l, const char* w) { return l.find(w) != std::string::npos; }

// Joins the blank inside a file-kind keyword, as the parsers do before scanning.
std::string join_keyword(std::string l) {
  for (const char* k : {"Boot-Rom image", "Config File", "Operation Code"}) {
    size_t p = l.find(k);
    if (p != std::string::npos)
      l[p + strcspn(k, " ")] = '-';
  }
  return l;
}

TEST(Answers, DirListingHasHeaderDashesRowsAndTotal) {
  qbsim_state st = qbsim_state_default(false);
  std::string a = answer_dir(st, DIR_ALL, "", false);
  expect_plain_lines(a);
  std::vector<std::string> l = crlf_lines(a);
  ASSERT_EQ(l.size(), 8u);
  for (const char* t : {"date", "file name", "file type", "startup", "size"})
    EXPECT_TRUE(has(l[0], t)) << t;
  EXPECT_TRUE(has(l[1], "------------------"));
  EXPECT_TRUE(has(l[6], "------------------"));
  EXPECT_TRUE(has(l[7], "Total:") && has(l[7], "file"));
  const char* kinds[] = {"Boot-Rom-image", "Config-File", "Operation-Code", "Operation-Code"};
  for (int i = 0; i < 4; i++) {
    char date[51], name[51], kind[101], flag = 0;
    int size = 0;
    std::string row = join_keyword(l[2 + i]);
    ASSERT_EQ(sscanf(row.c_str(), "%50s %50s %50s %c %d", date, name, kind, &flag, &size), 5)
        << row;
    EXPECT_STREQ(kind, kinds[i]);
    EXPECT_TRUE(flag == 'Y' || flag == 'N');
    EXPECT_GT(size, 0);
  }
  char date[51], name[51], kind[101], flag = 0;
  int size = 0;
  sscanf(join_keyword(l[4]).c_str(), "%50s %50s %50s %c %d", date, name, kind, &flag, &size);
  EXPECT_STREQ(date, "2009-03-02");
  EXPECT_STREQ(name, "img_a.bin");
  EXPECT_EQ(flag, 'Y');
  EXPECT_EQ(size, 5242880);
}

TEST(Answers, DirOpcodeListsOnlyTheRunningModesImages) {
  qbsim_state st = qbsim_state_default(false);
  st.mode = "TZR";
  std::vector<std::string> l = crlf_lines(answer_dir(st, DIR_OPCODE, "", false));
  ASSERT_EQ(l.size(), 5u);
  EXPECT_TRUE(has(l[2], "tzr_a.bin"));
}

TEST(Answers, DirOfOneFileListsItOrNothing) {
  qbsim_state st = qbsim_state_default(false);
  std::vector<std::string> one = crlf_lines(answer_dir(st, DIR_FILE, "img_b.bin", false));
  ASSERT_EQ(one.size(), 5u);
  EXPECT_TRUE(has(one[2], "img_b.bin") && has(one[2], " N "));
  std::vector<std::string> none = crlf_lines(answer_dir(st, DIR_FILE, "gone.bin", false));
  ASSERT_EQ(none.size(), 4u);
  EXPECT_TRUE(has(none[1], "------------------") && has(none[2], "------------------"));
  EXPECT_TRUE(has(none[3], "Total: 0 files"));
}

TEST(Answers, DirCanHideTheStartupImage) {
  qbsim_state st = qbsim_state_default(false);
  std::string a = answer_dir(st, DIR_OPCODE, "", true);
  EXPECT_FALSE(has(a, "img_a.bin"));
  EXPECT_TRUE(has(a, "img_b.bin"));
}

TEST(Answers, WhichbootNamesModesAndFilesWhereTheScansReadThem) {
  qbsim_state st = qbsim_state_default(false);
  st.next_mode = "EHM";
  std::string a = answer_whichboot(st, "img_a.bin", 'Y');
  expect_plain_lines(a);
  std::vector<std::string> l = crlf_lines(a);
  char w1[101], w2[101], w3[101], w4[101];
  ASSERT_TRUE(has(l[0], "Boot-System"));
  ASSERT_EQ(sscanf(l[0].c_str(), "%50s %50s", w1, w2), 2);
  EXPECT_STREQ(w2, "Switch");
  ASSERT_TRUE(has(l[1], "Next Booting Mode"));
  ASSERT_EQ(sscanf(l[1].c_str(), "%50s %50s %50s %50s", w1, w2, w3, w4), 4);
  EXPECT_STREQ(w4, "EHM");
  size_t h = 2;
  while (h < l.size() && l[h].empty())
    h++;
  ASSERT_LT(h + 4, l.size());
  for (const char* t : {"file name", "file type", "startup", "size"})
    EXPECT_TRUE(has(l[h], t)) << t;
  EXPECT_TRUE(has(l[h + 1], "--------------"));
  char name[51], kind[51], flag = 0;
  int size = 0;
  std::string row = join_keyword(l[h + 4]);
  ASSERT_EQ(sscanf(row.c_str(), "%50s %50s %c %d", name, kind, &flag, &size), 4) << row;
  EXPECT_STREQ(name, "img_a.bin");
  EXPECT_STREQ(kind, "Operation-Code");
  EXPECT_EQ(flag, 'Y');
  EXPECT_EQ(size, 5242880);
}

TEST(Answers, WhichbootWithoutRunningImageHasNoOpcodeRow) {
  qbsim_state st = qbsim_state_default(false);
  EXPECT_FALSE(has(answer_whichboot(st, "", 'Y'), "Operation Code"));
}

TEST(Answers, LoginSessionTableHasTitlesDashesAndASixWordRow) {
  qbsim_login login;
  login.id = 4;
  login.seconds = 3725;
  std::string a = answer_loginsession(login);
  expect_plain_lines(a);
  std::vector<std::string> l = crlf_lines(a);
  ASSERT_EQ(l.size(), 3u);
  for (const char* t :
       {"ID", "User Name", "Connection From", "Idle Time", "Session Time", "Session Type"})
    EXPECT_TRUE(has(l[0], t)) << t;
  EXPECT_TRUE(has(l[1], "-----------"));
  int id = 0;
  char user[16], from[22], idle[12], sess[13], type[13];
  ASSERT_EQ(sscanf(l[2].c_str(), "%d %15s %21s %11s %12s %12s", &id, user, from, idle, sess, type),
            6);
  EXPECT_EQ(id, 4);
  EXPECT_STREQ(user, "admin");
  EXPECT_STREQ(sess, "01:02:05");
}

TEST(Answers, VersionLinesGiveTheirValueAfterTheColon) {
  qbsim_state st = qbsim_state_default(false);
  std::string a = answer_version(st);
  expect_plain_lines(a);
  std::vector<std::string> l = crlf_lines(a);
  ASSERT_FALSE(l.empty());
  // The first line must be a known key: the tool refuses unknown lines until
  // it has read the machine model or the opcode version.
  EXPECT_TRUE(has(l[0], "System Description"));
  bool serial = false, opcode = false;
  for (const std::string& line : l) {
    char k[101], v[51];
    if (has(line, "Serial Number")) {
      ASSERT_EQ(sscanf(line.c_str(), "%50s %50s :%50s", k, k, v), 3) << line;
      EXPECT_STREQ(v, "QB0012345");
      serial = true;
    }
    if (has(line, "Operation Code Version")) {
      ASSERT_EQ(sscanf(line.c_str(), "%50s %50s %50s :%50s", k, k, k, v), 4) << line;
      EXPECT_STREQ(v, "3.1.4");
      opcode = true;
    }
  }
  EXPECT_TRUE(serial && opcode);
}

TEST(Answers, PromptHasAHashAndNoOtherMark) {
  qbsim_state st = qbsim_state_default(false);
  EXPECT_EQ(cli_prompt(st), "qb-switch# ");
}

}  // namespace
