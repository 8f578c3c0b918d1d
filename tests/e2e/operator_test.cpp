// What operators and frameworks rely on, run as they run it: the password's
// sources kept off /proc, the JSON report validated against its schema, one
// run per module, and the dry run that only reads.
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "watch_support.h"

#ifndef REPORT_SCHEMA
#define REPORT_SCHEMA ""
#endif
#ifndef CHECK_REPORT
#define CHECK_REPORT ""
#endif

namespace {

const char kPassword[] = "Zq7-pw-4417";

std::vector<std::string> check_args(const std::vector<std::string>& password_args) {
  std::vector<std::string> args = {"-host", "127.0.0.1", "-usr", "admin"};
  args.insert(args.end(), password_args.begin(), password_args.end());
  for (const char* a : {"-mode", "account_check", "-D", "debug"})
    args.push_back(a);
  return args;
}

bool use_password(const e2e_area& area) {
  return area.update([](qbsim_state& st) { st.users = {{"admin", kPassword}}; });
}

// The password reaches neither a command line nor an environment of the tool
// or its client, whatever its source, nor the output.
TEST(PasswordSource, StaysOffEveryCommandLineAndEnvironment) {
  const struct {
    const char* source;
    std::vector<std::string> args;
    std::string env;
  } rows[] = {
      {"option", {"-pwd", kPassword}, ""},
      {"file", {"-pwd_file", "PWFILE"}, ""},
      {"environment", {}, std::string("MORVIK_PASSWORD=") + kPassword},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.source);
    e2e_area area;
    ASSERT_TRUE(area.ok);
    ASSERT_TRUE(use_password(area));
    std::vector<std::string> args = check_args(row.args);
    for (std::string& a : args)
      if (a == "PWFILE")
        a = area.root + "/pw";
    FILE* f = fopen((area.root + "/pw").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "%s\n", kPassword);
    fclose(f);
    ASSERT_EQ(chmod((area.root + "/pw").c_str(), 0600), 0);
    // Settled sessions keep the client alive long enough to be looked at.
    args.push_back("-pace");
    args.push_back("settle");
    std::vector<std::string> argv = watched(area, args, kPassword);
    if (!row.env.empty())
      argv.insert(argv.begin() + 5, {"--env", row.env});
    e2e_result r = run_in_testbed(area, argv);
    watch_report rep = read_report(area);
    const std::string t = transcript(area, r);
    ASSERT_EQ(r.status, 0) << t;
    EXPECT_GT(report_number(rep, "samples"), 50) << t;
    EXPECT_EQ(report_number(rep, "secret_in_cmdline"), 0) << rep["secret_where"] << "\n" << t;
    EXPECT_EQ(report_number(rep, "secret_in_environ"), 0) << rep["secret_where"] << "\n" << t;
    EXPECT_EQ(r.raw_output.find(kPassword), std::string::npos) << t;
  }
}

// ---------------------------------------------------------------------------

std::map<std::string, std::string> checked_report(const std::string& path, std::string* text) {
  std::map<std::string, std::string> fields;
  std::string cmd = std::string("/usr/bin/python3 ") + CHECK_REPORT + " " + REPORT_SCHEMA + " " +
                    path + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr)
    return fields;
  char line[4096];
  while (fgets(line, sizeof(line), p) != nullptr) {
    *text += line;
    std::string l = line;
    size_t eq = l.find('=');
    if (eq != std::string::npos)
      fields[l.substr(0, eq)] = l.substr(eq + 1, l.size() - eq - 2);
  }
  pclose(p);
  return fields;
}

struct ReportCase {
  const char* name;
  std::vector<std::string> args;
  const char* fault;  // kind command, "" none
  int status;
  const char* failed_step;
  const char* changed;
  const char* after;
  const char* images = "";
};

std::vector<std::string> plus(std::vector<std::string> args, const char* more) {
  args.push_back(more);
  return args;
}

const std::vector<std::string> kUpdateOne = update_args(false);
const std::vector<std::string> kUpdateBoth = update_args(true);

const ReportCase kReportCases[] = {
    {"Success", check_args({"-pwd", "secret"}), "", 0, "None", "false",
     "Switch:None TZR:None EHM:None"},
    {"LoginRefused", check_args({"-pwd", "wrong"}), "", 6, "account_check", "false",
     "Switch:None TZR:None EHM:None"},
    // The second image is gone: the module is not as the run found it.
    {"FailedDownload", kUpdateOne, "copy-fail copy", 11, "download", "true",
     "Switch:img_a.bin TZR:None EHM:None"},
    {"UpdateOfBothModes", kUpdateBoth, "", 0, "None", "true",
     "Switch:img_c.bin TZR:tzr_c.bin EHM:None"},
    {"DryRun", plus(kUpdateOne, "-dry_run"), "", 0, "None", "false",
     "Switch:img_a.bin TZR:None EHM:None"},
    // Each image checked on the TFTP server is listed with its size.
    {"StoredSizeDiffers", plus(kUpdateBoth, "-check_tftp"), "copy-short copy", 12,
     "confirm_download", "true", "Switch:img_a.bin TZR:None EHM:None",
     "Switch:img_c.bin:1048576 TZR:tzr_c.bin:786432"},
};

class Report : public ::testing::TestWithParam<ReportCase> {};

// Real reports of the stand-in, validated against the schema.
TEST_P(Report, IsValidAndSaysWhatHappened) {
  const ReportCase& c = GetParam();
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(add_update_images(area));
  if (c.fault[0] != '\0') {
    std::istringstream words(c.fault);
    std::string kind, command;
    words >> kind >> command;
    ASSERT_TRUE(area.add_fault(kind, command, 1));
  }
  const std::string path = area.work_dir + "/reports/run.json";
  ASSERT_EQ(mkdir((area.work_dir + "/reports").c_str(), 0755), 0);
  std::vector<std::string> args = c.args;
  args.push_back("-report");
  args.push_back(path);
  e2e_result r = run_tool(area, args);
  std::string text;
  std::map<std::string, std::string> f = checked_report(path, &text);
  const std::string t = transcript(area, r) + "\n==== report check:\n" + text;
  EXPECT_EQ(r.status, c.status) << t;
  EXPECT_EQ(f["valid"], "1") << t;
  EXPECT_EQ(f["exit_code"], std::to_string(c.status)) << t;
  EXPECT_EQ(f["failed_step"], c.failed_step) << t;
  EXPECT_EQ(f["changed"], c.changed) << t;
  EXPECT_EQ(f["after"], c.after) << t;
  EXPECT_EQ(f["images"], c.images) << t;
  std::string json;
  ASSERT_TRUE(qbsim_read_file(path, &json));
  EXPECT_EQ(json.find("secret"), std::string::npos) << "the password is never in a report";
}

INSTANTIATE_TEST_SUITE_P(Stand_in, Report, ::testing::ValuesIn(kReportCases),
                         [](const ::testing::TestParamInfo<ReportCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(Report, PathThatCannotBeWrittenIsRefusedBeforeAnythingElse) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  std::vector<std::string> args = check_args({"-pwd", "secret"});
  args.push_back("-report");
  args.push_back(area.root + "/no/such/dir/r.json");
  e2e_result r = run_tool(area, args);
  EXPECT_EQ(r.status, 1) << transcript(area, r);
  EXPECT_EQ(r.output, "Cannot write report '" + area.root +
                          "/no/such/dir/r.json': No such file or directory\n")
      << transcript(area, r);
  EXPECT_EQ(r.received, "");
}

// ---------------------------------------------------------------------------

// Two frameworks aimed at one module by mistake: the second ends at once with
// 13, the first flashes, and the module sees one update.
TEST(OneRunPerModule, SecondUpdateOfAModuleEndsAtOnceAsBusy) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(add_update_images(area));
  std::string tool = morvik_bin();
  for (const std::string& a : with_test_pace(update_args(false, "verbose")))
    tool += " " + a;
  const std::string script =
      tool + " > first.out 2>&1 & first=$!; sleep 0.5; "
      "start=$(date +%s%N); " + tool + " > second.out 2>&1; second=$?; "
      "echo second=$second after_ms=$(( ($(date +%s%N) - start) / 1000000 )); "
      "wait $first; echo first=$?; cat second.out";
  e2e_result r = run_in_testbed(area, {"/bin/bash", "-c", script});
  const std::string t = transcript(area, r);
  EXPECT_NE(r.output.find("second=13 "), std::string::npos) << t;
  EXPECT_NE(r.output.find("first=0\n"), std::string::npos) << t;
  EXPECT_NE(r.output.find("Module '127.0.0.1' is busy with another run\n"), std::string::npos) << t;
  size_t at = r.output.find("after_ms=");
  ASSERT_NE(at, std::string::npos) << t;
  EXPECT_LT(std::stoi(r.output.substr(at + 9)), 1000) << t;
  EXPECT_EQ(r.received, received::WHICHBOOT + received::DIR + received::delete_file("img_b.bin") +
                            received::dir_file("img_b.bin") + received::copy("img_c.bin") +
                            received::DIR + received::boot_opcode("img_c.bin") + received::RELOAD +
                            received::WHICHBOOT)
      << t;
  EXPECT_EQ(area.state().running, "img_c.bin") << t;
}

// The simulator's runs take the same lock; each host has its own.
TEST(OneRunPerModule, SimulatorRunsLockTheirHostToo) {
  e2e_area area(true);
  ASSERT_TRUE(area.ok);
  std::string tool = morvik_bin() + " -usr admin -pwd secret -mode account_check -sim";
  const std::string script = tool + " -host 127.0.0.1 > first.out 2>&1 & first=$!; sleep 1; " +
                             tool + " -host 127.0.0.1 > /dev/null 2>&1; echo same=$?; " +
                             tool + " -host 127.0.0.2 > /dev/null 2>&1; echo other=$?; "
                             "wait $first; echo first=$?";
  e2e_result r = run_in_testbed(area, {"/bin/bash", "-c", script});
  const std::string t = transcript(area, r);
  EXPECT_NE(r.output.find("same=13\n"), std::string::npos) << t;
  EXPECT_NE(r.output.find("other=3\n"), std::string::npos) << "only 127.0.0.1 listens\n" << t;
  EXPECT_NE(r.output.find("first=0\n"), std::string::npos) << t;
}

// ---------------------------------------------------------------------------

class DryRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(area_.ok);
    ASSERT_TRUE(add_update_images(area_));
  }
  e2e_result run(bool both) {
    std::vector<std::string> args = update_args(both);
    args.push_back("-dry_run");
    return run_tool(area_, args);
  }
  e2e_area area_;
};

TEST_F(DryRun, SaysWhatTheUpdateWouldDoAndOnlyReads) {
  ASSERT_TRUE(area_.update([](qbsim_state& st) { st.unsaved = true; }));
  e2e_result r = run(true);
  const std::string t = transcript(area_, r);
  EXPECT_EQ(r.status, 0) << t;
  EXPECT_TRUE(in_order(r.output,
                       {"Dry run: the module runs mode 'Switch' from 'img_a.bin'\n",
                        "Dry run: would delete the second opcode image 'img_b.bin'\n",
                        "Dry run: would download 'img_c.bin' from '127.0.0.1/images'\n",
                        "Dry run: would make 'img_c.bin' the startup opcode image of mode "
                        "'Switch'\n",
                        "Dry run: would reload the system\n",
                        "Dry run: would change the boot mode to 'TZR'\n",
                        "Dry run: would flash mode 'TZR' with 'tzr_c.bin' from '127.0.0.1/images'",
                        "Dry run: would change the boot mode to 'Switch'\n",
                        "Dry run: the update could proceed\n"}))
      << t;
  // Reading commands only; the save question at logout is declined.
  EXPECT_EQ(r.received, "whichboot\r\nquit\nn\ndir opcode\r\nquit\nn\n") << t;
  qbsim_state st = area_.state();
  EXPECT_EQ(st.mode + " " + st.next_mode + " " + st.running, "Switch Switch img_a.bin") << t;
  EXPECT_TRUE(st.unsaved) << t;
  EXPECT_EQ(images_of(st, "Switch"), "img_a.bin:Y img_b.bin:N") << t;
  EXPECT_EQ(images_of(st, "TZR"), "tzr_a.bin:Y") << t;
}

TEST_F(DryRun, EndsWithTheCodeTheUpdateWouldEndWith) {
  ASSERT_TRUE(area_.add_fault("no-startup", "dir", 1));
  e2e_result r = run(false);
  EXPECT_EQ(r.status, 10) << transcript(area_, r);
  EXPECT_TRUE(in_order(r.output, {"Cannot get startup opcode image name\n",
                                  "Dry run: the update would stop there\n"}))
      << transcript(area_, r);
  EXPECT_EQ(r.received, received::WHICHBOOT + received::DIR) << transcript(area_, r);
}

}  // namespace
