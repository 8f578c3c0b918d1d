// One run per module: an exclusive lock on a file named after the module's
// host, held from before the first probe until the run ends.
#ifndef MORVIK_QB_LOCK_H
#define MORVIK_QB_LOCK_H

#include <cstddef>

#include "defines.h"

// The directory of the lock files when MORVIK_LOCK_DIR does not name one.
extern const char* const MODULE_LOCK_DIR;

// Writes into path the lock file of host in dir: DIR/HOST.lock, with '/' and
// '%' of host written as %2F and %25 so that every host stays inside dir.
// Returns false if it does not fit into size.
bool module_lock_path(const char* dir, const char* host, char* path, size_t size);

// Takes the lock of host in dir, making dir (mode 0700) and its parents if
// they are missing. Returns MORVIK_SUCCESS with the locked descriptor in *fd,
// which the caller keeps open for as long as the run lasts (it is not
// inherited by children); MORVIK_MODULE_BUSY_ERR when another run holds the
// lock; MORVIK_INTERNAL_ERR with the reason in *err otherwise.
QBCodes take_module_lock(const char* dir, const char* host, int* fd, int* err);

#endif
