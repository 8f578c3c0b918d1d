// The run record's verdicts: whether a run changed the module, and what an
// interrupted run says in its report.
#include <signal.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "main.h"
#include "report.h"

namespace {

void set_view(module_view* v, QbBootMode mode, const char* running) {
  v->boot_mode = mode;
  snprintf(v->running_image, sizeof(v->running_image), "%s", running);
}

// Each row is the module as a run found it and left it.
TEST(RunRecord, ChangedMeansTheModuleWasLeftDifferent) {
  const struct {
    const char* name;
    QbBootMode before_mode, after_mode, next_mode;
    const char* before_image;
    const char* after_image;
    int content_changed;
    bool changed;
  } rows[] = {
      {"nothing learned", QB_MODE_UNKNOWN, QB_MODE_UNKNOWN, QB_MODE_UNKNOWN, "", "", 0, false},
      {"only read", QB_MODE_SWITCH, QB_MODE_SWITCH, QB_MODE_UNKNOWN, "a", "a", 0, false},
      {"image deleted or downloaded", QB_MODE_SWITCH, QB_MODE_SWITCH, QB_MODE_UNKNOWN, "a", "a", 1,
       true},
      {"restarted onto another image", QB_MODE_SWITCH, QB_MODE_SWITCH, QB_MODE_UNKNOWN, "a", "c", 0,
       true},
      {"left running another mode", QB_MODE_SWITCH, QB_MODE_TZR, QB_MODE_TZR, "a", "t", 0, true},
      {"set to start in another mode", QB_MODE_SWITCH, QB_MODE_SWITCH, QB_MODE_TZR, "a", "a", 0,
       true},
      {"both current and back", QB_MODE_SWITCH, QB_MODE_SWITCH, QB_MODE_SWITCH, "a", "a", 0, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    run_record r;
    record_init(&r);
    set_view(&r.before, row.before_mode, row.before_image);
    set_view(&r.after, row.after_mode, row.after_image);
    r.next_mode = row.next_mode;
    r.changed = row.content_changed;
    EXPECT_EQ(record_changed(r), row.changed);
  }
}

TEST(ReportJson, InterruptedRunNamesItsSignalAndStep) {
  qb_opt opt;
  run_record r;
  record_init(&r);
  record_begin(&r, "download", QB_MODE_SWITCH);
  record_interrupt(&r, SIGTERM, "download");
  record_mode(&r, QB_MODE_TZR, QB_OUTCOME_CURRENT);
  record_finish(&r, 128 + SIGTERM);
  char out[8192];
  ASSERT_TRUE(report_json(r, report_request_of(opt, 0), out, sizeof(out)));
  const std::string json = out;
  for (const char* part :
       {"\"exit_code\": 143, \"exit_name\": \"SIGTERM\"", "\"signal\": \"SIGTERM\"",
        "\"failed_step\": \"download\"", "\"modes\": [{\"mode\": \"TZR\", \"outcome\": \"current\"}]"})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
}

}  // namespace
