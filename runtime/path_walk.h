// Paths walked one directory at a time through descriptors, for the
// operations that root performs in directories other users may write
// (document roots, mail directories, the lock directory).
//
// Every component is opened relative to the directory descriptor before
// it, with O_NOFOLLOW, so that what is checked and what is then changed is
// one and the same object however the names change meanwhile. A symbolic
// link on the way is followed only when it sits in a directory that root
// alone can write (owned by root, writable by neither group nor others):
// only root could have made it, as /var/www -> /srv/www, while a link in a
// customer's directory leads wherever the customer wants. Only POSIX calls
// (openat family, fstatat, readlinkat); no /proc.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "runtime/owners.h"

// The directory holding a path's last component, and that component.
struct path_parent {
  unique_fd dir;
  // The last component as written ("." for a path of slashes only; a
  // trailing slash does not count).
  std::string name;
};

// Opens the directory holding path's last component, walking from "/" (an
// absolute path) or the working directory. 0, or -1 with errno: ENOENT,
// ENOTDIR as a lookup gives them, ELOOP for a link that is not followed or
// for too many links.
int open_parent(const char* path, path_parent& out);

// Opens name in dir; a symbolic link there is followed (its target walked
// by the same rule) only when dir is root's alone. flags get O_NOFOLLOW,
// O_NONBLOCK, O_NOCTTY and O_CLOEXEC added: a pipe neither blocks the open
// nor becomes a terminal. A descriptor, or -1 with errno (ELOOP for a link
// not followed).
int open_at(int dir, const char* name, int flags, mode_t mode = 0);

// Opens name in dir without following a link there, with the flags
// open_at adds. FreeBSD's EMLINK for a link is given as ELOOP, so that
// reports read alike. A descriptor, or -1 with errno.
int open_nofollow(int dir, const char* name, int flags, mode_t mode = 0);

// Whether the open directory dir can be written by root alone.
bool root_only(int dir);

// How many names the regular file fd, opened as name in dir, has: its link
// count when that is more than 1, 1 when name is its only name, and 0 when
// name no longer leads to it (removed or replaced since the open). Asked
// of the name as well as of the descriptor, because a second name removed
// between the open and the look would leave a count of 1 on another's file.
unsigned long names_of(int dir, const char* name, int fd);

// Whether the open directory dir is the directory with the status top or
// lies below it, climbing ".." from dir. The climb ends at the file
// system's root (or the process's), whose ".." is itself.
bool at_or_below(int dir, const struct stat& top);
