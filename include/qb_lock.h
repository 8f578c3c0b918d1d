// Lock files: one run per module (a lock named after the address the probe
// reaches it at, held for the whole run), and turns at the SSH client's cache.
#ifndef MORVIK_QB_LOCK_H
#define MORVIK_QB_LOCK_H

#include <netdb.h>

#include <cstddef>

#include "defines.h"
#include "qb_io.h"

// The directory of the lock files when MORVIK_LOCK_DIR does not name one.
extern const char* const MODULE_LOCK_DIR;

// Why a lock directory was refused. Anyone who may write it could hold every
// module's lock, or swap a lock file for another while a run waits on it.
enum QbLockDirFault {
  LOCK_DIR_SOUND = 0,
  LOCK_DIR_NOT_OURS = 1,   // owned by a user other than ours and root
  LOCK_DIR_OPEN = 2,       // group or others may write it
  LOCK_DIR_LINK = 3,       // a symbolic link in its place
  LOCK_DIR_NOT_A_DIR = 4,  // another kind of file in its place
};

// Why take_module_lock gave no lock.
struct lock_failure {
  int err;                   // errno of the call that failed, 0 if none did
  QbLockDirFault dir_fault;  // LOCK_DIR_SOUND unless the directory was refused
  long owner;                // the directory's owner, for LOCK_DIR_NOT_OURS
};

// The most addresses one module's name may stand for; a name with more is
// refused rather than locked in part.
const int MODULE_LOCK_ADDRESSES = 16;
// Room for one address in numeric form, or for a host of the command line.
const int MODULE_LOCK_NAME = 256;

// The names of a host's lock files: every address that the probe's resolver
// gives for it, in numeric form, sorted and each once, so that a name and
// each of its addresses share a lock whatever order the resolver takes; the
// host itself if it does not resolve.
struct module_lock_names {
  char name[MODULE_LOCK_ADDRESSES][MODULE_LOCK_NAME];
  int count;
};

// Fills names from the resolver's list (which the caller keeps and frees).
// Returns false, with names->count 0, if the list holds more than
// MODULE_LOCK_ADDRESSES addresses or one cannot be written.
bool module_lock_names_of(const struct addrinfo* list, module_lock_names* names);

// Fills names for host as the probe resolves it, or with host itself where
// it does not resolve. Returns false if that does not fit.
bool module_lock_hosts(const char* host, module_lock_names* names);

// Writes into path the lock file of host in dir: DIR/HOST.lock, with '/' and
// '%' of host written as %2F and %25 so that every host stays inside dir.
// Returns false if it does not fit into size.
bool module_lock_path(const char* dir, const char* host, char* path, size_t size);

// The locked descriptors of one run, one per lock file (close-on-exec, so no
// child inherits one). They are released together.
struct module_lock {
  int fd[MODULE_LOCK_ADDRESSES];
  int count;
};

// Takes the lock of every name that module_lock_hosts gives for host in dir,
// in their order and each without waiting, making dir (mode 0700) and its
// parents if they are missing. dir must be a directory owned by our effective
// user or root that neither group nor others may write; its parents are not
// checked. Returns MORVIK_SUCCESS with every lock held in *lock, which the
// caller keeps for as long as the run lasts and gives back with
// release_module_lock; MORVIK_MODULE_BUSY_ERR when another run holds one of
// them; MORVIK_INTERNAL_ERR with the reason in *why otherwise. On any result
// but success *lock holds nothing.
QBCodes take_module_lock(const char* dir, const char* host, module_lock* lock, lock_failure* why);

// Closes every descriptor of lock, which releases its locks; lock holds
// nothing afterwards.
void release_module_lock(module_lock* lock);

// The lock beside the SSH client's host-key cache. The client rewrites its
// cache through a temporary file of a fixed name when it stores a key, so
// runs that share the cache take turns at storing.

enum QbKeyLockResult { QB_KEY_LOCK_HELD, QB_KEY_LOCK_BUSY, QB_KEY_LOCK_INTERRUPTED,
                       QB_KEY_LOCK_UNAVAILABLE };

// Takes an exclusive flock on path, waiting up to wait_ms (looking every
// 50 ms, and giving up at once when the run is interrupted). Creates the file
// 0600 if it is missing, and its directory 0700 as the client would when it
// stores its first key (the directory's parent is not made). On
// QB_KEY_LOCK_HELD *fd holds the lock until unlock_host_key_cache; on every
// other result *fd is -1.
QbKeyLockResult lock_host_key_cache(const char* path, int wait_ms, fd_handle* fd);

// Releases the lock and closes fd (nothing for -1); fd is -1 afterwards.
void unlock_host_key_cache(fd_handle& fd);

#endif
