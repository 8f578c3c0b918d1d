// Per-module lock files: flock on DIR/HOST.lock. The files stay; removing one
// while a run waits on it would let a third run lock a new file of that name.
#include "qb_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const char* const MODULE_LOCK_DIR = "/run/lock/morvik";

namespace {

// mkdir -p, the last directory with mode, those above it with 0755. Returns
// 0 or an errno.
int make_dirs(const char* dir, mode_t mode) {
  char path[4096];
  int len = snprintf(path, sizeof(path), "%s", dir);
  if (len <= 0 || len >= static_cast<int>(sizeof(path)))
    return ENAMETOOLONG;
  for (char* p = path + 1; *p != '\0'; ++p) {
    if (*p != '/')
      continue;
    *p = '\0';
    if (mkdir(path, 0755) != 0 && errno != EEXIST)
      return errno;
    *p = '/';
  }
  if (mkdir(path, mode) != 0 && errno != EEXIST)
    return errno;
  return 0;
}

}  // namespace

bool module_lock_path(const char* dir, const char* host, char* path, size_t size) {
  int len = snprintf(path, size, "%s/", dir);
  if (len <= 0 || static_cast<size_t>(len) >= size)
    return false;
  size_t at = static_cast<size_t>(len);
  for (const char* c = host; *c != '\0'; ++c) {
    const char* piece = *c == '/' ? "%2F" : *c == '%' ? "%25" : nullptr;
    size_t need = piece != nullptr ? 3 : 1;
    if (at + need >= size)
      return false;
    if (piece != nullptr)
      memcpy(path + at, piece, 3);
    else
      path[at] = *c;
    at += need;
  }
  len = snprintf(path + at, size - at, ".lock");
  return len > 0 && static_cast<size_t>(len) < size - at;
}

QBCodes take_module_lock(const char* dir, const char* host, int* fd, int* err) {
  *fd = -1;
  *err = 0;
  char path[4096];
  if (!module_lock_path(dir, host, path, sizeof(path))) {
    *err = ENAMETOOLONG;
    return MORVIK_INTERNAL_ERR;
  }
  *err = make_dirs(dir, 0700);
  if (*err != 0)
    return MORVIK_INTERNAL_ERR;
  int lock_fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock_fd == -1) {
    *err = errno;
    return MORVIK_INTERNAL_ERR;
  }
  int rc;
  do {
    rc = flock(lock_fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    *err = errno;
    close(lock_fd);
    return *err == EWOULDBLOCK ? MORVIK_MODULE_BUSY_ERR : MORVIK_INTERNAL_ERR;
  }
  *fd = lock_fd;
  return MORVIK_SUCCESS;
}
