// The run's account for a framework (-report): what was asked, every remote
// step and probe with its outcome, and the module as the run found and left it.
#ifndef MORVIK_REPORT_H
#define MORVIK_REPORT_H

#include <cstddef>

#include "defines.h"

const int REPORT_MAX_STEPS = 128;
const int REPORT_STEP_NAME = 32;
const int REPORT_IMAGE_NAME = 100;

// One remote step or probe. The names form a fixed vocabulary, listed in
// docs/report.md.
struct report_step {
  char step[REPORT_STEP_NAME];
  QbBootMode mode;  // QB_MODE_UNKNOWN: no mode of its own
  double started;   // seconds since the epoch
  double duration_s;
  int exit_code;
};

// What the run learned of the module at one time; empty texts and
// QB_MODE_UNKNOWN mean "not learned".
struct module_view {
  QbBootMode boot_mode;
  char running_image[REPORT_IMAGE_NAME];
  char startup_images[QB_MODE_ALL][REPORT_IMAGE_NAME];  // by boot mode
};

// How the update left one boot mode.
enum QbModeOutcome {
  QB_OUTCOME_FLASHED = 0,    // the whole procedure, ending with the module running the image
  QB_OUTCOME_CURRENT = 1,    // the module already ran the image: nothing sent
  QB_OUTCOME_RESTARTED = 2,  // the image was the startup image already: restarted and verified
  QB_OUTCOME_STAGED = 3      // -stage: the image is the startup image, not yet running
};

struct mode_entry {
  QbBootMode mode;
  QbModeOutcome outcome;
};

// An image checked on the TFTP server before the module changed: its size
// where the server told it, its SHA-256 where it was read whole.
struct report_image {
  QbBootMode mode;  // the mode it is for
  char name[REPORT_IMAGE_NAME];
  int size_known;
  unsigned long long size;
  int has_sha256;
  unsigned char sha256[32];
};

struct run_record {
  double started;
  double finished;
  int exit_code;
  int changed;             // an image was deleted or downloaded, or a startup image switched
  QbBootMode next_mode;    // the boot mode last set for the next start, if any
  int signal;              // the signal that interrupted the run, 0 if none
  char failed_step[REPORT_STEP_NAME];
  int mode_count;
  mode_entry modes[QB_MODE_ALL];  // each mode handled to its end, in order
  int step_count;
  report_step steps[REPORT_MAX_STEPS];
  module_view before;
  module_view after;
  int image_count;
  report_image images[QB_MODE_ALL];  // each image checked, in order
};

// Clears r and notes the run's start.
void record_init(run_record* r);

// Notes the start of a step; returns its index, -1 when r is null or full.
int record_begin(run_record* r, const char* step, QbBootMode mode);

// Notes the end of step index with its code, and the step as the failed one
// when the code is not MORVIK_SUCCESS. Returns code.
QBCodes record_end(run_record* r, int index, QBCodes code);

// Notes a failure outside the remote steps (the lock, the client's place).
void record_failure(run_record* r, const char* step);

// What whichboot said: the module runs mode from image.
void record_running(run_record* r, QbBootMode mode, const char* image);

// What a listing said, or a successful change made: image is mode's startup
// image now.
void record_startup(run_record* r, QbBootMode mode, const char* image);

// Notes that mode was handled with outcome; a mode handled again replaces its entry.
void record_mode(run_record* r, QbBootMode mode, QbModeOutcome outcome);

// Notes image, checked for mode: size if size_known, sha256 (32 bytes) if
// not null. An image noted again replaces its entry.
void record_image(run_record* r, QbBootMode mode, const char* image, int size_known,
                  unsigned long long size, const unsigned char* sha256);

// The entry of image, or null if it was not checked.
const report_image* record_find_image(const run_record* r, const char* image);

// Notes the signal sig as the end of the run, during step.
void record_interrupt(run_record* r, int sig, const char* step);

// Whether the run left the module different from how it found it: an image
// deleted or downloaded, a startup image switched, a restart onto another
// image, or another boot mode running or set for the next start.
bool record_changed(const run_record& r);

// Notes the end of the run with its exit status.
void record_finish(run_record* r, int exit_code);

// What the run was asked to do, as its report repeats it. The texts are the
// caller's and must outlive the call; null or empty: not given.
struct report_request {
  const char* host;
  const char* mode;  // "account_check", "update" or "update both"
  int simulator;
  int dry_run;
  QbPace pace;
  const char* tftp;
  const char* img_sw;
  const char* img_tzr;
};

// Encodes the report of a finished run of request as one JSON object (a line
// end after it) into out. Returns false if it did not fit into size bytes.
bool report_json(const run_record& r, const report_request& request, char* out, size_t size);

// The report's file: written to a temporary file beside its path, which
// replaces the path only once it is complete.
struct report_file {
  char path[4096];
  char temp[4096];
  int fd;
};

// Makes the temporary file for path, proving that the report can be written.
// Returns 0, or the errno of the failure (EISDIR for a directory).
int report_open(report_file* f, const char* path);

// Writes text into the temporary file and renames it over the path; the
// temporary file is gone afterwards either way. Returns 0 or an errno.
int report_commit(report_file* f, const char* text);

// Removes the temporary file without touching the path, which keeps what it
// held before the run.
void report_abandon(report_file* f);

// Encodes the report of r and request into text (size bytes) and commits it;
// says on the error output what failed. A report that does not fit is not
// written: the path keeps its old report. Returns 0, EOVERFLOW for a report
// that did not fit, or report_commit's errno.
int report_write(report_file* f, const run_record& r, const report_request& request, char* text,
                 size_t size);

#endif
