// The run's report: its record, built step by step by the tool modes, and the
// JSON object a framework reads, written atomically beside its path.
#include "report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "nxa-tools-trace.h"
#include "qb_signal.h"
#include "qb_sums.h"

namespace {

double wall_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void copy_name(char* field, size_t size, const char* text) {
  snprintf(field, size, "%s", text != nullptr ? text : "");
}

bool known_mode(QbBootMode mode) {
  return mode > QB_MODE_UNKNOWN && mode < QB_MODE_ALL;
}

// Appends to a bounded buffer; remembers when something did not fit.
struct json_out {
  char* text;
  size_t size;
  size_t len;
  bool full;
};

void put(json_out* o, const char* format, ...) __attribute__((format(printf, 2, 3)));

void put(json_out* o, const char* format, ...) {
  if (o->full)
    return;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(o->text + o->len, o->size - o->len, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= o->size - o->len) {
    o->full = true;
    o->text[o->len] = '\0';
    return;
  }
  o->len += static_cast<size_t>(n);
}

// Length of the UTF-8 sequence at s, 0 if it is not a valid one.
size_t utf8_length(const unsigned char* s) {
  size_t len = s[0] >= 0xf0 && s[0] <= 0xf4 ? 4 : s[0] >= 0xe0 ? 3 : s[0] >= 0xc2 ? 2 : 0;
  if (s[0] >= 0xf8)
    return 0;
  for (size_t i = 1; i < len; ++i)
    if ((s[i] & 0xc0) != 0x80)
      return 0;
  return len;
}

// A JSON string; null for a null or empty text. Bytes that are not UTF-8
// become U+FFFD, so that the object stays valid whatever a module named.
void put_string(json_out* o, const char* text) {
  if (text == nullptr || text[0] == '\0') {
    put(o, "null");
    return;
  }
  put(o, "\"");
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  while (*s != '\0') {
    if (*s == '"' || *s == '\\') {
      put(o, "\\%c", *s);
      ++s;
    } else if (*s < 0x20 || *s == 0x7f) {
      put(o, "\\u%04x", *s);
      ++s;
    } else if (*s < 0x80) {
      put(o, "%c", *s);
      ++s;
    } else {
      size_t len = utf8_length(s);
      if (len == 0) {
        put(o, "\\ufffd");
        ++s;
      } else {
        put(o, "%.*s", static_cast<int>(len), reinterpret_cast<const char*>(s));
        s += len;
      }
    }
  }
  put(o, "\"");
}

// UTC, ISO 8601 with milliseconds and Z.
void put_time(json_out* o, double seconds) {
  time_t whole = static_cast<time_t>(seconds);
  int millis = static_cast<int>((seconds - static_cast<double>(whole)) * 1000.0);
  struct tm utc;
  if (gmtime_r(&whole, &utc) == nullptr) {
    put(o, "null");
    return;
  }
  put(o, "\"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\"", utc.tm_year + 1900, utc.tm_mon + 1,
      utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
}

void put_mode(json_out* o, QbBootMode mode) {
  put_string(o, known_mode(mode) ? s_boot_mode[mode] : nullptr);
}

void put_view(json_out* o, const module_view& v) {
  put(o, "{\"boot_mode\": ");
  put_mode(o, v.boot_mode);
  put(o, ", \"running_image\": ");
  put_string(o, v.running_image);
  put(o, ", \"startup_images\": {");
  for (int mode = QB_MODE_SWITCH; mode < QB_MODE_ALL; ++mode) {
    put(o, "%s\"%s\": ", mode == QB_MODE_SWITCH ? "" : ", ", s_boot_mode[mode]);
    put_string(o, v.startup_images[mode]);
  }
  put(o, "}}");
}

// The images checked on the TFTP server, as the field "images".
void put_images(json_out* o, const run_record& r) {
  put(o, ", \"images\": [");
  for (int i = 0; i < r.image_count; ++i) {
    const report_image& image = r.images[i];
    put(o, "%s{\"mode\": ", i == 0 ? "" : ", ");
    put_mode(o, image.mode);
    put(o, ", \"name\": ");
    put_string(o, image.name);
    if (image.size_known)
      put(o, ", \"size\": %llu", image.size);
    else
      put(o, ", \"size\": null");
    put(o, ", \"sha256\": ");
    if (image.has_sha256) {
      char hex[SHA256_HEX_SIZE];
      sha256_hex(image.sha256, hex);
      put(o, "\"%s\"}", hex);
    } else {
      put(o, "null}");
    }
  }
  put(o, "]");
}

}  // namespace

void record_init(run_record* r) {
  *r = run_record();
  r->started = wall_seconds();
  r->before.boot_mode = r->after.boot_mode = r->next_mode = QB_MODE_UNKNOWN;
}

int record_begin(run_record* r, const char* step, QbBootMode mode) {
  if (r == nullptr || r->step_count >= REPORT_MAX_STEPS)
    return -1;
  report_step& s = r->steps[r->step_count];
  copy_name(s.step, sizeof(s.step), step);
  s.mode = mode;
  s.started = wall_seconds();
  s.duration_s = 0;
  s.exit_code = MORVIK_SUCCESS;
  return r->step_count++;
}

QBCodes record_end(run_record* r, int index, QBCodes code) {
  if (r == nullptr || index < 0 || index >= r->step_count)
    return code;
  report_step& s = r->steps[index];
  s.duration_s = wall_seconds() - s.started;
  s.exit_code = code;
  if (code != MORVIK_SUCCESS)
    copy_name(r->failed_step, sizeof(r->failed_step), s.step);
  return code;
}

void record_failure(run_record* r, const char* step) {
  if (r != nullptr)
    copy_name(r->failed_step, sizeof(r->failed_step), step);
}

void record_running(run_record* r, QbBootMode mode, const char* image) {
  if (r == nullptr)
    return;
  if (r->before.boot_mode == QB_MODE_UNKNOWN) {
    r->before.boot_mode = mode;
    copy_name(r->before.running_image, sizeof(r->before.running_image), image);
  }
  r->after.boot_mode = mode;
  copy_name(r->after.running_image, sizeof(r->after.running_image), image);
}

void record_startup(run_record* r, QbBootMode mode, const char* image) {
  if (r == nullptr || !known_mode(mode))
    return;
  if (r->before.startup_images[mode][0] == '\0')
    copy_name(r->before.startup_images[mode], REPORT_IMAGE_NAME, image);
  copy_name(r->after.startup_images[mode], REPORT_IMAGE_NAME, image);
}

void record_mode(run_record* r, QbBootMode mode, QbModeOutcome outcome) {
  if (r == nullptr || !known_mode(mode))
    return;
  int at = 0;
  while (at < r->mode_count && r->modes[at].mode != mode)
    ++at;
  if (at == r->mode_count) {
    if (r->mode_count >= QB_MODE_ALL)
      return;
    ++r->mode_count;
  }
  r->modes[at].mode = mode;
  r->modes[at].outcome = outcome;
}

void record_image(run_record* r, QbBootMode mode, const char* image, int size_known,
                  unsigned long long size, const unsigned char* sha256) {
  if (r == nullptr || image == nullptr)
    return;
  report_image* entry = nullptr;
  for (int i = 0; i < r->image_count && entry == nullptr; ++i)
    if (strcmp(r->images[i].name, image) == 0)
      entry = &r->images[i];
  if (entry == nullptr) {
    if (r->image_count >= QB_MODE_ALL)
      return;
    entry = &r->images[r->image_count++];
  }
  entry->mode = mode;
  copy_name(entry->name, sizeof(entry->name), image);
  entry->size_known = size_known;
  entry->size = size;
  entry->has_sha256 = sha256 != nullptr;
  if (sha256 != nullptr)
    memcpy(entry->sha256, sha256, sizeof(entry->sha256));
}

const report_image* record_find_image(const run_record* r, const char* image) {
  if (r == nullptr || image == nullptr)
    return nullptr;
  for (int i = 0; i < r->image_count; ++i)
    if (strcmp(r->images[i].name, image) == 0)
      return &r->images[i];
  return nullptr;
}

void record_interrupt(run_record* r, int sig, const char* step) {
  if (r == nullptr)
    return;
  r->signal = sig;
  copy_name(r->failed_step, sizeof(r->failed_step), step);
}

bool record_changed(const run_record& r) {
  if (r.changed)
    return true;
  if (!known_mode(r.before.boot_mode))
    return false;
  if (known_mode(r.next_mode) && r.next_mode != r.before.boot_mode)
    return true;
  if (known_mode(r.after.boot_mode) && r.after.boot_mode != r.before.boot_mode)
    return true;
  // A restart onto the image the module already ran changes nothing.
  return r.after.running_image[0] != '\0' &&
         strcmp(r.after.running_image, r.before.running_image) != 0;
}

void record_finish(run_record* r, int exit_code) {
  r->finished = wall_seconds();
  r->exit_code = exit_code;
}

bool report_json(const run_record& r, const report_request& request, char* out, size_t size) {
  json_out o = {out, size, 0, size == 0};
  if (size > 0)
    out[0] = '\0';
  put(&o, "{\"schema\": 1, \"tool\": \"morvik\", \"version\": \"%s\", \"host\": ", MORVIK_VERSION);
  put_string(&o, request.host);
  put(&o, ", \"mode\": \"%s\", \"simulator\": %s, \"dry_run\": %s, \"pace\": \"%s\"",
      request.mode != nullptr ? request.mode : "", request.simulator ? "true" : "false",
      request.dry_run ? "true" : "false", request.pace == QB_PACE_PROMPT ? "prompt" : "settle");
  put(&o, ", \"started\": ");
  put_time(&o, r.started);
  put(&o, ", \"finished\": ");
  put_time(&o, r.finished);
  put(&o, ", \"duration_s\": %.3f, \"exit_code\": %d, \"exit_name\": ", r.finished - r.started,
      r.exit_code);
  const char* signal_name = r.signal != 0 ? interrupt_name(r.signal) : nullptr;
  // An interrupted run has no result code of its own: its name is the signal's.
  put_string(&o, signal_name != nullptr ? signal_name : qb_code_name(r.exit_code));
  put(&o, ", \"message\": ");
  put_string(&o, signal_name != nullptr ? "interrupted by a signal" : qb_code_meaning(r.exit_code));
  put(&o, ", \"changed\": %s, \"signal\": ", record_changed(r) && !request.dry_run ? "true" : "false");
  put_string(&o, signal_name);
  put(&o, ", \"failed_step\": ");
  put_string(&o, r.exit_code != MORVIK_SUCCESS ? r.failed_step : nullptr);
  put(&o, ", \"modes\": [");
  static const char* const outcomes[] = {"flashed", "current", "restarted", "staged"};
  for (int i = 0; i < r.mode_count; ++i) {
    put(&o, "%s{\"mode\": ", i == 0 ? "" : ", ");
    put_mode(&o, r.modes[i].mode);
    put(&o, ", \"outcome\": \"%s\"}", outcomes[r.modes[i].outcome]);
  }
  put(&o, "]");
  put_images(&o, r);
  put(&o, ", \"steps\": [");
  for (int i = 0; i < r.step_count; ++i) {
    const report_step& s = r.steps[i];
    put(&o, "%s{\"step\": ", i == 0 ? "" : ", ");
    put_string(&o, s.step);
    put(&o, ", \"mode\": ");
    put_mode(&o, s.mode);
    put(&o, ", \"started\": ");
    put_time(&o, s.started);
    put(&o, ", \"duration_s\": %.3f, \"exit_code\": %d}", s.duration_s, s.exit_code);
  }
  put(&o, "], \"module\": {\"before\": ");
  put_view(&o, r.before);
  put(&o, ", \"after\": ");
  put_view(&o, r.after);
  put(&o, "}, \"request\": {\"tftp\": ");
  put_string(&o, request.tftp);
  put(&o, ", \"img_sw\": ");
  put_string(&o, request.img_sw);
  put(&o, ", \"img_tzr\": ");
  put_string(&o, request.img_tzr);
  put(&o, "}}\n");
  return !o.full;
}

int report_open(report_file* f, const char* path) {
  f->fd = -1;
  f->temp[0] = '\0';
  int len = snprintf(f->path, sizeof(f->path), "%s", path);
  if (len <= 0 || len >= static_cast<int>(sizeof(f->path)))
    return ENAMETOOLONG;
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode))
    return EISDIR;
  // Beside the path, so that the rename stays within one file system.
  const char* slash = strrchr(path, '/');
  const char* base = slash != nullptr ? slash + 1 : path;
  int dir_len = slash != nullptr ? static_cast<int>(slash - path) + 1 : 0;
  if (base[0] == '\0')
    return EISDIR;
  len = snprintf(f->temp, sizeof(f->temp), "%.*s.%s.XXXXXX", dir_len, path, base);
  if (len <= 0 || len >= static_cast<int>(sizeof(f->temp)))
    return ENAMETOOLONG;
  f->fd = mkostemp(f->temp, O_CLOEXEC);
  if (f->fd == -1) {
    int err = errno;
    f->temp[0] = '\0';
    return err;
  }
  // As readable as any file the caller's umask allows: a report holds no secret.
  mode_t mask = umask(0);
  umask(mask);
  if (fchmod(f->fd, 0666 & ~mask) != 0) {
    int err = errno;
    close(f->fd);
    unlink(f->temp);
    f->fd = -1;
    return err;
  }
  return 0;
}

int report_commit(report_file* f, const char* text) {
  if (f->fd == -1)
    return EBADF;
  int err = 0;
  size_t done = 0;
  const size_t len = strlen(text);
  while (done < len && err == 0) {
    ssize_t n = write(f->fd, text + done, len - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n == -1 && errno != EINTR)
      err = errno;
  }
  if (err == 0 && fsync(f->fd) != 0)
    err = errno;
  if (close(f->fd) != 0 && err == 0)
    err = errno;
  f->fd = -1;
  if (err == 0 && rename(f->temp, f->path) != 0)
    err = errno;
  if (err != 0)
    unlink(f->temp);
  return err;
}

void report_abandon(report_file* f) {
  if (f->fd != -1)
    close(f->fd);
  f->fd = -1;
  if (f->temp[0] != '\0')
    unlink(f->temp);
}

int report_write(report_file* f, const run_record& r, const report_request& request, char* text,
                 size_t size) {
  if (!report_json(r, request, text, size)) {
    report_abandon(f);
    nxa_trace(TRACE_ERROR, "Cannot write report '%s': longer than %zu bytes; the file keeps its "
              "old report\n", f->path, size);
    return EOVERFLOW;
  }
  const int err = report_commit(f, text);
  if (err != 0)
    nxa_trace(TRACE_ERROR, "Cannot write report '%s': %s\n", f->path, strerror(err));
  return err;
}
