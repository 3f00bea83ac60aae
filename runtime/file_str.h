// File helpers and locked editing: line edits of shared text files under an
// exclusive per-file lock, the lock records and lock-file names, and owner
// and mode setting.
#pragma once

#include <sys/stat.h>

#include <sys/types.h>

// file_str modes (third argument).
inline constexpr int FILE_STR_ADD = 0;
inline constexpr int FILE_STR_REMOVE_LINE = 1;
inline constexpr int FILE_STR_REMOVE_MATCH = 2;

// Variants of FILE_STR_ADD (fourth argument).
inline constexpr int FILE_STR_AT_BEGINNING = 0;
inline constexpr int FILE_STR_AT_END = 1;

// Variants of FILE_STR_REMOVE_MATCH (fourth argument).
inline constexpr int FILE_STR_PREFIX = 0;
inline constexpr int FILE_STR_SUFFIX = 1;
inline constexpr int FILE_STR_SUBSTRING = 2;

// An exclusive flock on one file. Allocated by locked_file_open (and the
// lock/try_lock forms), freed by locked_file_release; plain malloc memory.
struct locked_file {
  // > 0: open and locked; 0: a non-blocking attempt found the lock held by
  // another process (already closed); < 0: the open or the lock failed.
  int fd;
  // The path opened (the lock file's path, or a copy of the given path);
  // owned by the record.
  char* name;
};

// Edits path under its lock: adds lines (null-terminated list, read only)
// or removes matching lines, per mode and variant, then restores the file's
// previous owner and mode. The file is opened once (path_walk.h: a link is
// followed only where root alone could have made it); its status, content
// and the owner and mode given back are that descriptor's, and a rewrite's
// replacement gets them through its own descriptor before it is renamed
// in the directory that held the name. Returns 0 on success, 1 on failure
// (reported); a failed write while removing lines ends the process.
int file_str(const char* path, const char* const* lines, int mode, int variant);

// file_str with the one-entry list {line}. Same result.
int file_str_line(const char* path, const char* line, int mode, int variant);
// One locked rewrite that drops the lines file_str(path, drop, mode,
// variant) would drop (mode FILE_STR_REMOVE_LINE or FILE_STR_REMOVE_MATCH)
// and appends the entries of append, so that no crash can leave the file
// with the old lines gone and the new ones missing. A missing file is
// created with append alone. Same result as file_str.
int file_str_replace(const char* path, const char* const* drop, int mode, int variant,
                     const char* const* append);

// Replaces path as a whole with text, durably, through a staged_file: a
// temporary file in dir (the directory holding path) named after
// tmp_template (ending in "XXXXXX"), written, given old's owner and mode (or
// 0644 when old is null), synced, renamed over path, then dir synced (a file
// system that cannot sync a directory is no failure). 0, or 1 after a
// report; the temporary file does not stay behind.
int file_replace(const char* dir, const char* path, const char* tmp_template, const char* text,
                 const struct stat* old);

// Opens path's lock file (use_lock_dir non-zero) or path itself with flags
// and bits 0644, then flock(operation). Every lock of the program is opened
// here, and never through a link: the open adds O_NOFOLLOW, O_NONBLOCK,
// O_NOCTTY and O_CLOEXEC, and O_TRUNC is applied (ftruncate) only to a
// regular file with that one name; anything else at the name fails as an
// open does (ELOOP, EMLINK, EINVAL), with the open's report. Returns a new
// record (the caller releases it with locked_file_release), or null when
// memory is exhausted.
locked_file* locked_file_open(const char* path, int flags, int operation, int use_lock_dir);

// locked_file_open with O_RDWR|O_CREAT|O_TRUNC and a blocking LOCK_EX.
locked_file* locked_file_lock(const char* path, int use_lock_dir);

// locked_file_open with O_RDWR|O_CREAT|O_TRUNC and LOCK_EX|LOCK_NB.
locked_file* locked_file_try_lock(const char* path, int use_lock_dir);

// True when lock exists and holds its lock (fd > 0).
bool locked_file_is_locked(const locked_file* lock);

// True when there is no record or another process held the lock (fd == 0).
bool locked_file_is_busy(const locked_file* lock);

// Closes the descriptor (releasing the lock) and frees the record.
// Returns 0, or -1 when lock is null or the close failed (reported).
int locked_file_release(locked_file* lock);

// "<product root>/var/lock/files/<md5 hex of path>", newly allocated; the
// caller frees it. Loads the product configuration if not yet loaded.
char* lock_file_path(const char* path);

// The 32 lowercase hex digits of MD5(prefix followed by text, cut at 4095
// bytes). Returns a process-wide static buffer, overwritten by the next call
// of md5_hex or digest_hex; not reentrant.
const char* md5_hex(const char* prefix, const char* text);

// The 16 bytes of digest as 32 lowercase hex digits in the same static
// buffer as md5_hex.
const char* digest_hex(const unsigned char* digest);

// Sets owner, group and mode of path (following links). Returns 0 when path
// does not exist or both changes succeeded, -1 after a reported failure.
int set_owner_mode(const char* path, uid_t uid, gid_t gid, mode_t mode);
