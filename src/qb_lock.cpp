// Per-module lock files: flock on DIR/ADDRESS.lock, one for each address of
// the module. The files stay; removing one while a run waits on it would let a
// third run lock a new file of that name.
#include "qb_lock.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qb_signal.h"
#include "qb_socket.h"

const char* const MODULE_LOCK_DIR = "/run/lock/morvik";

namespace {

// Opens (making it 0600 if missing) the lock file name relative to dir_fd,
// never through a symbolic link. Returns the descriptor, or -1 with errno.
int open_lock_file(int dir_fd, const char* name) {
  return openat(dir_fd, name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

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

// HOST.lock with '/' and '%' escaped, into name. Returns false if it does not
// fit into size.
bool lock_file_name(const char* host, char* name, size_t size) {
  size_t at = 0;
  for (const char* c = host; *c != '\0'; ++c) {
    const char* piece = *c == '/' ? "%2F" : *c == '%' ? "%25" : nullptr;
    size_t need = piece != nullptr ? 3 : 1;
    if (at + need >= size)
      return false;
    if (piece != nullptr)
      memcpy(name + at, piece, 3);
    else
      name[at] = *c;
    at += need;
  }
  int len = snprintf(name + at, size - at, ".lock");
  return len > 0 && static_cast<size_t>(len) < size - at;
}

// Opens dir itself, not what a symbolic link in its place points at, and
// judges the directory through that descriptor, so that it cannot be swapped
// between the check and the lock file's open. Returns the descriptor, or -1
// with *why filled.
int open_lock_dir(const char* dir, lock_failure* why) {
  char path[4096];
  int len = snprintf(path, sizeof(path), "%s", dir);
  if (len <= 0 || len >= static_cast<int>(sizeof(path))) {
    why->err = ENAMETOOLONG;
    return -1;
  }
  // A trailing slash would make the open follow a link in the last place.
  while (len > 1 && path[len - 1] == '/')
    path[--len] = '\0';
  int dir_fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir_fd == -1) {
    const int err = errno;
    struct stat st;
    // The refusal stands either way; lstat only names what stands there.
    if (err == ELOOP || err == ENOTDIR)
      why->dir_fault =
          lstat(path, &st) == 0 && S_ISLNK(st.st_mode) ? LOCK_DIR_LINK : LOCK_DIR_NOT_A_DIR;
    else
      why->err = err;
    return -1;
  }
  struct stat st;
  if (fstat(dir_fd, &st) != 0) {
    why->err = errno;
  } else if (st.st_uid != geteuid() && st.st_uid != 0) {
    why->dir_fault = LOCK_DIR_NOT_OURS;
    why->owner = static_cast<long>(st.st_uid);
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    why->dir_fault = LOCK_DIR_OPEN;
  } else {
    return dir_fd;
  }
  close(dir_fd);
  return -1;
}

}  // namespace

bool module_lock_names_of(const struct addrinfo* list, module_lock_names* names) {
  names->count = 0;
  for (const struct addrinfo* a = list; a != nullptr; a = a->ai_next) {
    char numeric[MODULE_LOCK_NAME];
    if (getnameinfo(a->ai_addr, a->ai_addrlen, numeric, sizeof(numeric), nullptr, 0,
                    NI_NUMERICHOST) != 0) {
      names->count = 0;
      return false;
    }
    // Insertion into the sorted names, skipping one that is there already.
    int at = 0;
    while (at < names->count && strcmp(names->name[at], numeric) < 0)
      ++at;
    if (at < names->count && strcmp(names->name[at], numeric) == 0)
      continue;
    if (names->count == MODULE_LOCK_ADDRESSES) {
      names->count = 0;
      return false;
    }
    memmove(names->name[at + 1], names->name[at],
            static_cast<size_t>(names->count - at) * sizeof(names->name[0]));
    memcpy(names->name[at], numeric, sizeof(numeric));
    ++names->count;
  }
  return true;
}

bool module_lock_hosts(const char* host, module_lock_names* names) {
  // The probe's own hints and port, so that the locks cover every address
  // that the probe, and then the client, may reach the module at.
  struct addrinfo hints;
  probe_resolver_hints(&hints);
  struct addrinfo* result = nullptr;
  names->count = 0;
  bool ok = true;
  if (getaddrinfo(host, "22", &hints, &result) == 0 && result != nullptr)
    ok = module_lock_names_of(result, names);
  if (result != nullptr)
    freeaddrinfo(result);
  if (!ok)
    return false;
  if (names->count == 0) {
    int len = snprintf(names->name[0], sizeof(names->name[0]), "%s", host);
    if (len < 0 || static_cast<size_t>(len) >= sizeof(names->name[0]))
      return false;
    names->count = 1;
  }
  return true;
}

bool module_lock_path(const char* dir, const char* host, char* path, size_t size) {
  int len = snprintf(path, size, "%s/", dir);
  return len > 0 && static_cast<size_t>(len) < size &&
         lock_file_name(host, path + len, size - static_cast<size_t>(len));
}

void release_module_lock(module_lock* lock) {
  for (int i = 0; i < lock->count; ++i) {
    if (lock->fd[i] != -1)
      close(lock->fd[i]);
    lock->fd[i] = -1;
  }
  lock->count = 0;
}

QBCodes take_module_lock(const char* dir, const char* host, module_lock* lock, lock_failure* why) {
  lock->count = 0;
  why->err = 0;
  why->dir_fault = LOCK_DIR_SOUND;
  why->owner = -1;
  module_lock_names names;
  if (!module_lock_hosts(host, &names)) {
    why->err = E2BIG;
    return MORVIK_INTERNAL_ERR;
  }
  why->err = make_dirs(dir, 0700);
  if (why->err != 0)
    return MORVIK_INTERNAL_ERR;
  int dir_fd = open_lock_dir(dir, why);
  if (dir_fd == -1)
    return MORVIK_INTERNAL_ERR;
  // In sorted order and without waiting, so that of two runs that share an
  // address one always gets through and neither waits for the other.
  for (int i = 0; i < names.count && why->err == 0; ++i) {
    char file[1024];
    if (!lock_file_name(names.name[i], file, sizeof(file))) {
      why->err = ENAMETOOLONG;
      break;
    }
    const int lock_fd = open_lock_file(dir_fd, file);
    if (lock_fd == -1) {
      why->err = errno;
      break;
    }
    lock->fd[lock->count++] = lock_fd;
    int rc;
    do {
      rc = flock(lock_fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
      why->err = errno;
  }
  QBCodes retval = MORVIK_SUCCESS;
  if (why->err != 0)
    retval = why->err == EWOULDBLOCK ? MORVIK_MODULE_BUSY_ERR : MORVIK_INTERNAL_ERR;
  close(dir_fd);
  if (retval != MORVIK_SUCCESS)
    release_module_lock(lock);
  return retval;
}

QbKeyLockResult lock_host_key_cache(const char* path, int wait_ms, fd_handle* fd) {
  if (fd == nullptr)
    return QB_KEY_LOCK_UNAVAILABLE;
  *fd = -1;
  if (path == nullptr || path[0] == '\0')
    return QB_KEY_LOCK_UNAVAILABLE;
  fd_handle lock = open_lock_file(AT_FDCWD, path);
  if (lock == -1 && errno == ENOENT) {
    char dir[4096];
    int n = snprintf(dir, sizeof(dir), "%s", path);
    char* slash = strrchr(dir, '/');
    if (n > 0 && static_cast<size_t>(n) < sizeof(dir) && slash != nullptr && slash != dir) {
      *slash = '\0';
      if (mkdir(dir, 0700) == 0 || errno == EEXIST)
        lock = open_lock_file(AT_FDCWD, path);
    }
  }
  if (lock == -1)
    return QB_KEY_LOCK_UNAVAILABLE;
  const long long deadline = monotonic_ms() + wait_ms;
  QbKeyLockResult result = QB_KEY_LOCK_BUSY;
  int err = 0;
  for (;;) {
    if (flock(lock, LOCK_EX | LOCK_NB) == 0) {
      *fd = lock;
      return QB_KEY_LOCK_HELD;
    }
    err = errno;
    if (err != EWOULDBLOCK && err != EINTR) {
      result = QB_KEY_LOCK_UNAVAILABLE;
      break;
    }
    // Looked at after the pause too, so that an interrupt never reads as a
    // lock that stayed taken.
    const bool cut_short = monotonic_ms() >= deadline || pause_ms(50) != 0;
    if (interrupt_signal() != 0) {
      result = QB_KEY_LOCK_INTERRUPTED;
      break;
    }
    if (cut_short)
      break;
  }
  close_fdhandle(lock);
  errno = err;
  return result;
}

void unlock_host_key_cache(fd_handle& fd) {
  if (fd == -1)
    return;
  // The descriptor is ours alone (close-on-exec, never duplicated), so its
  // close is the release.
  close_fdhandle(fd);
}
